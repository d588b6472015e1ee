#include "update/bundle/AppIdentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>

#include <limits>

namespace oculo {
namespace {

const QString infoFileName = QStringLiteral("Info.json");

qint64 buildNumberOf(const QJsonValue& value) {
    return value.isString() ? parseDecimalInteger(value.toString()).value_or(0) : 0;
}

} // namespace

std::optional<qint64> parseDecimalInteger(QStringView text) {
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty()) {
        return std::nullopt;
    }
    // Accumulated as a negative number so that the lowest value fits too.
    qint64 value = 0;
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const int digit = c.unicode() - u'0';
        if (value < (lowest + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

AppIdentity AppIdentity::builtIn() {
    return {QStringLiteral(OCULO_BUNDLE_IDENTIFIER), QStringLiteral(OCULO_VERSION),
            parseDecimalInteger(QStringLiteral(OCULO_BUILD_NUMBER)).value_or(0)};
}

AppIdentity AppIdentity::fromInfo(const QJsonObject& info) {
    AppIdentity identity;
    const QString identifier = info.value(QLatin1String("CFBundleIdentifier")).toString();
    identity.bundleIdentifier =
        identifier.isEmpty() ? QStringLiteral(OCULO_BUNDLE_IDENTIFIER) : identifier;
    const QJsonValue version = info.value(QLatin1String("CFBundleShortVersionString"));
    identity.currentVersion = version.isString() ? version.toString() : QStringLiteral("0");
    identity.currentBuild = buildNumberOf(info.value(QLatin1String("CFBundleVersion")));
    return identity;
}

QString AppIdentity::runningBundlePath() {
    const QString dir = QCoreApplication::applicationDirPath();
    if (dir.endsWith(QLatin1String(".app")) &&
        QFileInfo::exists(QDir(dir).filePath(infoFileName))) {
        return dir;
    }
    return {};
}

AppIdentity AppIdentity::ofRunningApplication() {
    const QString bundle = runningBundlePath();
    if (bundle.isEmpty()) {
        return builtIn();
    }
    // A damaged Info.json reads as a bundle that states nothing.
    QFile file(QDir(bundle).filePath(infoFileName));
    QJsonObject info;
    if (file.open(QIODevice::ReadOnly)) {
        info = QJsonDocument::fromJson(file.readAll()).object();
    }
    return fromInfo(info);
}

} // namespace oculo
