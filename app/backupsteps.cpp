#include "app/backupsteps.h"

#include "app/workerstep.h"
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <exception>

bool loadBackupFileTree(BackupManifest &backup)
{
    try {
        backup.loadFileTree();
        return true;
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return false;
    }
}

bool cacheBackupMessages(BackupManifest &backup, QWidget *parent, QDir *cacheDir)
{
    ProgressForm form(QString(), parent);
    ITunesCacheSMSThread worker(&backup, &form, parent);
    if (!finished(runWorkerStep(worker, form)))
        return false;
    *cacheDir = worker.cacheDir();
    return true;
}

QString cachedSmsDbPath(const QDir &cacheDir)
{
    return cacheDir.filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}
