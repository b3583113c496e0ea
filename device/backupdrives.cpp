#include "backupdrives.h"

#include "platform/durablefile/durablefile.h"
#include "platform/win/winplatform.h"
#include "shell/datafolder.h"

#include <QDateTime>
#include <QFile>
#include <QStorageInfo>

namespace {

const char tempFolderName[] = "__quillmarrow_iosbk_temp";
const char markerName[] = "__quillmarrow_iosbk_temp.path";

QString markerPath()
{
    return dataFolder().absoluteFilePath(QLatin1String(markerName));
}

// The remembered root when it is still a folder we may write to.
QString rememberedRoot(const BackupDrives &drives)
{
    QFile marker(markerPath());
    if (!marker.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(marker.read(64 * 1024)).trimmed();
    if (!QDir::isAbsolutePath(text) || !QFileInfo(text).isDir() || !drives.isWritable(text))
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

BackupDrives::~BackupDrives() = default;

QStringList BackupDrives::roots() const
{
    // A volume whose root only the administrator may write to is still the user's when it
    // holds the home folder: that folder stands for it.
    const QString home = QDir::homePath();
    const QString homeVolume = QStorageInfo(home).rootPath();
    QStringList list;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || volume.isReadOnly())
            continue;
        const QString root = volume.rootPath();
        list << (root == homeVolume && !isWritable(root) ? home : root);
    }
    return list;
}

bool BackupDrives::isFixed(const QString &root) const
{
    return winplatform::driveType(root) == winplatform::DriveType::Fixed;
}

bool BackupDrives::isWritable(const QString &root) const
{
    const QString probe = QDir(root).absoluteFilePath(
        QStringLiteral("__test%1").arg(QDateTime::currentMSecsSinceEpoch()));
    if (!QDir().mkdir(probe))
        return false;
    QDir().rmdir(probe);
    return true;
}

qint64 BackupDrives::freeSpace(const QString &root) const
{
    return freeDiskSpace(QDir(root));
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
