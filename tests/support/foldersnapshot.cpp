#include "support/foldersnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

QMap<QString, QByteArray> snapshotFolder(const QString &root)
{
    QMap<QString, QByteArray> files;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            files.insert(relative + QLatin1Char('/'), QByteArray());
            continue;
        }
        QFile file(path);
        files.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?"));
    }
    return files;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
