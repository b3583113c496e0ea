#include "iosloadfilerelaythread.h"

#include "backup2tool.h"
#include "devicesession.h"
#include "filerelay.h"
#include "iosdevice.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>
#include <QRegularExpression>

#include <archive.h>
#include <archive_entry.h>
#include <utime.h>

#include <stdexcept>

namespace {

constexpr int bufferSize = 524288;
// Waits for data in slices this long, so that a cancel is seen while the device is silent.
constexpr int waitSliceMs = 200;
// Once data flows, a receive gathers what arrives within this pause into one chunk.
constexpr int gatherMs = 50;

const char archiveName[] = "file-relay.cpio";
const char extractName[] = "file-relay";
// A load unpacks beside the last complete tree and replaces it only when it is whole.
const char stagingName[] = "file-relay.partial";
const char retiredName[] = "file-relay.old";
// The caching index of the backup road describes copies in the tree being replaced.
const char cacheIndexName[] = "manifest.db";

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

// The entry's place below `root`, or empty when the name would lead elsewhere: the archive
// comes from the device and is not trusted.
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

// A buffered write is known to be on disk only once its file is closed: a full disk shows here.
void closeOrThrow(QFile &file, const QString &failure)
{
    file.close();
    if (file.error() != QFileDevice::NoError)
        throwRuntimeError(failure.arg(file.fileName(), file.errorString()));
}

void replaceFolder(const QString &staging, const QString &live, const QString &retired)
{
    removeFolderRecursively(retired);
    if (QFileInfo::exists(live) && !QDir().rename(live, retired))
        throwRuntimeError(QStringLiteral("replace %1 failed.").arg(live));
    if (!QDir().rename(staging, live)) {
        QDir().rename(retired, live);
        throwRuntimeError(QStringLiteral("replace %1 failed.").arg(live));
    }
    removeFolderRecursively(retired);
}

} // namespace

IOSLoadFileRelayThread::IOSLoadFileRelayThread(
    IOSDevice *device, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , device(device)
    , form(form)
{
}

IOSLoadFileRelayThread::~IOSLoadFileRelayThread() = default;

void IOSLoadFileRelayThread::checkCancelled() const
{
    if (form->failed)
        throw -1;
}

void IOSLoadFileRelayThread::release()
{
    if (m_socket >= 0) {
        mobiledevice_close_socket(m_socket);
        m_socket = -1;
    }
    if (m_reader) {
        archive_read_free(m_reader);
        m_reader = nullptr;
    }
}

void IOSLoadFileRelayThread::run()
{
    QString staging;
    QString archivePath;
    // Texts of the phone and of the disk are shown as they are, not read as markup; the
    // session's own texts are markup.
    bool plainText = false;
    try {
        ProgressForm::postUpdateProgress(form, tr("IDS_LOADING_IOS_DATABASES"), 0, QString());
        const QDir cache = device->cacheDir();
        mobiledevice_file_relay_start(device->handle, m_socket);
        plainText = true;
        mobiledevice_file_relay_request(
            m_socket, { QStringLiteral("UserDatabases") }, [this] { checkCancelled(); });
        if (!cache.exists())
            QDir().mkpath(cache.absolutePath());

        archivePath = cache.absoluteFilePath(QLatin1String(archiveName));
        receiveArchive(archivePath);
        release();

        staging = cache.absoluteFilePath(QLatin1String(stagingName));
        removeFolderRecursively(staging);
        if (!QDir().mkpath(staging))
            throwRuntimeError(QStringLiteral("create %1 error.").arg(staging));
        extractArchive(archivePath, QDir(staging));
        release();

        replaceFolder(staging, cache.absoluteFilePath(QLatin1String(extractName)),
            cache.absoluteFilePath(QLatin1String(retiredName)));
        QFile::remove(cache.absoluteFilePath(QLatin1String(cacheIndexName)));
        QFile::remove(archivePath);
        ProgressForm::postSucceed(form, QString());
    } catch (int) {
        release();
        if (!staging.isEmpty())
            removeFolderRecursively(staging);
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        release();
        if (!staging.isEmpty())
            removeFolderRecursively(staging);
        // A partial archive is of no use and may be what fills the disk.
        if (!archivePath.isEmpty())
            QFile::remove(archivePath);
        QString text
            = plainText ? backup2tool::escapedError(e.what()) : QString::fromUtf8(e.what());
        if (mobiledevice_device_gone(device->handle))
            text = mobiledevice_disconnected_text();
        ProgressForm::postErrorOccurred(form, text);
    }
}

void IOSLoadFileRelayThread::receiveArchive(const QString &archivePath)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwRuntimeError(
            QStringLiteral("create %1 failed. %2").arg(archivePath, file.errorString()));
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    qint64 total = 0;
    int silentMs = 0;
    for (;;) {
        checkCancelled();
        const int ready = mobiledevice_wait_socket(m_socket, waitSliceMs, true);
        if (ready < 0)
            throwRuntimeError(QStringLiteral("receive from the device failed."));
        if (ready == 0) {
            silentMs += waitSliceMs;
            // A device that stops in the middle has not sent the whole archive.
            if (silentMs >= m_stallTimeoutMs)
                throwRuntimeError(
                    QStringLiteral("The iPhone stopped sending its databases for %1 seconds.")
                        .arg(m_stallTimeoutMs / 1000));
            continue;
        }
        silentMs = 0;
        const int count = mobiledevice_recv(m_socket, buffer.data(), bufferSize, gatherMs);
        // Ready but nothing to read: the device closed the connection.
        if (count < 1)
            break;
        checkCancelled();
        total += count;
        ProgressForm::postUpdateProgress(
            form, QString(), 99, QStringLiteral("Received:%L1KB").arg(total / 1024));
        if (file.write(buffer.constData(), count) != count)
            throwRuntimeError(
                QStringLiteral("write %1 failed. %2").arg(archivePath, file.errorString()));
    }
    closeOrThrow(file, QStringLiteral("write %1 failed. %2"));
}

void IOSLoadFileRelayThread::extractArchive(const QString &archivePath, const QDir &target)
{
    m_reader = archive_read_new();
    archive_read_support_filter_all(m_reader);
    archive_read_support_format_all(m_reader);
    const int opened = archive_read_open_filename(
        m_reader, QFile::encodeName(archivePath).constData(), bufferSize);
    if (opened != ARCHIVE_OK)
        throwRuntimeError(QStringLiteral("open %1(%2) error.").arg(archivePath).arg(opened));

    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(m_reader, &entry);
        if (result == ARCHIVE_EOF)
            break;
        // Only the end of the archive ends it: a cut or damaged one is not a whole tree.
        if (result < ARCHIVE_WARN)
            throwRuntimeError(
                QStringLiteral("read %1 error. %2").arg(archivePath, archiveError(m_reader)));
        if (result == ARCHIVE_WARN)
            qWarning("%s: %s", qPrintable(archivePath), qPrintable(archiveError(m_reader)));
        checkCancelled();

        const QString rawName = entryName(entry);
        const QString name = cleanedName(rawName);
        ProgressForm::postUpdateProgress(form,
            QStringLiteral("Extracting %1").arg(name.section(QLatin1Char('/'), -1)), -1, QString());
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
            extractFile(path, archive_entry_size(entry), archive_entry_mtime(entry),
                archive_entry_atime(entry));
        } else {
            qWarning("Skipped archive %s: %s", typeName(type), qPrintable(rawName));
        }
    }
    // Nothing at all is no archive: the device went before it sent one.
    if (archive_format(m_reader) == ARCHIVE_FORMAT_EMPTY)
        throwRuntimeError(
            QStringLiteral("read %1 error. The iPhone sent no data.").arg(archivePath));
    archive_read_free(m_reader);
    m_reader = nullptr;
}

void IOSLoadFileRelayThread::extractFile(
    const QString &path, qint64 size, qint64 mtime, qint64 atime)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwRuntimeError(QStringLiteral("create %1 error. %2").arg(path, file.errorString()));
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        checkCancelled();
        ProgressForm::postUpdateProgress(
            form, QString(), -1, QStringLiteral("Extracted: %L1KB / %L2KB").arg(written).arg(size));
        const la_ssize_t count = archive_read_data(m_reader, buffer.data(), bufferSize);
        if (count == 0)
            break;
        if (count < 0)
            throwRuntimeError(
                QStringLiteral("read %1 error. %2").arg(path, archiveError(m_reader)));
        if (file.write(buffer.constData(), count) != count)
            throwRuntimeError(QStringLiteral("write %1 error. %2").arg(path, file.errorString()));
        written += count;
    }
    closeOrThrow(file, QStringLiteral("write %1 error. %2"));
    utimbuf times { static_cast<time_t>(atime), static_cast<time_t>(mtime) };
    ::utime(QFile::encodeName(path).constData(), &times);
}
