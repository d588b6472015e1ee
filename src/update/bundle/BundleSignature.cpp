#include "update/bundle/BundleSignature.h"

#include "update/bundle/AppIdentity.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace oculo::bundle {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

constexpr qint64 chunkBytes = 1024 * 1024;
constexpr int ed25519KeyBytes = 32;
constexpr int ed25519SignatureBytes = 64;

Pkey privateKeyFromPem(const QByteArray& pem) {
    const Bio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        return nullptr;
    }
    return key;
}

QByteArray rawPublicKey(EVP_PKEY* key) {
    QByteArray raw(ed25519KeyBytes, '\0');
    size_t length = static_cast<size_t>(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length) !=
            1 ||
        length != ed25519KeyBytes) {
        return {};
    }
    return raw;
}

QString fingerprint(const QByteArray& rawKey) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(rawKey.constData(), static_cast<size_t>(rawKey.size()), digest.data(), &length,
                   EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest.data()), length).toHex());
}

bool verifySignature(const QByteArray& rawKey, const QByteArray& message,
                     const QByteArray& signature) {
    const Pkey key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(rawKey.constData()),
        static_cast<size_t>(rawKey.size())));
    const MdCtx ctx(EVP_MD_CTX_new());
    return key && ctx && signature.size() == ed25519SignatureBytes &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(),
                            reinterpret_cast<const unsigned char*>(signature.constData()),
                            static_cast<size_t>(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            static_cast<size_t>(message.size())) == 1;
}

std::optional<QByteArray> readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.readAll();
}

// What decides trust is read only from the bundle itself, never through a link.
std::optional<mode_t> folderMode(const QString& path) {
    struct stat status {};
    // Without the trailing slash that would make lstat follow a link.
    if (::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    return status.st_mode;
}

std::optional<QByteArray> readRegularFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    QFile file;
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0) {
            ::close(fd);
        }
        return std::nullopt;
    }
    return file.readAll();
}

QJsonObject readInfo(const QString& bundlePath) {
    const auto data = readFile(QDir(bundlePath).filePath(QLatin1String(infoFileName)));
    return data ? QJsonDocument::fromJson(*data).object() : QJsonObject();
}

// The bundle's executable as Info.json names it: a plain file name inside the bundle.
std::optional<QString> executableNameIn(const QJsonObject& info) {
    const QString name = info.value(QLatin1String("CFBundleExecutable")).toString();
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
        name == QLatin1String("..")) {
        return std::nullopt;
    }
    return name;
}

QString executablePath(const QString& bundlePath, const QJsonObject& info) {
    const auto name = executableNameIn(info);
    return name ? QDir(bundlePath).filePath(*name) : QString();
}

bool isInside(const fs::path& root, const fs::path& path) {
    const fs::path relative = path.lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
}

// Every entry of the bundle except the signature itself, keyed by its
// relative path, as the manifest records it; or why it cannot be described.
struct Listing {
    std::map<QString, QJsonObject> entries;
    QString error;
};

// Writable by anyone but the owner, an installed bundle could be changed behind its signature.
bool isWritableByOthers(mode_t mode) {
    return !S_ISLNK(mode) && (mode & (S_IWGRP | S_IWOTH)) != 0;
}

Listing listBundle(const QString& bundlePath) {
    Listing listing;
    const auto rootMode = folderMode(bundlePath);
    if (!rootMode || isWritableByOthers(*rootMode)) {
        listing.error = rootMode ? QStringLiteral("the bundle is writable by other users")
                                 : QStringLiteral("the bundle is not a folder");
        return listing;
    }
    std::error_code ec;
    const fs::path root = fs::canonical(fs::path(bundlePath.toStdString()), ec);
    if (ec) {
        listing.error = QStringLiteral("the bundle cannot be read");
        return listing;
    }
    const QString signaturePrefix = QLatin1String(signatureFolder) + QLatin1Char('/');
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path path = it->path();
        const std::string relativeName = path.lexically_relative(root).string();
        const QString relative = QString::fromStdString(relativeName);
        // Names that are no UTF-8 would collapse into one key of the manifest.
        if (!QByteArrayView(relativeName).isValidUtf8()) {
            listing.error = QStringLiteral("%1 is not named in UTF-8").arg(relative);
            return listing;
        }
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            listing.error = QStringLiteral("%1 cannot be read").arg(relative);
            return listing;
        }
        if (isWritableByOthers(status.st_mode)) {
            listing.error = QStringLiteral("%1 is writable by other users").arg(relative);
            return listing;
        }
        const bool inSignature =
            relative == QLatin1String(signatureFolder) || relative.startsWith(signaturePrefix);
        if (inSignature && S_ISLNK(status.st_mode)) {
            listing.error = QStringLiteral("%1 is a link").arg(relative);
            return listing;
        }
        if (relative == QLatin1String(signatureFolder) ||
            relative == signaturePrefix + QLatin1String(manifestFileName) ||
            relative == signaturePrefix + QLatin1String(signatureFileName)) {
            continue;
        }
        QJsonObject entry;
        if (S_ISLNK(status.st_mode)) {
            const fs::path target = fs::read_symlink(path, ec);
            const fs::path resolved = fs::weakly_canonical(path.parent_path() / target, ec);
            if (ec || target.is_absolute() || !isInside(root, resolved) ||
                !QByteArrayView(target.string()).isValidUtf8()) {
                listing.error = QStringLiteral("the link %1 leaves the bundle").arg(relative);
                return listing;
            }
            entry.insert(QLatin1String("type"), QLatin1String("link"));
            entry.insert(QLatin1String("target"), QString::fromStdString(target.string()));
        } else if (S_ISDIR(status.st_mode)) {
            // Folder modes are not covered: unpacking makes every folder 0755.
            entry.insert(QLatin1String("type"), QLatin1String("directory"));
        } else if (S_ISREG(status.st_mode)) {
            const auto digest = sha256Hex(QString::fromStdString(path.string()));
            if (!digest) {
                listing.error = QStringLiteral("%1 cannot be read").arg(relative);
                return listing;
            }
            entry.insert(QLatin1String("type"), QLatin1String("file"));
            entry.insert(QLatin1String("mode"), static_cast<int>(status.st_mode & 07777));
            entry.insert(QLatin1String("sha256"), *digest);
        } else {
            listing.error = QStringLiteral("%1 is not a file, folder or link").arg(relative);
            return listing;
        }
        listing.entries.emplace(relative, entry);
    }
    if (ec) {
        listing.error = QStringLiteral("the bundle cannot be listed");
    }
    return listing;
}

struct SignedManifest {
    QByteArray bytes;
    QJsonObject manifest;
    QByteArray publicKey;
};

// The manifest and its key when the signature over it verifies.
std::optional<SignedManifest> readSignedManifest(const QString& bundlePath, QString* whyNot,
                                                 bool* unreadable) {
    const QDir folder(QDir(bundlePath).filePath(QLatin1String(signatureFolder)));
    const bool isReal = folderMode(bundlePath) && folderMode(folder.path());
    const auto bytes =
        isReal ? readRegularFile(folder.filePath(QLatin1String(manifestFileName))) : std::nullopt;
    const auto signature =
        isReal ? readRegularFile(folder.filePath(QLatin1String(signatureFileName))) : std::nullopt;
    QJsonParseError parseError{};
    const QJsonDocument document =
        bytes ? QJsonDocument::fromJson(*bytes, &parseError) : QJsonDocument();
    const QByteArray key = QByteArray::fromBase64(
        document.object().value(QLatin1String("publicKey")).toString().toLatin1());
    if (!bytes || !signature || !document.isObject() || key.size() != ed25519KeyBytes) {
        *unreadable = true;
        *whyNot = QStringLiteral("no readable signature");
        return std::nullopt;
    }
    *unreadable = false;
    if (!verifySignature(key, *bytes, *signature)) {
        *whyNot = QStringLiteral("the signature does not match the manifest");
        return std::nullopt;
    }
    return SignedManifest{*bytes, document.object(), key};
}

} // namespace

std::optional<QString> sha256Hex(const QString& path) {
    QFile file(path);
    const MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || !file.open(QIODevice::ReadOnly) ||
        EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    QByteArray chunk(chunkBytes, '\0');
    for (;;) {
        const qint64 count = file.read(chunk.data(), chunkBytes);
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        if (EVP_DigestUpdate(ctx.get(), chunk.constData(), static_cast<size_t>(count)) != 1) {
            return std::nullopt;
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1) {
        return std::nullopt;
    }
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest.data()), length).toHex());
}

void releaseThreadState() {
    OPENSSL_thread_stop();
}

QByteArray generatePrivateKeyPem() {
    const Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, length);
}

std::optional<QString> teamIdentifierOfPrivateKey(const QByteArray& pem) {
    const Pkey key = privateKeyFromPem(pem);
    const QByteArray raw = key ? rawPublicKey(key.get()) : QByteArray();
    if (raw.isEmpty()) {
        return std::nullopt;
    }
    return fingerprint(raw);
}

std::optional<int> elfMachine(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray header = file.read(20);
    if (header.size() < 20 || !header.startsWith("\x7f"
                                                 "ELF")) {
        return std::nullopt;
    }
    const auto byte = [&header](int i) { return static_cast<unsigned char>(header.at(i)); };
    // e_ident[EI_DATA]: 1 little-endian, 2 big-endian.
    if (byte(5) == 1) {
        return byte(18) | (byte(19) << 8);
    }
    if (byte(5) == 2) {
        return (byte(18) << 8) | byte(19);
    }
    return std::nullopt;
}

int hostMachine() {
#if defined(__x86_64__)
    return 62;
#elif defined(__aarch64__)
    return 183;
#elif defined(__riscv) && __riscv_xlen == 64
    return 243;
#else
#error "Unknown machine: name its ELF e_machine here"
#endif
}

QString machineName(int machine) {
    switch (machine) {
    case 62:
        return QStringLiteral("x86-64");
    case 183:
        return QStringLiteral("ARM64");
    case 243:
        return QStringLiteral("RISC-V");
    default:
        return QStringLiteral("machine %1").arg(machine);
    }
}

std::optional<QString> executableName(const QString& bundlePath) {
    return executableNameIn(readInfo(bundlePath));
}

std::optional<QString> signBundle(const QString& bundlePath, const QByteArray& privateKeyPem) {
    const Pkey key = privateKeyFromPem(privateKeyPem);
    const QByteArray publicKey = key ? rawPublicKey(key.get()) : QByteArray();
    if (publicKey.isEmpty()) {
        return QStringLiteral("the key file holds no Ed25519 private key");
    }
    const QJsonObject info = readInfo(bundlePath);
    const QString identifier = info.value(QLatin1String("CFBundleIdentifier")).toString();
    const auto machine = elfMachine(executablePath(bundlePath, info));
    if (identifier.isEmpty() || !machine) {
        return QStringLiteral("Info.json must name the identifier and an ELF executable");
    }
    const Listing listing = listBundle(bundlePath);
    if (!listing.error.isEmpty()) {
        return listing.error;
    }
    QJsonObject files;
    for (const auto& [path, entry] : listing.entries) {
        files.insert(path, entry);
    }
    const QByteArray manifest =
        QJsonDocument(
            QJsonObject{{QLatin1String("identifier"), identifier},
                        {QLatin1String("team"), fingerprint(publicKey)},
                        {QLatin1String("architecture"), *machine},
                        {QLatin1String("publicKey"), QString::fromLatin1(publicKey.toBase64())},
                        {QLatin1String("files"), files}})
            .toJson(QJsonDocument::Indented);

    const MdCtx ctx(EVP_MD_CTX_new());
    QByteArray signature(ed25519SignatureBytes, '\0');
    size_t length = static_cast<size_t>(signature.size());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(manifest.constData()),
                       static_cast<size_t>(manifest.size())) != 1) {
        return QStringLiteral("signing failed");
    }
    const QDir bundle(bundlePath);
    if (!bundle.mkpath(QLatin1String(signatureFolder))) {
        return QStringLiteral("_CodeSignature cannot be created");
    }
    for (const auto& [name, bytes] :
         {std::pair{manifestFileName, manifest}, std::pair{signatureFileName, signature}}) {
        QSaveFile file(bundle.filePath(
            QStringLiteral("%1/%2").arg(QLatin1String(signatureFolder), QLatin1String(name))));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
            !file.commit()) {
            return QStringLiteral("_CodeSignature cannot be written");
        }
    }
    return std::nullopt;
}

std::optional<Failure> verifyBundle(const QString& bundlePath, const Expectation& expected) {
    using Kind = Failure::Kind;
    // Nothing of the bundle is parsed before the signature vouches for it.
    const Listing listing = listBundle(bundlePath);
    if (!listing.error.isEmpty()) {
        return Failure{Kind::signature, listing.error};
    }
    QString whyNot;
    bool unreadable = false;
    const auto signedManifest = readSignedManifest(bundlePath, &whyNot, &unreadable);
    if (unreadable) {
        return Failure{Kind::unreadable, whyNot};
    }
    static const QRegularExpression teamPattern(QStringLiteral("^[0-9a-f]{64}$"));
    if (!teamPattern.match(expected.team).hasMatch()) {
        return Failure{Kind::requirement, QStringLiteral("malformed team identifier")};
    }
    if (!signedManifest) {
        return Failure{Kind::signature, whyNot};
    }
    const QJsonObject& manifest = signedManifest->manifest;
    if (fingerprint(signedManifest->publicKey) != expected.team ||
        manifest.value(QLatin1String("team")).toString() != expected.team) {
        return Failure{Kind::signature, QStringLiteral("signed by another team")};
    }
    const QJsonObject files = manifest.value(QLatin1String("files")).toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const auto found = listing.entries.find(it.key());
        if (found == listing.entries.end()) {
            return Failure{Kind::signature, QStringLiteral("%1 is missing").arg(it.key())};
        }
        if (found->second != it.value().toObject()) {
            return Failure{Kind::signature, QStringLiteral("%1 was changed").arg(it.key())};
        }
    }
    for (const auto& [path, entry] : listing.entries) {
        if (!files.contains(path)) {
            return Failure{Kind::signature, QStringLiteral("%1 is not listed").arg(path)};
        }
    }

    const QJsonObject info = readInfo(bundlePath);
    const QString identifier = info.value(QLatin1String("CFBundleIdentifier")).toString();
    if (identifier.isEmpty() || identifier != expected.identifier) {
        return Failure{Kind::wrongIdentity, QStringLiteral("identifier \"%1\"").arg(identifier)};
    }
    const QJsonValue version = info.value(QLatin1String("CFBundleVersion"));
    const qint64 build =
        version.isString() ? parseDecimalInteger(version.toString()).value_or(0) : 0;
    if (build < expected.minBuild) {
        return Failure{Kind::notNewer, QStringLiteral("build %1").arg(build)};
    }
    if (expected.build && build != *expected.build) {
        return Failure{Kind::notOffered, QStringLiteral("build %1").arg(build)};
    }
    const auto machine = elfMachine(executablePath(bundlePath, info));
    if (machine != expected.machine) {
        return Failure{Kind::architecture,
                       machine ? machineName(*machine) : QStringLiteral("no ELF executable")};
    }
    if (manifest.value(QLatin1String("identifier")).toString() != expected.identifier ||
        manifest.value(QLatin1String("architecture")).toInt() != *machine) {
        return Failure{Kind::signature, QStringLiteral("signed for another app or architecture")};
    }
    return std::nullopt;
}

std::optional<QString> signedTeamIdentifier(const QString& bundlePath) {
    QString whyNot;
    bool unreadable = false;
    const auto signedManifest = readSignedManifest(bundlePath, &whyNot, &unreadable);
    if (!signedManifest) {
        return std::nullopt;
    }
    const QString team = signedManifest->manifest.value(QLatin1String("team")).toString();
    if (team != fingerprint(signedManifest->publicKey)) {
        return std::nullopt;
    }
    return team;
}

} // namespace oculo::bundle
