#include "update/UpdateProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>
#include <QRegularExpression>
#include <QSysInfo>

#include <limits>

namespace oculo::updateprotocol {
namespace {

// The answer's fields; an optional field is absent when missing or null.
struct CheckUpdateResponse {
    bool isUpdateAvailable = false;
    std::optional<bool> isMandatory;
    std::optional<QString> latestVersion;
    std::optional<qint64> latestBuildNumber;
    std::optional<QString> downloadUrl;
    std::optional<QString> packageHash;
    std::optional<QString> releaseNotes;
    std::optional<QString> minOsVersion;
};

// Reads one optional field; false when it is present with another type.
template <typename T>
bool readOptional(const QJsonObject& object, const char* key, std::optional<T>& out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return true;
    }
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.isBool()) {
            return false;
        }
        out = value.toBool();
    } else if constexpr (std::is_same_v<T, qint64>) {
        // toInteger() falls back to its argument unless the number is a whole
        // qint64; two different fallbacks tell that case apart.
        constexpr qint64 low = std::numeric_limits<qint64>::min();
        constexpr qint64 high = std::numeric_limits<qint64>::max();
        if (!value.isDouble() || value.toInteger(low) != value.toInteger(high)) {
            return false;
        }
        out = value.toInteger();
    } else {
        if (!value.isString()) {
            return false;
        }
        out = value.toString();
    }
    return true;
}

std::optional<CheckUpdateResponse> decode(const QByteArray& body) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QJsonValue available = object.value(QLatin1String("isUpdateAvailable"));
    if (!available.isBool()) {
        return std::nullopt;
    }
    CheckUpdateResponse response;
    response.isUpdateAvailable = available.toBool();
    const bool typesMatch = readOptional(object, "isMandatory", response.isMandatory) &&
                            readOptional(object, "latestVersion", response.latestVersion) &&
                            readOptional(object, "latestBuildNumber", response.latestBuildNumber) &&
                            readOptional(object, "downloadUrl", response.downloadUrl) &&
                            readOptional(object, "packageHash", response.packageHash) &&
                            readOptional(object, "releaseNotes", response.releaseNotes) &&
                            readOptional(object, "minOsVersion", response.minOsVersion);
    if (!typesMatch) {
        return std::nullopt;
    }
    return response;
}

// Only an exact lower-case "https" scheme and a host make a download address;
// QUrl would lower-case the scheme, so the raw text is checked as well.
std::optional<QUrl> downloadAddress(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || !text.startsWith(QLatin1String("https:")) ||
        url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

std::optional<UpdateInfo> offeredUpdate(const CheckUpdateResponse& response, qint64 currentBuild,
                                        const SystemVersion& running) {
    if (!response.isUpdateAvailable || !response.latestVersion || !response.latestBuildNumber ||
        *response.latestBuildNumber <= currentBuild || !response.downloadUrl) {
        return std::nullopt;
    }
    const std::optional<QUrl> url = downloadAddress(*response.downloadUrl);
    if (!url || !response.packageHash ||
        !response.packageHash->toLower().startsWith(QLatin1String("sha256:"))) {
        return std::nullopt;
    }
    if (response.minOsVersion && !isRunningAtLeast(*response.minOsVersion, running)) {
        return std::nullopt;
    }
    return UpdateInfo{
        *response.latestVersion, *response.latestBuildNumber, *url,
        *response.packageHash,   response.releaseNotes,       response.isMandatory.value_or(false)};
}

} // namespace

SystemVersion systemVersionFromKernelRelease(const QString& release) {
    static const QRegularExpression leadingNumbers(
        QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = leadingNumbers.match(release);
    if (!match.hasMatch()) {
        return {};
    }
    const auto part = [&](int index) {
        return parseDecimalInteger(match.capturedView(index)).value_or(0);
    };
    return {part(1), part(2), part(3)};
}

SystemVersion runningSystemVersion() {
    return systemVersionFromKernelRelease(QSysInfo::kernelVersion());
}

bool isRunningAtLeast(const QString& minimum, const SystemVersion& running) {
    QList<qint64> numbers;
    const QStringList pieces = minimum.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        if (const std::optional<qint64> number = parseDecimalInteger(piece)) {
            numbers.append(*number);
        }
    }
    if (numbers.isEmpty()) {
        return true;
    }
    const SystemVersion required{numbers.value(0), numbers.value(1), numbers.value(2)};
    return running >= required;
}

QString architecture() {
#if defined(__x86_64__)
    return QStringLiteral("x64");
#elif defined(__aarch64__)
    return QStringLiteral("arm64");
#else
    return QSysInfo::buildCpuArchitecture();
#endif
}

QByteArray checkRequestBody(const AppIdentity& app) {
    const QJsonObject body{
        {QStringLiteral("appId"), app.bundleIdentifier},
        {QStringLiteral("platform"), QStringLiteral("Linux")},
        {QStringLiteral("currentVersion"), app.currentVersion},
        {QStringLiteral("currentBuildNumber"), app.currentBuild},
        {QStringLiteral("channel"), QStringLiteral("Stable")},
        {QStringLiteral("architecture"), architecture()},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

FetchResult evaluateCheckResponse(int status, const QByteArray& body, qint64 currentBuild,
                                  const SystemVersion& running) {
    if (status != 200 || body.size() > maxResponseBytes) {
        return FetchResult::failure(unexpectedResponse);
    }
    const std::optional<CheckUpdateResponse> response = decode(body);
    if (!response) {
        return FetchResult::failure(unreadableResponse);
    }
    return {offeredUpdate(*response, currentBuild, running), std::nullopt};
}

} // namespace oculo::updateprotocol
