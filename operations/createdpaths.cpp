#include "operations/createdpaths.h"

#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

void CreatedPaths::makeFolder(const QString &path)
{
    makeLevel(QDir::cleanPath(QDir(path).absolutePath()));
}

void CreatedPaths::makeLevel(const QString &folder)
{
    const QByteArray name = QFile::encodeName(folder);
    // Only a folder our own mkdir made is ours: one that another writer made meanwhile,
    // even after we found it missing, keeps its files when this run is undone.
    note(folder);
    int made = ::mkdir(name.constData(), 0777);
    if (made != 0 && errno == ENOENT) {
        const QString parent = QFileInfo(folder).path();
        if (parent != folder) {
            makeLevel(parent);
            made = ::mkdir(name.constData(), 0777);
        }
    }
    if (made == 0) {
        folders.append(folder);
        return;
    }
    const int code = errno;
    if (code == EEXIST && QFileInfo(folder).isDir())
        return;
    throw std::runtime_error(
        QStringLiteral("Cannot create the folder %1: %2")
            .arg(QDir::toNativeSeparators(folder), QString::fromLocal8Bit(std::strerror(code)))
            .toStdString());
}

QString CreatedPaths::makeStagingFolder(const QString &target)
{
    const QFileInfo info(QDir::cleanPath(QDir(target).absolutePath()));
    makeFolder(info.path());
    const QString prefix = info.fileName() + QLatin1Char('.');
    const QString suffix = QStringLiteral(".partial");
    QDir parent = info.dir();
    for (const QString &name : parent.entryList(
             { prefix + QStringLiteral("??????") + suffix }, QDir::Dirs | QDir::Hidden)) {
        if (!QFileInfo(parent.filePath(name)).isSymLink())
            removeFolderRecursively(parent.filePath(name));
    }
    const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    for (int attempt = 0;; ++attempt) {
        QString unique;
        for (int i = 0; i < 6; ++i)
            unique += letters.at(int(QRandomGenerator::global()->bounded(letters.size())));
        const QString folder = parent.filePath(prefix + unique + suffix);
        note(folder);
        if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0) {
            folders.append(folder);
            return folder;
        }
        if (errno != EEXIST || attempt == 100)
            failFolder(folder, errno);
    }
}

void CreatedPaths::placeFolder(const QString &staged, const QString &target)
{
    // Never over anything: a folder that appeared at the target meanwhile is another's.
    QFile folder(staged);
    if (!folder.rename(target))
        throw std::runtime_error(QStringLiteral("Cannot create the folder %1: %2")
                                     .arg(QDir::toNativeSeparators(target), folder.errorString())
                                     .toStdString());
    durable::syncFolder(QFileInfo(target).absolutePath());
}

void CreatedPaths::failFolder(const QString &folder, int code)
{
    throw std::runtime_error(
        QStringLiteral("Cannot create the folder %1: %2")
            .arg(QDir::toNativeSeparators(folder), QString::fromLocal8Bit(std::strerror(code)))
            .toStdString());
}

bool CreatedPaths::copyFile(const QString &source, const QString &target)
{
    const QFileInfo existing(target);
    if (existing.exists() || existing.isSymLink())
        return false;
    QFile in(source);
    if (!QFileInfo(source).isFile() || !in.open(QIODevice::ReadOnly))
        return false;
    // Staged, so that a kill leaves no part of a copy; the copy never replaces a file that
    // appeared meanwhile. No sync per file: an export copies thousands of small pictures.
    note(target);
    DurableFile out(target);
    if (!out.open())
        failCopy(source, target, out.errorString());
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            failCopy(source, target, in.errorString());
        if (got == 0)
            break;
        if (!out.write(buffer.constData(), got))
            failCopy(source, target, out.errorString());
    }
    if (!out.commit())
        failCopy(source, target, out.errorString());
    files.append(target);
    return true;
}

void CreatedPaths::failCopy(const QString &source, const QString &target, const QString &error)
{
    throw std::runtime_error(
        QStringLiteral("Cannot copy %1 to %2: %3").arg(source, target, error).toStdString());
}

void CreatedPaths::addFile(const QString &path)
{
    note(path);
    files.append(path);
}

void CreatedPaths::note(const QString &path)
{
    if (journal.isEmpty())
        return;
    QFile file(journal);
    // One line per path, relative to the journal, on disk before the path is made.
    const QByteArray line = QFileInfo(journal).absoluteDir().relativeFilePath(path).toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size())
        throw std::runtime_error(
            QStringLiteral("Cannot write %1: %2").arg(journal, file.errorString()).toStdString());
}

void CreatedPaths::writeJournal(const QString &journalPath)
{
    journal = QFileInfo(journalPath).absoluteFilePath();
    for (const QString &folder : qAsConst(folders))
        note(folder);
    for (const QString &file : qAsConst(files))
        note(file);
}

void CreatedPaths::removeUnfinished(
    const QString &journalPath, const std::function<bool(const QString &)> &inUse)
{
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QDir base = QFileInfo(journalPath).absoluteDir();
    QStringList paths;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString relative = QDir::cleanPath(QString::fromUtf8(line));
        // Only what lies below the journal's folder, whatever the file says.
        if (relative.isEmpty() || relative == QLatin1String(".") || QDir::isAbsolutePath(relative)
            || relative == QLatin1String("..") || relative.startsWith(QLatin1String("../")))
            continue;
        paths.prepend(QDir::cleanPath(base.absoluteFilePath(relative)));
    }
    file.close();
    QStringList folders;
    for (const QString &path : qAsConst(paths)) {
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink()) {
            folders.append(path);
        } else if (!inUse(path)) {
            QFile::remove(path);
            DurableFile::removeLeftovers(path);
        }
    }
    // Newest first, so that a folder made inside another one goes before it.
    for (const QString &folder : qAsConst(folders))
        QDir().rmdir(folder);
    QFile::remove(journalPath);
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
    if (!journal.isEmpty())
        QFile::remove(journal);
    journal.clear();
}
