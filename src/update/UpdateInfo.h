#pragma once

#include <QMetaType>
#include <QString>
#include <QUrl>

#include <optional>

namespace oculo {

// An offered build, as the update server described it.
struct UpdateInfo {
    QString version;
    // Always greater than the running build's.
    qint64 buildNumber = 0;
    // Always an https URL with a host.
    QUrl downloadURL;
    // Exactly as sent: "sha256:" in any letter case, then the hexadecimal digest.
    QString packageHash;
    std::optional<QString> releaseNotes;
    // A mandatory update cannot be postponed.
    bool isMandatory = false;

    friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;
};

// A failure of the self-update subsystem; its description is a plain sentence
// shown to the user as it stands.
struct UpdateError {
    QString errorDescription;

    friend bool operator==(const UpdateError&, const UpdateError&) = default;
};

// What one check found: an offer, nothing usable (neither set), or a failure.
struct FetchResult {
    std::optional<UpdateInfo> update;
    std::optional<UpdateError> error;

    static FetchResult failure(const QString& description) {
        return {std::nullopt, UpdateError{description}};
    }
    bool isFailure() const { return error.has_value(); }
};

} // namespace oculo

Q_DECLARE_METATYPE(oculo::UpdateInfo)
Q_DECLARE_METATYPE(oculo::UpdateError)
Q_DECLARE_METATYPE(oculo::FetchResult)
