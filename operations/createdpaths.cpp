#include "operations/createdpaths.h"

#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/writerruns.h"
#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    const QString parent = QFileInfo(path).path();
    makeFolder(parent);
    writerruns::removeDeadLeftovers(parent);
    QString made;
    if (const int code = durable::makePartial(path, true, &made))
        failFolder(path, code);
    folders.append(made);
    staging.append(made);
    return made;
}

void CreatedPaths::hold(const QString &target, bool folder)
{
    const QString path = QDir::toNativeSeparators(QDir::cleanPath(QDir(target).absolutePath()));
    const QString what = folder ? QStringLiteral("Cannot export into the folder %1").arg(path)
                                : QStringLiteral("Cannot export to %1").arg(path);
    dataFolder(); // where the locks are kept
    auto lock = std::make_unique<TargetLock>();
    switch (lock->lock(target)) {
    case TargetLock::Held:
        held.push_back(std::move(lock));
        return;
    case TargetLock::Busy:
        throw std::runtime_error(
            (what + QStringLiteral(": another export is writing it")).toStdString());
    default:
        throw std::runtime_error(
            (what + QStringLiteral(": cannot write ") + lock->error()).toStdString());
    }
}

void CreatedPaths::placeFolder(const QString &staged, const QString &target)
{
    // Never over anything: a folder that appeared at the target meanwhile, even an empty
    // one, is another's.
    const int code = durable::renameNew(staged, target);
    if (code != 0)
        failFolder(target, code);
    durable::syncFolder(QFileInfo(target).absolutePath());
    staging.removeOne(staged);
    folders.removeOne(staged);
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
    QFile in(source);
    if (existing.exists() || existing.isSymLink() || !QFileInfo(source).isFile()
        || !in.open(QIODevice::ReadOnly))
        return false;
    in.close();
    // A new name never replaces what appeared there meanwhile, and a kill leaves no part of a
    // copy.
    note(target);
    QString error;
    if (!durable::copyFile(source, target, &error))
        throw std::runtime_error(QStringLiteral("Cannot copy %1 to %2")
                                     .arg(QDir::toNativeSeparators(source), error)
                                     .toStdString());
    files.append(target);
    return true;
}

void CreatedPaths::addFile(const QString &path)
{
    note(path);
    files.append(path);
}

void CreatedPaths::note(const QString &path)
{
    // One line per path, relative to the base, written out before the path is made.
    const QByteArray line = QDir(journalBase).relativeFilePath(path).toUtf8() + '\n';
    if (journal && (journal->write(line) != line.size() || !journal->flush()))
        failJournal();
}

void CreatedPaths::writeJournal(const QString &journalPath, const QString &base)
{
    journal = std::make_unique<QFile>(journalPath);
    journalBase = QDir::cleanPath(QDir(base).absolutePath());
    if (!journal->open(QIODevice::WriteOnly | QIODevice::Truncate))
        failJournal();
    for (const QString &folder : qAsConst(folders))
        note(folder);
    for (const QString &file : qAsConst(files))
        note(file);
}

void CreatedPaths::failJournal() const
{
    throw std::runtime_error(
        QStringLiteral("Cannot write %1: %2")
            .arg(QDir::toNativeSeparators(journal->fileName()),
                durable::writeFailure(journal->fileName(), journal->errorString()))
            .toStdString());
}

void CreatedPaths::removeUnfinished(const QString &journalPath, const QString &base,
    const std::function<bool(const QString &)> &inUse)
{
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QDir root(QDir::cleanPath(QDir(base).absolutePath()));
    QStringList paths;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString relative = QDir::cleanPath(QString::fromUtf8(line));
        // Only what lies below the base, whatever the file says.
        if (relative.isEmpty() || relative == QLatin1String(".") || QDir::isAbsolutePath(relative)
            || relative == QLatin1String("..") || relative.startsWith(QLatin1String("../")))
            continue;
        paths.prepend(QDir::cleanPath(root.absoluteFilePath(relative)));
    }
    file.close();
    QStringList folders;
    for (const QString &path : qAsConst(paths)) {
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink()) {
            folders.append(path);
        } else if (!inUse(path)) {
            QFile::remove(path);
            // A copy killed part-way is a partial beside its name.
            writerruns::removeDeadLeftovers(info.path());
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
        if (staging.contains(folder))
            removeFolderRecursively(folder);
        else
            QDir().rmdir(folder);
    }
    forget();
}

void CreatedPaths::forget()
{
    files.clear();
    folders.clear();
    staging.clear();
    held.clear();
    if (journal) {
        // Closed before it goes: SMB removes no open file.
        const QString path = journal->fileName();
        journal.reset();
        QFile::remove(path);
    }
}
