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

DriveType typeOfMount(const Mount &mount)
{
    static const QStringList cdTypes { QStringLiteral("iso9660"), QStringLiteral("udf") };
    switch (mountKind(mount)) {
    case MountKind::Untouchable:
        return DriveType::Remote;
    case MountKind::Memory:
        return DriveType::RamDisk;
    case MountKind::Other:
        return DriveType::Unknown;
    case MountKind::Disk:
        break;
    }
    if (cdTypes.contains(mount.fileSystemType))
        return DriveType::CdRom;
    if (isRemovableBlockDevice(mount.source))
        return DriveType::Removable;
    return DriveType::Fixed;
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

DriveType mountDriveType(const MountTable &mounts, const QString &path)
{
    const Mount *mount = mountOf(mounts, path);
    return mount ? typeOfMount(*mount) : DriveType::NoRootDir;
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
    if (path.isEmpty() || !mayAsk(mounts, path))
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
