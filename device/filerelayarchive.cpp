#include "filerelayarchive.h"

#include "platform/durablefile/durablefile.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <archive.h>
#include <archive_entry.h>
#include <utime.h>

#include <memory>

namespace {

constexpr int bufferSize = 524288;

using ReaderPtr = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

QString archiveError(struct archive *reader)
{
    const char *text = archive_error_string(reader);
    return text ? QString::fromUtf8(text) : QStringLiteral("unknown archive error");
}

QString entryName(struct archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char *raw = archive_entry_pathname(entry))
        return QString::fromUtf8(raw);
    return QString();
}

// The name as the device's cache keeps it: no leading "./" and none of : * ? " < > |.
QString cleanedName(QString name)
{
    static const QRegularExpression leadingDot(QStringLiteral("^\\./"));
    static const QRegularExpression forbidden(QStringLiteral("[:*?\"<>|]"));
    name.remove(leadingDot);
    name.remove(forbidden);
    return name;
}

// The entry's place below `root`, or empty when the name would lead elsewhere.
QString placeInside(const QDir &root, const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return QString();
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.contains(QStringLiteral("..")))
        return QString();
    const QString base = QDir::cleanPath(root.absolutePath());
    const QString path = QDir::cleanPath(base + QLatin1Char('/') + name);
    return path.startsWith(base + QLatin1Char('/')) ? path : QString();
}

const char *typeName(unsigned int type)
{
    switch (type) {
    case AE_IFLNK:
        return "link";
    case AE_IFSOCK:
        return "socket";
    case AE_IFCHR:
    case AE_IFBLK:
        return "device";
    case AE_IFIFO:
        return "pipe";
    default:
        return "entry of unknown type";
    }
}

void extractFile(struct archive *reader, const QString &path, qint64 size, qint64 mtime,
    qint64 atime, const FileRelayProgress &progress)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwRuntimeError(QStringLiteral("create %1 error. %2").arg(path, file.errorString()));
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        progress(QString(), QStringLiteral("Extracted: %L1KB / %L2KB").arg(written).arg(size));
        const la_ssize_t count = archive_read_data(reader, buffer.data(), bufferSize);
        if (count == 0)
            break;
        if (count < 0)
            throwRuntimeError(QStringLiteral("read %1 error. %2").arg(path, archiveError(reader)));
        QString error;
        if (!durable::writeAll(file, buffer.constData(), count, path, &error))
            throwRuntimeError(QStringLiteral("write %1 error. %2").arg(path, error));
        written += count;
    }
    closeOrThrow(file, QStringLiteral("write %1 error. %2"));
    utimbuf times { static_cast<time_t>(atime), static_cast<time_t>(mtime) };
    ::utime(QFile::encodeName(path).constData(), &times);
}

} // namespace

void closeOrThrow(QFile &file, const QString &failure)
{
    // A flush that wrote part of the buffer keeps the rest: the second one meets the
    // failure itself and names it.
    if (!file.flush() && !file.flush())
        throwRuntimeError(failure.arg(
            file.fileName(), durable::writeFailure(file.fileName(), file.errorString())));
    file.close();
    if (file.error() != QFileDevice::NoError)
        throwRuntimeError(failure.arg(
            file.fileName(), durable::writeFailure(file.fileName(), file.errorString())));
}

void extractFileRelayArchive(
    const QString &archivePath, const QDir &target, const FileRelayProgress &progress)
{
    const ReaderPtr owner(archive_read_new(), &archive_read_free);
    struct archive *reader = owner.get();
    // A phone sends a gzip-compressed cpio archive and nothing else: every other reader
    // libarchive has is more code open to what a hostile device sends.
    archive_read_support_filter_gzip(reader);
    archive_read_support_format_cpio(reader);
    archive_read_support_format_empty(reader);
    const int opened = archive_read_open_filename(
        reader, QFile::encodeName(archivePath).constData(), bufferSize);
    if (opened != ARCHIVE_OK)
        throwRuntimeError(QStringLiteral("open %1(%2) error.").arg(archivePath).arg(opened));

    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader, &entry);
        if (result == ARCHIVE_EOF)
            break;
        // Only the end of the archive ends it: a cut or damaged one is not a whole tree.
        if (result < ARCHIVE_WARN)
            throwRuntimeError(
                QStringLiteral("read %1 error. %2").arg(archivePath, archiveError(reader)));
        if (result == ARCHIVE_WARN)
            qWarning("%s: %s", qPrintable(archivePath), qPrintable(archiveError(reader)));
        // Without compression libarchive reads on: the stream must have come through gzip.
        if (archive_filter_code(reader, 0) != ARCHIVE_FILTER_GZIP)
            throwRuntimeError(
                QStringLiteral("read %1 error. The iPhone sent an uncompressed %2.")
                    .arg(archivePath, QString::fromUtf8(archive_format_name(reader))));

        const QString rawName = entryName(entry);
        const QString name = cleanedName(rawName);
        progress(
            QStringLiteral("Extracting %1").arg(name.section(QLatin1Char('/'), -1)), QString());
        const unsigned int type = archive_entry_filetype(entry);
        const QString path = placeInside(target, name);
        if (path.isEmpty()) {
            if (QDir::cleanPath(name) != QLatin1String("."))
                qWarning("Skipped archive entry outside the folder: %s", qPrintable(rawName));
            continue;
        }
        if (archive_entry_hardlink(entry)) {
            qWarning("Skipped archive link: %s", qPrintable(rawName));
            continue;
        }
        if (type == AE_IFDIR) {
            if (!QDir().mkpath(path))
                throwRuntimeError(QStringLiteral("create %1 error.").arg(path));
        } else if (type == AE_IFREG) {
            extractFile(reader, path, archive_entry_size(entry), archive_entry_mtime(entry),
                archive_entry_atime(entry), progress);
        } else {
            qWarning("Skipped archive %s: %s", typeName(type), qPrintable(rawName));
        }
    }
    // Nothing at all is no archive: the device went before it sent one.
    if (archive_format(reader) == ARCHIVE_FORMAT_EMPTY)
        throwRuntimeError(
            QStringLiteral("read %1 error. The iPhone sent no data.").arg(archivePath));
}
