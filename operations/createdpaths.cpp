#include "operations/createdpaths.h"

#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

void CreatedPaths::makeFolder(const QString &path)
{
    const QString target = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QString probe = target; !probe.isEmpty(); probe = QFileInfo(probe).path()) {
        const QFileInfo info(probe);
        if (info.exists() || info.isSymLink() || probe == QFileInfo(probe).path())
            break;
        missing.prepend(probe);
    }
    for (const QString &folder : qAsConst(missing)) {
        if (!QDir().mkdir(folder) && !QFileInfo(folder).isDir())
            throw std::runtime_error(
                QStringLiteral("Cannot create the folder %1.").arg(folder).toStdString());
        folders.append(folder);
    }
    if (!QFileInfo(target).isDir())
        throw std::runtime_error(
            QStringLiteral("Cannot create the folder %1.").arg(target).toStdString());
}

bool CreatedPaths::copyFile(const QString &source, const QString &target)
{
    QFile file(source);
    if (!QFileInfo(source).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    file.close();
    // QFile::copy writes into a temporary file and renames it, so a failure leaves nothing.
    if (!file.copy(target)) {
        throw std::runtime_error(QStringLiteral("Cannot copy %1 to %2: %3")
                                     .arg(source, target, file.errorString())
                                     .toStdString());
    }
    files.append(target);
    return true;
}

void CreatedPaths::addFile(const QString &path)
{
    files.append(path);
}

void CreatedPaths::removeAll()
{
    for (int i = files.size() - 1; i >= 0; --i)
        QFile::remove(files.at(i));
    for (int i = folders.size() - 1; i >= 0; --i)
        removeFolderRecursively(folders.at(i));
    forget();
}

void CreatedPaths::forget()
{
    files.clear();
    folders.clear();
}
