#include "platform/durablefile/durablebatch.h"
#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/writerruns.h"

#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/killedwriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

Q_DECLARE_METATYPE(FileSystemSeam)

namespace {

// Everything in a folder, hidden entries included, sorted.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// Where no unnamed file can be had, a kill leaves a partial beside the target: the child
// dies in the middle of writing `target`, or, with `atRename`, right before its rename.
bool killedWriting(const QString &target, bool atRename = false)
{
    return runThenDie([&] {
        const ScopedFileSystemSeam scoped(
            atRename ? FileSystemSeam::fuseExfatDyingAtRename() : FileSystemSeam::fuseExfat());
        // Never destroyed: the child dies holding it.
        auto *file = new DurableFile(target);
        if (file->open() && file->write("killed") && atRename)
            file->commit();
    });
}

} // namespace

class TestDurableFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void copyReplacesOnlyWhenComplete_data();
    void copyReplacesOnlyWhenComplete();
    void fullDiskIsNamedNotUnknown_data();
    void fullDiskIsNamedNotUnknown();
    void renameOverReplacesWholeFile();
    void batchPutsFilesInPlaceOnlyAllSynced_data();
    void batchPutsFilesInPlaceOnlyAllSynced();
    void onlyAKilledRunsPartialFileIsRemoved_data();
    void onlyAKilledRunsPartialFileIsRemoved();
    void killedWriteLeavesNothingTheNextWriteKeeps_data();
    void killedWriteLeavesNothingTheNextWriteKeeps();
    void writesEndWholeOnEveryFileSystem_data();
    void writesEndWholeOnEveryFileSystem();
    void unnamedFileWithoutProcIsPutInPlace_data();
    void unnamedFileWithoutProcIsPutInPlace();
    void secondNewFileFailsWithoutNoReplaceRenameOrLinks();
    void killedRunsReservationGoesWithItsPartial();
    void writeThroughALinkCleansBesideTheFileItWrites();

private:
    // The program's records of which run writes what: never beside the files written.
    QTemporaryDir records;
};

void TestDurableFile::initTestCase()
{
    writerruns::setFolder(records.path());
}

void TestDurableFile::copyReplacesOnlyWhenComplete_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QString>("targetName");
    QTest::addColumn<bool>("copied");

    QTest::newRow("over an existing file") << true << "target.bin" << true;
    QTest::newRow("to a new name") << true << "new.bin" << true;
    QTest::newRow("source gone") << false << "target.bin" << false;
    QTest::newRow("folder missing") << true << "no/such/target.bin" << false;
}

void TestDurableFile::copyReplacesOnlyWhenComplete()
{
    QFETCH(bool, sourceExists);
    QFETCH(QString, targetName);
    QFETCH(bool, copied);

    QTemporaryDir dir;
    const QString source = dir.filePath("source.bin");
    // Larger than one buffer of the copy.
    const QByteArray content = QByteArray(200000, 'n') + "end";
    if (sourceExists)
        filebytes::write(source, content);
    const QByteArray oldContent("old content");
    filebytes::write(dir.filePath("target.bin"), oldContent);
    const QString old = filebytes::hardLink(dir.filePath("target.bin"));
    const QString target = dir.filePath(targetName);

    QString error;
    QCOMPARE(durable::copyFile(source, target, &error), copied);
    QCOMPARE(error.isEmpty(), copied);

    if (copied)
        QCOMPARE(filebytes::read(target), content);
    QCOMPARE(filebytes::read(old), oldContent);
    if (!copied && QFileInfo::exists(target))
        QCOMPARE(filebytes::read(target), oldContent);
    // No half-written file is left beside the target.
    QStringList expected = { "target.bin", "target.bin.old" };
    if (sourceExists)
        expected << "source.bin";
    if (copied && targetName == "new.bin")
        expected << "new.bin";
    expected.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
}

// A write the disk took only part of: Qt reports the short count without a reason, and
// the error must still say what happened.
void TestDurableFile::fullDiskIsNamedNotUnknown_data()
{
    QTest::addColumn<bool>("unbuffered");
    QTest::addColumn<bool>("replacing");
    QTest::newRow("new staged file") << false << false;
    QTest::newRow("staged file over an old one") << false << true;
    QTest::newRow("unbuffered plain file") << true << false;
}

void TestDurableFile::fullDiskIsNamedNotUnknown()
{
    QFETCH(bool, unbuffered);
    QFETCH(bool, replacing);
    QTemporaryDir dir;
    const QString target = dir.filePath("big.bin");
    if (replacing)
        filebytes::write(target, "old");
    const QByteArray content(300000, 'f');
    QString error;
    {
        FileSizeLimit limit(100000);
        if (unbuffered) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            QVERIFY(!durable::writeAll(file, content.constData(), content.size(), target, &error));
        } else {
            DurableFile file(target);
            QVERIFY(file.open());
            QVERIFY(!(file.write(content) && file.commit()));
            error = file.errorString();
        }
    }
    QCOMPARE(error, QString::fromLocal8Bit(strerror(EFBIG)));
    if (unbuffered)
        return;
    // Nothing of the failed file is left, and an old one is whole.
    const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(left, replacing ? QStringList { "big.bin" } : QStringList());
    if (replacing)
        QCOMPARE(filebytes::read(target), QByteArray("old"));
}

void TestDurableFile::renameOverReplacesWholeFile()
{
    QTemporaryDir dir;
    const QString staged = dir.filePath("staged");
    const QString target = dir.filePath("target");
    filebytes::write(staged, "new");
    filebytes::write(target, "old");
    QVERIFY(durable::renameOver(staged, target));
    QCOMPARE(filebytes::read(target), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(staged));

    QString error;
    QVERIFY(!durable::renameOver(staged, target, &error));
    QVERIFY(error.startsWith(QDir::toNativeSeparators(staged)));
    QCOMPARE(filebytes::read(target), QByteArray("new"));
}

// On SMB too, where nothing open may be renamed: the caller's file may stay open after add().
void TestDurableFile::batchPutsFilesInPlaceOnlyAllSynced_data()
{
    QTest::addColumn<bool>("late");
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<bool>("smb");
    for (const bool smb : { false, true }) {
        const char *on = smb ? ", smb" : "";
        QTest::addRow("each renamed once synced%s", on) << false << QString() << smb;
        QTest::addRow("all renamed by the commit%s", on) << true << QString() << smb;
    }
    QTest::newRow("the first file gone before the commit") << true << "gone" << false;
    QTest::newRow("never committed") << true << "abandoned" << false;
}

void TestDurableFile::batchPutsFilesInPlaceOnlyAllSynced()
{
    QFETCH(bool, late);
    QFETCH(QString, trouble);
    QFETCH(bool, smb);
    const ScopedFileSystemSeam seam(smb ? FileSystemSeam::smb() : FileSystemSeam());
    QTemporaryDir dir;
    filebytes::write(dir.filePath("a/old.bin"), "old");
    QVERIFY(QDir().mkpath(dir.filePath("b")));
    const QStringList targets
        = { dir.filePath("a/old.bin"), dir.filePath("a/new.bin"), dir.filePath("b/new.bin") };
    QStringList staged;
    {
        DurableBatch batch;
        std::vector<std::unique_ptr<QFile>> files;
        for (int i = 0; i < targets.size(); ++i) {
            files.push_back(std::make_unique<QFile>(targets[i] + ".staged"));
            QFile &file = *files.back();
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QByteArray(100000, char('a' + i))) == 100000);
            batch.add(file, targets[i], late);
            staged << file.fileName();
        }
        if (trouble == "gone")
            QVERIFY(QFile::remove(staged.first()));
        if (trouble != "abandoned") {
            QString error;
            QVERIFY2(batch.commit(&error) == trouble.isEmpty(), qPrintable(error));
            if (!trouble.isEmpty())
                QVERIFY2(error.startsWith(QDir::toNativeSeparators(targets.first()) + ": "),
                    qPrintable(error));
        }
    }
    for (int i = 0; i < targets.size(); ++i) {
        if (trouble.isEmpty())
            QCOMPARE(filebytes::read(targets[i]), QByteArray(100000, char('a' + i)));
        else if (i == 0)
            QCOMPARE(filebytes::read(targets[i]), QByteArray("old"));
        else
            QVERIFY(!QFileInfo::exists(targets[i]));
        QVERIFY(!QFileInfo::exists(staged[i]));
    }
}

void TestDurableFile::onlyAKilledRunsPartialFileIsRemoved_data()
{
    QTest::addColumn<QString>("name"); // a user's file beside the target; empty: a run's own
    QTest::addColumn<bool>("killed"); // the run that made it was killed
    QTest::addColumn<bool>("removed");
    QTest::newRow("user's, a word as the tag") << "notes.txt.backup.partial" << false << false;
    QTest::newRow("user's, a blank in the tag") << "notes.txt.my old.partial" << false << false;
    QTest::newRow("user's, suffix in capitals") << "notes.txt.abcdef.PARTIAL" << false << false;
    QTest::newRow("a killed run's") << QString() << true << true;
    QTest::newRow("a live run's") << QString() << false << false;
}

void TestDurableFile::onlyAKilledRunsPartialFileIsRemoved()
{
    QFETCH(QString, name);
    QFETCH(bool, killed);
    QFETCH(bool, removed);
    const ScopedFileSystemSeam partialNames(FileSystemSeam::fuseExfat());
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    std::unique_ptr<DurableFile> live;
    if (!name.isEmpty()) {
        filebytes::write(dir.filePath(name), "mine");
    } else if (killed) {
        QVERIFY(killedWriting(target));
    } else {
        live = std::make_unique<DurableFile>(target);
        QVERIFY(live->open());
        QVERIFY(live->write("live"));
    }
    const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(before.size(), 1);

    DurableFile::removeLeftovers(target);
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), removed ? QStringList() : before);
    if (live) {
        QVERIFY(live->commit());
        QCOMPARE(filebytes::read(target), QByteArray("live"));
    }
}

// A kill at any point of a write leaves the old file whole and nothing that the next write
// of the same file keeps.
void TestDurableFile::killedWriteLeavesNothingTheNextWriteKeeps_data()
{
    QTest::addColumn<bool>("replacing");
    QTest::addColumn<bool>("unnamedFiles");
    QTest::newRow("replacing, unnamed") << true << true;
    QTest::newRow("replacing, partial name") << true << false;
    QTest::newRow("new, partial name") << false << false;
}

void TestDurableFile::killedWriteLeavesNothingTheNextWriteKeeps()
{
    QFETCH(bool, replacing);
    QFETCH(bool, unnamedFiles);
    FileSystemSeam seam;
    seam.unnamedFiles = unnamedFiles;
    const ScopedFileSystemSeam scoped(seam);
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    if (replacing)
        filebytes::write(target, "old");
    QVERIFY(runThenDie([&] {
        auto *file = new DurableFile(target);
        if (file->open())
            file->write(QByteArray(100000, 'k'));
    }));
    if (replacing)
        QCOMPARE(filebytes::read(target), QByteArray("old"));
    if (unnamedFiles)
        QCOMPARE(entries(dir.path()), QStringList("notes.txt"));

    QVERIFY(durable::writeFile(target, "next"));
    QCOMPARE(entries(dir.path()), QStringList("notes.txt"));
    QCOMPARE(filebytes::read(target), QByteArray("next"));
}

// Whatever a file system lacks (locks, unnamed files, no-replace renames, links, renaming
// what is open) a write ends whole and leaves nothing of its own; a killed run's partial goes
// and a live one's stays.
void TestDurableFile::writesEndWholeOnEveryFileSystem_data()
{
    QTest::addColumn<FileSystemSeam>("seam");
    QTest::addColumn<QString>("other"); // "killed", "live" or empty
    QTest::addColumn<bool>("replacing");
    for (const auto &seam : FileSystemSeam::named()) {
        for (const char *other : { "", "killed" }) {
            for (const bool replacing : { false, true }) {
                QTest::addRow("%s, %s, %s", seam.first, *other ? other : "alone",
                    replacing ? "replacing" : "new")
                    << seam.second << QString::fromLatin1(other) << replacing;
            }
        }
        // Replaced again by the live run once this write is done.
        QTest::addRow("%s, live", seam.first) << seam.second << "live" << true;
    }
}

void TestDurableFile::writesEndWholeOnEveryFileSystem()
{
    QFETCH(FileSystemSeam, seam);
    QFETCH(QString, other);
    QFETCH(bool, replacing);
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    if (replacing)
        filebytes::write(target, "old");
    std::unique_ptr<DurableFile> live;
    if (other == "killed") {
        QVERIFY(killedWriting(target));
    } else if (other == "live") {
        const ScopedFileSystemSeam named(FileSystemSeam::fuseExfat());
        live = std::make_unique<DurableFile>(target);
        QVERIFY2(live->open(), qPrintable(live->errorString()));
    }
    const QStringList others = entries(dir.path()).filter(".partial");
    QCOMPARE(others.size(), other.isEmpty() ? 0 : 1);

    const ScopedFileSystemSeam scoped(seam);
    QString error;
    QVERIFY2(durable::writeFile(target, "whole", &error), qPrintable(error));
    QCOMPARE(filebytes::read(target), QByteArray("whole"));
    QStringList expected = other == "live" ? others : QStringList();
    expected << "notes.txt";
    expected.sort();
    QCOMPARE(entries(dir.path()), expected);
    if (live) {
        QVERIFY(live->write("live") && live->commit());
        QCOMPARE(filebytes::read(target), QByteArray("live"));
        QCOMPARE(entries(dir.path()), QStringList("notes.txt"));
    }
}

// In a chroot or a container without /proc an unnamed file could never get its name.
void TestDurableFile::unnamedFileWithoutProcIsPutInPlace_data()
{
    QTest::addColumn<bool>("replacing");
    QTest::newRow("new") << false;
    QTest::newRow("replacing") << true;
}

void TestDurableFile::unnamedFileWithoutProcIsPutInPlace()
{
    QFETCH(bool, replacing);
    FileSystemSeam seam;
    seam.procFs = false;
    const ScopedFileSystemSeam scoped(seam);
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    if (replacing)
        filebytes::write(target, "old");
    QString error;
    QVERIFY2(durable::writeFile(target, "written", &error), qPrintable(error));
    QCOMPARE(filebytes::read(target), QByteArray("written"));
    QCOMPARE(entries(dir.path()), QStringList("notes.txt"));
}

// Where a new name cannot be taken by a no-replace rename or a link (exFAT through FUSE),
// of two files put under one new name meanwhile, the second fails and the first stays.
void TestDurableFile::secondNewFileFailsWithoutNoReplaceRenameOrLinks()
{
    FileSystemSeam seam = FileSystemSeam::fuseExfat();
    const ScopedFileSystemSeam exfat(seam);
    QTemporaryDir dir;
    const QString target = dir.filePath("n.txt");
    bool committed[2] = { false, false };
    QString failure;
    {
        DurableFile first(target);
        DurableFile second(target);
        QVERIFY(first.open() && first.write("first"));
        QVERIFY(second.open() && second.write("second"));
        // The second comes between the first's look at the name and its rename.
        seam.beforeRename = [&](const char *, const char *) { committed[1] = second.commit(); };
        const ScopedFileSystemSeam racing(seam);
        committed[0] = first.commit();
        failure = (committed[0] ? second : first).errorString();
    }
    QVERIFY(committed[0] != committed[1]);
    QCOMPARE(filebytes::read(target), QByteArray(committed[0] ? "first" : "second"));
    QCOMPARE(failure, QString::fromLocal8Bit(strerror(EEXIST)));
    QCOMPARE(entries(dir.path()), QStringList("n.txt"));
}

// Where a new name is reserved before the rename that fills it (no no-replace rename, no
// links), a kill between the two leaves an empty entry under the user's name: it goes with
// the partial, and a user's empty file of that name stays.
void TestDurableFile::killedRunsReservationGoesWithItsPartial()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    QVERIFY(killedWriting(target, true));
    QCOMPARE(entries(dir.path()).size(), 2);
    QCOMPARE(QFileInfo(target).size(), qint64(0));

    DurableFile::removeLeftovers(target);
    QCOMPARE(entries(dir.path()), QStringList());

    // Filled by the user meanwhile, or emptied by hand: not the entry the run made.
    QVERIFY(killedWriting(target, true));
    QFile::remove(target);
    filebytes::write(target, QByteArray());
    DurableFile::removeLeftovers(target);
    QCOMPARE(entries(dir.path()), QStringList("notes.txt"));
}

// A file written through a link is filled beside the file the link leads to.
void TestDurableFile::writeThroughALinkCleansBesideTheFileItWrites()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("real") && QDir(dir.path()).mkpath("links"));
    const QString file = dir.filePath("real/notes.txt");
    const QString link = dir.filePath("links/notes.txt");
    filebytes::write(file, "old");
    QVERIFY(QFile::link(file, link));
    QVERIFY(killedWriting(link));
    QCOMPARE(entries(dir.filePath("real")).size(), 2);

    QString error;
    QVERIFY2(durable::writeFile(link, "new", &error), qPrintable(error));
    QCOMPARE(entries(dir.filePath("real")), QStringList("notes.txt"));
    QCOMPARE(filebytes::read(file), QByteArray("new"));
    QVERIFY(QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestDurableFile)
#include "tst_durablefile.moc"
