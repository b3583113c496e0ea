#include "platform/durablefile/durablefile.h"

#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/killedwriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Set while a test stands for a file system without unnamed files, where a new file is
// filled under a partial name beside its target.
bool refuseUnnamedFiles = false;

int systemOpen(const char *path, int flags, va_list args)
{
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = (flags & O_CREAT) || unnamed ? mode_t(va_arg(args, int)) : 0;
    if (unnamed && refuseUnnamedFiles) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

} // namespace

// Stands in for the system's open in this process, the library's calls included.
extern "C" int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = systemOpen(path, flags, args);
    va_end(args);
    return fd;
}

class TestDurableFile : public QObject
{
    Q_OBJECT

private slots:
    void copyReplacesOnlyWhenComplete_data();
    void copyReplacesOnlyWhenComplete();
    void fullDiskIsNamedNotUnknown_data();
    void fullDiskIsNamedNotUnknown();
    void renameOverReplacesWholeFile();
    void batchPutsFilesInPlaceOnlyAllSynced_data();
    void batchPutsFilesInPlaceOnlyAllSynced();
    void onlyAKilledRunsPartialFileIsRemoved_data();
    void onlyAKilledRunsPartialFileIsRemoved();
};

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

void TestDurableFile::batchPutsFilesInPlaceOnlyAllSynced_data()
{
    QTest::addColumn<bool>("late");
    QTest::addColumn<QString>("trouble");
    QTest::newRow("each renamed once synced") << false << QString();
    QTest::newRow("all renamed by the commit") << true << QString();
    QTest::newRow("the first file gone before the commit") << true << "gone";
    QTest::newRow("never committed") << true << "abandoned";
}

void TestDurableFile::batchPutsFilesInPlaceOnlyAllSynced()
{
    QFETCH(bool, late);
    QFETCH(QString, trouble);
    QTemporaryDir dir;
    filebytes::write(dir.filePath("a/old.bin"), "old");
    QVERIFY(QDir().mkpath(dir.filePath("b")));
    const QStringList targets
        = { dir.filePath("a/old.bin"), dir.filePath("a/new.bin"), dir.filePath("b/new.bin") };
    QStringList staged;
    {
        DurableBatch batch;
        for (int i = 0; i < targets.size(); ++i) {
            QFile file(targets[i] + ".staged");
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QByteArray(100000, char('a' + i))) == 100000);
            batch.add(file, targets[i], late);
            staged << file.fileName();
        }
        if (trouble == "gone")
            QVERIFY(QFile::remove(staged.first()));
        if (trouble != "abandoned") {
            QString error;
            QCOMPARE(batch.commit(&error), trouble.isEmpty());
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
    refuseUnnamedFiles = true;
    const auto restore = qScopeGuard([] { refuseUnnamedFiles = false; });
    QTemporaryDir dir;
    const QString target = dir.filePath("notes.txt");
    std::unique_ptr<DurableFile> live;
    if (!name.isEmpty()) {
        filebytes::write(dir.filePath(name), "mine");
    } else if (killed) {
        QVERIFY(runThenDie([&] {
            // Never destroyed: the child dies holding it.
            auto *file = new DurableFile(target);
            if (file->open())
                file->write("killed");
        }));
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

QTEST_GUILESS_MAIN(TestDurableFile)
#include "tst_durablefile.moc"
