#include "update/bundle/BundleArchive.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace oculo::bundle {
namespace {

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using Reader = std::unique_ptr<archive, ReadFree>;
using Writer = std::unique_ptr<archive, WriteFree>;
using Entry = std::unique_ptr<archive_entry, EntryFree>;

QString describe(archive* a) {
    const char* text = archive_error_string(a);
    return text ? QString::fromUtf8(text) : QStringLiteral("unknown archive error");
}

bool leaves(const fs::path& relative) {
    return relative.empty() || relative.is_absolute() || *relative.begin() == "..";
}

// Why the entry may not be extracted, or empty.
QString refusal(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    const fs::path path = name ? fs::path(name) : fs::path();
    const QString shown = QString::fromUtf8(name ? name : "");
    if (path.empty() || path.is_absolute()) {
        return QStringLiteral("%1 is an absolute path").arg(shown);
    }
    const char* target = archive_entry_symlink(entry);
    if (!QByteArrayView(name).isValidUtf8() || !QByteArrayView(target).isValidUtf8()) {
        return QStringLiteral("%1 is not named in UTF-8").arg(shown);
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            return QStringLiteral("%1 climbs out with \"..\"").arg(shown);
        }
    }
    if (archive_entry_hardlink(entry) != nullptr) {
        return QStringLiteral("%1 is a hard link").arg(shown);
    }
    const mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
        return QStringLiteral("%1 is a device, fifo or socket").arg(shown);
    }
    if ((archive_entry_perm(entry) & (S_ISUID | S_ISGID)) != 0) {
        return QStringLiteral("%1 has a set-id bit").arg(shown);
    }
    if (type == AE_IFLNK) {
        if (target == nullptr ||
            leaves((path.parent_path() / fs::path(target)).lexically_normal())) {
            return QStringLiteral("the link %1 leaves the folder").arg(shown);
        }
    }
    return {};
}

// libarchive reads every Unix file type but folders and links as a plain file:
// the central directory tells what the archive really holds. Nothing when all
// its entries are files, folders or links.
QString specialEntryIn(const QString& archivePath) {
    QFile file(archivePath);
    const auto le = [](const QByteArray& bytes, qsizetype at, int size) {
        quint64 value = 0;
        for (int i = size - 1; i >= 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
        }
        return value;
    };
    // The end record: the last one whose comment reaches the end of the file.
    constexpr qint64 endRecordBytes = 22;
    const qint64 tailStart = std::max<qint64>(0, file.size() - endRecordBytes - 0xffff);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(tailStart)) {
        return QStringLiteral("the archive cannot be read");
    }
    const QByteArray tail = file.readAll();
    qsizetype end = tail.size() - endRecordBytes;
    while (end >= 0 && (tail.mid(end, 4) != QByteArrayLiteral("PK\x05\x06") ||
                        end + endRecordBytes + qsizetype(le(tail, end + 20, 2)) != tail.size())) {
        --end;
    }
    if (end < 0) {
        return QStringLiteral("the archive has no central directory");
    }
    // Packages stay far below 4 GiB: a Zip64 directory is refused as out of bounds.
    const auto size = qint64(le(tail, end + 12, 4));
    const auto offset = qint64(le(tail, end + 16, 4));
    if (offset + size > tailStart + end || !file.seek(offset)) {
        return QStringLiteral("the archive's central directory is out of bounds");
    }
    const QByteArray directory = file.read(size);
    constexpr qsizetype headerBytes = 46;
    for (qsizetype at = 0; at + headerBytes <= directory.size();) {
        if (directory.mid(at, 4) != QByteArrayLiteral("PK\x01\x02")) {
            return QStringLiteral("the central directory is damaged");
        }
        const qsizetype nameBytes = qsizetype(le(directory, at + 28, 2));
        const bool fromUnix = static_cast<unsigned char>(directory.at(at + 5)) == 3;
        const auto type = mode_t(le(directory, at + 38, 4) >> 16) & S_IFMT;
        if (fromUnix && type != 0 && type != S_IFREG && type != S_IFDIR && type != S_IFLNK) {
            return QStringLiteral("%1 is a device, fifo or socket")
                .arg(QString::fromUtf8(directory.mid(at + headerBytes, nameBytes)));
        }
        at += headerBytes + nameBytes + qsizetype(le(directory, at + 30, 2)) +
              qsizetype(le(directory, at + 32, 2));
    }
    return {};
}

// Links may also leave through other links; resolved on disk once all exist.
// Folders, made before their contents, become 0755 only now.
QString linkLeavingFolder(const fs::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec) && ::chmod(it->path().c_str(), 0755) != 0) {
            return QStringLiteral("the unpacked folder cannot be made read-only for others");
        }
        if (it->is_symlink(ec)) {
            const fs::path resolved = fs::weakly_canonical(it->path(), ec);
            if (ec || leaves(resolved.lexically_relative(root))) {
                return QStringLiteral("the link %1 leaves the folder")
                    .arg(QString::fromStdString(it->path().lexically_relative(root).string()));
            }
        }
    }
    return ec ? QStringLiteral("the unpacked folder cannot be listed") : QString();
}

} // namespace

std::optional<QString> unpackZip(const QString& archivePath, const QString& destination,
                                 const UnpackLimits& limits) {
    std::error_code ec;
    const fs::path root = fs::canonical(fs::path(destination.toStdString()), ec);
    const Reader reader(archive_read_new());
    const Writer writer(archive_write_disk_new());
    if (ec || !reader || !writer) {
        return QStringLiteral("the destination cannot be used");
    }
    archive_read_support_format_zip(reader.get());
    archive_write_disk_set_options(
        writer.get(), ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                          ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_NO_OVERWRITE);
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(),
                                   64 * 1024) != ARCHIVE_OK) {
        return describe(reader.get());
    }
    if (const QString why = specialEntryIn(archivePath); !why.isEmpty()) {
        return why;
    }
    qint64 entries = 0;
    qint64 bytes = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK) {
            return describe(reader.get());
        }
        if (++entries > limits.maxEntries) {
            return QStringLiteral("more than %1 entries").arg(limits.maxEntries);
        }
        if (const QString why = refusal(entry); !why.isEmpty()) {
            return why;
        }
        if (archive_entry_size(entry) > limits.maxBytes - bytes) {
            return QStringLiteral("it expands beyond %1 bytes").arg(limits.maxBytes);
        }
        const fs::path target = root / fs::path(archive_entry_pathname(entry));
        archive_entry_copy_pathname(entry, target.c_str());
        if (archive_entry_filetype(entry) == AE_IFDIR) {
            // Writable by its owner alone, whatever the archive says.
            archive_entry_set_perm(entry, 0755);
        }
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            return describe(writer.get());
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int read = ARCHIVE_OK;
        while ((read = archive_read_data_block(reader.get(), &block, &size, &offset)) ==
               ARCHIVE_OK) {
            // Counted as written: sizes in headers may lie.
            bytes += static_cast<qint64>(size);
            if (bytes > limits.maxBytes) {
                return QStringLiteral("it expands beyond %1 bytes").arg(limits.maxBytes);
            }
            if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
                return describe(writer.get());
            }
        }
        if (read != ARCHIVE_EOF) {
            return describe(reader.get());
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            return describe(writer.get());
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        return describe(writer.get());
    }
    if (const QString why = linkLeavingFolder(root); !why.isEmpty()) {
        return why;
    }
    return std::nullopt;
}

std::optional<QString> packZip(const QString& bundlePath, const QString& archivePath) {
    std::error_code ec;
    const fs::path root = fs::canonical(fs::path(bundlePath.toStdString()), ec);
    if (ec) {
        return QStringLiteral("%1 cannot be read").arg(bundlePath);
    }
    std::vector<fs::path> paths{root};
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        paths.push_back(it->path());
    }
    if (ec) {
        return QStringLiteral("%1 cannot be listed").arg(bundlePath);
    }
    const Writer writer(archive_write_new());
    if (!writer || archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), QFile::encodeName(archivePath).constData()) !=
            ARCHIVE_OK) {
        return writer ? describe(writer.get()) : QStringLiteral("out of memory");
    }
    for (const fs::path& path : paths) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            return QStringLiteral("%1 cannot be read").arg(QString::fromStdString(path.string()));
        }
        const Entry entry(archive_entry_new());
        const fs::path name = root.filename() / path.lexically_relative(root);
        archive_entry_set_pathname(entry.get(), name.lexically_normal().c_str());
        archive_entry_copy_stat(entry.get(), &status);
        QByteArray data;
        if (S_ISLNK(status.st_mode)) {
            archive_entry_set_symlink(entry.get(), fs::read_symlink(path, ec).c_str());
        } else if (S_ISREG(status.st_mode)) {
            QFile file(QString::fromStdString(path.string()));
            if (!file.open(QIODevice::ReadOnly)) {
                return QStringLiteral("%1 cannot be read").arg(file.fileName());
            }
            data = file.readAll();
            archive_entry_set_size(entry.get(), data.size());
        }
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            (!data.isEmpty() &&
             archive_write_data(writer.get(), data.constData(), static_cast<size_t>(data.size())) !=
                 data.size())) {
            return describe(writer.get());
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        return describe(writer.get());
    }
    return std::nullopt;
}

} // namespace oculo::bundle
