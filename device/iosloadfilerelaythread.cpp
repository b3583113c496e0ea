#include "iosloadfilerelaythread.h"

#include "backup2tool.h"
#include "devicesession.h"
#include "filerelay.h"
#include "filerelayarchive.h"
#include "iosdevice.h"
#include "platform/durablefile/durablefile.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>

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
        extractFileRelayArchive(
            archivePath, QDir(staging), [this](const QString &title, const QString &detail) {
                checkCancelled();
                ProgressForm::postUpdateProgress(form, title, -1, detail);
            });

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
        QString error;
        if (!durable::writeAll(file, buffer.constData(), count, archivePath, &error))
            throwRuntimeError(QStringLiteral("write %1 failed. %2").arg(archivePath, error));
    }
    closeOrThrow(file, QStringLiteral("write %1 failed. %2"));
}
