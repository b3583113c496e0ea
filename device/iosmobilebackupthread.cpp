#include "iosmobilebackupthread.h"

#include "backup2tool.h"
#include "backupdrives.h"
#include "devicesession.h"
#include "iosdevice.h"

#include "backup/plistvalue.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>

#include <stdexcept>

namespace {

const char statusFile[] = "Status.plist";
const char manifestFile[] = "Manifest.plist";
const char indexFile[] = "Manifest.mbdb";

PlistValue readPlist(const QDir &folder, const char *name)
{
    QFile file(folder.absoluteFilePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return PlistValue();
    return PlistValue::fromData(file.readAll());
}
} // namespace

IOSMobileBackupThread::IOSMobileBackupThread(IOSDevice *device, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , device(device)
    , form(form)
{
}

IOSMobileBackupThread::~IOSMobileBackupThread()
{
    if (tool)
        tool->deleteLater();
}

bool IOSMobileBackupThread::isFinishedBackup(const QDir &folder, const QString &productVersion)
{
    if (!folder.exists())
        return false;
    for (const char *name : { statusFile, manifestFile, indexFile }) {
        if (!QFileInfo(folder.absoluteFilePath(QLatin1String(name))).isFile())
            return false;
    }
    const QString state
        = readPlist(folder, statusFile).item(QStringLiteral("SnapshotState")).toString();
    const QString version = readPlist(folder, manifestFile)
                                .item(QStringLiteral("Lockdown"))
                                .item(QStringLiteral("ProductVersion"))
                                .toString();
    return state == QLatin1String("finished") && !version.isEmpty() && version == productVersion;
}

void IOSMobileBackupThread::backupUpdate(double pg, QString, QString)
{
    ProgressForm::postUpdateProgress(form, QString(), static_cast<int>(pg), QString());
}

void IOSMobileBackupThread::run()
{
    ProgressForm::postUpdateProgress(form, tr("IDS_BACKING_UP_IOS"), 0, QString());
    // Chosen here, not in the window's thread: the drive scan may meet a disk that is slow to
    // answer.
    m_backupRoot = tempBackupRoot();
    tool = new backup2tool(device->handle, device->udid, m_backupRoot);
    // The window's thread cancels it directly and deletes it later, as one made there.
    tool->moveToThread(thread());
    // The identifier comes from the device: it must name one folder of the root, nothing above.
    if (!isOneFolderEntry(device->udid)) {
        ProgressForm::postErrorOccurred(form,
            QStringLiteral("Invalid device identifier: %1").arg(device->udid.toHtmlEscaped()));
        return;
    }
    const QDir deviceFolder(m_backupRoot.absoluteFilePath(device->udid));
    if (!isFinishedBackup(deviceFolder, device->productVersion))
        removeFolderRecursively(deviceFolder.absolutePath());

    connect(tool, &backup2tool::update, this, &IOSMobileBackupThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
    try {
        if (!form->failed)
            tool->run(backup2tool_op(backup2tool_op::Backup));
        if (form->failed || tool->cancelled()) {
            // Stopped part-way over an earlier backup: it must not read as finished.
            QFile::remove(deviceFolder.absoluteFilePath(QLatin1String(statusFile)));
            return;
        }
        ProgressForm::postSucceed(form, QString());
    } catch (const std::exception &e) {
        removeFolderRecursively(deviceFolder.absolutePath());
        if (mobiledevice_device_gone(device->handle)) {
            ProgressForm::postErrorOccurred(form, mobiledevice_disconnected_text());
            return;
        }
        ProgressForm::postErrorOccurred(form,
            backup2tool::escapedError(e.what())
                + QStringLiteral("<br/><br/>Note: You can restart your device to try again."));
    }
}
