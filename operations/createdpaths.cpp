#include "operations/createdpaths.h"

#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

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
        // Noted before it is made, parents first, so that a journal lists a folder before
        // what is in it.
        note(folder);
        if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0) {
            folders.append(folder);
            continue;
        }
        // Only a folder our own mkdir made is ours: one that another writer made after we
        // found it missing keeps its files when this run is undone.
        const int code = errno;
        if (code != EEXIST || !QFileInfo(folder).isDir())
            failFolder(folder, code);
    }
    if (!QFileInfo(target).isDir())
        failFolder(target, ENOTDIR);
}

QString CreatedPaths::makeStagingFolder(const QString &target)
{
    const QString path = QDir::cleanPath(QDir(target).absolutePath());
    makeFolder(QFileInfo(path).path());
    // One run at a time fills a new folder: two would each place a folder under the name.
    if (!durable::removeLeftovers(path, true, removeFolderRecursively))
        failBusy(path);
    Staging made;
    if (const int code = durable::makePartial(path, true, &made.folder, &made.lock))
        failFolder(path, code);
    note(made.folder);
    folders.append(made.folder);
    staging.push_back(std::move(made));
    return staging.back().folder;
}

void CreatedPaths::holdFolder(const QString &folder)
{
    const QString path = QDir::cleanPath(QDir(folder).absolutePath());
    switch (held.lockFolder(path)) {
    case PartialLock::Locked:
    case PartialLock::NoLocks:
        break;
    case PartialLock::Busy:
        failBusy(path);
    default:
        throw std::runtime_error(QStringLiteral("Cannot write into the folder %1: %2")
                                     .arg(QDir::toNativeSeparators(path),
                                         QString::fromLocal8Bit(std::strerror(held.error())))
                                     .toStdString());
    }
}

void CreatedPaths::placeFolder(const QString &staged, const QString &target)
{
    // Never over anything: a folder that appeared at the target meanwhile, even an empty
    // one that another export placed, is another's. Renamed while still held.
    const int code = durable::renameNew(staged, target);
    if (code != 0)
        failFolder(target, code);
    durable::syncFolder(QFileInfo(target).absolutePath());
    const auto placed = std::find_if(
        staging.begin(), staging.end(), [&](const Staging &s) { return s.folder == staged; });
    if (placed != staging.end()) {
        placed->lock.folderMoved(target);
        staging.erase(placed);
    }
}

void CreatedPaths::failBusy(const QString &folder)
{
    throw std::runtime_error(
        QStringLiteral("Cannot export into the folder %1: another export is writing it")
            .arg(QDir::toNativeSeparators(folder))
            .toStdString());
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
    for (int i = folders.size() - 1; i >= 0; --i) {
        const QString &folder = folders.at(i);
        const auto staged = std::find_if(
            staging.begin(), staging.end(), [&](const Staging &s) { return s.folder == folder; });
        if (staged != staging.end()) {
            staged->lock.release();
            removeFolderRecursively(folder);
        } else {
            QDir().rmdir(folder);
        }
    }
    forget();
}

void CreatedPaths::forget()
{
    files.clear();
    folders.clear();
    staging.clear();
    held.unlock();
    if (!journal.isEmpty())
        QFile::remove(journal);
    journal.clear();
}
