// Where temporary device backups go: the volumes of this computer as the choice of a backup
// root sees them, and that choice, remembered in a marker file of the data folder.
#pragma once

#include "platform/win/mounttable.h"

#include <QDir>
#include <QStringList>

// Every question about a volume is first put to the mount table: nothing here touches a
// network or FUSE mount (fuseblk too), which may never answer, and only a kernel driver's disk or
// memory file system is asked for its free space or writability.
class BackupDrives
{
public:
    // With this process's mount table.
    BackupDrives();
    // With a mount table in the format of /proc/self/mountinfo.
    explicit BackupDrives(const QByteArray &mountinfo);
    virtual ~BackupDrives();

    // The root folders of the mounted volumes that are not read-only, in the system's order;
    // the home folder stands for a fixed volume whose root this user cannot write to.
    virtual QStringList roots() const;
    virtual bool isFixed(const QString &root) const;
    // True when the table puts `path` on a network or FUSE mount, or below one.
    bool isRemote(const QString &path) const;
    // Tried by making and removing a folder there; false where the table forbids asking.
    virtual bool isWritable(const QString &root) const;
    // -1 where the table forbids asking.
    virtual qint64 freeSpace(const QString &root) const;
    // Used when no volume qualifies: the system's root, or the home folder when that root
    // cannot be written to.
    virtual QString systemRoot() const;

private:
    winplatform::MountTable m_mounts;
};

// Bytes free for this user on the volume of the folder; -1 when unknown.
qint64 freeDiskSpace(const QDir &folder);

// "__quillmarrow_iosbk_temp" under the remembered root, or under the fixed, writable volume
// with the most free space, which is then remembered. Never fails; creates nothing.
QDir tempBackupRoot(const BackupDrives &drives = BackupDrives());
// Deletes the temporary backup folder with everything in it and forgets the root.
void clearTempBackupRoot(const BackupDrives &drives = BackupDrives());
