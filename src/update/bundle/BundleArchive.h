#pragma once

#include <QString>

#include <optional>

// ZIP archives of bundles, through libarchive.
namespace oculo::bundle {

struct UnpackLimits {
    qint64 maxBytes = qint64(1) << 30;
    qint64 maxEntries = 100'000;
};

// Extracts the ZIP at `archivePath` into the existing empty folder
// `destination`. Refuses absolute paths, "..", links that leave the folder,
// hard links, devices, fifos, sockets, set-id bits and archives beyond the
// limits; returns the reason (for developers) when it refused or failed.
// What was extracted before a refusal stays for the caller to remove.
std::optional<QString> unpackZip(const QString& archivePath, const QString& destination,
                                 const UnpackLimits& limits = {});

// Writes the folder `bundlePath` (named as it is, with its modes and links)
// into a new ZIP at `archivePath`.
std::optional<QString> packZip(const QString& bundlePath, const QString& archivePath);

} // namespace oculo::bundle
