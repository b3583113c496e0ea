#include "itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "platform/durablefile/durablebatch.h"
#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/targetlock.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Copies under way at once: each keeps a processor busy, its syncs waiting elsewhere.
const int kCopyThreads = 8;

// What a cancelled walk unwinds with; only run() catches it.
const int kCancelled = -1;

// A folder of the cache; a link or a file standing in its place is replaced, so that nothing
// is ever written through a link to somewhere outside the cache.
QString ensureRealFolder(const QString &parent, const QString &name)
{
    const QString path = parent + QLatin1Char('/') + name;
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        QFile::remove(path);
    if (!QFileInfo(path).isDir() && !QDir(parent).mkdir(name))
        throw std::runtime_error(
            QStringLiteral("Can not create the folder %1.").arg(path).toUtf8().toStdString());
    return path;
}

const BackupFileNode *childNamed(const BackupFileNode *node, const char *name)
{
    for (const auto &c : node->children) {
        if (c->name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return c.get();
    }
    return nullptr;
}

void stopWhenCancelled(qint64, qint64, void *form)
{
    if (static_cast<ProgressForm *>(form)->failed)
        throw kCancelled;
}

} // namespace

// Makes the copies of one run on a few threads while the walk goes on: the files are
// independent, and decrypting takes much of an encrypted backup's time. Each copy is written
// beside its place and handed to the run's batch, which syncs it and puts it in place
// meanwhile. The walk hands the copies out in its own order and waits while every
// thread is busy, so the file it names in the progress dialog is one being copied.
class ITunesCacheSMSThread::CopyPool
{
public:
    struct Copy
    {
        const BackupFileNode *node = nullptr;
        QString destination;
        // A database: without it the run fails.
        bool required = false;
        // The index has a time for it, which the new copy must not pass for.
        bool remembered = false;
        // Where the whole copy waits, once it is.
        QString staged;
        // Why a file the run can do without was left out.
        QString leftOut;
    };

    CopyPool(const BackupManifest &backup, DurableBatch &batch, ProgressForm *form)
        : m_backup(backup)
        , m_batch(batch)
        , m_form(form)
        , m_threadCount(kCopyThreads)
    {
    }

    // Stops handing out copies and waits for those under way.
    ~CopyPool()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = m_stopped = true;
        }
        m_work.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
    }

    // False once a copy failed or the run was cancelled: finish() says which.
    bool add(Copy copy)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(
            lock, [this] { return m_stopped || m_copies.size() - m_next < size_t(m_threadCount); });
        if (m_stopped)
            return false;
        m_copies.push_back(std::move(copy));
        if (m_threads.size() < size_t(m_threadCount) && m_threads.size() < m_copies.size() - m_next)
            m_threads.emplace_back(&CopyPool::work, this);
        lock.unlock();
        m_work.notify_one();
        return true;
    }

    // Waits for every copy; throws what stopped the run.
    std::vector<Copy> finish()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_work.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
        m_threads.clear();
        if (m_failure)
            std::rethrow_exception(m_failure);
        if (m_cancelled)
            throw kCancelled;
        return std::move(m_copies);
    }

private:
    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] { return m_next < m_copies.size() || m_closed; });
            if (m_stopped || m_next == m_copies.size())
                return;
            const size_t index = m_next++;
            const Copy copy = m_copies[index];
            lock.unlock();
            m_room.notify_one();

            QString staged;
            QString leftOut;
            std::exception_ptr failure;
            bool cancelled = false;
            try {
                staged = stage(copy);
            } catch (int) {
                cancelled = true;
            } catch (const StoredFileError &e) {
                // Without its databases the cache is useless; one unreadable attachment is not.
                if (copy.required)
                    failure = std::current_exception();
                else
                    leftOut = QString::fromUtf8(e.what());
            } catch (const std::exception &) {
                failure = std::current_exception();
            }

            lock.lock();
            m_copies[index].staged = staged;
            m_copies[index].leftOut = leftOut;
            // The first failure in the walk's order is the one reported.
            if (failure && (!m_failure || index < m_failedAt)) {
                m_failure = failure;
                m_failedAt = index;
            }
            m_cancelled = m_cancelled || cancelled;
            if (failure || cancelled) {
                m_stopped = true;
                lock.unlock();
                m_work.notify_all();
                m_room.notify_all();
            }
        }
    }

    // The staged copy's path; what failed leaves nothing there.
    QString stage(const Copy &copy) const
    {
        QFile staged;
        BackupManifest::createCopyBeside(staged, copy.destination);
        try {
            m_backup.writeStoredFile(
                copy.node, staged, copy.destination, m_form, m_form ? &stopWhenCancelled : nullptr);
        } catch (...) {
            staged.remove();
            throw;
        }
        // A remembered file is replaced only once the index has forgotten it.
        m_batch.add(staged, copy.destination, copy.remembered);
        return staged.fileName();
    }

    const BackupManifest &m_backup;
    DurableBatch &m_batch;
    ProgressForm *const m_form;
    const int m_threadCount;
    std::mutex m_mutex;
    // Copies to take, for the threads; room for more, for the walk.
    std::condition_variable m_work;
    std::condition_variable m_room;
    std::vector<Copy> m_copies;
    size_t m_next = 0;
    bool m_closed = false;
    bool m_stopped = false;
    bool m_cancelled = false;
    std::exception_ptr m_failure;
    size_t m_failedAt = 0;
    std::vector<std::thread> m_threads;
};

QString itunesCacheFolder(const BackupManifest &backup)
{
    return dataFolder().absoluteFilePath(QStringLiteral("itunes_cache/") + backup.backupId());
}

QString cacheFolderPath()
{
    return dataFolder().absoluteFilePath(QStringLiteral("cache"));
}

ITunesCacheSMSThread::ITunesCacheSMSThread(
    BackupManifest *backup, ProgressForm *form, QObject *parent)
    : ITunesCacheSMSThread(backup, itunesCacheFolder(*backup), form, parent)
{
}

ITunesCacheSMSThread::ITunesCacheSMSThread(
    BackupManifest *backup, const QString &cacheDir, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , m_backup(backup)
    , m_form(form)
    , m_cacheDir(cacheDir)
    , m_index(std::make_unique<ITunesCacheManifestDb>(
          m_cacheDir.absoluteFilePath(QStringLiteral("manifest.db"))))
{
}

ITunesCacheSMSThread::~ITunesCacheSMSThread()
{
    m_pool.reset();
    m_batch.reset();
    m_index.reset();
}

void ITunesCacheSMSThread::run()
{
    ProgressForm::postUpdateProgress(m_form, tr("IDS_LOADING_ITUNES_BACKUP"), 99, QString());
    m_smsNode = m_addressBookNode = nullptr;
    if (const BackupFileNode *library = childNamed(&m_backup->root(), "Library")) {
        m_smsNode = childNamed(library, "SMS");
        m_addressBookNode = childNamed(library, "AddressBook");
    }
    if (!m_smsNode) {
        ProgressForm::postErrorOccurred(m_form, tr("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }

    // The lock is kept in the program's records, never in or beside the folder, which goes
    // when a run fails.
    const QString root = m_cacheDir.absolutePath();
    QDir().mkpath(QFileInfo(root).absolutePath());
    dataFolder(); // where the locks are kept
    TargetLock lock;
    // Another window caching into the same folder is waited for; a cancel meanwhile leaves
    // its work alone.
    for (;;) {
        const TargetLock::State state = lock.lock(root, 100);
        if (state == TargetLock::Held)
            break;
        if (state == TargetLock::Failed) {
            ProgressForm::postErrorOccurred(
                m_form, QStringLiteral("Can not lock the folder %1.").arg(root));
            return;
        }
        if (m_form && m_form->failed)
            return;
    }

    try {
        if (!QDir().mkpath(root))
            throw std::runtime_error(
                QStringLiteral("Can not create the folder %1.").arg(root).toUtf8().toStdString());
        // Present while a run copies: a run that finds it sweeps what a killed one left.
        const QString marker = root + QStringLiteral("/copying");
        m_sweep = QFileInfo::exists(marker);
        QFile markerFile(marker);
        if (!m_sweep && markerFile.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            durable::syncFolder(root);
        // Without an index there is nothing to look up, and making it can wait until the
        // copies are under way.
        m_indexExists = QFileInfo::exists(m_index->path());
        QString target = root;
        for (const char *name : { "file-relay", "var", "mobile", "Library" })
            target = ensureRealFolder(target, QLatin1String(name));
        m_batch = std::make_unique<DurableBatch>();
        m_pool = std::make_unique<CopyPool>(*m_backup, *m_batch, m_form);
        // The readers open "SMS" and "AddressBook" by these names, whatever case the
        // backup gives them.
        cacheTopFolder(m_smsNode, target, QStringLiteral("SMS"));
        if (m_addressBookNode)
            cacheTopFolder(m_addressBookNode, target, QStringLiteral("AddressBook"));
        const std::vector<CopyPool::Copy> copies = m_pool->finish();
        m_pool.reset();
        bool forgetting = false;
        for (const CopyPool::Copy &copy : copies) {
            if (copy.staged.isEmpty()) {
                if (!copy.leftOut.isEmpty())
                    qWarning() << "Backup file left out of the cache:" << copy.destination
                               << copy.leftOut;
            } else if (copy.remembered) {
                m_index->remove(copy.node->record.fileName());
                forgetting = true;
            }
        }
        // Otherwise a kill after the renames would leave a new copy under an old time, which a
        // backup back at that time would take for its own.
        if (forgetting)
            m_index->commit();
        // The index learns the copies while the last syncs go on, but commits them only once
        // every copy is synced and in place.
        for (const CopyPool::Copy &copy : copies) {
            if (!copy.staged.isEmpty())
                m_index->setLastDate(copy.node->record.fileName(), copy.node->record.Mtime);
        }
        QString error;
        if (!m_batch->commit(&error))
            throw std::runtime_error(error.toUtf8().toStdString());
        m_batch.reset();
        m_index->commit();
        QFile::remove(marker);
    } catch (int) {
        abandon();
        return;
    } catch (const std::exception &e) {
        abandon();
        ProgressForm::postErrorOccurred(m_form, QString::fromUtf8(e.what()));
        return;
    }
    ProgressForm::postSucceed(m_form, QString());
}

void ITunesCacheSMSThread::abandon()
{
    // No copy may still be writing into the folder that goes.
    m_pool.reset();
    m_batch.reset();
    // The rows of this run go with the copies they describe.
    m_index->discard();
    removeFolderRecursively(m_cacheDir.absolutePath());
}

void ITunesCacheSMSThread::cacheTopFolder(
    const BackupFileNode *node, const QString &targetFolder, const QString &name)
{
    if (node->record.isDirectory())
        cacheFolder(node, targetFolder, name);
    else
        cacheNode(node, targetFolder);
}

void ITunesCacheSMSThread::cacheNode(const BackupFileNode *node, const QString &targetFolder)
{
    if (m_form && m_form->failed)
        throw kCancelled;
    if (node->record.isDirectory())
        cacheFolder(node, targetFolder, node->name);
    else
        cacheFile(node, targetFolder);
}

void ITunesCacheSMSThread::cacheFolder(
    const BackupFileNode *node, const QString &targetFolder, const QString &name)
{
    if (!isOneFolderEntry(name)) {
        qWarning() << "Backup folder left out of the cache, unsafe name:" << name;
        return;
    }
    const QString folder = ensureRealFolder(targetFolder, name);
    if (m_sweep) {
        const QDir dir(folder);
        for (const QString &file : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (BackupManifest::isUnfinishedCopyName(file))
                QFile::remove(dir.filePath(file));
        }
    }
    for (const auto &child : node->children)
        cacheNode(child.get(), folder);
}

void ITunesCacheSMSThread::cacheFile(const BackupFileNode *node, const QString &targetFolder)
{
    const MbdbRecord &record = node->record;
    const QString name = sanitizeFileName(node->name);
    if (!isOneFolderEntry(name)) {
        qWarning() << "Backup file left out of the cache, unsafe name:" << node->name;
        return;
    }
    const QString key = record.fileName();
    const QString destination = targetFolder + QLatin1Char('/') + name;

    const qint64 size = m_backup->extractedSize(node);
    if (size < 0)
        return;
    // A remembered time counts only while the copy it describes is still there whole: one
    // cut short by a power loss or a full disk is copied again.
    bool known = false;
    const qint64 last = m_indexExists ? m_index->lastDate(key, &known) : 0;
    const QFileInfo cached(destination);
    if (known && last == qint64(record.Mtime) && cached.isFile() && !cached.isSymLink()
        && cached.size() == size)
        return;

    ProgressForm::postUpdateProgress(
        m_form, QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(node->name));
    CopyPool::Copy copy;
    copy.node = node;
    copy.destination = destination;
    copy.required = node->parent == m_smsNode || node->parent == m_addressBookNode;
    copy.remembered = known;
    if (!m_pool->add(std::move(copy)))
        m_pool->finish();
}
