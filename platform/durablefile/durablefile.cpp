#include "platform/durablefile/durablefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char partialSuffix[] = ".partial";
const char partialAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const int partialRandom = 4;
const int partialTag = partialRandom + 2;

// The two characters that end the tag of a partial of the file `name` that begins with
// `random`.
QString partialCheck(const QString &name, const QString &random)
{
    const QByteArray digest = QCryptographicHash::hash(
        name.toUtf8() + '/' + random.toLatin1(), QCryptographicHash::Sha1);
    const int size = int(sizeof partialAlphabet) - 1;
    return QString(QLatin1Char(partialAlphabet[uchar(digest.at(0)) % size]))
        + QLatin1Char(partialAlphabet[uchar(digest.at(1)) % size]);
}

// Exactly, letter case included: "<name>.<tag>.partial" with a tag partialPath could give.
bool isPartialName(const QString &entry, const QString &name)
{
    const int tagAt = name.size() + 1;
    if (entry.size() != tagAt + partialTag + int(qstrlen(partialSuffix)) || !entry.startsWith(name)
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

int syncDescriptor(int fd)
{
    int result;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result;
}

QString systemText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Syncs under way together are committed together; one after another, each would wait for
// the disk in turn.
const int kSyncsAtOnce = 32;

// 0, or the system's error code.
int syncPath(const QByteArray &path, int flags)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0)
        return errno;
    const int code = syncDescriptor(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code;
}

// Syncs every folder, many at once. As renameOver, a folder that cannot be synced is passed
// over: the renames in it stand.
void syncFolders(const QStringList &folders)
{
    std::atomic<int> next { 0 };
    const auto work = [&] {
        for (int i = next++; i < folders.size(); i = next++)
            syncPath(QFile::encodeName(folders.at(i)), O_DIRECTORY);
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < std::min(folders.size(), kSyncsAtOnce); ++i)
        threads.emplace_back(work);
    work();
    for (std::thread &thread : threads)
        thread.join();
}

} // namespace

PartialLock::PartialLock(PartialLock &&other) noexcept
    : fd(other.fd)
{
    other.fd = -1;
}

PartialLock &PartialLock::operator=(PartialLock &&other) noexcept
{
    if (this != &other) {
        unlock();
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

PartialLock::~PartialLock()
{
    unlock();
}

void PartialLock::unlock()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool PartialLock::tryLock(const QString &path)
{
    // Non-blocking: a pipe that took the name meanwhile must not hold the caller up.
    return hold(::open(QFile::encodeName(path).constData(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
        path);
}

bool PartialLock::tryLock(QFileDevice &file)
{
    const int own = file.handle();
    return hold(own < 0 ? -1 : ::fcntl(own, F_DUPFD_CLOEXEC, 0), file.fileName());
}

bool PartialLock::hold(int descriptor, const QString &path)
{
    unlock();
    if (descriptor < 0)
        return false;
    int result;
    do
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    // The name is checked only once the lock is held: a run that removes its partial holds
    // it then, so that what the name leads to now stays.
    struct stat held, named;
    if (result == 0 && ::fstat(descriptor, &held) == 0
        && ::lstat(QFile::encodeName(path).constData(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino) {
        fd = descriptor;
        return true;
    }
    ::close(descriptor);
    return false;
}

namespace durable {

QString partialPath(const QString &target)
{
    QString random;
    for (int i = 0; i < partialRandom; ++i)
        random += QLatin1Char(
            partialAlphabet[QRandomGenerator::global()->bounded(int(sizeof partialAlphabet) - 1)]);
    return target + QLatin1Char('.') + random + partialCheck(QFileInfo(target).fileName(), random)
        + QLatin1String(partialSuffix);
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
        if (lock.tryLock(path))
            remove(path);
        else if (QFileInfo::exists(path))
            noneLive = false;
    }
    return noneLive;
}

int renameNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without that rename. A file is linked in, which never replaces anything;
    // a folder cannot be, and is renamed when nothing was there a moment before.
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode)) {
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return 0;
        }
        if (errno == EEXIST)
            return EEXIST;
    }
    if (::lstat(target.constData(), &st) == 0)
        return EEXIST;
    return ::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
}

QString writeFailure(const QString &path, const QString &qtReason)
{
    QString reason = qtReason;
    // Qt says "Unknown error" when the system took part of a write without failing it, as
    // it does on a full disk: then the disk's own state is the reason.
    if (reason.isEmpty() || reason == QLatin1String("Unknown error")) {
        const QStorageInfo storage(QFileInfo(path).absolutePath());
        if (storage.isValid() && storage.bytesAvailable() < 64 * 1024)
            reason = systemText(ENOSPC);
        else if (reason.isEmpty())
            reason = QStringLiteral("the file could not be written whole");
    }
    return reason;
}

bool writeAll(QFileDevice &file, const char *data, qint64 size, const QString &path, QString *error)
{
    qint64 done = 0;
    bool stalled = false;
    while (done < size) {
        const qint64 written = file.write(data + done, size - done);
        if (written < 0 || (written == 0 && stalled)) {
            if (error)
                *error = writeFailure(path, file.errorString());
            return false;
        }
        stalled = written == 0;
        done += written;
    }
    return true;
}

bool sync(QFileDevice &file, const QString &path, QString *error)
{
    // A flush that wrote part of its buffer keeps the rest: the second one meets the
    // failure itself and names it.
    if (!file.flush() && !file.flush()) {
        if (error)
            *error = writeFailure(path, file.errorString());
        return false;
    }
    const int fd = file.handle();
    if (fd >= 0 && syncDescriptor(fd) != 0) {
        if (error)
            *error = writeFailure(path, systemText(errno));
        return false;
    }
    return true;
}

bool syncFolder(const QString &folder)
{
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = syncDescriptor(fd) == 0;
    ::close(fd);
    return synced;
}

bool renameOver(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const int fd = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || syncDescriptor(fd) != 0) {
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = QDir::toNativeSeparators(from) + QStringLiteral(": ") + systemText(code);
        return false;
    }
    ::close(fd);
    if (::rename(source.constData(), QFile::encodeName(to).constData()) != 0) {
        if (error)
            *error = QDir::toNativeSeparators(to) + QStringLiteral(": ") + systemText(errno);
        return false;
    }
    const QString toFolder = QFileInfo(to).absolutePath();
    const QString fromFolder = QFileInfo(from).absolutePath();
    syncFolder(toFolder);
    if (fromFolder != toFolder)
        syncFolder(fromFolder);
    return true;
}

bool writeFile(const QString &target, const QByteArray &content, QString *error)
{
    DurableFile out(target);
    if (out.open() && out.write(content) && out.commit())
        return true;
    if (error)
        *error = QDir::toNativeSeparators(target) + QStringLiteral(": ") + out.errorString();
    return false;
}

bool copyFile(const QString &source, const QString &target, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QDir::toNativeSeparators(source) + QStringLiteral(": ") + in.errorString();
        return false;
    }
    DurableFile out(target);
    const auto failTarget = [&] {
        if (error)
            *error = QDir::toNativeSeparators(target) + QStringLiteral(": ") + out.errorString();
        return false;
    };
    if (!out.open())
        return failTarget();
    QByteArray buffer(1 << 18, Qt::Uninitialized);
    for (;;) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read == 0)
            break;
        if (read < 0) {
            if (error)
                *error = QDir::toNativeSeparators(source) + QStringLiteral(": ") + in.errorString();
            return false;
        }
        if (!out.write(buffer.constData(), read))
            return failTarget();
    }
    return out.commit() || failTarget();
}

} // namespace durable

void DurableFile::removeLeftovers(const QString &path)
{
    durable::removeLeftovers(path, false, [](const QString &file) { QFile::remove(file); });
}

DurableFile::DurableFile(const QString &target)
    : targetPath(target)
{
}

DurableFile::~DurableFile()
{
    // Still held: no other run's file can have taken the name.
    if (!partial.isEmpty())
        ::unlink(QFile::encodeName(partial).constData());
}

bool DurableFile::fail(const QString &reason)
{
    error = reason;
    return false;
}

bool DurableFile::open()
{
    const QFileInfo info(targetPath);
    // Replacing goes through QSaveFile, which keeps the old file's permissions; a new file is
    // linked or renamed in under its name, which never replaces anything.
    replacing = info.exists();
    if (replacing) {
        file.reset(new QSaveFile(targetPath));
        if (file->open(QIODevice::WriteOnly))
            return true;
        error = file->errorString();
        file.reset();
        return false;
    }
    // Unnamed where the file system has such files, and linked in under the target's name
    // once complete: a killed run leaves nothing. Elsewhere a partial file beside the
    // target, held for as long as it is filled.
    const int unnamed = ::open(
        QFile::encodeName(info.absolutePath()).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (unnamed >= 0) {
        auto made = std::make_unique<QFile>();
        made->open(unnamed, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle);
        file = std::move(made);
        return true;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = durable::partialPath(targetPath);
        // With the permissions of a file made directly.
        auto made = std::make_unique<QFile>(name);
        if (!made->open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
            if (QFileInfo::exists(name) || QFileInfo(name).isSymLink())
                continue;
            return fail(made->errorString());
        }
        // Otherwise a cleanup took it between its making and the lock, and removes it.
        if (lock.tryLock(*made)) {
            file = std::move(made);
            partial = name;
            return true;
        }
    }
    return fail(systemText(EEXIST));
}

bool DurableFile::write(const char *data, qint64 size)
{
    return durable::writeAll(*file, data, size, targetPath, &error);
}

bool DurableFile::commit()
{
    if (!durable::sync(*file, targetPath, &error))
        return false;
    if (replacing) {
        auto *save = static_cast<QSaveFile *>(file.get());
        if (!save->commit())
            return fail(durable::writeFailure(targetPath, save->errorString()));
    } else if (partial.isEmpty()) {
        // A link never replaces anything.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(file->handle());
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD,
                QFile::encodeName(targetPath).constData(), AT_SYMLINK_FOLLOW)
            != 0)
            return fail(systemText(errno));
        file->close();
    } else {
        // Renamed while still held, so that no cleanup takes it first.
        const int code = durable::renameNew(partial, targetPath);
        if (code != 0)
            return fail(systemText(code));
        partial.clear();
        file->close();
        lock.unlock();
    }
    durable::syncFolder(QFileInfo(targetPath).absolutePath());
    return true;
}

struct DurableBatch::Syncs
{
    struct Entry
    {
        QByteArray file;
        QByteArray target;
        bool late = false;
        bool inPlace = false;
    };

    std::mutex mutex;
    std::condition_variable changed;
    // In the order added; the first `next` have been taken by a thread.
    std::vector<Entry> entries;
    size_t next = 0;
    size_t done = 0;
    // The first that failed in that order, and the system's error code.
    size_t failedAt = SIZE_MAX;
    int failure = 0;
    bool stopping = false;
    std::vector<std::thread> threads;

    void work()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || next < entries.size(); });
            if (stopping)
                return;
            const size_t i = next++;
            const Entry entry = entries[i];
            lock.unlock();
            int code = syncPath(entry.file, 0);
            const bool renamed = code == 0 && !entry.late
                && ::rename(entry.file.constData(), entry.target.constData()) == 0;
            if (code == 0 && !entry.late && !renamed)
                code = errno;
            lock.lock();
            entries[i].inPlace = renamed;
            ++done;
            failed(i, code);
            changed.notify_all();
        }
    }

    void failed(size_t i, int code)
    {
        if (code != 0 && i < failedAt) {
            failedAt = i;
            failure = code;
        }
    }

    void stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        for (std::thread &thread : threads)
            thread.join();
        threads.clear();
    }
};

DurableBatch::DurableBatch()
    : syncs(std::make_unique<Syncs>())
{
}

DurableBatch::~DurableBatch()
{
    syncs->stop();
    for (const Syncs::Entry &entry : syncs->entries) {
        if (!entry.inPlace)
            ::unlink(entry.file.constData());
    }
}

void DurableBatch::add(QFileDevice &file, const QString &target, bool late)
{
    file.flush();
#ifdef SYNC_FILE_RANGE_WRITE
    // Its sync then finds most of the data written.
    if (file.handle() >= 0)
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    Syncs::Entry entry;
    entry.file = QFile::encodeName(file.fileName());
    entry.target = QFile::encodeName(target);
    entry.late = late;
    const std::lock_guard<std::mutex> lock(syncs->mutex);
    syncs->entries.push_back(std::move(entry));
    if (syncs->threads.size() < size_t(kSyncsAtOnce)
        && syncs->threads.size() < syncs->entries.size() - syncs->next)
        syncs->threads.emplace_back(&Syncs::work, syncs.get());
    syncs->changed.notify_one();
}

bool DurableBatch::commit(QString *error)
{
    Syncs &s = *syncs;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.changed.wait(lock, [&s] { return s.done == s.entries.size(); });
    }
    s.stop();
    for (size_t i = 0; i < s.entries.size() && s.failedAt == SIZE_MAX; ++i) {
        Syncs::Entry &entry = s.entries[i];
        if (entry.inPlace)
            continue;
        entry.inPlace = ::rename(entry.file.constData(), entry.target.constData()) == 0;
        s.failed(i, entry.inPlace ? 0 : errno);
    }
    QSet<QString> folders;
    for (const Syncs::Entry &entry : s.entries) {
        if (!entry.inPlace)
            continue;
        folders.insert(QFileInfo(QFile::decodeName(entry.target)).absolutePath());
        folders.insert(QFileInfo(QFile::decodeName(entry.file)).absolutePath());
    }
    syncFolders(folders.values());
    if (s.failedAt == SIZE_MAX)
        return true;
    if (error)
        *error = QDir::toNativeSeparators(QFile::decodeName(s.entries[s.failedAt].target))
            + QStringLiteral(": ") + systemText(s.failure);
    return false;
}
