#include "platform/durablefile/durablebatch.h"

#include "platform/durablefile/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

struct DurableBatch::Syncs
{
    struct Entry
    {
        QByteArray file;
        QByteArray target;
        bool late = false;
        bool inPlace = false;
        int code = 0; // the system's, of its sync or rename
    };

    // Syncs under way together are committed together; one after another, each would wait
    // for the disk in turn.
    QThreadPool pool;
    std::mutex mutex;
    std::deque<Entry> entries; // in the order added; each stays where it is
};

DurableBatch::DurableBatch()
    : syncs(std::make_unique<Syncs>())
{
    syncs->pool.setMaxThreadCount(32);
}

DurableBatch::~DurableBatch()
{
    syncs->pool.waitForDone();
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
    // Closed before it can be renamed: SMB renames no open file.
    file.close();
    Syncs::Entry *entry;
    {
        const std::lock_guard<std::mutex> lock(syncs->mutex);
        syncs->entries.push_back(
            { QFile::encodeName(file.fileName()), QFile::encodeName(target), late, false, 0 });
        entry = &syncs->entries.back();
    }
    syncs->pool.start([entry] {
        entry->code = durable::syncPath(QFile::decodeName(entry->file));
        if (entry->code == 0 && !entry->late) {
            entry->inPlace = ::rename(entry->file.constData(), entry->target.constData()) == 0;
            entry->code = entry->inPlace ? 0 : errno;
        }
    });
}

bool DurableBatch::commit(QString *error)
{
    Syncs &s = *syncs;
    s.pool.waitForDone();
    auto failed = std::find_if(
        s.entries.begin(), s.entries.end(), [](const Syncs::Entry &e) { return e.code != 0; });
    for (auto it = s.entries.begin(); failed == s.entries.end() && it != s.entries.end(); ++it) {
        if (!it->inPlace) {
            it->inPlace = ::rename(it->file.constData(), it->target.constData()) == 0;
            it->code = it->inPlace ? 0 : errno;
            failed = it->inPlace ? failed : it;
        }
    }
    // As renameOver, a folder that cannot be synced is passed over: the renames in it stand.
    QSet<QString> folders;
    for (const Syncs::Entry &entry : s.entries) {
        if (entry.inPlace) {
            folders.insert(QFileInfo(QFile::decodeName(entry.target)).absolutePath());
            folders.insert(QFileInfo(QFile::decodeName(entry.file)).absolutePath());
        }
    }
    for (const QString &folder : qAsConst(folders))
        s.pool.start([folder] { durable::syncFolder(folder); });
    s.pool.waitForDone();
    if (failed == s.entries.end())
        return true;
    if (error)
        *error = QDir::toNativeSeparators(QFile::decodeName(failed->target)) + QStringLiteral(": ")
            + QString::fromLocal8Bit(std::strerror(failed->code));
    return false;
}
