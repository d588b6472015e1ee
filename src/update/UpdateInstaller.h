#pragma once

#include "update/UpdateInfo.h"

#include <QObject>

namespace oculo {

// Puts an accepted update in place of the running bundle: downloads it,
// verifies it, swaps it in and starts the relaunch.
class UpdateInstaller : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts installing `update`. Announces packageStored() once the download
    // is stored, then exactly one of installed() or failed(). Never called
    // again before that.
    virtual void install(const oculo::UpdateInfo& update) = 0;

Q_SIGNALS:
    // While downloading, when the size is known: 0 to 100.
    void downloadProgress(int percent);
    void packageStored();
    // The new bundle is in place and its relaunch waits for Oculo to quit.
    void installed();
    void failed(const oculo::UpdateError& error);
};

} // namespace oculo
