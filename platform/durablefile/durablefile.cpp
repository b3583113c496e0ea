#include "platform/durablefile/durablefile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char partialSuffix[] = ".partial";

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

namespace durable {

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
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QLatin1Char('.');
    const int length = prefix.size() + 6 + int(qstrlen(partialSuffix));
    const QDir folder = target.dir();
    for (const QString &name :
        folder.entryList({ QStringLiteral("*") + QLatin1String(partialSuffix) },
            QDir::Files | QDir::Hidden | QDir::System)) {
        if (name.size() == length && name.startsWith(prefix))
            QFile::remove(folder.filePath(name));
    }
}

DurableFile::DurableFile(const QString &target)
    : targetPath(target)
{
}

DurableFile::~DurableFile() = default;

bool DurableFile::fail(const QString &reason)
{
    error = reason;
    return false;
}

bool DurableFile::open()
{
    const QFileInfo info(targetPath);
    // Replacing goes through QSaveFile, which keeps the old file's permissions; a new name
    // is linked in by the rename of a temporary file, which never replaces anything.
    replacing = info.exists();
    if (replacing) {
        file.reset(new QSaveFile(targetPath));
        if (file->open(QIODevice::WriteOnly))
            return true;
    } else {
        auto *temporary = new QTemporaryFile(
            targetPath + QStringLiteral(".XXXXXX") + QLatin1String(partialSuffix));
        file.reset(temporary);
        if (temporary->open())
            return true;
    }
    error = file->errorString();
    file.reset();
    return false;
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
    } else {
        auto *temporary = static_cast<QTemporaryFile *>(file.get());
        // Those of a file made directly: its owner may write it, everyone may read it.
        temporary->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
            | QFileDevice::ReadOther);
        if (!temporary->rename(targetPath))
            return fail(temporary->errorString());
        // Otherwise the temporary file object would remove its file under the new name.
        temporary->setAutoRemove(false);
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
