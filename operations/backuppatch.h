// Changes to the stored files and the index of a backup folder that are undone as a whole:
// until commit() every change can be taken back, leaving each file of the folder as it was.
#pragma once

#include "backup/mbdbrecord.h"

#include <QDir>
#include <QList>
#include <QString>

class BackupPatch
{
public:
    // `stamp` (Unix seconds) names the files kept aside: "<name>-<stamp>".
    BackupPatch(const QDir &backupFolder, qint64 stamp);
    // Rolls back what was not committed.
    ~BackupPatch();
    BackupPatch(const BackupPatch &) = delete;
    BackupPatch &operator=(const BackupPatch &) = delete;

    // Puts a copy of `source` at `name` in the folder. A file that was there is kept aside
    // under its name followed by "-" and the stamp. Throws "can not overwrite %1.".
    void replaceFile(const QString &name, const QString &source);
    // Copies `source` to `name` in the folder when nothing is there yet; false when a file
    // was there already (it is left as it is). Throws "can not overwrite %1.".
    bool addFile(const QString &name, const QString &source);
    // Writes the index as "Manifest.mbdb", keeping the earlier one aside like replaceFile.
    void writeIndex(const MbdbIndex &index);

    // Keeps every change.
    void commit();
    // Takes back every change, newest first; the folder is as it was before.
    void rollback();

    QString path(const QString &name) const { return folder.filePath(name); }

private:
    struct Change
    {
        QString target;
        QString keptAside; // empty: the target is new
    };
    QString temporaryCopy(const QString &target, const QString &source);
    QString temporaryPath(const QString &target);
    void install(const QString &temporary, const QString &target);
    QString asidePath(const QString &target) const;

    QDir folder;
    qint64 stamp;
    QList<Change> changes;
};
