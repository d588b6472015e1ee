#pragma once

#include "update/UpdateService.h"
#include "update/UpdateTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

namespace oculo::test {

// An update service running as build 41 ("1.2") against a local HTTPS server,
// with fake alerts and installer; automatic checks follow each other at once.
struct UpdateServiceRig {
    static UpdateService::Options options(const TestHttpsServer& server) {
        UpdateService::Options options;
        options.server = {server.baseUrl(), {server.certificate()}};
        options.app = {QStringLiteral("org.oculo.Oculo"), QStringLiteral("1.2"), 41};
        options.runningSystem = {6, 1, 0};
        options.firstCheckDelay = options.checkInterval = std::chrono::milliseconds(0);
        return options;
    }

    static QByteArray offer(int build, bool mandatory = false, const char* notes = "Fixes.") {
        return QJsonDocument(
                   QJsonObject{
                       {QStringLiteral("isUpdateAvailable"), true},
                       {QStringLiteral("isMandatory"), mandatory},
                       {QStringLiteral("latestVersion"), QStringLiteral("2.%1").arg(build)},
                       {QStringLiteral("latestBuildNumber"), build},
                       {QStringLiteral("downloadUrl"), QStringLiteral("https://a.org/p.zip")},
                       {QStringLiteral("packageHash"), QStringLiteral("sha256:00")},
                       {QStringLiteral("releaseNotes"), QString::fromUtf8(notes)}})
            .toJson();
    }
    static inline const QByteArray noUpdate = R"({"isUpdateAvailable":false})";

    // Waits until `count` checks have ended in all.
    bool waitForChecks(qsizetype count) {
        return QTest::qWaitFor([&] { return checks.size() >= count; }, 20000) &&
               checks.size() == count;
    }

    TestHttpsServer server;
    FakeUpdatePresenter* presenter = new FakeUpdatePresenter;
    FakeUpdateInstaller* installer = new FakeUpdateInstaller;
    UpdateService service{options(server), std::unique_ptr<UpdatePresenter>(presenter),
                          std::unique_ptr<UpdateInstaller>(installer)};
    QSignalSpy checks{&service, &UpdateService::checkFinished};
    QSignalSpy terminations{&service, &UpdateService::terminationRequested};
};

} // namespace oculo::test
