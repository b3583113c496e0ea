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
// This process's mounts. The kernel answers from memory, without asking any file system.
MountTable mountTable();

// Network and FUSE file systems (but fuseblk) and automount points: a dropped share or a stuck
// daemon never answers, and whatever touches it sleeps for good.
bool isRemoteMount(const Mount &mount);

// The mount holding `path` as the system finds it, from the table alone: its folders are
// classified from the root down before each is touched, symbolic links are followed on local
// mounts only, and the first remote mount on the way holds the rest. Null when no mount holds
// the path; else it points into `mounts`.
const Mount *mountOf(const MountTable &mounts, const QString &path);
// The mount point of mountOf; empty when no mount holds `path`.
QString mountPointOf(const MountTable &mounts, const QString &path);

} // namespace winplatform
