#include "backup/backupmanifest.h"
#include "backup/mbdb.h"
#include "messages/ios6messagedb.h"
#include "messages/msgidentity.h"
#include "operations/ios6restoremessagesthread.h"
#include "shell/progressform.h"
#include "support/devicebackupfixture.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/workerrunner.h"

#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(IOS6RestoreMessagesThread::Step)

namespace {

using Step = IOS6RestoreMessagesThread::Step;
constexpr qint64 kNow = 1700000000;
const QString kNewAttachment = QStringLiteral("~/Library/SMS/Attachments/ab/01/new.jpg");

QStringList column(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadWrite);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    QStringList values;
    while (c.moveNext())
        values.append(c.getText(0));
    return values;
}

// A device with two chats and six messages a thousand seconds apart (one with a picture),
// its backup, and four new messages that fall between the device's ones.
class MergeFixture
{
public:
    explicit MergeFixture(IOS6SmsDbFixture::Layout layout = IOS6SmsDbFixture::Ios8,
        bool nanoseconds = false, bool writeBackup = true)
        : device(dir.filePath(QStringLiteral("cache")), dir.filePath(QStringLiteral("backup")),
            layout)
    {
        IOS6SmsDbFixture &d = device.device();
        const qint64 h1 = d.addHandle(QStringLiteral("+15550001"));
        const qint64 h2 = d.addHandle(QStringLiteral("me@example.com"), QStringLiteral("iMessage"));
        const qint64 c1 = d.addChat(QStringLiteral("SMS;-;+15550001"), QStringLiteral("+15550001"));
        const qint64 c2 = d.addChat(QStringLiteral("iMessage;-;me@example.com"),
            QStringLiteral("me@example.com"), QStringLiteral("iMessage"));
        d.joinChatHandle(c1, h1);
        d.joinChatHandle(c2, h2);
        for (int i = 1; i <= 6; ++i) {
            IOS6SmsDbFixture::Message m;
            m.guid = QStringLiteral("D%1").arg(i);
            m.text = m.guid;
            m.handle = i % 2 ? h1 : h2;
            m.date = 1000 * i;
            m.service = i % 2 ? QStringLiteral("SMS") : QStringLiteral("iMessage");
            d.joinChatMessage(i % 2 ? c1 : c2, d.addMessage(m));
        }
        const qint64 a = d.addAttachment(QStringLiteral("DA1"),
            QStringLiteral("~/Library/SMS/Attachments/00/00/old.jpg"), QStringLiteral("image/jpeg"));
        d.joinMessageAttachment(2, a);
        device.addPhoneTrigger();
        if (nanoseconds)
            device.useNanosecondDates();
        if (writeBackup)
            device.writeBackup();

        _MsgHandle *n1 = builder.handle(QStringLiteral("+15550001"));
        _MsgHandle *n3 = builder.handle(QStringLiteral("+15550003"));
        _MsgChat *known = builder.chat({ n1 });
        _MsgChat *fresh = builder.chat({ n3 });
        _MsgChat *group = builder.chat({ n1, n3 }, QStringLiteral("iMessage"));
        builder.message(known, n1, 1500, QStringLiteral("N1"), QStringLiteral("N1"));
        builder.message(fresh, nullptr, 2500, QStringLiteral("N3"), QStringLiteral("N3"));
        builder.message(group, n3, 3500, QStringLiteral("N4"), QStringLiteral("N4"));
        QFile picture(dir.filePath(QStringLiteral("new.jpg")));
        if (picture.open(QIODevice::WriteOnly))
            picture.write("new picture");
        picture.close();
        builder.attach(builder.message(known, nullptr, 6500, QString(), QStringLiteral("N2")),
            kNewAttachment, picture.fileName());
        list = builder.messages();
    }

    QString backup() const { return device.backupFolder(); }
    QString storedDatabase() const
    {
        return QDir(backup()).filePath(DeviceBackupFixture::databaseFileId());
    }
    QString cacheSmsFolder() const
    {
        return QFileInfo(IOS6SmsDbFixture::smsDbPath(device.cacheFolder())).absolutePath();
    }

    // `hook` runs in the worker as each step begins.
    WorkerRun run(std::function<void(ProgressForm &, Step)> hook = nullptr)
    {
        IOS6MessageDb source(QDir(device.cacheFolder()), QString(), false);
        ProgressForm form { QString() };
        IOS6RestoreMessagesThread worker(
            QStringLiteral("us"), &list, &source, QDir(backup()), &form);
        worker.setClock([] { return kNow; });
        if (hook)
            worker.setStepHook([&form, hook](Step s) { hook(form, s); });
        const WorkerRun result = runWorker(worker, form);
        restored = worker.restored;
        skipped = worker.skipped;
        changed = worker.backupChanged();
        work = worker.workPath();
        return result;
    }

    // The backup's message database as the backup reader copies it out.
    QString readBackBackup()
    {
        BackupManifest manifest(backup());
        manifest.loadManifestPlist();
        manifest.loadFileTree();
        if (!manifest.smsDb())
            return QString();
        const QString folder = dir.filePath(QStringLiteral("readback"));
        const QString path = IOS6SmsDbFixture::smsDbPath(folder);
        QDir().mkpath(QFileInfo(path).absolutePath());
        manifest.extractFile(manifest.smsDb(), path, nullptr);
        return path;
    }

    QTemporaryDir dir;
    DeviceBackupFixture device;
    MessageSetBuilder builder;
    MsgMessageList list;
    int restored = -1;
    int skipped = -1;
    bool changed = false;
    QString work;
};

} // namespace

class TestIOS6RestoreMessagesThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(installEnglishTexts()); }
    void mergesInDateOrderAndPatchesTheBackup();
    void keepsRowIdsOfChatsHandlesAndAttachments();
    void failureOrCancelBeforeThePatchLeavesTheBackupAlone_data();
    void failureOrCancelBeforeThePatchLeavesTheBackupAlone();
    void cancelWhileThePatchRunsFinishesAndSaysSo_data();
    void cancelWhileThePatchRunsFinishesAndSaysSo();
    void failedInsertLeavesTheBackupAlone();
    void missingIndexOrRecordIsFoundFirst_data();
    void missingIndexOrRecordIsFoundFirst();
    void nothingToMergeFails_data();
    void nothingToMergeFails();
    void eventWithoutItemTypeColumnIsNeitherCounted();
    void knownGuidGetsOneRow();
    void keepsNanosecondDates();
    void includesWhatIsOnlyInTheWal();
};

void TestIOS6RestoreMessagesThread::mergesInDateOrderAndPatchesTheBackup()
{
    MergeFixture f;
    const QByteArray oldDatabase = fileBytes(f.storedDatabase());
    const QByteArray oldIndex = fileBytes(QDir(f.backup()).filePath(QStringLiteral("Manifest.mbdb")));
    const WorkerRun run = f.run();
    QVERIFY2(run.done(), qPrintable(run.errors.join(QLatin1Char('\n'))));
    QVERIFY(run.infos.isEmpty());
    QCOMPARE(f.restored, 4);
    QCOMPARE(f.skipped, 0);
    QVERIFY(f.changed);
    QCOMPARE(run.status, QStringLiteral("Saving messages to iPhone..."));
    QCOMPARE(run.progress.last(), 99);

    // The index names the new file with its digest and size; the old files are kept aside.
    const QByteArray merged = fileBytes(f.storedDatabase());
    QCOMPARE(merged, fileBytes(f.work));
    const MbdbIndex index = loadMbdb(QDir(f.backup()).filePath(QStringLiteral("Manifest.mbdb")));
    const MbdbRecord record = index.value(DeviceBackupFixture::databaseFileId());
    QCOMPARE(record.DataHash.Bytes, QCryptographicHash::hash(merged, QCryptographicHash::Sha1));
    QCOMPARE(record.Size, quint64(merged.size()));
    const QString stamp = QStringLiteral("-%1").arg(kNow);
    QCOMPARE(fileBytes(f.storedDatabase() + stamp), oldDatabase);
    QCOMPARE(fileBytes(QDir(f.backup()).filePath(QStringLiteral("Manifest.mbdb")) + stamp), oldIndex);

    // The new picture is stored under its media path, its folders entered.
    const QString picture = QStringLiteral("Library/SMS/Attachments/ab/01/new.jpg");
    const QString pictureId = mbdbFileName(QStringLiteral("MediaDomain"), picture);
    QVERIFY(index.contains(pictureId));
    QVERIFY(index.contains(
        mbdbFileName(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments/ab"))));
    QCOMPARE(fileBytes(QDir(f.backup()).filePath(pictureId)), QByteArray("new picture"));

    // Read back as the program reads a backup: every message once, row ids in date order.
    const QString copy = f.readBackBackup();
    QVERIFY(!copy.isEmpty());
    QCOMPARE(column(copy, QStringLiteral("select guid from message order by rowid")),
        (QStringList { "D1", "N1", "D2", "N3", "D3", "N4", "D4", "D5", "D6", "N2" }));
    QCOMPARE(column(copy, QStringLiteral("select count(*) from chat_message_join")),
        QStringList { "10" });
    QCOMPARE(column(copy,
                 QStringLiteral("select m.guid from message_attachment_join j join message m on "
                                "m.rowid=j.message_id join attachment a on a.rowid=j.attachment_id "
                                "order by m.guid")),
        (QStringList { "D2", "N2" }));
    IOS6MessageDb reader(QDir(QFileInfo(copy).absolutePath() + QStringLiteral("/../../../../..")),
        QString(), false);
    reader.setSmsDbPath(copy);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    reader.chats(set);
    reader.messages(set, 0);
    QCOMPARE(set->messageMap.size(), 10);
    QCOMPARE(set->chatMap.size(), 4);
}

void TestIOS6RestoreMessagesThread::keepsRowIdsOfChatsHandlesAndAttachments()
{
    MergeFixture f;
    const QString before = IOS6SmsDbFixture::smsDbPath(f.device.cacheFolder());
    const QStringList chats = column(before, QStringLiteral("select rowid || guid from chat"));
    const QStringList handles = column(before, QStringLiteral("select rowid || id from handle"));
    const QStringList attachments
        = column(before, QStringLiteral("select rowid || guid from attachment"));
    const QStringList triggers
        = column(before, QStringLiteral("select name from sqlite_master where type='trigger'"));
    QVERIFY(f.run().done());

    const QString after = f.readBackBackup();
    const QStringList newChats = column(after, QStringLiteral("select rowid || guid from chat"));
    for (const QString &c : chats)
        QVERIFY2(newChats.contains(c), qPrintable(c));
    QCOMPARE(newChats.size(), chats.size() + 2);
    for (const QString &h : handles)
        QVERIFY(column(after, QStringLiteral("select rowid || id from handle")).contains(h));
    for (const QString &a : attachments)
        QVERIFY(column(after, QStringLiteral("select rowid || guid from attachment")).contains(a));
    QCOMPARE(column(after, QStringLiteral("select name from sqlite_master where type='trigger'")),
        triggers);

    // The triggers still run, the phone's own functions standing in.
    IOS6MessageDb db(QDir(f.dir.path()), QString(), false);
    db.setSmsDbPath(after);
    db.open();
    QCOMPARE(db.executeThrow(Sqlite3Sql("delete from attachment")), 2);
}

void TestIOS6RestoreMessagesThread::failureOrCancelBeforeThePatchLeavesTheBackupAlone_data()
{
    QTest::addColumn<Step>("step");
    QTest::addColumn<bool>("cancel");
    const struct
    {
        const char *name;
        Step step;
    } steps[] = {
        { "copying", Step::CopyDatabase },
        { "emptying", Step::EmptyCopy },
        { "inserting", Step::Refill },
        { "patch begins", Step::PatchBackup },
        { "copying attachments", Step::CopyAttachments },
        { "replacing", Step::ReplaceDatabase },
        { "writing the index", Step::WriteIndex },
    };
    for (const auto &s : steps) {
        QTest::addRow("fails at %s", s.name) << s.step << false;
        if (s.step <= Step::PatchBackup)
            QTest::addRow("cancelled at %s", s.name) << s.step << true;
    }
}

void TestIOS6RestoreMessagesThread::failureOrCancelBeforeThePatchLeavesTheBackupAlone()
{
    QFETCH(Step, step);
    QFETCH(bool, cancel);
    MergeFixture f;
    const auto backup = snapshotFolder(f.backup());
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    const WorkerRun run = f.run([step, cancel](ProgressForm &form, Step s) {
        if (s != step)
            return;
        if (cancel)
            cancelFromWorker(form);
        else
            throw std::runtime_error("disk gone");
    });
    QCOMPARE(run.result, 0);
    QVERIFY(run.infos.isEmpty());
    QCOMPARE(run.errors.size(), cancel ? 0 : 1);
    if (!cancel)
        QVERIFY(run.errors.first().contains(QStringLiteral("disk gone")));
    QVERIFY(!f.changed);
    QCOMPARE(snapshotFolder(f.backup()), backup);
    QCOMPARE(snapshotFolder(f.cacheSmsFolder()), cache); // no work copy left behind
}

void TestIOS6RestoreMessagesThread::cancelWhileThePatchRunsFinishesAndSaysSo_data()
{
    QTest::addColumn<Step>("step");
    QTest::newRow("copying attachments") << Step::CopyAttachments;
    QTest::newRow("replacing") << Step::ReplaceDatabase;
    QTest::newRow("writing the index") << Step::WriteIndex;
}

void TestIOS6RestoreMessagesThread::cancelWhileThePatchRunsFinishesAndSaysSo()
{
    QFETCH(Step, step);
    MergeFixture f;
    const WorkerRun run = f.run([step](ProgressForm &form, Step s) {
        if (s == step)
            cancelFromWorker(form);
    });
    QCOMPARE(run.result, 0);
    QVERIFY(f.changed);
    QCOMPARE(run.infos.size(), 1);
    QVERIFY(run.infos.first().contains(QStringLiteral("4 messages were written")));
    QCOMPARE(fileBytes(f.storedDatabase()), fileBytes(f.work));
}

void TestIOS6RestoreMessagesThread::failedInsertLeavesTheBackupAlone()
{
    MergeFixture f;
    _MsgHandle *h = f.builder.handle(QStringLiteral("someone"));
    f.builder.message(f.builder.chat({ h }, QStringLiteral("Jabber")), h, 4500, QStringLiteral("x"));
    f.list = f.builder.messages();
    const auto backup = snapshotFolder(f.backup());
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    const WorkerRun run = f.run();
    QCOMPARE(run.errors.size(), 1);
    QVERIFY(run.errors.first().contains(
        QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:Jabber")));
    QCOMPARE(snapshotFolder(f.backup()), backup);
    QCOMPARE(snapshotFolder(f.cacheSmsFolder()), cache);
}

void TestIOS6RestoreMessagesThread::missingIndexOrRecordIsFoundFirst_data()
{
    QTest::addColumn<bool>("withIndex");
    QTest::addColumn<QString>("error");
    QTest::newRow("no index") << false << "can not find ";
    QTest::newRow("no record of the database") << true << "can not find Library/SMS/sms.db";
}

void TestIOS6RestoreMessagesThread::missingIndexOrRecordIsFoundFirst()
{
    QFETCH(bool, withIndex);
    QFETCH(QString, error);
    MergeFixture f(IOS6SmsDbFixture::Ios8, false, false);
    f.device.writeBackup(false);
    if (!withIndex)
        QVERIFY(QFile::remove(QDir(f.backup()).filePath(QStringLiteral("Manifest.mbdb"))));
    const auto backup = snapshotFolder(f.backup());
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    bool copied = false;
    const WorkerRun run = f.run([&copied](ProgressForm &, Step) { copied = true; });
    QCOMPARE(run.errors.size(), 1);
    QVERIFY2(run.errors.first().contains(error), qPrintable(run.errors.first()));
    QVERIFY(!copied);
    QCOMPARE(snapshotFolder(f.backup()), backup);
    QCOMPARE(snapshotFolder(f.cacheSmsFolder()), cache);
}

void TestIOS6RestoreMessagesThread::nothingToMergeFails_data()
{
    QTest::addColumn<bool>("unknownChats");
    QTest::addColumn<int>("skipped");
    QTest::newRow("empty list") << false << 0;
    QTest::newRow("only unknown chats") << true << 2;
}

void TestIOS6RestoreMessagesThread::nothingToMergeFails()
{
    QFETCH(bool, unknownChats);
    QFETCH(int, skipped);
    MergeFixture f;
    f.list.clear();
    if (unknownChats) {
        _MsgHandle *h = f.builder.handle(QStringLiteral("+15550009"));
        f.list.append(f.builder.message(f.builder.chat({ h }, QStringLiteral("SMS"), -2047483647),
            h, 100, QStringLiteral("recovered")));
        f.list.append(f.builder.message(nullptr, nullptr, 200, QStringLiteral("no chat")));
    }
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    const WorkerRun run = f.run();
    QCOMPARE(run.errors.size(), 1);
    QVERIFY(run.errors.first().contains(
        QStringLiteral("Only found %1 messages with unknown contact info").arg(skipped)));
    QCOMPARE(f.skipped, skipped);
    QCOMPARE(f.restored, 0);
    QCOMPARE(snapshotFolder(f.cacheSmsFolder()), cache);
}

void TestIOS6RestoreMessagesThread::eventWithoutItemTypeColumnIsNeitherCounted()
{
    MergeFixture f(IOS6SmsDbFixture::Ios6);
    f.list.first()->item_type = 1;
    QVERIFY(f.run().done());
    QCOMPARE(f.restored, 3);
    QCOMPARE(f.skipped, 0);
    QVERIFY(!column(f.readBackBackup(), QStringLiteral("select guid from message")).contains("N1"));
}

void TestIOS6RestoreMessagesThread::knownGuidGetsOneRow()
{
    MergeFixture f;
    f.list.first()->guid = QStringLiteral("D3");
    QVERIFY(f.run().done());
    QCOMPARE(f.restored, 4);
    const QString copy = f.readBackBackup();
    QCOMPARE(column(copy, QStringLiteral("select count(*) from message where guid='D3'")),
        QStringList { "1" });
    QCOMPARE(column(copy, QStringLiteral("select count(*) from message")), QStringList { "9" });
}

void TestIOS6RestoreMessagesThread::keepsNanosecondDates()
{
    MergeFixture f(IOS6SmsDbFixture::Ios8, true);
    QVERIFY(f.run().done());
    const QString copy = f.readBackBackup();
    const QStringList dates = column(copy, QStringLiteral("select date from message order by rowid"));
    QCOMPARE(dates.size(), 10);
    for (const QString &d : dates)
        QVERIFY2(isNanosecondTime(d.toLongLong()), qPrintable(d));
    QCOMPARE(column(copy, QStringLiteral("select date_read from message where guid='N1'")),
        QStringList { QString::number(storedTimeFromRecord(1500, true)) });
    QCOMPARE(column(copy, QStringLiteral("select guid from message order by rowid")).mid(0, 3),
        (QStringList { "D1", "N1", "D2" }));
}

void TestIOS6RestoreMessagesThread::includesWhatIsOnlyInTheWal()
{
    MergeFixture f;
    // The cache copy holds one more message that is still only in its -wal file.
    Sqlite3DB &db = f.device.device().db();
    QString error;
    QVERIFY(db.exec(QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"), error));
    QVERIFY(sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK);
    IOS6SmsDbFixture::Message m;
    m.guid = QStringLiteral("WAL");
    m.date = 7000;
    m.handle = 1;
    f.device.device().joinChatMessage(1, f.device.device().addMessage(m));
    QVERIFY(QFileInfo(f.device.device().path() + QStringLiteral("-wal")).size() > 0);

    QVERIFY(f.run().done());
    QVERIFY(column(f.readBackBackup(), QStringLiteral("select guid from message")).contains("WAL"));
}

QTEST_MAIN(TestIOS6RestoreMessagesThread)
#include "tst_ios6restoremessagesthread.moc"
