#include "app/nodeloader.h"

#include "records/msgidentity.h"
#include "shell/progressform.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSemaphore>
#include <QTimer>

#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

// A read that ends within this is waited for as a read on this thread would be.
const int kQuietMs = 100;
// The progress dialog shows once a read has taken this long.
const int kDialogAfterMs = 450;
// How often the waiting window looks whether the read has ended.
const int kPollMs = 10;

// One read, shared by the thread that reads and the window that waits; whichever lets go of
// it last frees it.
struct Job
{
    NodeLoader::Opener open;
    NodeLoader::Scope scope;
    bool descending;

    QSemaphore ended;
    std::mutex lock;
    bool finished = false;
    bool cancelled = false;
    NodeLoader::Content content;
    bool failed = false;
    QString error;

    void run()
    {
        NodeLoader::Content read;
        bool failedHere = false;
        QString failure;
        try {
            QSharedPointer<AbsMessageDb> db = open();
            MsgMessageSet::create(read.set);
            db->chats(read.set);
            if (scope == NodeLoader::Scope::Everything && !read.set->chatMap.isEmpty()) {
                db->messages(read.set, 0);
                read.sorted = read.set->messages();
                sortMessages(read.sorted, descending);
            }
        } catch (const std::exception &e) {
            failedHere = true;
            failure = QString::fromUtf8(e.what());
            read = NodeLoader::Content();
        }
        {
            const std::lock_guard<std::mutex> guard(lock);
            finished = true;
            if (!cancelled) {
                content = std::move(read);
                failed = failedHere;
                error = failure;
            }
        }
        // A cancelled read's records go here, off the window's thread.
        read = NodeLoader::Content();
        ended.release();
    }

    bool isFinished()
    {
        const std::lock_guard<std::mutex> guard(lock);
        return finished;
    }
};

} // namespace

NodeLoader::NodeLoader(QWidget *dialogParent)
    : m_dialogParent(dialogParent)
{
    m_pool.setMaxThreadCount(2);
}

NodeLoader::~NodeLoader()
{
    m_pool.waitForDone();
}

bool NodeLoader::load(const Opener &open, Scope scope, bool descending, Content *content)
{
    auto job = std::make_shared<Job>();
    job->open = open;
    job->scope = scope;
    job->descending = descending;
    QElapsedTimer clock;
    clock.start();
    m_pool.start([job] { job->run(); });

    if (!job->ended.tryAcquire(1, kQuietMs)) {
        // Painting and queued work go on; clicks would start another read meanwhile.
        QEventLoop waiting;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &waiting, [&] {
            if (job->isFinished() || clock.elapsed() >= kDialogAfterMs)
                waiting.quit();
        });
        poll.start(kPollMs);
        waiting.exec(QEventLoop::ExcludeUserInputEvents);

        if (!job->isFinished()) {
            ProgressForm form(QString(), m_dialogParent);
            form.setBusy(tr("Loading messages..."));
            QObject::disconnect(&poll, nullptr, nullptr, nullptr);
            QObject::connect(&poll, &QTimer::timeout, &form, [&] {
                if (job->isFinished())
                    form.succeed(QString());
            });
            if (form.exec() != 1 || form.failed) {
                bool finished;
                {
                    const std::lock_guard<std::mutex> guard(job->lock);
                    job->cancelled = true;
                    finished = job->finished;
                }
                // Read whole after all: its records are this thread's to free, off it.
                if (finished)
                    retire(std::move(job->content.set));
                return false;
            }
        }
    }

    const std::lock_guard<std::mutex> guard(job->lock);
    if (job->failed)
        throw std::runtime_error(job->error.toStdString());
    *content = std::move(job->content);
    return true;
}

void NodeLoader::retire(QSharedPointer<MsgMessageSet> set)
{
    if (!set)
        return;
    m_pool.start([set]() mutable { set.reset(); });
}
