// Changes to the stored files and the index of a backup folder that land as a whole, also
// when the process dies part-way or the power fails. Each change is first staged in a folder
// of ours inside the backup; commit() writes a journal that names them all with their
// digests and then moves them in. A patch that stops before its journal is written leaves
// the backup as it was; one that stops after it is finished by finishInterrupted(), which
// every open of the backup calls first. One writer at a time per backup: a patch holds the
// backup's lock, kept in the program's records and never in the backup, from its
// construction to its destruction.
#pragma once

#include "backup/mbdbrecord.h"
#include "platform/durablefile/targetlock.h"

#include <QDir>
#include <QList>
#include <QString>

class BackupPatch
{
public:
    // Takes the backup's lock, then finishes or drops what an interrupted patch left. Throws
    // "Another window is writing into the backup %1. ..." when another writer, in this
    // process or another, holds the lock, and "can not overwrite %1." naming the lock's claim
    // when none can be made. `stamp` (Unix seconds) names the files kept aside:
    // "<name>-<stamp>". Read the index after constructing, so that the patch starts from
    // what the folder holds.
    BackupPatch(const QDir &backupFolder, qint64 stamp);
    // Drops what was staged and not committed: the backup stays as it was.
    ~BackupPatch();
    BackupPatch(const BackupPatch &) = delete;
    BackupPatch &operator=(const BackupPatch &) = delete;

    // Stages a copy of `source` to take the place of `name`; at commit the file there now is
    // kept aside under its name followed by "-" and the stamp. Returns the staged copy, whose
    // times the index takes. Throws "can not overwrite %1.".
    QString replaceFile(const QString &name, const QString &source);
    // Stages a copy of `source` as `name` when nothing is there yet and returns the copy;
    // empty when a file is there already (it stays as it is). Throws "can not overwrite %1.".
    QString addFile(const QString &name, const QString &source);
    // Stages the index as "Manifest.mbdb", the earlier one kept aside like replaceFile.
    void writeIndex(const MbdbIndex &index);

    // Writes the journal, from which on the patch lands as a whole, and moves every staged
    // file into place, the index last. Throws "can not overwrite %1." when a file cannot be
    // moved; the next open of the backup finishes the patch then. Throws, leaving the backup
    // as it was, when a staged file no longer holds what was staged.
    void commit();

    QString path(const QString &name) const { return folder.filePath(name); }

    // Finishes a patch whose journal was written and drops one whose journal was not, one
    // made for an index that the folder no longer holds (the backup was made anew since), or
    // one whose staged files changed after staging. Leaves everything alone while another
    // writer holds the backup's lock. Throws "can not overwrite %1." when a staged file cannot
    // be moved in.
    static void finishInterrupted(const QDir &backupFolder);
    // The folder of ours inside a backup folder, there only while a patch runs.
    static const char stagingName[];

    // One staged file: the names of the copy in the staging folder, of its place in the
    // backup and of the file kept aside (empty: nothing is there to keep), and the SHA-1 of
    // the staged copy (empty in journals of earlier versions, which recorded none).
    struct Change
    {
        QString staged;
        QString target;
        QString aside;
        QByteArray digest;
    };

private:
    void startStaging(const QString &target);
    QString stage(const QString &name, const QString &source, bool keepAside);
    QString stagingPath() const;
    QString asideName(const QString &target) const;

    QDir folder;
    qint64 stamp;
    TargetLock lock;
    QList<Change> changes;
    Change index;
    QByteArray indexBefore;
    bool staging = false;
    bool committed = false;
};
