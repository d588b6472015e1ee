#pragma once

#include "update/UpdateClient.h"
#include "update/UpdateInfo.h"
#include "update/UpdateInstaller.h"
#include "update/UpdatePresenter.h"
#include "update/UpdateProtocol.h"
#include "update/bundle/AppIdentity.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace oculo {

// Everything update-related: checks in the background and on request, tells
// the user what it found, asks whether to install, and remembers which offer
// the user postponed during this run. Checks and installations never overlap:
// each starts only from `idle`, and a request in any other phase is dropped.
class UpdateService : public QObject {
    Q_OBJECT
    Q_PROPERTY(oculo::UpdateService::Phase phase READ phase NOTIFY phaseChanged FINAL)
    Q_PROPERTY(std::optional<oculo::UpdateInfo> availableUpdate READ availableUpdate NOTIFY
                   availableUpdateChanged FINAL)

public:
    enum class Phase { idle, checking, downloading, installing };
    Q_ENUM(Phase)

    struct Options {
        UpdateServer server = UpdateServer::builtIn();
        AppIdentity app = AppIdentity::ofRunningApplication();
        updateprotocol::SystemVersion runningSystem = updateprotocol::runningSystemVersion();
        std::chrono::milliseconds firstCheckDelay{10'000};
        // Counted from the end of one automatic check to the start of the next.
        std::chrono::milliseconds checkInterval{4 * 60 * 60 * 1000};
        std::chrono::milliseconds requestTimeout = UpdateClient::defaultTimeout;
        // Installed by the package manager, which alone updates it: no checks, no downloads.
        bool isUpdatedByPackageManager = isPackagedBuild();
    };

    // Whether this is the Debian package's build.
    static bool isPackagedBuild();

    // Without an installer, accepting an offer reports that this build cannot
    // install and offers the download page.
    UpdateService(Options options, std::unique_ptr<UpdatePresenter> presenter,
                  std::unique_ptr<UpdateInstaller> installer = nullptr, QObject* parent = nullptr);
    ~UpdateService() override;

    Phase phase() const { return m_phase; }
    // The last offer a successful check found; cleared by one that found none.
    const std::optional<UpdateInfo>& availableUpdate() const { return m_availableUpdate; }
    // The build the user answered with "Later"; forgotten when Oculo quits.
    std::optional<qint64> dismissedBuild() const { return m_dismissedBuild; }
    QString currentVersion() const { return m_options.app.currentVersion; }
    qint64 currentBuild() const { return m_options.app.currentBuild; }
    QUrl appPageURL() const;
    bool isUpdatedByPackageManager() const { return m_options.isUpdatedByPackageManager; }
    bool isCheckingAutomatically() const { return m_isCheckingAutomatically; }
    // How much of the package has arrived while downloading, when known.
    std::optional<int> downloadPercent() const { return m_downloadPercent; }

    // The first automatic check follows after firstCheckDelay, then one every
    // checkInterval. Does nothing when already started. Checking, installing
    // and the automatic checks do nothing when the package manager updates Oculo.
    void startAutomaticChecks();
    void stopAutomaticChecks();

    // One check; checkFinished() follows once it and its alerts are done.
    // Does nothing, silently, unless the service is idle.
    void checkForUpdates(bool userInitiated);
    // Asks whether to install `update` now.
    void promptToInstall(const UpdateInfo& update);
    // Hands `update` to the installer; only from idle.
    void install(const UpdateInfo& update);

Q_SIGNALS:
    void phaseChanged(oculo::UpdateService::Phase phase);
    void availableUpdateChanged();
    void checkFinished();
    void downloadPercentChanged();
    // The user chose to quit, or a new build waits to be relaunched.
    void terminationRequested();

private:
    void setPhase(Phase phase);
    void setAvailableUpdate(const std::optional<UpdateInfo>& update);
    void handleFetchResult(const FetchResult& result);
    void scheduleNextAutomaticCheck(std::chrono::milliseconds delay);
    void showInstallFailure(const UpdateError& error);

    Options m_options;
    std::unique_ptr<UpdatePresenter> m_presenter;
    std::unique_ptr<UpdateInstaller> m_installer;
    UpdateClient m_client;
    QTimer m_scheduleTimer;

    Phase m_phase = Phase::idle;
    std::optional<UpdateInfo> m_availableUpdate;
    std::optional<qint64> m_dismissedBuild;
    std::optional<int> m_downloadPercent;
    bool m_isCheckingAutomatically = false;
    bool m_isUserInitiatedCheck = false;
};

} // namespace oculo
