// The kernel's table of mounts, and the mount that holds a path, found without asking any file
// system that may never answer.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace winplatform {

// A mount of the kernel's mount table, its escaped fields decoded.
struct Mount
{
    QString mountPoint;
    QString fileSystemType; // lower case
    QString source;
    bool readOnly = false;
};
using MountTable = QVector<Mount>;

// The mounts of a text in the format of /proc/self/mountinfo, in its order; a line that does
// not parse is left out.
MountTable parseMountTable(const QByteArray &mountinfo);
// This process's mounts, from /proc/self/mountinfo or the file $QUILLMARROW_MOUNTINFO names. The
// kernel answers from memory, without asking any file system.
MountTable mountTable();

// What may be asked of the files of a mount.
enum class MountKind {
    // Served by a daemon in user space (every FUSE type: fuse, fuse.*, and fuseblk, under which
    // ntfs-3g and exfat-fuse serve USB disks) or over a network, or an automount point: a stuck
    // daemon or a dropped share never answers, and whatever touches it sleeps for good. Nothing
    // on it or below it is touched.
    Untouchable,
    // A kernel driver's file system on a block device (a ZFS data set too), or an overlay of the
    // kernel's own local file systems (a container's root).
    Disk,
    // tmpfs and ramfs: the kernel's memory.
    Memory,
    // The kernel's views of itself (proc, sysfs, cgroup...) and what the table cannot place:
    // walked through, but holding no volume to ask about.
    Other,
};

MountKind mountKind(const Mount &mount);

// The mount holding `path` as the system finds it, from the table alone: its folders are
// classified from the root down before each is touched, symbolic links are followed outside
// untouchable mounts only, and the first untouchable mount on the way holds the rest. Null when
// no mount holds the path; else it points into `mounts`.
const Mount *mountOf(const MountTable &mounts, const QString &path);
// The mount point of mountOf; empty when no mount holds `path`.
QString mountPointOf(const MountTable &mounts, const QString &path);
// True when the mount holding `path` is a Disk or Memory one: only those are asked for size,
// free space or writability.
bool mayAsk(const MountTable &mounts, const QString &path);

} // namespace winplatform
