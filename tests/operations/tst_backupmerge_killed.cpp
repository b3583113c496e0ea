// Kills a merge into a backup again and again, anywhere in its work, and checks that the next
// open of the backup finds it either as it was or wholly patched, with no stray files. Run
// with "--merge-forever FOLDER" the binary is that writer.
#include "backup/backupmanifest.h"
#include "backup/mbdb.h"
#include "messages/ios6messagedb.h"
#include "operations/ios6restoremessagesthread.h"
#include "platform/durablefile/targetlock.h"
#include "platform/samplephones/fixturedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "shell/datafolder.h"
#include "support/devicebackupfixture.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"
#include "support/messagesetbuilder.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

const char kWriterFlag[] = "--merge-forever";
const char kStallFlag[] = "--merge-until-killed";
const int kPicturesPerRound = 6;

QString cacheFolder(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("cache"));
}

QString backupFolder(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("backup"));
}

QString pictureName(int round, int i)
{
    return QStringLiteral("R%1-%2.jpg").arg(round).arg(i);
}

// Each round takes the backup's message database as the cache holds it, merges one message
// with its pictures and patches the backup. Never returns.
int mergeForever(const QString &folder)
{
    const DeviceBackupFixture device(cacheFolder(folder), backupFolder(folder));
    const QDir backup(device.backupFolder());
    const QString pictures = QDir(folder).filePath(QStringLiteral("pictures"));
    const QByteArray picture(64 * 1024, 'p');
    announceWriterReady();
    for (;;) {
        // What earlier rounds kept aside and left behind outside the backup is of no interest.
        for (const QString &name : backup.entryList({ QStringLiteral("*-*") }, QDir::Files))
            QFile::remove(backup.filePath(name));
        QDir(pictures).removeRecursively();
        QDir(QFileInfo(device.cachedDatabase()).absolutePath()).removeRecursively();
        QDir().mkpath(QFileInfo(device.cachedDatabase()).absolutePath());
        if (!QFile::copy(device.storedDatabase(), device.cachedDatabase()))
            return 2;

        IOS6MessageDb source(QDir(device.cacheFolder()), QString(), false);
        source.open();
        const int round
            = 1 + int(firstInt64(source, "select count(*) from message where guid like 'R%'"));
        MessageSetBuilder builder(pictures);
        _MsgHandle *h = builder.handle(QStringLiteral("+15550001"));
        _MsgMessage *m = builder.message(
            builder.chat(h->id, { h }), h, 5000 + round, QStringLiteral("round %1").arg(round));
        m->guid = QStringLiteral("R%1").arg(round);
        for (int i = 0; i < kPicturesPerRound; ++i) {
            builder.attach(m, pictureName(round, i), QStringLiteral("image/jpeg"), picture)->guid
                = pictureName(round, i);
        }
        MsgMessageList list = builder.messages();
        IOS6RestoreMessagesThread worker(QStringLiteral("us"), &list, &source, backup, nullptr);
        worker.start();
        worker.wait();
        if (!worker.backupChanged())
            return 3;
    }
}

// Starts a merge and, once its work copy is made, tells the test and waits to be killed.
int mergeUntilKilled(const QString &folder)
{
    const DeviceBackupFixture device(cacheFolder(folder), backupFolder(folder));
    IOS6MessageDb source(QDir(device.cacheFolder()), QString(), false);
    MessageSetBuilder builder(QDir(folder).filePath(QStringLiteral("pictures")));
    _MsgHandle *h = builder.handle(QStringLiteral("+15550001"));
    builder.message(builder.chat(h->id, { h }), h, 5000, QStringLiteral("never written"));
    MsgMessageList list = builder.messages();
    IOS6RestoreMessagesThread worker(
        QStringLiteral("us"), &list, &source, QDir(device.backupFolder()), nullptr);
    worker.setStepHook([](IOS6RestoreMessagesThread::Step s) {
        if (s != IOS6RestoreMessagesThread::Step::Refill)
            return;
        announceWriterReady();
        for (;;)
            QThread::sleep(60);
    });
    worker.start();
    worker.wait();
    return 3;
}

// The work copies beside the device's database, with their companions.
QStringList workCopiesIn(const QString &folder)
{
    const QRegularExpression copy(QStringLiteral("^sms\\.db\\d"));
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    names.erase(std::remove_if(names.begin(), names.end(),
                    [&copy](const QString &name) { return !copy.match(name).hasMatch(); }),
        names.end());
    return names;
}

QSet<QString> guidsOf(const QString &databasePath)
{
    Sqlite3DB db;
    db.openThrow(databasePath, Sqlite3DB::ReadOnly);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select guid from message where guid like 'R%'"));
    QSet<QString> guids;
    while (c.moveNext())
        guids.insert(c.getText(0));
    return guids;
}

// Empty when the backup holds some whole number of rounds and nothing else; else what is
// wrong. The stored message database says how many rounds the backup holds.
QString problemOf(const QString &folder)
{
    const QDir dir(folder);
    const MbdbIndex index = loadMbdb(dir.filePath(QStringLiteral("Manifest.mbdb")));
    const QString databaseId = DeviceBackupFixture::databaseFileId();
    const QString database = dir.filePath(databaseId);
    if (index.value(databaseId).DataHash.Bytes
        != QCryptographicHash::hash(fileBytes(database), QCryptographicHash::Sha1))
        return QStringLiteral("the stored database does not match its index record");

    const QSet<QString> guids = guidsOf(database);
    const int rounds = guids.size();
    for (int round = 1; round <= rounds; ++round) {
        if (!guids.contains(QStringLiteral("R%1").arg(round)))
            return QStringLiteral("round %1 is missing").arg(round);
    }
    // The pictures of exactly those rounds are entered and stored.
    QSet<QString> expected;
    QHash<int, int> picturesOfRound;
    const QRegularExpression pictureOfRound(QStringLiteral("/R(\\d+)-\\d+\\.jpg$"));
    for (const MbdbRecord &r : index) {
        if (!r.isDirectory())
            expected.insert(r.fileName());
        const QRegularExpressionMatch m = pictureOfRound.match(r.Path.toString());
        if (m.hasMatch())
            ++picturesOfRound[m.captured(1).toInt()];
    }
    for (auto it = picturesOfRound.constBegin(); it != picturesOfRound.constEnd(); ++it) {
        if (it.key() > rounds || it.value() != kPicturesPerRound)
            return QStringLiteral("round %1 has %2 pictures entered").arg(it.key()).arg(it.value());
    }
    if (picturesOfRound.size() != rounds)
        return QStringLiteral("pictures of %1 rounds are entered").arg(picturesOfRound.size());
    const QRegularExpression keptAside(QStringLiteral("^.+-\\d+(-\\d+)?$"));
    for (const QString &name :
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (expected.remove(name) || keptAside.match(name).hasMatch()
            || name == QLatin1String("Manifest.mbdb") || name == QLatin1String("Manifest.plist")
            || name == QLatin1String("Status.plist"))
            continue;
        return QStringLiteral("stray entry %1").arg(name);
    }
    if (!expected.isEmpty())
        return QStringLiteral("%1 is entered but not stored").arg(expected.values().first());
    return QString();
}

} // namespace

class TestBackupMergeKilled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The country table is copied into the program's data folder below HOME, and the
        // locks are kept there, for the writers too.
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    }
    void killedMergeLeavesTheBackupAsItWasOrWhollyPatched();
    void nextMergeRemovesWorkCopiesNoMergeHolds_data();
    void nextMergeRemovesWorkCopiesNoMergeHolds();

private:
    QTemporaryDir m_home;
};

// A device with one message and its backup.
void makeDevice(const QString &folder)
{
    DeviceBackupFixture device(cacheFolder(folder), backupFolder(folder));
    IOS6SmsDbFixture d(device.cacheFolder());
    const qint64 h = d.addHandle(QStringLiteral("+15550001"));
    const qint64 c = d.addChat(QStringLiteral("SMS;-;+15550001"), QStringLiteral("+15550001"));
    d.joinChatHandle(c, h);
    IOS6SmsDbFixture::Message m;
    m.guid = QStringLiteral("D1");
    m.handle = h;
    m.date = 1000;
    d.joinChatMessage(c, d.addMessage(m));
    d.close();
    device.writeBackup();
}

void TestBackupMergeKilled::killedMergeLeavesTheBackupAsItWasOrWhollyPatched()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    makeDevice(folder);

    // The next open of the backup, as the program opens one, then the rounds it holds.
    const auto reopenedRounds = [&] {
        BackupManifest manifest(backupFolder(folder));
        manifest.loadManifestPlist();
        manifest.loadFileTree();
        return qint64(
            guidsOf(DeviceBackupFixture(cacheFolder(folder), backupFolder(folder)).storedDatabase())
                .size());
    };
    KillDelays delays;
    for (int kill = 0; kill < 40; ++kill) {
        QString why;
        QVERIFY2(
            killWriterAfter(kWriterFlag, folder, delays.next(20, 1000), &why), qPrintable(why));
        reopenedRounds();
        const QString problem = problemOf(backupFolder(folder));
        QVERIFY2(problem.isEmpty(),
            qPrintable(QStringLiteral("%1 after kill %2").arg(problem).arg(kill)));
    }
    // The writer got through whole rounds between the kills.
    QString why;
    QVERIFY2(letWriterProgress(kWriterFlag, folder, reopenedRounds, 10, &why), qPrintable(why));
}

void TestBackupMergeKilled::nextMergeRemovesWorkCopiesNoMergeHolds_data()
{
    QTest::addColumn<bool>("smb");
    QTest::newRow("local") << false;
    // It removes no file that is still open.
    QTest::newRow("smb") << true;
}

void TestBackupMergeKilled::nextMergeRemovesWorkCopiesNoMergeHolds()
{
    QFETCH(bool, smb);
    QTemporaryDir dir;
    const QString folder = dir.path();
    makeDevice(folder);
    const DeviceBackupFixture device(cacheFolder(folder), backupFolder(folder));
    const QString sms = QFileInfo(device.cachedDatabase()).absolutePath();
    QString why;
    QVERIFY2(killWriterAfter(kStallFlag, folder, 0, &why), qPrintable(why));
    QVERIFY(!workCopiesIn(sms).isEmpty());
    // Another window's merge holds its copy.
    writeFixtureFile(QDir(sms).filePath(QStringLiteral("sms.db1000")), "in use");
    TargetLock inUse;
    QCOMPARE(inUse.lock(QDir(sms).filePath(QStringLiteral("sms.db1000"))), TargetLock::Held);
    // A copy that an earlier version left, with the lock file it kept beside it.
    writeFixtureFile(QDir(sms).filePath(QStringLiteral("sms.db999")), "left");
    writeFixtureFile(QDir(sms).filePath(QStringLiteral("sms.db999.lock")), QByteArray());
    std::unique_ptr<ScopedFileSystemSeam> seam;
    if (smb)
        seam = std::make_unique<ScopedFileSystemSeam>(FileSystemSeam::smb());

    // Each merge also removes the copy a finished one kept.
    for (qint64 stamp : { 2000000000, 2000000001 }) {
        IOS6MessageDb source(QDir(device.cacheFolder()), QString(), false);
        MessageSetBuilder builder(QDir(folder).filePath(QStringLiteral("pictures")));
        _MsgHandle *h = builder.handle(QStringLiteral("+15550001"));
        builder.message(builder.chat(h->id, { h }), h, 5000 + int(stamp % 2), QStringLiteral("x"));
        MsgMessageList list = builder.messages();
        IOS6RestoreMessagesThread worker(
            QStringLiteral("us"), &list, &source, QDir(device.backupFolder()), nullptr);
        worker.setClock([stamp] { return stamp; });
        worker.start();
        worker.wait();
        QVERIFY(worker.backupChanged());
        QCOMPARE(workCopiesIn(sms),
            (QStringList { QStringLiteral("sms.db1000"), QStringLiteral("sms.db%1").arg(stamp) }));
    }
}

int main(int argc, char **argv)
{
    int code = 0;
    if (runAsWriter(argc, argv, kWriterFlag, mergeForever, &code)
        || runAsWriter(argc, argv, kStallFlag, mergeUntilKilled, &code))
        return code;
    QCoreApplication app(argc, argv);
    TestBackupMergeKilled test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_backupmerge_killed.moc"
