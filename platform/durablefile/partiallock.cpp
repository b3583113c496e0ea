#include "platform/durablefile/partiallock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char partialSuffix[] = ".partial";
const char partialAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const int alphabetSize = int(sizeof partialAlphabet) - 1;
const int partialRandom = 6;
const int partialTag = 2 * partialRandom;
const int suffixSize = int(sizeof partialSuffix) - 1;
// Names taken by others, or partials a cleanup took at once, before a run gives up.
const int partialAttempts = 100;

// The characters that end the tag of a partial of the file `name` that begins with `random`.
QString partialCheck(const QString &name, const QString &random)
{
    const QByteArray digest = QCryptographicHash::hash(
        name.toUtf8() + '/' + random.toLatin1(), QCryptographicHash::Sha1);
    QString check;
    for (int i = 0; i < partialTag - partialRandom; ++i)
        check += QLatin1Char(partialAlphabet[uchar(digest.at(i)) % alphabetSize]);
    return check;
}

// 0, EWOULDBLOCK when another holds it, or why this file system cannot lock it.
int flockNow(int descriptor)
{
    int result;
    do
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

bool sameFile(int descriptor, const QByteArray &name)
{
    struct stat held, named;
    return ::fstat(descriptor, &held) == 0 && ::lstat(name.constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

const char PartialLock::folderLockName[] = ".quillmarrow.lock";

PartialLock::PartialLock(PartialLock &&other) noexcept
{
    *this = std::move(other);
}

PartialLock &PartialLock::operator=(PartialLock &&other) noexcept
{
    if (this != &other) {
        unlock();
        fd = other.fd;
        current = other.current;
        code = other.code;
        lockName = std::move(other.lockName);
        madeLockFile = other.madeLockFile;
        other.fd = -1;
        other.current = Unlocked;
        other.lockName.clear();
    }
    return *this;
}

PartialLock::~PartialLock()
{
    unlock();
}

void PartialLock::unlock()
{
    // A lock file found, not made, where nothing locks may be a live run's.
    if (!lockName.isEmpty() && (current == Locked || madeLockFile) && sameFile(fd, lockName))
        ::unlink(lockName.constData());
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    current = Unlocked;
    lockName.clear();
    madeLockFile = false;
}

void PartialLock::release()
{
    struct stat held;
    if (lockName.isEmpty() || !holds() || ::fstat(fd, &held) != 0) {
        unlock();
        return;
    }
    const QByteArray name = lockName;
    const bool ours = current == Locked || madeLockFile;
    lockName.clear();
    unlock();
    struct stat named;
    if (ours && ::lstat(name.constData(), &named) == 0 && named.st_dev == held.st_dev
        && named.st_ino == held.st_ino)
        ::unlink(name.constData());
}

PartialLock::State PartialLock::lockFile(const QString &path)
{
    unlock();
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking: a pipe that took the name meanwhile must not hold the caller up. For
    // writing, as NFS wants; a file this user may only read is locked where locks are local.
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int descriptor = ::open(name.constData(), O_RDWR | flags);
    if (descriptor < 0 && (errno == EACCES || errno == EROFS))
        descriptor = ::open(name.constData(), O_RDONLY | flags);
    return hold(descriptor, name, false);
}

PartialLock::State PartialLock::lockFolder(const QString &path, bool newLockFile)
{
    unlock();
    const QByteArray name
        = QFile::encodeName(path + QLatin1Char('/') + QLatin1String(folderLockName));
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int descriptor = ::open(name.constData(), flags | O_EXCL, 0666);
    const bool made = descriptor >= 0;
    if (!made && errno == EEXIST && !newLockFile)
        descriptor = ::open(name.constData(), flags, 0666);
    const State state = hold(descriptor, name, made);
    if (holds())
        lockName = name;
    return state;
}

PartialLock::State PartialLock::lockDescriptor(int descriptor, const QString &path)
{
    unlock();
    return hold(descriptor < 0 ? -1 : ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0),
        path.isEmpty() ? QByteArray() : QFile::encodeName(path), false);
}

void PartialLock::folderMoved(const QString &path)
{
    if (!lockName.isEmpty())
        lockName = QFile::encodeName(path + QLatin1Char('/') + QLatin1String(folderLockName));
}

PartialLock::State PartialLock::hold(int descriptor, const QByteArray &name, bool made)
{
    const auto fail = [&](int error) {
        if (made && sameFile(descriptor, name))
            ::unlink(name.constData());
        if (descriptor >= 0)
            ::close(descriptor);
        code = error;
        return current = Failed;
    };
    if (descriptor < 0)
        return fail(errno);
    struct stat st;
    if (::fstat(descriptor, &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    const int locked = flockNow(descriptor);
    if (locked == EWOULDBLOCK) {
        ::close(descriptor);
        code = locked;
        return current = Busy;
    }
    // The name is checked only once the lock is held: a run that removes its partial holds
    // it then, so that what the name leads to now stays.
    if (!name.isEmpty() && !sameFile(descriptor, name))
        return fail(ENOENT);
    fd = descriptor;
    code = locked;
    madeLockFile = made;
    return current = locked == 0 ? Locked : NoLocks;
}

namespace durable {

QString partialPath(const QString &target)
{
    QString random;
    for (int i = 0; i < partialRandom; ++i)
        random += QLatin1Char(partialAlphabet[QRandomGenerator::global()->bounded(alphabetSize)]);
    return target + QLatin1Char('.') + random + partialCheck(QFileInfo(target).fileName(), random)
        + QLatin1String(partialSuffix);
}

// Exactly, letter case included: "<name>.<tag>.partial" with a tag partialPath could give.
bool isPartialName(const QString &entry, const QString &name)
{
    const int tagAt = name.size() + 1;
    if (entry.size() != tagAt + partialTag + suffixSize || !entry.startsWith(name)
        || entry.at(name.size()) != QLatin1Char('.')
        || !entry.endsWith(QLatin1String(partialSuffix)))
        return false;
    const QString tag = entry.mid(tagAt, partialTag);
    for (const QChar c : tag) {
        if (c.unicode() == 0 || c.unicode() > 127 || !std::strchr(partialAlphabet, c.toLatin1()))
            return false;
    }
    return tag.mid(partialRandom) == partialCheck(name, tag.left(partialRandom));
}

int makePartial(const QString &target, bool folder, QString *path, PartialLock *lock, int *fd)
{
    int code = EEXIST;
    for (int attempt = 0; attempt < partialAttempts; ++attempt) {
        const QString name = durable::partialPath(target);
        const QByteArray encoded = QFile::encodeName(name);
        int descriptor = -1;
        if (folder) {
            if (::mkdir(encoded.constData(), 0777) != 0) {
                if (errno == EEXIST)
                    continue;
                return errno;
            }
            lock->lockFolder(name, true);
        } else {
            // With the permissions of a file made directly.
            descriptor = ::open(
                encoded.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (descriptor < 0) {
                if (errno == EEXIST)
                    continue;
                return errno;
            }
            lock->lockDescriptor(descriptor, name);
        }
        if (lock->holds()) {
            *path = name;
            if (fd)
                *fd = descriptor;
            return 0;
        }
        code = lock->error();
        if (descriptor >= 0)
            ::close(descriptor);
        // A cleanup took it between its making and the lock, and removes it.
        if (lock->state() == PartialLock::Busy || code == EEXIST || code == ENOENT)
            continue;
        if (folder)
            ::rmdir(encoded.constData());
        else
            ::unlink(encoded.constData());
        return code;
    }
    return code == EWOULDBLOCK ? EAGAIN : code;
}

bool removeLeftovers(
    const QString &target, bool folders, const std::function<void(const QString &)> &remove)
{
    const QFileInfo info(target);
    const QString name = info.fileName();
    const QDir folder = info.dir();
    bool noneLive = true;
    // Matched here: QDir's name filters are wildcards that ignore letter case.
    const QStringList entries = folder.entryList((folders ? QDir::Dirs : QDir::Files)
        | QDir::NoSymLinks | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (!isPartialName(entry, name))
            continue;
        const QString path = folder.filePath(entry);
        PartialLock lock;
        const PartialLock::State state = folders ? lock.lockFolder(path) : lock.lockFile(path);
        if (state == PartialLock::Locked) {
            // Found dead under the lock; any other run that takes it now only removes it too.
            if (folders)
                lock.release();
            remove(path);
        } else if (state == PartialLock::Busy) {
            noneLive = false;
        }
    }
    return noneLive;
}

void removeLeftoversIn(const QString &folder)
{
    const QDir dir(folder);
    const QStringList entries
        = dir.entryList(QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const int nameSize = entry.size() - partialTag - suffixSize - 1;
        if (nameSize < 1 || !isPartialName(entry, entry.left(nameSize)))
            continue;
        const QString path = dir.filePath(entry);
        PartialLock lock;
        if (lock.lockFile(path) == PartialLock::Locked)
            QFile::remove(path);
    }
}

} // namespace durable
