#include "app/restoreflow.h"

#include "app/backupsteps.h"
#include "app/flowhost.h"
#include "app/itemmodelmain.h"
#include "app/windowservices.h"
#include "app/workerstep.h"
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "messages/ios6messagedb.h"
#include "operations/ios6restoremessagesthread.h"
#include "shell/appconfig.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <exception>

namespace {

// Reads a device backup's property list and file index; false, after the error box, when
// they cannot be read. No password is asked: a transfer refuses encrypted backups.
bool openDeviceBackup(BackupManifest &backup)
{
    try {
        backup.loadManifestPlist();
        backup.loadFileTree();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return false;
    }
    return true;
}

} // namespace

RestoreFlow::RestoreFlow(FlowHost &host)
    : m_host(host)
{
}

bool RestoreFlow::cacheBackup(BackupManifest &backup, QDir *cacheDir)
{
    if (!cacheBackupMessages(backup, m_host.flowParent(), cacheDir))
        return false;
    // The merge writes the iOS 6+ layout only; an older database would be ruined.
    try {
        if (AbsIOSMessageDb::smsDbVersion(cachedSmsDbPath(*cacheDir)) != 6) {
            showWarning(tr("IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"));
            return false;
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return false;
    }
    return true;
}

void RestoreFlow::reportMerge(int restored, int skipped)
{
    if (skipped < 1)
        showInfo(tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(restored));
    else
        showInfo(
            tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER").arg(restored).arg(skipped));
}

void RestoreFlow::exportToITunesBackup(const MsgMessageList &messages)
{
    QWidget *parent = m_host.flowParent();
    const QSharedPointer<BackupManifest> backup = m_host.services().chooseBackup(parent);
    if (!backup)
        return;
    if (backup->deviceInfo().IsEncrypted) {
        showWarning(tr("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
        return;
    }
    QDir cacheDir;
    if (!loadBackupFileTree(*backup) || !cacheBackup(*backup, &cacheDir))
        return;
    IOS6MessageDb source(cacheDir, QString(), false);
    MsgMessageList list = messages;
    ProgressForm form(QString(), parent);
    IOS6RestoreMessagesThread worker(QString(), &list, &source, backup->backupDir(), &form, parent);
    // After a late cancel the worker has said what it wrote.
    if (runWorkerStep(worker, form) == StepResult::Done)
        reportMerge(worker.restored, worker.skipped);
}

QString RestoreFlow::transferNotes()
{
    const QString url
        = AppConfig::helpUrl(QStringLiteral("/guides/how-to-disable-find-my-iphone.html"));
    const QString detail = QStringLiteral("detail");
    const QString link = url.isEmpty()
        ? detail
        : QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toHtmlEscaped(), detail);
    return tr("IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF").arg(link);
}

bool RestoreFlow::stillAttached(void *handle) const
{
    return m_host.treeModel()->deviceNodeOf(handle);
}

void RestoreFlow::transferToIPhone(const MsgMessageList &messages, const AbsMessageDb *sourceDb)
{
    QWidget *parent = m_host.flowParent();
    // Copies of what the flow needs of each device: a device unplugged while a dialog is up
    // takes its node along.
    QList<IOSDevice> devices;
    QList<QSharedPointer<AbsMessageDb>> databases;
    QList<DataSourceItem> items;
    for (AbsTreeItemModel::_ItemNode *node : m_host.treeModel()->rootDevice()->children) {
        if (node->kind != IOSDeviceNode)
            continue;
        auto *deviceNode = static_cast<_IOSDeviceItemNode *>(node);
        if (deviceNode->db.data() == sourceDb)
            continue;
        devices << deviceNode->device;
        databases << deviceNode->db;
        items << DataSourceItem { QStringLiteral(":res/iphone.png"), node->name, devices.size() };
    }
    if (devices.isEmpty())
        return;
    const qint64 chosen
        = m_host.services().chooseDevice(parent, QObject::tr("IDS_SEL_ONE_IOS_DEVICE"), items);
    if (chosen < 1 || chosen > devices.size())
        return;
    IOSDevice device = devices.at(int(chosen) - 1);
    auto *database = dynamic_cast<AbsIOSMessageDb *>(databases.at(int(chosen) - 1).data());
    if (!database || database->version() != 6) {
        showWarning(tr("IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"));
        return;
    }
    if (!stillAttached(device.handle) || !device.checkBackupSettings(true, true))
        return;
    if (!device.productType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
        && !askYesNo(tr("You can recover iMessage only to an iPad/iPod. Want to continue?")))
        return;
    if (!askYesNo(transferNotes()) || !stillAttached(device.handle))
        return;

    QDir backupRoot;
    {
        ProgressForm form(QString(), parent);
        IOSMobileBackupThread worker(&device, &form, parent);
        if (!finished(runWorkerStep(worker, form)))
            return;
        backupRoot = worker.backupDir();
    }
    BackupManifest backup(backupRoot.filePath(device.udid), parent);
    if (!openDeviceBackup(backup))
        return;
    QDir cacheDir;
    if (!cacheBackup(backup, &cacheDir))
        return;
    IOS6MessageDb source(cacheDir, device.countryCode, false);
    MsgMessageList list = messages;
    int restored = 0;
    int skipped = 0;
    {
        ProgressForm form(QString(), parent);
        IOS6RestoreMessagesThread worker(
            device.countryCode, &list, &source, backup.backupDir(), &form, parent);
        const StepResult merged = runWorkerStep(worker, form);
        if (merged == StepResult::DoneAfterCancel)
            showInfo(tr("IDS_NOTHING_RESTORED_TO_IOS"));
        if (merged != StepResult::Done)
            return;
        restored = worker.restored;
        skipped = worker.skipped;
    }
    if (!stillAttached(device.handle))
        return;
    {
        ProgressForm form(QString(), parent);
        IOSMobileRestoreThread worker(&device, backupRoot, &form, parent);
        if (!finished(runWorkerStep(worker, form)))
            return;
    }
    refreshDevice(device, backupRoot);
    reportMerge(restored, skipped);
}

void RestoreFlow::refreshDevice(const IOSDevice &device, const QDir &backupRoot)
{
    if (!stillAttached(device.handle))
        return;
    QWidget *parent = m_host.flowParent();
    BackupManifest backup(backupRoot.filePath(device.udid), parent);
    if (!openDeviceBackup(backup))
        return;
    // The copy is written anew beneath the node's connection.
    if (_IOSDeviceItemNode *node = m_host.treeModel()->deviceNodeOf(device.handle))
        node->db->close();
    ProgressForm form(QString(), parent);
    ITunesCacheSMSThread worker(&backup, device.cacheDir().absolutePath(), &form, parent);
    if (finished(runWorkerStep(worker, form)))
        m_host.reopenDevice(device.handle);
}
