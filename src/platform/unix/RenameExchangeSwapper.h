#pragma once

#include "platform/BundleSwapper.h"

namespace oculo {

// Linux: renameat2(RENAME_EXCHANGE) on one file system, and a /bin/sh that
// polls for the old process before starting the new executable.
class RenameExchangeSwapper : public BundleSwapper {
public:
    std::optional<QString> exchange(const QString& runningBundle,
                                    const QString& newBundle) override;
    std::optional<QString> relaunch(qint64 pid, const QString& executable) override;
};

} // namespace oculo
