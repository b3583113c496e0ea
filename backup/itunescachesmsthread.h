// The worker that copies the message and address-book folders of an opened backup into the
// "file-relay" layout of a cache folder, decrypting on the way and skipping files that the
// cache index shows unchanged since the last copy. Each copy appears under its name only
// whole and synced; the index forgets a file before its copy is replaced, learns the copies
// once all are in place and their folders synced, and trusts a copy only while it has the
// size the backup gives it, so a kill or a power loss costs a copy again, never a damaged
// one. One window at a time.
#pragma once

#include "backup/itunescachemanifestdb.h"
#include "platform/durablefile/durablebatch.h"

#include <QDir>
#include <QThread>

#include <memory>

class BackupManifest;
struct BackupFileNode;
class ProgressForm;

// "itunes_cache/<backup id>" in the data folder.
QString itunesCacheFolder(const BackupManifest &backup);
// "cache" in the data folder.
QString cacheFolderPath();

class ITunesCacheSMSThread : public QThread
{
    Q_OBJECT
public:
    ITunesCacheSMSThread(BackupManifest *backup, ProgressForm *form, QObject *parent = nullptr);
    ITunesCacheSMSThread(BackupManifest *backup, const QString &cacheDir, ProgressForm *form,
        QObject *parent = nullptr);
    // Commits the cache index.
    ~ITunesCacheSMSThread() override;

    QDir cacheDir() const { return m_cacheDir; }

    void run() override;
    void cacheNode(const BackupFileNode *node, const QString &targetFolder);

private:
    class CopyPool;

    void cacheTopFolder(
        const BackupFileNode *node, const QString &targetFolder, const QString &name);
    void cacheFolder(const BackupFileNode *node, const QString &targetFolder, const QString &name);
    void cacheFile(const BackupFileNode *node, const QString &targetFolder);
    void abandon();

    BackupManifest *m_backup;
    ProgressForm *m_form;
    QDir m_cacheDir;
    std::unique_ptr<ITunesCacheManifestDb> m_index;
    // The copies of this run, put in place together once all are whole and synced.
    std::unique_ptr<DurableBatch> m_batch;
    // The copies of this run, made on a few threads while the walk goes on.
    std::unique_ptr<CopyPool> m_pool;
    // The folders whose own files are the databases: those must copy, or the run fails.
    const BackupFileNode *m_smsNode = nullptr;
    const BackupFileNode *m_addressBookNode = nullptr;
    // The last run was killed: its unfinished copies are removed on the way.
    bool m_sweep = false;
    bool m_indexExists = false;
};
