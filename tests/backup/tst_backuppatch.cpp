#include "backup/backuppatch.h"
#include "platform/samplephones/fixturedb.h"
#include "support/backupwriter.h"
#include "support/foldersnapshot.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray sha1Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

} // namespace

class TestBackupPatch : public QObject
{
    Q_OBJECT

private slots:
    void interruptedPatchIsFinishedOrDropped_data();
    void interruptedPatchIsFinishedOrDropped();
};

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

QTEST_APPLESS_MAIN(TestBackupPatch)
#include "tst_backuppatch.moc"
