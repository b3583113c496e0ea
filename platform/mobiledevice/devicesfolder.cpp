#include "devicesfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

const char DevicesFolder::environmentVariable[] = "QUILLMARROW_DEVICES";
const char DevicesFolder::defaultFolderName[] = "virtual_devices";

namespace {

// The program's identity and maker folder; a test holds them equal to the program's.
const char productId[] = "5D0E7A93C1B84F26A07D3E95B2C16F48";
const char makerFolder[] = "QuillMarrow";

QString userAppFolder()
{
    const QDir home = QDir::home();
    QString base = home.filePath(QStringLiteral("AppData/Roaming"));
    if (!QFileInfo(base).isDir())
        base = home.filePath(QStringLiteral("Application Data"));
    return QDir(base).filePath(QLatin1String(makerFolder));
}

QString redirectedRoot(const QString &appFolder)
{
    QFile file(QDir(appFolder).filePath(QLatin1String(productId) + QStringLiteral(".redirect")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.read(64 * 1024);
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString path = QString::fromUtf8(bytes);
    return path.isEmpty() || !QFileInfo::exists(path) ? QString() : path;
}

} // namespace

std::string DevicesFolder::programDataFolder()
{
    const QString appFolder = userAppFolder();
    QString root = redirectedRoot(appFolder);
    if (root.isEmpty())
        root = appFolder;
    return QFile::encodeName(QDir(root).absoluteFilePath(QLatin1String(productId))).toStdString();
}

std::string DevicesFolder::path()
{
    const QByteArray chosen = qgetenv(environmentVariable);
    if (!chosen.isEmpty())
        return chosen.toStdString();
    return programDataFolder() + "/" + defaultFolderName;
}
