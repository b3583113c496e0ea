// A backup of the phone into the folder named by its identifier below the root: the status
// marked unfinished first, the files under their ids (encrypted when the phone encrypts its
// backups), the index and the manifest, and the status marked finished last. Files of a
// finished earlier backup that have not changed since are kept as they are.
#pragma once

#include "backupcrypto.h"
#include "indexfile.h"
#include "phonefolder.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QSet>

class DeviceBackup
{
public:
    DeviceBackup(const PhoneFolder &phone, const QDir &root);

    // Throws std::runtime_error when the backup cannot be made.
    void run();

    // The manifest, the index and whether a backup is finished: shared with the restore.
    static const char manifestName[];
    static const char indexName[];
    static bool isFinished(const QDir &folder);

private:
    struct FileEntry
    {
        QString localPath;
        IndexRecord record;
    };

    void loadEarlierBackup();
    void collect();
    void addFolder(const QString &domain, const QString &path, const QString &localPath);
    void addParents(const QString &domain, const QString &path, const QString &localPath);
    bool reuse(FileEntry &entry) const;
    void store(FileEntry &entry);
    void removeStaleFiles(const QSet<QString> &kept) const;
    void writeManifest() const;
    void writeStatus(bool finished) const;

    const PhoneFolder &m_phone;
    QDir m_folder;
    bool m_encrypted = false;
    BackupKeys m_keys;
    QHash<QString, IndexRecord> m_earlier;
    QList<IndexRecord> m_folders;
    QSet<QString> m_folderIds;
    QList<FileEntry> m_files;
    quint32 m_nextInode = 1;
};
