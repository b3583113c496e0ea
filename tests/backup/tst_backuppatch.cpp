#include "backup/backupmanifest.h"
#include "backup/backuppatch.h"
#include "backup/mbdb.h"
#include "platform/samplephones/fixturedb.h"
#include "shell/datafolder.h"
#include "support/backupwriter.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"
#include "support/targetclaims.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

QByteArray sha1Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

const QString kHome = QStringLiteral("HomeDomain");

// A backup of one stored file, "x.db" holding "old", with its Manifest.plist.
struct OneFileBackup
{
    QTemporaryDir dir;
    QDir folder { dir.path() };
    QString id = BackupWriter::fileId(kHome, QStringLiteral("x.db"));

    OneFileBackup()
    {
        BackupWriter writer(dir.path());
        writer.addFile(kHome, QStringLiteral("x.db"), "old");
        writer.write();
    }
    QString path(const QString &name) const { return folder.filePath(name); }
    QString index() const { return path(QStringLiteral("Manifest.mbdb")); }
    QString staging() const { return path(QLatin1String(BackupPatch::stagingName)); }

    // Stages "new" for x.db and the index, as a writer does before its commit.
    void stage(BackupPatch &patch, const QString &scratch) const
    {
        writeFixtureFile(scratch, "new");
        const QString staged = patch.replaceFile(id, scratch);
        MbdbIndex records = loadMbdb(index());
        addMbdbFile(records, staged, kHome, QStringLiteral("x.db"));
        patch.writeIndex(records);
    }
    // After a whole patch: the new file and its index in place, the old ones kept aside.
    void verifyPatched(const QByteArray &oldIndex) const
    {
        QCOMPARE(fileBytes(path(id)), QByteArray("new"));
        QCOMPARE(fileBytes(path(id + QStringLiteral("-100"))), QByteArray("old"));
        QCOMPARE(loadMbdb(index()).value(id).DataHash.Bytes,
            QCryptographicHash::hash("new", QCryptographicHash::Sha1));
        QCOMPARE(fileBytes(path(QStringLiteral("Manifest.mbdb-100"))), oldIndex);
        QCOMPARE(folder.entryList({ QStringLiteral(".quillmarrow*") },
                     QDir::AllEntries | QDir::Hidden | QDir::System),
            QStringList());
    }
};

// A journal as a patch writes it: its digests, then a line per staged file.
QByteArray journalOf(const QByteArray &indexBefore, const QByteArray &indexAfter, const QString &id,
    const QByteArray &fileAfter)
{
    return "QuillMarrow backup patch 2\nindex\t" + sha1Hex(indexBefore) + '\t' + sha1Hex(indexAfter)
        + "\nreplace\t1\t" + id.toUtf8() + '\t' + sha1Hex(fileAfter) + '\t' + id.toUtf8()
        + "-100\nreplace\tindex\tManifest.mbdb\t" + sha1Hex(indexAfter) + "\tManifest.mbdb-100\n";
}

} // namespace

class TestBackupPatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void interruptedPatchIsFinishedOrDropped_data();
    void interruptedPatchIsFinishedOrDropped();
    void openingTheBackupLeavesAnotherWindowsPatchAlone();
    void secondWriterIsRefusedAtOnce_data();
    void secondWriterIsRefusedAtOnce();
    void leftoversAreTakenOnlyUnderAFreeOrStaleLock_data();
    void leftoversAreTakenOnlyUnderAFreeOrStaleLock();
    void stagedFileChangedAfterStagingIsNeverInstalled_data();
    void stagedFileChangedAfterStagingIsNeverInstalled();
    void fullDiskNamesTheFileAndTheReason_data();
    void fullDiskNamesTheFileAndTheReason();

private:
    QTemporaryDir m_home;
};

void TestBackupPatch::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    // The data folder, which keeps the locks, is fixed at its first use.
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestBackupPatch::interruptedPatchIsFinishedOrDropped_data()
{
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<bool>("indexMatches");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("finished");
    QTest::newRow("journal written") << true << true << QString() << true;
    QTest::newRow("no journal yet") << false << true << QString() << false;
    QTest::newRow("backup made anew since") << true << false << QString() << false;
    QTest::newRow("journal naming a place outside") << true << true << "../outside" << false;
}

// A patch killed after its journal, or before it, as it lies in the backup folder: one
// stored file and the index staged, nothing moved in yet.
void TestBackupPatch::interruptedPatchIsFinishedOrDropped()
{
    QFETCH(bool, withJournal);
    QFETCH(bool, indexMatches);
    QFETCH(QString, target);
    QFETCH(bool, finished);
    QTemporaryDir dir;
    BackupWriter writer(dir.path());
    const QString id = BackupWriter::fileId(QStringLiteral("HomeDomain"), QStringLiteral("x.db"));
    writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("x.db"), "old");
    writer.write();
    const QDir folder(dir.path());
    const QByteArray oldIndex = fileBytes(folder.filePath(QStringLiteral("Manifest.mbdb")));
    const auto before = snapshotFolder(dir.path());

    const QString staging = folder.filePath(QLatin1String(BackupPatch::stagingName));
    writeFixtureFile(staging + QStringLiteral("/1"), "new");
    writeFixtureFile(staging + QStringLiteral("/index"), "new index");
    if (withJournal) {
        const QByteArray journal = "QuillMarrow backup patch 1\nindex\t"
            + sha1Hex(indexMatches ? oldIndex : QByteArray("another index")) + '\t'
            + sha1Hex("new index") + "\nreplace\t1\t" + (target.isEmpty() ? id : target).toUtf8()
            + '\t' + id.toUtf8() + "-100\nreplace\tindex\tManifest.mbdb\tManifest.mbdb-100\n";
        writeFixtureFile(staging + QStringLiteral("/journal"), journal);
    }

    BackupPatch::finishInterrupted(folder);
    QVERIFY(!QFileInfo::exists(staging));
    if (!finished) {
        QCOMPARE(snapshotFolder(dir.path()), before);
        return;
    }
    QCOMPARE(fileBytes(folder.filePath(id)), QByteArray("new"));
    QCOMPARE(fileBytes(folder.filePath(id + QStringLiteral("-100"))), QByteArray("old"));
    QCOMPARE(fileBytes(folder.filePath(QStringLiteral("Manifest.mbdb"))), QByteArray("new index"));
    QCOMPARE(fileBytes(folder.filePath(QStringLiteral("Manifest.mbdb-100"))), oldIndex);
}

// The backup opened in one window while another one writes into it.
void TestBackupPatch::openingTheBackupLeavesAnotherWindowsPatchAlone()
{
    OneFileBackup b;
    const QByteArray oldIndex = fileBytes(b.index());
    QTemporaryDir scratch;
    {
        BackupPatch writer(b.folder, 100);
        b.stage(writer, scratch.filePath(QStringLiteral("x")));

        BackupManifest reader(b.dir.path());
        reader.loadManifestPlist();
        reader.loadFileTree();
        QVERIFY(reader.root().child(QStringLiteral("x.db")));
        QVERIFY(QFileInfo::exists(b.staging()));

        writer.commit();
    }
    b.verifyPatched(oldIndex);
}

void TestBackupPatch::secondWriterIsRefusedAtOnce_data()
{
    QTest::addColumn<bool>("fromAnotherThread");
    QTest::newRow("same thread") << false;
    QTest::newRow("another thread") << true;
}

// Two windows of one process write into one backup: the second stops before it touches it.
void TestBackupPatch::secondWriterIsRefusedAtOnce()
{
    QFETCH(bool, fromAnotherThread);
    OneFileBackup b;
    const QByteArray oldIndex = fileBytes(b.index());
    QTemporaryDir scratch;
    auto first = std::make_unique<BackupPatch>(b.folder, 100);
    b.stage(*first, scratch.filePath(QStringLiteral("x")));
    const auto staged = snapshotFolder(b.dir.path());

    QString refusal;
    const auto second = [&] {
        try {
            BackupPatch patch(b.folder, 200);
        } catch (const std::runtime_error &e) {
            refusal = QString::fromUtf8(e.what());
        }
    };
    if (fromAnotherThread) {
        std::unique_ptr<QThread> thread(QThread::create(second));
        thread->start();
        QVERIFY(thread->wait(10000));
    } else {
        second();
    }
    QVERIFY2(refusal.contains(QStringLiteral("Another window is writing into the backup %1.")
                                  .arg(QDir::toNativeSeparators(b.dir.path()))),
        qPrintable(refusal));
    QCOMPARE(snapshotFolder(b.dir.path()), staged);

    first->commit();
    first.reset();
    b.verifyPatched(oldIndex);
    // Once the first writer is done, the next one may write.
    BackupPatch next(b.folder, 300);
}

void TestBackupPatch::leftoversAreTakenOnlyUnderAFreeOrStaleLock_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<bool>("smb");
    QTest::addColumn<bool>("taken");
    QTest::newRow("no lock") << "none" << false << true;
    QTest::newRow("lock of a killed window") << "dead" << false << true;
    QTest::newRow("lock of a killed window, on SMB") << "dead" << true << true;
    QTest::newRow("lock held by a window of this process") << "held" << false << false;
}

// A patch whose journal was written, found by an open of the backup or by a new writer. SMB
// removes no file that is still open.
void TestBackupPatch::leftoversAreTakenOnlyUnderAFreeOrStaleLock()
{
    QFETCH(QString, lock);
    QFETCH(bool, smb);
    QFETCH(bool, taken);
    OneFileBackup b;
    const QByteArray oldIndex = fileBytes(b.index());
    const auto untouched = snapshotFolder(b.dir.path());
    std::unique_ptr<BackupPatch> holder;
    if (lock == QLatin1String("dead")) {
        QVERIFY(runThenDie([&b] {
            BackupPatch killed(b.folder, 50);
            std::raise(SIGKILL);
        }));
    } else if (lock == QLatin1String("held")) {
        holder = std::make_unique<BackupPatch>(b.folder, 50);
    }
    // The lock is kept in the program's records: nothing of it is in the backup.
    QCOMPARE(snapshotFolder(b.dir.path()), untouched);
    writeFixtureFile(b.staging() + QStringLiteral("/1"), "new");
    MbdbIndex records = loadMbdb(b.index());
    addMbdbFile(records, b.staging() + QStringLiteral("/1"), kHome, QStringLiteral("x.db"));
    saveMbdb(records.values(), b.staging() + QStringLiteral("/index"));
    const QByteArray newIndex = fileBytes(b.staging() + QStringLiteral("/index"));
    writeFixtureFile(
        b.staging() + QStringLiteral("/journal"), journalOf(oldIndex, newIndex, b.id, "new"));
    const auto before = snapshotFolder(b.dir.path());

    {
        std::unique_ptr<ScopedFileSystemSeam> seam;
        if (smb)
            seam = std::make_unique<ScopedFileSystemSeam>(FileSystemSeam::smb());
        BackupPatch::finishInterrupted(b.folder);
    }
    if (!taken) {
        QCOMPARE(snapshotFolder(b.dir.path()), before);
        holder.reset();
        BackupPatch writer(b.folder, 200);
    }
    b.verifyPatched(oldIndex);
}

void TestBackupPatch::stagedFileChangedAfterStagingIsNeverInstalled_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("before the commit") << "commit";
    QTest::newRow("after the journal, nothing moved in") << "journal";
    QTest::newRow("after the first file moved in") << "moved";
}

// A staged copy that no longer holds what was staged (a power loss, another program): the
// patch is dropped, and what an earlier run moved in goes back.
void TestBackupPatch::stagedFileChangedAfterStagingIsNeverInstalled()
{
    QFETCH(QString, when);
    OneFileBackup b;
    const auto before = snapshotFolder(b.dir.path());
    const QByteArray oldIndex = fileBytes(b.index());
    QTemporaryDir scratch;
    if (when == QLatin1String("commit")) {
        BackupPatch patch(b.folder, 100);
        b.stage(patch, scratch.filePath(QStringLiteral("x")));
        writeFixtureFile(b.staging() + QStringLiteral("/1"), "NEW");
        QVERIFY_EXCEPTION_THROWN(patch.commit(), std::runtime_error);
    } else {
        writeFixtureFile(b.staging() + QStringLiteral("/1"), "new");
        writeFixtureFile(b.staging() + QStringLiteral("/index"), "new index");
        writeFixtureFile(b.staging() + QStringLiteral("/journal"),
            journalOf(oldIndex, "new index", b.id, "new"));
        if (when == QLatin1String("moved")) {
            QVERIFY(QFile::copy(b.path(b.id), b.path(b.id + QStringLiteral("-100"))));
            QVERIFY(QFile::remove(b.path(b.id)));
            QVERIFY(QFile::rename(b.staging() + QStringLiteral("/1"), b.path(b.id)));
        }
        writeFixtureFile(b.staging() + QStringLiteral("/index"), "another index");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("changed before it was moved in"));
        BackupPatch::finishInterrupted(b.folder);
    }
    QCOMPARE(snapshotFolder(b.dir.path()), before);
}

void TestBackupPatch::fullDiskNamesTheFileAndTheReason_data()
{
    QTest::addColumn<bool>("atTheLock");
    QTest::newRow("the lock") << true;
    QTest::newRow("a staged copy") << false;
}

void TestBackupPatch::fullDiskNamesTheFileAndTheReason()
{
    QFETCH(bool, atTheLock);
    OneFileBackup b;
    const QString claim = claimStemOfThisRun(b.dir.path());
    QVERIFY(!claim.isEmpty());
    QTemporaryDir scratch;
    const QString big = scratch.filePath(QStringLiteral("big"));
    writeFixtureFile(big, QByteArray(600 * 1024, 'x'));
    const auto before = snapshotFolder(b.dir.path());
    QString error;
    try {
        std::unique_ptr<BackupPatch> patch;
        if (!atTheLock)
            patch = std::make_unique<BackupPatch>(b.folder, 100);
        FileSizeLimit full(atTheLock ? 0 : 512 * 1024);
        if (atTheLock)
            patch = std::make_unique<BackupPatch>(b.folder, 100);
        patch->replaceFile(b.id, big);
        QFAIL("no failure");
    } catch (const std::runtime_error &e) {
        error = QString::fromUtf8(e.what());
    }
    const QString target = atTheLock ? b.index() : b.path(b.id);
    QVERIFY2(
        error.startsWith(QStringLiteral("can not overwrite %1. ").arg(target)), qPrintable(error));
    QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(error));
    QVERIFY2(error.contains(atTheLock ? claim : b.staging()), qPrintable(error));
    QCOMPARE(snapshotFolder(b.dir.path()), before);
}

QTEST_APPLESS_MAIN(TestBackupPatch)
#include "tst_backuppatch.moc"
