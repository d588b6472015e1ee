#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringView>

#include <optional>

namespace oculo {

// Who asks for updates: the running bundle's identity as its Info.json states
// it, or this build's own constants when Oculo runs outside a bundle.
struct AppIdentity {
    QString bundleIdentifier;
    // "0" when the bundle states none.
    QString currentVersion;
    // 0 when the bundle states none or an unreadable one.
    qint64 currentBuild = 0;

    static AppIdentity ofRunningApplication();
    // Identity from a bundle's Info.json content; missing or mistyped keys
    // read as above, a missing identifier as the built-in one.
    static AppIdentity fromInfo(const QJsonObject& info);
    static AppIdentity builtIn();

    // The folder of the running bundle ("….app" holding Info.json beside the
    // executable), or empty when Oculo does not run from a bundle.
    static QString runningBundlePath();
};

// An optional "+" or "-" and then decimal digits only, within 64 bits.
std::optional<qint64> parseDecimalInteger(QStringView text);

} // namespace oculo
