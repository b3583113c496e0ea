// Copies and folders made by an export run: copies whole and byte for byte whether the
// system or the buffer copies them, never over anything, and nothing left of a copy that
// failed; folders claimed only when the run's own mkdir made them.
#include "operations/createdpaths.h"
#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The folder that another writer makes, with a file of its own, right before this process
// asks for it: the race between finding a folder missing and making it.
QByteArray anotherWriterMakes;

int systemMkdir(const char *path, mode_t mode)
{
    return int(syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

// The text of the runtime error `work` throws; empty when it throws none.
QString errorOf(const std::function<void()> &work)
{
    try {
        work();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

// Stands in for the system's mkdir in this process, the library's calls included (the test
// exports its symbols).
extern "C" int mkdir(const char *path, mode_t mode)
{
    if (!anotherWriterMakes.isEmpty() && anotherWriterMakes == path) {
        const QString theirs = QFile::decodeName(anotherWriterMakes);
        anotherWriterMakes.clear();
        QDir().mkpath(theirs + QStringLiteral("/inner"));
        QFile file(theirs + QStringLiteral("/inner/theirs.txt"));
        if (file.open(QIODevice::WriteOnly))
            file.write("another writer's");
    }
    return systemMkdir(path, mode);
}

class TestCreatedPaths : public QObject
{
    Q_OBJECT

private slots:
    void copiesWhole_data();
    void copiesWhole();
    void neverCopiesOverAnything();
    void failedCopyLeavesNothing();
    void neverClaimsAFolderAnotherWriterMade_data();
    void neverClaimsAFolderAnotherWriterMade();
    void stagingRemovesOnlyAKilledRunsFolder_data();
    void stagingRemovesOnlyAKilledRunsFolder();
    void secondStagingOfOneTargetFailsAndLeavesTheFirst();
    void placeFolderNeverReplacesAnything_data();
    void placeFolderNeverReplacesAnything();
    void removeAllLeavesAnotherRunsWorkInAFolderItMade();
    void stagingEndsWholeWhereverLocksDiffer_data();
    void stagingEndsWholeWhereverLocksDiffer();
    void holdingAFolderKeepsASecondRunOut();

private:
    QTemporaryDir dir;
};

void TestCreatedPaths::copiesWhole_data()
{
    QTest::addColumn<QString>("source"); // empty: a file of `size` bytes made here
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("one byte") << QString() << 1;
    QTest::newRow("past one buffer") << QString() << 3 * 65536 + 7;
    // Its size reads as 0 and the system does not copy it: the buffer reads what it holds.
    QTest::newRow("kernel's text") << "/proc/version" << 0;
}

void TestCreatedPaths::copiesWhole()
{
    QFETCH(QString, source);
    QFETCH(int, size);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    if (source.isEmpty()) {
        source = dir.filePath(tag + QStringLiteral(".in"));
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            bytes[i] = char(i * 7 + i / 251);
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(size));
    }
    const QString target = dir.filePath(tag + QStringLiteral(".out"));
    CreatedPaths created;
    QVERIFY(created.copyFile(source, target));
    QCOMPARE(fileBytes(target), fileBytes(source));
    QVERIFY(!fileBytes(source).isEmpty() || size == 0);
}

void TestCreatedPaths::neverCopiesOverAnything()
{
    const QString source = dir.filePath(QStringLiteral("kept.in"));
    const QString target = dir.filePath(QStringLiteral("kept.out"));
    for (const QString &path : { source, target }) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(path.toUtf8());
    }
    CreatedPaths created;
    QVERIFY(!created.copyFile(source, target));
    QCOMPARE(fileBytes(target), target.toUtf8());
}

void TestCreatedPaths::failedCopyLeavesNothing()
{
    const QString source = dir.filePath(QStringLiteral("large.in"));
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(200000, 'x')) == 200000);
    }
    const QString folder = dir.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(folder));
    CreatedPaths created;
    bool thrown = false;
    {
        // Stands for a full disk: no file may grow past this.
        const FileSizeLimit full(8192);
        try {
            created.copyFile(source, folder + QStringLiteral("/large.out"));
        } catch (const std::runtime_error &) {
            thrown = true;
        }
    }
    QVERIFY(thrown);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList());
}

void TestCreatedPaths::neverClaimsAFolderAnotherWriterMade_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("theirs");
    QTest::newRow("the folder") << "c"
                                << "c";
    QTest::newRow("its missing parent") << "a/b/c"
                                        << "a";
}

void TestCreatedPaths::neverClaimsAFolderAnotherWriterMade()
{
    QFETCH(QString, target);
    QFETCH(QString, theirs);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    anotherWriterMakes = QFile::encodeName(base.filePath(theirs));
    CreatedPaths created;
    created.makeFolder(base.filePath(target));
    QVERIFY(anotherWriterMakes.isEmpty());
    QVERIFY(QFileInfo(base.filePath(target)).isDir());
    created.removeAll();
    QCOMPARE(fileBytes(base.filePath(theirs + QStringLiteral("/inner/theirs.txt"))),
        QByteArray("another writer's"));
    // What the run made inside theirs goes.
    QCOMPARE(QFileInfo::exists(base.filePath(target)), target == theirs);
}

void TestCreatedPaths::stagingRemovesOnlyAKilledRunsFolder_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("other"); // a user's folder beside the target; empty: a run's
    QTest::newRow("other letter case") << "chats"
                                       << "Chats.backup.partial";
    QTest::newRow("a blank in the tag") << "chats"
                                        << "chats.my old.partial";
    QTest::newRow("dots in the tag") << "chats"
                                     << "chats.v1.2.3.partial";
    QTest::newRow("brackets in the target") << "[ab]"
                                            << "a.backup.partial";
    QTest::newRow("a six-letter tag") << "html"
                                      << "html.bak228.partial";
    QTest::newRow("a killed run's") << "chats" << QString();
}

void TestCreatedPaths::stagingRemovesOnlyAKilledRunsFolder()
{
    QFETCH(QString, target);
    QFETCH(QString, other);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    if (other.isEmpty()) {
        QVERIFY(runThenDie([&] {
            // Never destroyed: the child dies holding it.
            auto *killed = new CreatedPaths;
            filebytes::write(
                killed->makeStagingFolder(base.filePath(target)) + QStringLiteral("/a.html"),
                "killed");
        }));
    } else {
        filebytes::write(base.filePath(other + QStringLiteral("/inner/keep.txt")), "mine");
    }
    const QStringList before = base.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(before.size(), 1);

    CreatedPaths created;
    const QString staged = QFileInfo(created.makeStagingFolder(base.filePath(target))).fileName();
    QStringList expected = other.isEmpty() ? QStringList() : before;
    expected << staged;
    expected.sort();
    QCOMPARE(base.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name), expected);
    if (!other.isEmpty())
        QCOMPARE(fileBytes(base.filePath(other + QStringLiteral("/inner/keep.txt"))),
            QByteArray("mine"));
}

void TestCreatedPaths::secondStagingOfOneTargetFailsAndLeavesTheFirst()
{
    const QString target = dir.filePath(QStringLiteral("twice/html"));
    CreatedPaths first;
    const QString staged = first.makeStagingFolder(target);
    filebytes::write(staged + QStringLiteral("/page.html"), "first's");

    CreatedPaths second;
    const QString error = errorOf([&] { second.makeStagingFolder(target); });
    QVERIFY2(
        error.contains(QDir::toNativeSeparators(target) + QStringLiteral(": ")), qPrintable(error));
    second.removeAll();
    first.placeFolder(staged, target);
    QCOMPARE(fileBytes(target + QStringLiteral("/page.html")), QByteArray("first's"));
}

void TestCreatedPaths::placeFolderNeverReplacesAnything_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("an empty folder") << true;
    QTest::newRow("a file") << false;
}

void TestCreatedPaths::placeFolderNeverReplacesAnything()
{
    QFETCH(bool, folder);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    const QString target = base.filePath(QStringLiteral("html"));
    CreatedPaths created;
    const QString staged = created.makeStagingFolder(target);
    if (folder)
        QVERIFY(base.mkdir(QStringLiteral("html")));
    else
        filebytes::write(target, QByteArray());
    const QString error = errorOf([&] { created.placeFolder(staged, target); });
    QVERIFY2(
        error.contains(QDir::toNativeSeparators(target) + QStringLiteral(": ")), qPrintable(error));
    QCOMPARE(QFileInfo(target).isDir(), folder);
    QVERIFY(QFileInfo(staged).isDir());
    if (folder)
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestCreatedPaths::removeAllLeavesAnotherRunsWorkInAFolderItMade()
{
    const QString shared = dir.filePath(QStringLiteral("shared"));
    CreatedPaths cancelled;
    // Makes the folder "shared" as well.
    cancelled.makeStagingFolder(shared + QStringLiteral("/mine"));
    CreatedPaths finished;
    const QString theirs = shared + QStringLiteral("/theirs");
    const QString staged = finished.makeStagingFolder(theirs);
    filebytes::write(staged + QStringLiteral("/page.html"), "theirs");
    finished.placeFolder(staged, theirs);

    cancelled.removeAll();
    QCOMPARE(QDir(shared).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("theirs") });
    QCOMPARE(fileBytes(theirs + QStringLiteral("/page.html")), QByteArray("theirs"));
}

// NFS locks only what is open for writing, and a folder cannot be opened so; a share
// without a lock service locks nothing. A new folder is still made, filled and placed whole,
// in bounded time, with nothing of the run's own left; a killed run's staging folder goes
// where it can be told from a live one's, and a live one's always stays.
void TestCreatedPaths::stagingEndsWholeWhereverLocksDiffer_data()
{
    QTest::addColumn<bool>("locks"); // NFS's; else none at all
    QTest::addColumn<QString>("other"); // "killed", "live" or empty
    QTest::addColumn<bool>("otherStays");
    QTest::newRow("nfs") << true << QString() << false;
    QTest::newRow("nfs, a killed run's") << true << "killed" << false;
    QTest::newRow("nfs, a live run's") << true << "live" << true;
    QTest::newRow("no locks") << false << QString() << false;
    QTest::newRow("no locks, a killed run's") << false << "killed" << true;
    QTest::newRow("no locks, a live run's") << false << "live" << true;
}

void TestCreatedPaths::stagingEndsWholeWhereverLocksDiffer()
{
    QFETCH(bool, locks);
    QFETCH(QString, other);
    QFETCH(bool, otherStays);
    const ScopedFileSystemSeam seam(
        locks ? FileSystemSeam::nfs() : FileSystemSeam::noLockService());
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    const QString target = base.filePath(QStringLiteral("html"));
    CreatedPaths live;
    if (other == QLatin1String("killed")) {
        QVERIFY(runThenDie([&] {
            auto *killed = new CreatedPaths;
            filebytes::write(
                killed->makeStagingFolder(target) + QStringLiteral("/a.html"), "killed");
        }));
    } else if (other == QLatin1String("live")) {
        filebytes::write(live.makeStagingFolder(target) + QStringLiteral("/a.html"), "live");
    }
    const QStringList others = base.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(others.size(), other.isEmpty() ? 0 : 1);

    CreatedPaths created;
    const QString error = errorOf([&] {
        const QString staged = created.makeStagingFolder(target);
        filebytes::write(staged + QStringLiteral("/page.html"), "whole");
        created.placeFolder(staged, target);
    });
    // Where a live run can be told, the second fails at once.
    if (other == QLatin1String("live") && locks) {
        QVERIFY2(error.contains(QDir::toNativeSeparators(target) + QStringLiteral(": another")),
            qPrintable(error));
        created.removeAll();
        QCOMPARE(base.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), others);
        return;
    }
    QVERIFY2(error.isEmpty(), qPrintable(error));
    created.forget();
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList(QStringLiteral("page.html")));
    QStringList expected = otherStays ? others : QStringList();
    expected << QStringLiteral("html");
    expected.sort();
    QCOMPARE(base.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name), expected);
}

void TestCreatedPaths::holdingAFolderKeepsASecondRunOut()
{
    const QString folder = dir.filePath(QStringLiteral("held"));
    filebytes::write(folder + QStringLiteral("/keep.txt"), "mine");
    CreatedPaths first;
    first.holdFolder(folder);
    CreatedPaths second;
    const QString error = errorOf([&] { second.holdFolder(folder); });
    QVERIFY2(error.contains(QDir::toNativeSeparators(folder) + QStringLiteral(": another")),
        qPrintable(error));
    first.forget();
    QVERIFY(errorOf([&] { second.holdFolder(folder); }).isEmpty());
    second.removeAll();
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList(QStringLiteral("keep.txt")));
}

QTEST_GUILESS_MAIN(TestCreatedPaths)
#include "tst_createdpaths.moc"
