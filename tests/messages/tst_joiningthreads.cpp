#include "messages/joiningthreads.h"

#include <QtTest>

#include <atomic>
#include <stdexcept>

namespace {

// A task whose copy fails, as an argument std::thread cannot copy for want of memory.
struct UncopyableTask
{
    UncopyableTask() = default;
    UncopyableTask(const UncopyableTask &) { throw std::bad_alloc(); }
    void operator()() const { }
};

} // namespace

class TestJoiningThreads : public QObject
{
    Q_OBJECT

private slots:
    void threadsStartedBeforeAFailedStartAreJoined();
};

void TestJoiningThreads::threadsStartedBeforeAFailedStartAreJoined()
{
    std::atomic<bool> go { false };
    std::atomic<int> finished { 0 };
    const auto task = [&] {
        while (!go)
            std::this_thread::yield();
        ++finished;
    };
    bool threw = false;
    try {
        JoiningThreads threads(3);
        threads.start(task);
        threads.start(task);
        QCOMPARE(threads.size(), size_t(2));
        const UncopyableTask uncopyable;
        go = true;
        threads.start(uncopyable);
    } catch (const std::bad_alloc &) {
        threw = true;
    }
    QVERIFY(threw);
    // Had the group let a joinable thread be destroyed, the program would have ended.
    QCOMPARE(finished.load(), 2);
}

QTEST_GUILESS_MAIN(TestJoiningThreads)
#include "tst_joiningthreads.moc"
