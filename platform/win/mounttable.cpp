#include "mounttable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <unistd.h>

namespace winplatform {

namespace {

// The table escapes space, tab, newline and backslash as three octal digits.
QByteArray unescapedField(const QByteArray &field)
{
    auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] <= '3' && isOctal(field[i + 1])
            && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            out += char(
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool hasOption(const QByteArray &options, const char *option)
{
    return options.split(',').contains(option);
}

// "server:/export", "//server/share", "10.0.0.1@tcp:/fs": a source that names a host, whatever
// the file system's type.
bool namesAHost(const QString &source)
{
    const int colon = source.indexOf(QLatin1String(":/"));
    return source.startsWith(QLatin1String("//"))
        || (colon > 0 && !source.leftRef(colon).contains(QLatin1Char('/')));
}

bool isUntouchable(const Mount &mount)
{
    return mountKind(mount) == MountKind::Untouchable;
}

// The mount holding the clean, absolute, link-free `path`: the longest mount point that is the
// path or a folder above it; of mounts on one point the last, which hides the others.
int holdingMount(const MountTable &mounts, const QString &path)
{
    int best = -1;
    for (int i = 0; i < mounts.size(); ++i) {
        const QString &point = mounts[i].mountPoint;
        const bool holds = point == QLatin1String("/") || path == point
            || (path.startsWith(point) && path.at(point.size()) == QLatin1Char('/'));
        if (holds && (best < 0 || point.size() >= mounts[best].mountPoint.size()))
            best = i;
    }
    return best;
}

QString symLinkTarget(const QString &path)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n
        = ::readlink(QFile::encodeName(path).constData(), target.data(), size_t(target.size()));
    return n > 0 && n < target.size() ? QFile::decodeName(target.left(int(n))) : QString();
}

// The walk never looks into an untouchable mount, not even to follow a link: it stops at the
// first.
int mountIndexOf(const MountTable &mounts, const QString &path)
{
    // The system's own limit on links followed in one path (ELOOP).
    constexpr int maxLinks = 40;
    QStringList rest
        = QDir::cleanPath(QDir(path).absolutePath()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString done = QStringLiteral("/");
    int mount = holdingMount(mounts, done);
    int links = 0;
    while (!rest.isEmpty() && mount >= 0 && !isUntouchable(mounts[mount])) {
        const QString part = rest.takeFirst();
        if (part == QLatin1String("..")) {
            done = QFileInfo(done).path();
        } else if (part != QLatin1String(".")) {
            const QString next
                = done == QLatin1String("/") ? done + part : done + QLatin1Char('/') + part;
            mount = holdingMount(mounts, next);
            if (mount < 0 || isUntouchable(mounts[mount]))
                break;
            const QString target = symLinkTarget(next);
            if (target.isEmpty()) {
                done = next;
            } else if (++links > maxLinks) {
                return -1;
            } else {
                rest = target.split(QLatin1Char('/'), Qt::SkipEmptyParts) + rest;
                if (target.startsWith(QLatin1Char('/')))
                    done = QStringLiteral("/");
            }
        }
        mount = holdingMount(mounts, done);
    }
    return mount;
}

} // namespace

MountTable parseMountTable(const QByteArray &mountinfo)
{
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue": the
    // mount point is the fifth field, the mount's options the sixth; optional fields follow
    // up to "-", then the type, the source and the file system's own options.
    MountTable mounts;
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int dash = fields.indexOf("-", 6);
        if (dash < 0 || dash + 3 >= fields.size())
            continue;
        Mount mount;
        mount.mountPoint = QFile::decodeName(unescapedField(fields[4]));
        if (!mount.mountPoint.startsWith(QLatin1Char('/')))
            continue;
        mount.fileSystemType = QString::fromUtf8(unescapedField(fields[dash + 1])).toLower();
        mount.source = QFile::decodeName(unescapedField(fields[dash + 2]));
        mount.readOnly = hasOption(fields[5], "ro") || hasOption(fields[dash + 3], "ro");
        mounts << mount;
    }
    return mounts;
}

MountTable mountTable()
{
    QString path = qEnvironmentVariable("QUILLMARROW_MOUNTINFO");
    if (path.isEmpty())
        path = QStringLiteral("/proc/self/mountinfo");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return MountTable();
    // A proc file says it is empty: read to its end.
    return parseMountTable(file.readAll());
}

MountKind mountKind(const Mount &mount)
{
    // An automount point mounts, at the first touch, whatever its map names: often a share.
    static const QStringList remoteTypes { QStringLiteral("nfs"), QStringLiteral("nfs4"),
        QStringLiteral("cifs"), QStringLiteral("smb"), QStringLiteral("smb3"),
        QStringLiteral("smbfs"), QStringLiteral("ncpfs"), QStringLiteral("ceph"),
        QStringLiteral("9p"), QStringLiteral("afs"), QStringLiteral("coda"),
        QStringLiteral("glusterfs"), QStringLiteral("lustre"), QStringLiteral("gpfs"),
        QStringLiteral("beegfs"), QStringLiteral("davfs"), QStringLiteral("sshfs"),
        QStringLiteral("virtiofs"), QStringLiteral("vboxsf"), QStringLiteral("autofs") };
    static const QStringList memoryTypes { QStringLiteral("tmpfs"), QStringLiteral("ramfs") };
    // Kernel file systems whose source names no device node: a ZFS data set, an overlay of
    // local folders.
    static const QStringList poolTypes { QStringLiteral("zfs"), QStringLiteral("overlay") };
    const QString &type = mount.fileSystemType;
    // fuseblk takes a block device, but its daemon, not the kernel, answers for it.
    const bool fuse = type == QLatin1String("fuse") || type == QLatin1String("fuseblk")
        || type.startsWith(QLatin1String("fuse.")) || type.startsWith(QLatin1String("fuseblk."));
    if (fuse || remoteTypes.contains(type) || namesAHost(mount.source))
        return MountKind::Untouchable;
    if (memoryTypes.contains(type))
        return MountKind::Memory;
    if (mount.source.startsWith(QLatin1String("/dev/")) || poolTypes.contains(type))
        return MountKind::Disk;
    return MountKind::Other;
}

const Mount *mountOf(const MountTable &mounts, const QString &path)
{
    const int mount = mountIndexOf(mounts, path);
    return mount < 0 ? nullptr : &mounts[mount];
}

QString mountPointOf(const MountTable &mounts, const QString &path)
{
    const Mount *mount = mountOf(mounts, path);
    return mount ? mount->mountPoint : QString();
}

bool mayAsk(const MountTable &mounts, const QString &path)
{
    const Mount *mount = mountOf(mounts, path);
    if (!mount)
        return false;
    const MountKind kind = mountKind(*mount);
    return kind == MountKind::Disk || kind == MountKind::Memory;
}

} // namespace winplatform
