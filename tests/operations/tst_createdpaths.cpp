// Copies and folders made by an export run: copies whole and byte for byte whether the
// system or the buffer copies them, never over anything, and nothing left of a copy that
// failed; folders claimed only when the run's own mkdir made them.
#include "operations/createdpaths.h"
#include "shell/datafolder.h"
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

Q_DECLARE_METATYPE(FileSystemSeam)

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

QStringList entries(const QDir &folder)
{
    return folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// A run that dies in the middle of filling a new folder for `target`, or, with `atPlacing`,
// right before the rename that puts it in place.
bool killedStaging(const QString &target, bool atPlacing = false)
{
    return runThenDie([&] {
        const ScopedFileSystemSeam scoped(
            atPlacing ? FileSystemSeam::fuseExfatDyingAtRename() : FileSystemSeam::fuseExfat());
        // Never destroyed: the child dies holding it.
        auto *killed = new CreatedPaths;
        const QString staged = killed->makeStagingFolder(target);
        filebytes::write(staged + QStringLiteral("/a.html"), "killed");
        if (atPlacing)
            killed->placeFolder(staged, target);
    });
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
    void initTestCase();
    void copiesWhole_data();
    void copiesWhole();
    void neverCopiesOverAnything();
    void failedCopyLeavesNothing();
    void neverClaimsAFolderAnotherWriterMade_data();
    void neverClaimsAFolderAnotherWriterMade();
    void stagingRemovesOnlyAKilledRunsFolder_data();
    void stagingRemovesOnlyAKilledRunsFolder();
    void placeFolderNeverReplacesAnything_data();
    void placeFolderNeverReplacesAnything();
    void removeAllLeavesAnotherRunsWorkInAFolderItMade();
    void stagingEndsWholeOnEveryFileSystem_data();
    void stagingEndsWholeOnEveryFileSystem();
    void holdingATargetKeepsASecondRunOut_data();
    void holdingATargetKeepsASecondRunOut();
    void killedPlacingLeavesNothingTheNextRunKeeps();
    void journalIsWrittenWhereAppendIsRefused();

private:
    QTemporaryDir dir;
    // The home of the data folder, which keeps the program's records of which run writes
    // what: never beside what it writes.
    QTemporaryDir records;
};

void TestCreatedPaths::initTestCase()
{
    qputenv("HOME", QFile::encodeName(records.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(records.path()));
}

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
    if (other.isEmpty())
        QVERIFY(killedStaging(base.filePath(target)));
    else
        filebytes::write(base.filePath(other + QStringLiteral("/inner/keep.txt")), "mine");
    const QStringList before = entries(base);
    QCOMPARE(before.size(), 1);

    CreatedPaths created;
    const QString staged = QFileInfo(created.makeStagingFolder(base.filePath(target))).fileName();
    QStringList expected = other.isEmpty() ? QStringList() : before;
    expected << staged;
    expected.sort();
    QCOMPARE(entries(base), expected);
    if (!other.isEmpty())
        QCOMPARE(fileBytes(base.filePath(other + QStringLiteral("/inner/keep.txt"))),
            QByteArray("mine"));
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

// Whatever a file system lacks (locks, unnamed files, no-replace renames, links, renaming
// what is open) a new folder is made, filled and placed whole, with nothing of the run's own
// left; a killed run's staging folder goes and a live one's stays.
void TestCreatedPaths::stagingEndsWholeOnEveryFileSystem_data()
{
    QTest::addColumn<FileSystemSeam>("seam");
    QTest::addColumn<QString>("other"); // "killed", "live" or empty
    for (const auto &seam : FileSystemSeam::named()) {
        for (const char *other : { "alone", "killed", "live" })
            QTest::addRow("%s, %s", seam.first, other) << seam.second << QString::fromLatin1(other);
    }
}

void TestCreatedPaths::stagingEndsWholeOnEveryFileSystem()
{
    QFETCH(FileSystemSeam, seam);
    QFETCH(QString, other);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    const QString target = base.filePath(QStringLiteral("html"));
    CreatedPaths live;
    if (other == QLatin1String("killed"))
        QVERIFY(killedStaging(target));
    else if (other == QLatin1String("live"))
        filebytes::write(live.makeStagingFolder(target) + QStringLiteral("/a.html"), "live");
    const QStringList others = entries(base);
    QCOMPARE(others.size(), other == QLatin1String("alone") ? 0 : 1);

    const ScopedFileSystemSeam scoped(seam);
    CreatedPaths created;
    const QString error = errorOf([&] {
        created.hold(target, true);
        const QString staged = created.makeStagingFolder(target);
        filebytes::write(staged + QStringLiteral("/page.html"), "whole");
        created.placeFolder(staged, target);
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    created.forget();
    QCOMPARE(entries(QDir(target)), QStringList(QStringLiteral("page.html")));
    QStringList expected = other == QLatin1String("live") ? others : QStringList();
    expected << QStringLiteral("html");
    expected.sort();
    QCOMPARE(entries(base), expected);
}

// One run of any window at a time writes a target, a new folder, an existing one or a file,
// however the path names it; nothing of the hold is put beside the target.
void TestCreatedPaths::holdingATargetKeepsASecondRunOut_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("secondPath"); // how the second run names the target
    QTest::newRow("a new folder") << true << false << "held";
    QTest::newRow("an existing folder") << true << true << "held";
    QTest::newRow("an existing folder, by another path") << true << true << "./x/../held/";
    QTest::newRow("a new file") << false << false << "held";
    QTest::newRow("a file, through a link") << false << true << "link";
}

void TestCreatedPaths::holdingATargetKeepsASecondRunOut()
{
    QFETCH(bool, folder);
    QFETCH(bool, exists);
    QFETCH(QString, secondPath);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral("x")));
    const QString target = base.filePath(QStringLiteral("held"));
    if (exists && folder)
        filebytes::write(target + QStringLiteral("/keep.txt"), "mine");
    else if (exists)
        filebytes::write(target, "mine");
    QVERIFY(QFile::link(target, base.filePath(QStringLiteral("link"))));
    const QStringList before = entries(base);

    CreatedPaths first;
    first.hold(target, folder);
    CreatedPaths second;
    const QString error = errorOf([&] { second.hold(base.filePath(secondPath), folder); });
    QVERIFY2(error.endsWith(QStringLiteral(": another export is writing it")), qPrintable(error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(QDir::cleanPath(base.filePath(secondPath)))),
        qPrintable(error));
    QCOMPARE(entries(base), before);
    if (exists && folder)
        QCOMPARE(entries(QDir(target)), QStringList(QStringLiteral("keep.txt")));
    first.forget();
    QVERIFY(errorOf([&] { second.hold(base.filePath(secondPath), folder); }).isEmpty());
}

// Where the name is reserved before the staged folder is renamed over it, a kill between the
// two leaves an empty folder under the user's name: the next run takes it away with the
// staged folder, and places its own.
void TestCreatedPaths::killedPlacingLeavesNothingTheNextRunKeeps()
{
    const QDir base(dir.filePath(QStringLiteral("killed-placing")));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    const QString target = base.filePath(QStringLiteral("html"));
    QVERIFY(killedStaging(target, true));
    QCOMPARE(entries(base).size(), 2);
    QCOMPARE(entries(QDir(target)), QStringList());

    const ScopedFileSystemSeam exfat(FileSystemSeam::fuseExfat());
    CreatedPaths created;
    const QString staged = created.makeStagingFolder(target);
    QCOMPARE(entries(base), QStringList(QFileInfo(staged).fileName()));
    filebytes::write(staged + QStringLiteral("/page.html"), "whole");
    created.placeFolder(staged, target);
    QCOMPARE(entries(base), QStringList(QStringLiteral("html")));
    QCOMPARE(entries(QDir(target)), QStringList(QStringLiteral("page.html")));
}

// SMB may refuse to open a file for append: the journal is written without.
void TestCreatedPaths::journalIsWrittenWhereAppendIsRefused()
{
    const QDir base(dir.filePath(QStringLiteral("journal")));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    const QString journal = records.filePath(QStringLiteral("journal"));
    const ScopedFileSystemSeam smb(FileSystemSeam::smb());
    {
        CreatedPaths created;
        created.writeJournal(journal, base.path());
        created.makeFolder(base.filePath(QStringLiteral("a/b")));
        created.addFile(base.filePath(QStringLiteral("a/b/c.txt")));
        filebytes::write(base.filePath(QStringLiteral("a/b/c.txt")), "made");
        QCOMPARE(fileBytes(journal), QByteArray("a\na/b\na/b/c.txt\n"));
        created.forget();
    }
    QVERIFY(!QFileInfo::exists(journal));
}

QTEST_GUILESS_MAIN(TestCreatedPaths)
#include "tst_createdpaths.moc"
