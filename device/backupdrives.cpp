#include "backupdrives.h"

#include "platform/durablefile/durablefile.h"
#include "platform/win/winplatform.h"
#include "shell/datafolder.h"

#include <QDateTime>
#include <QFile>

namespace {

const char tempFolderName[] = "__quillmarrow_iosbk_temp";
const char markerName[] = "__quillmarrow_iosbk_temp.path";

QString markerPath()
{
    return dataFolder().absoluteFilePath(QLatin1String(markerName));
}

// The remembered root when it is still a folder we may write to; one the mount table puts on
// a remote or FUSE mount is not looked at.
QString rememberedRoot(const BackupDrives &drives)
{
    QFile marker(markerPath());
    if (!marker.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(marker.read(64 * 1024)).trimmed();
    if (!QDir::isAbsolutePath(text) || drives.isRemote(text) || !QFileInfo(text).isDir()
        || !drives.isWritable(text))
        return QString();
    return QDir::cleanPath(text);
}

QString chooseRoot(const BackupDrives &drives)
{
    qint64 best = 0;
    QString root;
    for (const QString &candidate : drives.roots()) {
        if (!drives.isFixed(candidate) || !drives.isWritable(candidate))
            continue;
        const qint64 free = drives.freeSpace(candidate);
        if (free > best) {
            best = free;
            root = candidate;
        }
    }
    if (root.isEmpty())
        root = drives.systemRoot();
    qDebug("Device backups go to %s, %s bytes free.", qPrintable(root),
        qPrintable(QString::number(best)));
    return root;
}

} // namespace

BackupDrives::BackupDrives()
    : m_mounts(winplatform::mountTable())
{
}

BackupDrives::BackupDrives(const QByteArray &mountinfo)
    : m_mounts(winplatform::parseMountTable(mountinfo))
{
}

BackupDrives::~BackupDrives() = default;

QStringList BackupDrives::roots() const
{
    // The system's own mounts hold devices, processes and run-time state, never backups.
    static const QStringList systemFolders { QStringLiteral("/dev"), QStringLiteral("/proc"),
        QStringLiteral("/sys"), QStringLiteral("/var/run"), QStringLiteral("/var/lock") };
    auto isSystemMount = [](const QString &point) {
        for (const QString &folder : systemFolders) {
            if (point == folder || point.startsWith(folder + QLatin1Char('/')))
                return true;
        }
        return false;
    };
    // A volume whose root only the administrator may write to is still the user's when it
    // holds the home folder: that folder stands for it.
    const QString home = QDir::homePath();
    const QString homeVolume = winplatform::mountPointOf(m_mounts, home);
    QStringList list;
    for (const winplatform::Mount &volume : m_mounts) {
        const QString &root = volume.mountPoint;
        if (volume.readOnly || isSystemMount(root))
            continue;
        const QString entry
            = root == homeVolume && isFixed(root) && !isWritable(root) ? home : root;
        if (!list.contains(entry))
            list << entry;
    }
    return list;
}

bool BackupDrives::isFixed(const QString &root) const
{
    return winplatform::driveType(root, m_mounts) == winplatform::DriveType::Fixed;
}

bool BackupDrives::isRemote(const QString &path) const
{
    return winplatform::mountDriveType(m_mounts, path) == winplatform::DriveType::Remote;
}

bool BackupDrives::isWritable(const QString &root) const
{
    if (!winplatform::mayAsk(m_mounts, root))
        return false;
    const QString probe = QDir(root).absoluteFilePath(
        QStringLiteral("__test%1").arg(QDateTime::currentMSecsSinceEpoch()));
    if (!QDir().mkdir(probe))
        return false;
    QDir().rmdir(probe);
    return true;
}

qint64 BackupDrives::freeSpace(const QString &root) const
{
    return winplatform::freeSpace(QDir(root).absolutePath(), m_mounts);
}

QString BackupDrives::systemRoot() const
{
    return isWritable(QDir::rootPath()) ? QDir::rootPath() : QDir::homePath();
}

qint64 freeDiskSpace(const QDir &folder)
{
    return winplatform::freeSpace(QDir::toNativeSeparators(folder.absolutePath()));
}

QDir tempBackupRoot(const BackupDrives &drives)
{
    QString root = rememberedRoot(drives);
    if (root.isEmpty()) {
        root = chooseRoot(drives);
        durable::writeFile(markerPath(), root.toUtf8());
    }
    return QDir(QDir(root).absoluteFilePath(QLatin1String(tempFolderName)));
}

void clearTempBackupRoot(const BackupDrives &drives)
{
    removeFolderRecursively(tempBackupRoot(drives).absolutePath());
    QFile::remove(markerPath());
}
