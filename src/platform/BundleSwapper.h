#pragma once

#include <QString>

#include <optional>

namespace oculo {

// The two steps of an update that depend on the operating system: putting a
// verified bundle in place of the running one, and starting it once Oculo
// has quit. Each returns the reason, as a plain sentence, when it failed.
class BundleSwapper {
public:
    virtual ~BundleSwapper() = default;

    // Exchanges the two folders in one step: afterwards `runningBundle` holds
    // the new bundle and `newBundle` the old one. On failure neither changed.
    virtual std::optional<QString> exchange(const QString& runningBundle,
                                            const QString& newBundle) = 0;
    // Starts `executable` once the process `pid` has ended, without waiting.
    virtual std::optional<QString> relaunch(qint64 pid, const QString& executable) = 0;
};

} // namespace oculo
