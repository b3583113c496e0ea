// Claims on targets and the records of runs: whose run lives is read off a record's name (its
// process, the process's start, the boot and the host), a dead run's claim never holds anyone
// back, and a run that ends whole leaves no record.
#include "platform/durablefile/targetlock.h"
#include "platform/durablefile/writerruns.h"

#include "support/filebytes.h"
#include "support/killedwriter.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class TestTargetLock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void claimKeepsOthersOutOnlyWhileItsRunLives_data();
    void claimKeepsOthersOutOnlyWhileItsRunLives();
    void killedHoldersClaimHoldsNoOneBack();
    void waitsForTheHolderToLetGo();
    void oneOfManyClaimingAtOnceHolds();
    void runThatEndsWholeLeavesNoRecord();

private:
    QString locks() const { return records.filePath("locks"); }

    QTemporaryDir records;
    QTemporaryDir dir;
};

void TestTargetLock::initTestCase()
{
    writerruns::setFolder(records.path());
}

// A claim is "<key>.<record>", the record "<tag>-<pid>-<start>-<boot hash><host hash>".
void TestTargetLock::claimKeepsOthersOutOnlyWhileItsRunLives_data()
{
    const QStringList own = writerruns::name().split('-');
    QCOMPARE(own.size(), 4);
    const QString pid = own.at(1), start = own.at(2), machine = own.at(3);
    const QString boot = machine.left(8), host = machine.mid(8);
    QTest::addColumn<QString>("record");
    QTest::addColumn<bool>("live");
    QTest::newRow("this process, another tag")
        << "othertag-" + pid + "-" + start + "-" + machine << true;
    QTest::newRow("another host") << "othertag-1-1-" + boot + "00000000" << true;
    QTest::newRow("this process, another start") << "othertag-" + pid + "-1-" + machine << false;
    QTest::newRow("another boot") << "othertag-" + pid + "-" + start + "-00000000" + host << false;
    QTest::newRow("no /proc there, alive") << "othertag-" + pid + "-0-" + machine << true;
    QTest::newRow("no /proc there, gone") << "othertag-2147483600-0-" + machine << false;
    QTest::newRow("not a record") << "not-a-record" << false;
}

void TestTargetLock::claimKeepsOthersOutOnlyWhileItsRunLives()
{
    QFETCH(QString, record);
    QFETCH(bool, live);
    const QString target = dir.filePath("target");
    QString key;
    {
        TargetLock probe;
        QCOMPARE(probe.lock(target), TargetLock::Held);
        key = QDir(locks()).entryList(QDir::Files).value(0).section('.', 0, 0);
    }
    QCOMPARE(QDir(locks()).entryList(QDir::Files), QStringList());
    const QString claim = locks() + "/" + key + "." + record;
    filebytes::write(claim, key.toUtf8());

    TargetLock lock;
    QCOMPARE(lock.lock(target), live ? TargetLock::Busy : TargetLock::Held);
    if (live)
        QCOMPARE(lock.error(), QDir::toNativeSeparators(claim));
    QCOMPARE(QFileInfo::exists(claim), live);
    QFile::remove(claim);
}

void TestTargetLock::killedHoldersClaimHoldsNoOneBack()
{
    const QString target = dir.filePath("killed");
    QVERIFY(runThenDie([&] {
        // Never destroyed: the child dies holding it.
        auto *held = new TargetLock;
        held->lock(target);
    }));
    QCOMPARE(QDir(locks()).entryList(QDir::Files).size(), 1);
    TargetLock lock;
    QCOMPARE(lock.lock(target), TargetLock::Held);
    QCOMPARE(QDir(locks()).entryList(QDir::Files).size(), 1);
    // Nothing of the claim is beside the target.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
}

void TestTargetLock::waitsForTheHolderToLetGo()
{
    const QString target = dir.filePath("waited");
    auto holder = std::make_unique<TargetLock>();
    QCOMPARE(holder->lock(target), TargetLock::Held);
    TargetLock waiting;
    QCOMPARE(waiting.lock(target, 50), TargetLock::Busy);
    std::thread letGo([&] {
        QThread::msleep(100);
        holder.reset();
    });
    QCOMPARE(waiting.lock(target, 60000), TargetLock::Held);
    letGo.join();
}

// Claims made at the same moment meet each other: all give way, and try again until one holds.
void TestTargetLock::oneOfManyClaimingAtOnceHolds()
{
    const QString target = dir.filePath("contended");
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<TargetLock>> locks(8);
        std::vector<TargetLock::State> states(locks.size());
        std::atomic<int> waiting { int(locks.size()) };
        std::vector<std::thread> threads;
        for (size_t i = 0; i < locks.size(); ++i) {
            locks[i] = std::make_unique<TargetLock>();
            threads.emplace_back([&, i] {
                for (--waiting; waiting > 0;)
                    std::this_thread::yield();
                states[i] = locks[i]->lock(target);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(std::count(states.begin(), states.end(), TargetLock::Held), 1);
        QCOMPARE(std::count(states.begin(), states.end(), TargetLock::Busy), 7);
    }
}

void TestTargetLock::runThatEndsWholeLeavesNoRecord()
{
    const QString runs = records.filePath("runs");
    const QStringList before = QDir(runs).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const pid_t child = ::fork();
    if (child == 0) {
        writerruns::noteFolderOf(dir.filePath("file"));
        std::exit(
            QDir(runs).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == before.size() + 1
                ? 0
                : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(QDir(runs).entryList(QDir::Dirs | QDir::NoDotAndDotDot), before);
}

QTEST_GUILESS_MAIN(TestTargetLock)
#include "tst_targetlock.moc"
