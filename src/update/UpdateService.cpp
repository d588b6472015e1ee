#include "update/UpdateService.h"

namespace oculo {

UpdateService::UpdateService(Options options, std::unique_ptr<UpdatePresenter> presenter,
                             std::unique_ptr<UpdateInstaller> installer, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_presenter(std::move(presenter))
    , m_installer(std::move(installer))
    , m_client(m_options.server, m_options.requestTimeout) {
    Q_ASSERT(m_presenter);
    connect(&m_client, &UpdateClient::fetchFinished, this, &UpdateService::handleFetchResult);

    m_scheduleTimer.setSingleShot(true);
    connect(&m_scheduleTimer, &QTimer::timeout, this, [this] {
        if (m_phase != Phase::idle) {
            // Busy with the user's check or an installation: this turn is skipped.
            scheduleNextAutomaticCheck(m_options.checkInterval);
            return;
        }
        checkForUpdates(false);
    });

    if (m_installer) {
        connect(m_installer.get(), &UpdateInstaller::downloadProgress, this, [this](int percent) {
            if (m_phase == Phase::downloading && m_downloadPercent != percent) {
                m_downloadPercent = percent;
                Q_EMIT downloadPercentChanged();
            }
        });
        connect(m_installer.get(), &UpdateInstaller::packageStored, this, [this] {
            if (m_phase == Phase::downloading) {
                setPhase(Phase::installing);
            }
        });
        // The phase stays `installing` until Oculo has quit.
        connect(m_installer.get(), &UpdateInstaller::installed, this,
                &UpdateService::terminationRequested);
        connect(m_installer.get(), &UpdateInstaller::failed, this,
                [this](const UpdateError& error) {
                    setPhase(Phase::idle);
                    showInstallFailure(error);
                });
    }
}

UpdateService::~UpdateService() {
    // Members go before QObject drops the connections: nothing may call back.
    m_client.disconnect(this);
    if (m_installer) {
        m_installer->disconnect(this);
    }
}

QUrl UpdateService::appPageURL() const {
    return m_options.server.appPageURL(m_options.app.bundleIdentifier);
}

bool UpdateService::isPackagedBuild() {
#ifdef OCULO_PACKAGED
    return true;
#else
    return false;
#endif
}

void UpdateService::startAutomaticChecks() {
    if (m_isCheckingAutomatically || isUpdatedByPackageManager()) {
        return;
    }
    m_isCheckingAutomatically = true;
    scheduleNextAutomaticCheck(m_options.firstCheckDelay);
}

void UpdateService::stopAutomaticChecks() {
    m_isCheckingAutomatically = false;
    m_scheduleTimer.stop();
}

void UpdateService::scheduleNextAutomaticCheck(std::chrono::milliseconds delay) {
    if (m_isCheckingAutomatically) {
        m_scheduleTimer.start(delay);
    }
}

void UpdateService::checkForUpdates(bool userInitiated) {
    if (m_phase != Phase::idle || isUpdatedByPackageManager()) {
        return;
    }
    m_isUserInitiatedCheck = userInitiated;
    setPhase(Phase::checking);
    m_client.fetch(m_options.app, m_options.runningSystem);
}

void UpdateService::handleFetchResult(const FetchResult& result) {
    const bool userInitiated = m_isUserInitiatedCheck;
    setPhase(Phase::idle);
    if (result.error) {
        // An automatic check keeps its failures and the last offer to itself.
        if (userInitiated) {
            m_presenter->runAlert({.message = QStringLiteral("Couldn't check for updates"),
                                   .informativeText = result.error->errorDescription});
        }
    } else if (!result.update) {
        setAvailableUpdate(std::nullopt);
        if (userInitiated) {
            m_presenter->runAlert(
                {.message = QStringLiteral("Oculo is up to date"),
                 .informativeText =
                     QStringLiteral("Version %1 (%2) is the newest version available.")
                         .arg(currentVersion(), QString::number(currentBuild()))});
        }
    } else {
        const UpdateInfo update = *result.update;
        setAvailableUpdate(update);
        if (userInitiated || update.isMandatory || m_dismissedBuild != update.buildNumber) {
            promptToInstall(update);
        }
    }
    if (!userInitiated) {
        scheduleNextAutomaticCheck(m_options.checkInterval);
    }
    Q_EMIT checkFinished();
}

void UpdateService::promptToInstall(const UpdateInfo& update) {
    QString details = QStringLiteral("You have version %1.").arg(currentVersion());
    if (update.isMandatory) {
        details += QStringLiteral(" This update is required to keep using Oculo.");
    }
    if (update.releaseNotes && !update.releaseNotes->isEmpty()) {
        details += QStringLiteral("\n\n") + *update.releaseNotes;
    }
    const int choice = m_presenter->runAlert(
        {.message = QStringLiteral("Oculo %1 is available").arg(update.version),
         .informativeText = details,
         .buttons = {QStringLiteral("Install and Relaunch"),
                     update.isMandatory ? QStringLiteral("Quit Oculo") : QStringLiteral("Later")}});
    if (choice == 0) {
        install(update);
    } else if (update.isMandatory) {
        Q_EMIT terminationRequested();
    } else {
        m_dismissedBuild = update.buildNumber;
    }
}

void UpdateService::install(const UpdateInfo& update) {
    if (m_phase != Phase::idle || isUpdatedByPackageManager()) {
        return;
    }
    if (!m_installer) {
        showInstallFailure({QStringLiteral("This build of Oculo cannot install updates itself.")});
        return;
    }
    setPhase(Phase::downloading);
    m_installer->install(update);
}

void UpdateService::showInstallFailure(const UpdateError& error) {
    const int choice = m_presenter->runAlert(
        {.message = QStringLiteral("Couldn't install the update"),
         .informativeText = error.errorDescription,
         .buttons = {QStringLiteral("Open Download Page"), QStringLiteral("Cancel")},
         .style = UpdateAlert::Style::warning});
    if (choice == 0) {
        m_presenter->openUrl(appPageURL());
    }
}

void UpdateService::setPhase(Phase phase) {
    if (m_phase != phase) {
        m_phase = phase;
        m_downloadPercent.reset();
        Q_EMIT phaseChanged(phase);
    }
}

void UpdateService::setAvailableUpdate(const std::optional<UpdateInfo>& update) {
    if (m_availableUpdate != update) {
        m_availableUpdate = update;
        Q_EMIT availableUpdateChanged();
    }
}

} // namespace oculo
