#include "app/restoreflow.h"

#include "app/backupsteps.h"
#include "app/flowhost.h"
#include "app/windowservices.h"
#include "app/workerstep.h"
#include "backup/backupmanifest.h"
#include "messages/ios6messagedb.h"
#include "operations/ios6restoremessagesthread.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <exception>

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

void RestoreFlow::reportMerge(const IOS6RestoreMessagesThread &worker)
{
    if (worker.skipped < 1)
        showInfo(tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(worker.restored));
    else
        showInfo(tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER")
                     .arg(worker.restored)
                     .arg(worker.skipped));
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
    IOS6RestoreMessagesThread worker(
        QString(), &list, &source, backup->backupDir(), &form, parent);
    // After a late cancel the worker has said what it wrote.
    if (runWorkerStep(worker, form) == StepResult::Done)
        reportMerge(worker);
}
