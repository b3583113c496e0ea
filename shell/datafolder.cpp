#include "datafolder.h"

#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/writerruns.h"
#include "platform/win/winplatform.h"
#include "shell/appconfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

namespace {

const char makerFolderWord[] = "QuillMarrow";

QString roamingBase()
{
    const QDir home = QDir::home();
    const QString roaming = home.filePath(QStringLiteral("AppData/Roaming"));
    if (QFileInfo(roaming).isDir())
        return roaming;
    return home.filePath(QStringLiteral("Application Data"));
}

QString redirectFilePath()
{
    return QDir(userAppFolder()).filePath(AppConfig::productId() + QStringLiteral(".redirect"));
}

bool pathTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QString userAppFolder()
{
    return QDir(roamingBase()).filePath(QLatin1String(makerFolderWord));
}

QString redirectedDataRoot()
{
    QFile file(redirectFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString path = QString::fromUtf8(bytes);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return QString();
    return path;
}

QDir dataFolder()
{
    static QMutex mutex;
    static QString cached;
    QString path;
    {
        QMutexLocker locker(&mutex);
        if (cached.isEmpty()) {
            QString root = redirectedDataRoot();
            if (root.isEmpty())
                root = userAppFolder();
            cached = QDir(root).absoluteFilePath(AppConfig::productId());
            // Which run writes what, for every writer of this process and its children.
            writerruns::setFolder(QDir(cached).filePath(QStringLiteral("writers")));
        }
        path = cached;
    }
    // A folder that cannot be created is not fatal: every user of it copes with failures.
    QDir().mkpath(path);
    return QDir(path);
}

QDir localDbFolder()
{
    const QString path = dataFolder().filePath(QStringLiteral("local_databases"));
    QDir().mkpath(path);
    return QDir(path);
}

bool writeDataRedirect(const QString &path)
{
    return durable::writeFile(redirectFilePath(), path.toUtf8());
}

bool openInExplorer(const QString &path)
{
    return winplatform::openFolder(QDir::toNativeSeparators(path));
}

bool openUrl(const QString &url)
{
    return winplatform::shellOpen(url);
}

bool isOneFolderEntry(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

QString sanitizeFileName(const QString &name)
{
    // A plain scan: compiling a pattern on every call cost more than copying a small file.
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    QString result;
    result.reserve(name.size());
    for (const QChar c : name) {
        if (!forbidden.contains(c))
            result.append(c);
    }
    return result.trimmed();
}

QString uniqueFilePath(const QString &path)
{
    if (!pathTaken(path))
        return path;
    const QFileInfo info(path);
    const QDir folder = info.dir();
    const QString base = info.baseName();
    const QString suffix = info.suffix();
    for (qint64 counter = 1;; ++counter) {
        QString name = QStringLiteral("%1(%2)").arg(base, QString::number(counter));
        if (!suffix.isEmpty())
            name += QLatin1Char('.') + suffix;
        const QString candidate = folder.filePath(name);
        if (!pathTaken(candidate))
            return candidate;
    }
}

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

void removeFolderRecursively(const QString &path)
{
    const QFileInfo info(path);
    // A link is removed itself; following it would delete what lies outside the tree.
    if (info.isSymLink()) {
        QFile::remove(path);
        return;
    }
    if (!info.isDir())
        return;
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::Drives
        | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            removeFolderRecursively(entry.absoluteFilePath());
        else
            QFile::remove(entry.absoluteFilePath());
    }
    QDir().rmdir(dir.absolutePath());
}
