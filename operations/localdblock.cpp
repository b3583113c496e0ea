#include "operations/localdblock.h"

#include "shell/datafolder.h"

#include <QFileInfo>
#include <QLockFile>

#include <stdexcept>

namespace {

bool takeLock(QLockFile &file)
{
    if (file.tryLock(0))
        return true;
    // A writer killed between making the lock file and writing its owner into it leaves a
    // file that QLockFile never takes for stale. Its removal fails while a live owner holds
    // the file locked, as every owner does from right after making it.
    qint64 pid = 0;
    QString host;
    QString application;
    if (file.error() != QLockFile::LockFailedError || file.getLockInfo(&pid, &host, &application))
        return false;
    file.removeStaleLockFile();
    return file.tryLock(0);
}

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

} // namespace

LocalDbLock::LocalDbLock(const QDir &folder)
    : folder(QDir::cleanPath(folder.absolutePath()))
{
}

LocalDbLock::~LocalDbLock() = default;

QString LocalDbLock::besideFolder(const QDir &folder, const QString &suffix)
{
    const QFileInfo info(QDir::cleanPath(folder.absolutePath()));
    return info.absoluteDir().filePath(QLatin1Char('.') + info.fileName() + suffix);
}

void LocalDbLock::lock()
{
    const QString name = folder.dirName();
    const QString parent = QFileInfo(folder.absolutePath()).absolutePath();
    if (!QDir().mkpath(parent))
        fail(QStringLiteral("Cannot create the folder %1.").arg(parent));
    const QString lockPath = besideFolder(folder, QStringLiteral(".lock"));
    auto lockFile = std::make_unique<QLockFile>(lockPath);
    // A write may run for many minutes: only a lock whose process is gone is stale.
    lockFile->setStaleLockTime(0);
    if (!takeLock(*lockFile)) {
        if (lockFile->error() == QLockFile::LockFailedError)
            fail(QStringLiteral("Another window is writing into the local database \"%1\". "
                                "Please try again when it has finished.")
                     .arg(name));
        fail(QStringLiteral("Cannot lock the local database \"%1\" for writing: %2 (%3).")
                 .arg(name, lockFileFailure(lockPath), QDir::toNativeSeparators(lockPath)));
    }
    file = std::move(lockFile);
}

void LocalDbLock::unlock()
{
    file.reset();
}
