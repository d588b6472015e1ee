#include "common/PrintLine.h"

#include <cstdio>

namespace oculo {

void printLine(const QString& text) {
    std::fputs(text.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
}

} // namespace oculo
