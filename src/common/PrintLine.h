#pragma once

#include <QString>

namespace oculo {

// Failures the user is not shown (a magnifier's capture going away, for one)
// go to stdout, one line each, flushed at once so they interleave in order.
void printLine(const QString& text);

} // namespace oculo
