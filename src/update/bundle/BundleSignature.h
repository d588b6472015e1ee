#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Signed application bundles: a folder "….app" holding Info.json, the
// executable and _CodeSignature/. CodeResources there is a JSON manifest of
// every entry of the bundle (type, mode, SHA-256 or link target), the
// identifier, the team and the executable's architecture; Signature beside it
// is the Ed25519 signature of CodeResources' exact bytes. The team identifier
// is the SHA-256 fingerprint of the signing public key. Shared by the
// installer and the oculo-bundle tool; Qt Core and OpenSSL only.
namespace oculo::bundle {

inline constexpr const char* infoFileName = "Info.json";
inline constexpr const char* signatureFolder = "_CodeSignature";
inline constexpr const char* manifestFileName = "CodeResources";
inline constexpr const char* signatureFileName = "Signature";

// Lower-case hexadecimal SHA-256 of the file's bytes, read in 1 MiB chunks;
// nothing when it cannot be read.
std::optional<QString> sha256Hex(const QString& path);

// Frees OpenSSL's state of the calling thread. Pool threads call it when their
// work ends: they may outlive the application, and the state with them.
void releaseThreadState();

// A new Ed25519 private key as PKCS#8 PEM.
QByteArray generatePrivateKeyPem();
// The team identifier a PEM private key signs as; nothing for an unusable key.
std::optional<QString> teamIdentifierOfPrivateKey(const QByteArray& pem);

// The ELF machine of an executable (x86-64 = 62), nothing when it is no ELF file.
std::optional<int> elfMachine(const QString& path);
// The machine this build of Oculo runs on, and how users call it.
int hostMachine();
QString machineName(int machine);

// The executable's file name as Info.json states it; nothing unless it is a plain name
// directly inside the bundle (not empty, no "/", neither "." nor "..").
std::optional<QString> executableName(const QString& bundlePath);

// Writes _CodeSignature/ for `bundlePath` with the key; returns the reason it
// could not (an unusable key, no Info.json or executable, a link leaving the bundle).
std::optional<QString> signBundle(const QString& bundlePath, const QByteArray& privateKeyPem);

struct Failure {
    enum class Kind {
        wrongIdentity, // Info.json missing or naming another identifier
        notNewer,      // CFBundleVersion below the lowest acceptable build
        notOffered,    // CFBundleVersion other than the build that was offered
        architecture,  // the executable is not built for this machine
        unreadable,    // no readable manifest, signature or public key
        requirement,   // the expected identifier or team cannot form a check
        signature,     // the signature or the contents disagree
    };
    Kind kind;
    // For developers (the tool's stderr), never shown to users.
    QString detail;
};

struct Expectation {
    QString identifier;
    QString team;
    qint64 minBuild = 0;
    int machine = hostMachine();
    // When set, the only acceptable build.
    std::optional<qint64> build = std::nullopt;
};

// Checks, in this order: a listing free of links in or to the signature, of
// names that are no UTF-8 and of entries writable by other users; a readable
// signature; a well-formed expectation; the signature and exact agreement of
// every entry; and only then identity, build and architecture. Nothing when
// the bundle is valid.
std::optional<Failure> verifyBundle(const QString& bundlePath, const Expectation& expected);

// The team of a bundle whose manifest is signed by the key it names; nothing
// for a folder that is no signed bundle. Does not hash the contents.
std::optional<QString> signedTeamIdentifier(const QString& bundlePath);

} // namespace oculo::bundle
