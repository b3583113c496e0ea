#include "platform/durablefile/durablebatch.h"

#include "platform/durablefile/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

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

// Syncs under way together are committed together; one after another, each would wait for
// the disk in turn.
const int kSyncsAtOnce = 32;

// Syncs every folder, many at once. As renameOver, a folder that cannot be synced is passed
// over: the renames in it stand.
void syncFolders(const QStringList &folders)
{
    std::atomic<int> next { 0 };
    const auto work = [&] {
        for (int i = next++; i < folders.size(); i = next++)
            durable::syncFolder(folders.at(i));
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < std::min(folders.size(), kSyncsAtOnce); ++i)
        threads.emplace_back(work);
    work();
    for (std::thread &thread : threads)
        thread.join();
}

} // namespace

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
            int code = durable::syncPath(QFile::decodeName(entry.file));
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
            + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(s.failure));
    return false;
}
