#include "winplatform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTextStream>
#include <QUrl>

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace winplatform {

namespace {

// A registry text read into a 256-byte buffer holds at most 127 UTF-16 units plus the NUL.
constexpr int maxRegistryStringUnits = 127;

QString environmentOr(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

bool isRegistryKeyLine(const QString &line)
{
    return line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'));
}

bool sameRegistryName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The "removable" flag of the block device behind `device` (e.g. "/dev/sdb1"); a partition
// has no flag of its own, its disk one folder up does.
bool isRemovableBlockDevice(const QString &device)
{
    if (!device.startsWith(QLatin1String("/dev/")))
        return false;
    const QString name = device.mid(5);
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return false;
    const QString blockFolder
        = environmentOr("QUILLMARROW_SYS_BLOCK", QStringLiteral("/sys/class/block"));
    const QString sysPath = QFileInfo(QDir(blockFolder).filePath(name)).canonicalFilePath();
    if (sysPath.isEmpty())
        return false;
    for (const QString &candidate : { sysPath + QStringLiteral("/removable"),
             QFileInfo(sysPath).path() + QStringLiteral("/removable") }) {
        QFile flag(candidate);
        if (flag.open(QIODevice::ReadOnly))
            return flag.readAll().trimmed() == "1";
    }
    return false;
}

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

bool isRemoteMount(const Mount &mount)
{
    // An automount point mounts, at the first touch, whatever its map names: often a share.
    static const QStringList remoteTypes { QStringLiteral("nfs"), QStringLiteral("nfs4"),
        QStringLiteral("cifs"), QStringLiteral("smb"), QStringLiteral("smb3"),
        QStringLiteral("smbfs"), QStringLiteral("ncpfs"), QStringLiteral("ceph"),
        QStringLiteral("9p"), QStringLiteral("afs"), QStringLiteral("coda"),
        QStringLiteral("glusterfs"), QStringLiteral("lustre"), QStringLiteral("gpfs"),
        QStringLiteral("beegfs"), QStringLiteral("davfs"), QStringLiteral("sshfs"),
        QStringLiteral("virtiofs"), QStringLiteral("vboxsf"), QStringLiteral("autofs") };
    const QString &type = mount.fileSystemType;
    // fuseblk alone is a kernel driver's file system on a block device; every other FUSE
    // type answers through a daemon.
    return remoteTypes.contains(type) || type == QLatin1String("fuse")
        || type.startsWith(QLatin1String("fuse.")) || namesAHost(mount.source);
}

DriveType typeOfMount(const Mount &mount)
{
    static const QStringList ramTypes { QStringLiteral("tmpfs"), QStringLiteral("ramfs") };
    static const QStringList cdTypes { QStringLiteral("iso9660"), QStringLiteral("udf") };
    if (isRemoteMount(mount))
        return DriveType::Remote;
    if (ramTypes.contains(mount.fileSystemType))
        return DriveType::RamDisk;
    if (cdTypes.contains(mount.fileSystemType))
        return DriveType::CdRom;
    if (isRemovableBlockDevice(mount.source))
        return DriveType::Removable;
    return DriveType::Fixed;
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

// The mount holding `path` as the system finds it. The path's folders are walked from the root
// and each is classified before it is touched, so that the walk never looks into a remote mount,
// not even to follow a link: it stops at the first. -1 when no mount holds the path.
int mountOfPath(const MountTable &mounts, const QString &path)
{
    // The system's own limit on links followed in one path (ELOOP).
    constexpr int maxLinks = 40;
    QStringList rest
        = QDir::cleanPath(QDir(path).absolutePath()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString done = QStringLiteral("/");
    int mount = holdingMount(mounts, done);
    int links = 0;
    while (!rest.isEmpty() && mount >= 0 && !isRemoteMount(mounts[mount])) {
        const QString part = rest.takeFirst();
        if (part == QLatin1String("..")) {
            done = QFileInfo(done).path();
        } else if (part != QLatin1String(".")) {
            const QString next
                = done == QLatin1String("/") ? done + part : done + QLatin1Char('/') + part;
            mount = holdingMount(mounts, next);
            if (mount < 0 || isRemoteMount(mounts[mount]))
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

bool startDetachedOpener(const QString &target)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"), QStringList { target });
}

} // namespace

QString registryFilePath()
{
    return environmentOr("QUILLMARROW_REGISTRY", QStringLiteral("/etc/quillmarrow/registry.conf"));
}

QString readRegistryString(const QString &keyPath, const QString &valueName)
{
    QFile file(registryFilePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();

    const QString wantedKey = keyPath.trimmed();
    const QString wantedValue = valueName.trimmed();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    bool inKey = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';'))
            || line.startsWith(QLatin1Char('#')))
            continue;
        if (isRegistryKeyLine(line)) {
            inKey = sameRegistryName(line.mid(1, line.size() - 2).trimmed(), wantedKey);
            continue;
        }
        if (!inKey)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0 || !sameRegistryName(line.left(eq).trimmed(), wantedValue))
            continue;
        const QString value = line.mid(eq + 1).trimmed();
        return value.size() > maxRegistryStringUnits ? QString() : value;
    }
    return QString();
}

QString commonProgramFilesFolder()
{
    return environmentOr("QUILLMARROW_COMMON_FILES", QStringLiteral("/opt"));
}

QChar pathListSeparator()
{
    return QDir::listSeparator();
}

QString environmentPath()
{
    return qEnvironmentVariable("PATH");
}

bool setEnvironmentPath(const QString &value)
{
    return qputenv("PATH", value.toLocal8Bit());
}

QString programFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

QString findLibraryOnPath(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return name;
    const QStringList fileNames { QStringLiteral("lib%1.so").arg(name),
        QStringLiteral("%1.so").arg(name) };
    // Empty PATH entries would mean the working folder; libraries are never taken from there.
    QStringList folders = environmentPath().split(pathListSeparator(), Qt::SkipEmptyParts);
    // Then the program's own folder, where Windows also looks for a library named bare.
    folders << programFolder();
    for (const QString &folder : folders) {
        for (const QString &fileName : fileNames) {
            const QFileInfo candidate(QDir(folder), fileName);
            if (candidate.isFile())
                return candidate.absoluteFilePath();
        }
    }
    return name;
}

bool shellOpen(const QString &urlOrPath)
{
    const QString text = urlOrPath.trimmed();
    if (text.isEmpty())
        return false;
    const QUrl parsed(text, QUrl::StrictMode);
    const bool isWebAddress = parsed.isValid() && parsed.scheme().size() > 1;
    const QUrl url
        = isWebAddress ? parsed : QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
    if (QDesktopServices::openUrl(url))
        return true;
    // Without a desktop session Qt has no opener; the argument never starts with '-'.
    return startDetachedOpener(isWebAddress ? url.toString() : url.toLocalFile());
}

bool openFolder(const QString &path)
{
    const QFileInfo folder(path);
    if (path.isEmpty() || !folder.isDir())
        return false;
    const QString absolute = folder.absoluteFilePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(absolute)))
        return true;
    return startDetachedOpener(absolute);
}

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
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return MountTable();
    // A proc file says it is empty: read to its end.
    return parseMountTable(file.readAll());
}

DriveType mountDriveType(const MountTable &mounts, const QString &path)
{
    const int mount = mountOfPath(mounts, path);
    return mount < 0 ? DriveType::NoRootDir : typeOfMount(mounts[mount]);
}

QString mountPointOf(const MountTable &mounts, const QString &path)
{
    const int mount = mountOfPath(mounts, path);
    return mount < 0 ? QString() : mounts[mount].mountPoint;
}

DriveType driveType(const QString &path, const MountTable &mounts)
{
    if (path.isEmpty())
        return DriveType::NoRootDir;
    const DriveType type = mountDriveType(mounts, path);
    if (type == DriveType::Remote || type == DriveType::NoRootDir)
        return type;
    return QFileInfo::exists(path) ? type : DriveType::NoRootDir;
}

qint64 freeSpace(const QString &path, const MountTable &mounts)
{
    const DriveType type = driveType(path, mounts);
    if (type == DriveType::Remote || type == DriveType::NoRootDir)
        return -1;
    struct statvfs volume;
    if (::statvfs(QFile::encodeName(path).constData(), &volume) != 0)
        return -1;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
}

bool setFileTime(int fd, const QDateTime &lastAccess, const QDateTime &lastWrite)
{
    auto toTimespec = [](const QDateTime &time) {
        const qint64 ms = time.toMSecsSinceEpoch();
        timespec t;
        t.tv_sec = time_t(ms / 1000);
        t.tv_nsec = long(ms % 1000) * 1000000;
        if (t.tv_nsec < 0) {
            t.tv_sec -= 1;
            t.tv_nsec += 1000000000;
        }
        return t;
    };
    const timespec times[2] = { toTimespec(lastAccess), toTimespec(lastWrite) };
    return ::futimens(fd, times) == 0;
}

qint64 copyFileRange(int in, qint64 *inOffset, int out, qint64 *outOffset, qint64 length)
{
    loff_t from = *inOffset;
    loff_t to = *outOffset;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, &from, out, &to, size_t(length), 0);
        if (n >= 0) {
            *inOffset = from;
            *outOffset = to;
            return n;
        }
        if (errno != EINTR)
            return -1;
    }
}

} // namespace winplatform
