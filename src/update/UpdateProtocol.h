#pragma once

#include "update/UpdateInfo.h"
#include "update/bundle/AppIdentity.h"

#include <QByteArray>
#include <QString>

#include <compare>
#include <optional>

// The exchange with the update server, as plain functions over bytes, so that
// every rule can be checked without a network.
namespace oculo::updateprotocol {

inline constexpr char checkPath[] = "/api/v1/distribution/check-update";
inline constexpr char appPagePath[] = "/app/";
// Larger answers are refused: a check answer is a few hundred bytes.
inline constexpr qint64 maxResponseBytes = 1024 * 1024;

inline const QString unexpectedResponse =
    QStringLiteral("The update server returned an unexpected response.");
inline const QString unreadableResponse =
    QStringLiteral("The update server's answer could not be read.");

// A system version in the major.minor.patch form that minimum versions use.
struct SystemVersion {
    qint64 major = 0;
    qint64 minor = 0;
    qint64 patch = 0;

    friend auto operator<=>(const SystemVersion&, const SystemVersion&) = default;
};

// The running kernel's release (uname), e.g. 6.1.0 for "6.1.0-18-amd64";
// 0.0.0 when it cannot be read.
SystemVersion runningSystemVersion();
// The leading numbers of a kernel release string.
SystemVersion systemVersionFromKernelRelease(const QString& release);

// Whether `running` satisfies a minimum such as "14.2": pieces between dots
// that are not integers are skipped; a minimum without numbers always passes.
bool isRunningAtLeast(const QString& minimum, const SystemVersion& running);

// "x64" on x86-64, "arm64" on AArch64, else Qt's name of the build's processor.
QString architecture();

// The JSON body of a check request.
QByteArray checkRequestBody(const AppIdentity& app);

// The answer to a check request with HTTP status `status`: an offer, nothing
// usable, or a failure (a status other than 200, an oversized or unreadable body).
FetchResult evaluateCheckResponse(int status, const QByteArray& body, qint64 currentBuild,
                                  const SystemVersion& running);

} // namespace oculo::updateprotocol
