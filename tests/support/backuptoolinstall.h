// Puts our backup tool where the backup tool driver looks for it, the devices folder where
// the tool looks for phones and the root of temporary device backups, all inside a test's
// scratch folder.
#pragma once

#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QString>

namespace devicetest {

// "Apple/Mobile Device Support/AppleMobileBackup.exe" in a common-files folder of `scratch`
// (a link to the built tool), named by the environment from now on.
inline bool installBackupTool(const QString &scratch)
{
    const QString common = QDir(scratch).filePath(QStringLiteral("common-files"));
    const QString folder = common + QStringLiteral("/Apple/Mobile Device Support");
    if (!QDir().mkpath(folder))
        return false;
    const QString tool = folder + QStringLiteral("/AppleMobileBackup.exe");
    QFile::remove(tool);
    if (!QFile::link(QStringLiteral(QM_BACKUP_TOOL), tool))
        return false;
    qputenv("QUILLMARROW_COMMON_FILES", QFile::encodeName(common));
    return true;
}

// The folder whose device folders are connected phones, for our library and our tool.
inline QString useDevicesFolder(const QString &scratch)
{
    const QString devices = QDir(scratch).filePath(QStringLiteral("devices"));
    QDir().mkpath(devices);
    qputenv("QUILLMARROW_DEVICES", QFile::encodeName(devices));
    return devices;
}

// Device backups go to "volume" in `scratch`, as if the user's volume had been chosen; the
// folder, empty when it cannot be remembered.
inline QString useBackupVolume(const QString &scratch)
{
    const QString volume = QDir(scratch).filePath(QStringLiteral("volume"));
    QFile marker(dataFolder().filePath(QStringLiteral("__quillmarrow_iosbk_temp.path")));
    if (!QDir().mkpath(volume) || !marker.open(QIODevice::WriteOnly)
        || marker.write(volume.toUtf8()) != volume.toUtf8().size())
        return QString();
    return volume;
}

} // namespace devicetest
