#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/mbdb.h"
#include "messages/ios6messagedb.h"
#include "operations/ios6restoremessagesthread.h"
#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "records/msgidentity.h"
#include "shell/progressform.h"
#include "support/devicebackupfixture.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/tablesoutside.h"
#include "support/workercontrol.h"

#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(IOS6RestoreMessagesThread::Step)

namespace {

using Step = IOS6RestoreMessagesThread::Step;
constexpr qint64 kNow = 1700000000;

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

// The tables a merge empties and fills again.
QStringList refilledTables()
{
    return { "attachment", "chat", "handle", "message", "message_attachment_join",
        "chat_message_join", "chat_handle_join" };
}

// Runs SQL text on a file; the error text, empty when it ran.
QString execute(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadWrite);
    QString error;
    db.exec(sql, error);
    return error;
}

// The insert triggers by which a current phone keeps two caches of a message from its joins.
const char kCacheTriggers[]
    = "CREATE TRIGGER after_insert_on_message_attachment_join AFTER INSERT ON "
      "message_attachment_join BEGIN UPDATE message SET cache_has_attachments = 1 WHERE "
      "message.ROWID = NEW.message_id; END;"
      "CREATE TRIGGER after_insert_on_chat_message_join AFTER INSERT ON chat_message_join BEGIN "
      "UPDATE message SET cache_roomnames = (SELECT group_concat(c.room_name) FROM chat c INNER "
      "JOIN chat_message_join j ON c.ROWID = j.chat_id WHERE j.message_id = NEW.message_id) "
      "WHERE message.ROWID = NEW.message_id; END;";

// A device with two chats and six messages a thousand seconds apart (one with a picture),
// its backup, and four new messages that fall between the device's ones.
class MergeFixture
{
public:
    explicit MergeFixture(IOS6SmsDbFixture::Layout layout = IOS6SmsDbFixture::Ios8)
        : device(dir.filePath(QStringLiteral("cache")), dir.filePath(QStringLiteral("backup")))
        , builder(dir.filePath(QStringLiteral("records")))
    {
        IOS6SmsDbFixture d(device.cacheFolder(), layout);
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
            QStringLiteral("~/Library/SMS/Attachments/00/00/old.jpg"),
            QStringLiteral("image/jpeg"));
        d.joinMessageAttachment(2, a);
        // A function only the phone has, called whenever a message row goes.
        QString error;
        d.db().exec(QStringLiteral("CREATE TRIGGER after_delete_on_message AFTER DELETE ON "
                                   "message BEGIN SELECT purge_message_parts(OLD.ROWID, "
                                   "OLD.guid); END;"),
            error);
        d.close();
        device.writeBackup();
        addNewMessages();
    }

    // Four messages for the device: into its chat with +15550001, a new chat and a group.
    void addNewMessages()
    {
        _MsgHandle *n1 = builder.handle(QStringLiteral("+15550001"));
        _MsgHandle *n3 = builder.handle(QStringLiteral("+15550003"));
        _MsgChat *known = builder.chat(n1->id, { n1 });
        _MsgChat *fresh = builder.chat(n3->id, { n3 });
        _MsgChat *group = builder.chat(QStringLiteral("chat77"), { n1, n3 });
        add(known, n1, 1500, "N1");
        add(fresh, nullptr, 2500, "N3");
        add(group, n3, 3500, "N4");
        picture = builder.attach(add(known, nullptr, 6500, "N2"), QStringLiteral("new.jpg"),
            QStringLiteral("image/jpeg"), "new picture");
        list = builder.messages();
    }

    _MsgMessage *add(_MsgChat *chat, _MsgHandle *from, qint32 date, const char *guid)
    {
        _MsgMessage *m = builder.message(chat, from, date, QLatin1String(guid), !from);
        m->guid = QLatin1String(guid);
        return m;
    }

    // Replaces the device's database with a current phone's with three messages P1 to P3,
    // 2000 seconds apart, in its chat with +15550001; `more` adds to it.
    void useCurrentPhone(const std::function<void(CurrentPhoneSmsDb &)> &more = nullptr)
    {
        CurrentPhoneSmsDb phone(device.cacheFolder());
        const qint64 h = phone.addHandle(QStringLiteral("+15550001"), QStringLiteral("SMS"));
        const qint64 chat
            = phone.addChat(QStringLiteral("+15550001"), { h }, QStringLiteral("SMS"));
        for (int i = 1; i <= 3; ++i) {
            CurrentPhoneSmsDb::Message m;
            m.text = QStringLiteral("P%1").arg(i);
            m.guid = m.text;
            m.handle = h;
            m.date = 2000 * i;
            m.textInBodyOnly = i == 2;
            phone.addMessage(chat, m);
        }
        if (more)
            more(phone);
        phone.close();
    }

    // Writes the backup again from the device's database as it is now.
    void rewriteBackup()
    {
        QVERIFY(QDir(backup()).removeRecursively());
        device.writeBackup();
    }

    QString backup() const { return device.backupFolder(); }
    QString cacheSmsFolder() const { return QFileInfo(device.cachedDatabase()).absolutePath(); }

    // True when the run succeeded; `hook` runs in the worker as each step begins.
    bool run(RecordingProgressForm &form, std::function<void(ProgressForm &, Step)> hook = nullptr)
    {
        IOS6MessageDb source(QDir(device.cacheFolder()), QString(), false);
        IOS6RestoreMessagesThread worker(
            QStringLiteral("us"), &list, &source, QDir(backup()), &form);
        worker.setClock([] { return kNow; });
        if (hook)
            worker.setStepHook([&form, hook](Step s) { hook(form, s); });
        const bool done = form.run(worker) == 1 && !form.failed;
        deliverLateReports();
        restored = worker.restored;
        skipped = worker.skipped;
        changed = worker.backupChanged();
        work = worker.workPath();
        return done;
    }

    bool run()
    {
        RecordingProgressForm form;
        const bool done = run(form);
        if (!done)
            qWarning("%s", qPrintable(form.errors.join(QLatin1Char('\n'))));
        return done;
    }

    // Reads the backup again as the program does, opening it and caching its message folder;
    // the path of the cached sms.db, or empty when that failed.
    QString readBackBackup()
    {
        BackupManifest manifest(backup());
        manifest.loadManifestPlist();
        manifest.loadFileTree();
        cache = dir.filePath(QStringLiteral("readback%1").arg(++readBacks));
        RecordingProgressForm form;
        ITunesCacheSMSThread worker(&manifest, cache, &form);
        if (form.run(worker) != 1 || form.failed)
            return QString();
        return IOS6SmsDbFixture::smsDbPath(cache);
    }

    QTemporaryDir dir;
    DeviceBackupFixture device;
    MessageSetBuilder builder;
    MsgMessageList list;
    _MsgAttachment *picture = nullptr;
    QString cache; // folder of the last read-back
    int readBacks = 0;
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
    void initTestCase()
    {
        // The country table is copied into the program's data folder below HOME.
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(installEnglishTexts());
    }
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
    void sharedGuidTakesTheRowOfWhicheverComesFirst_data();
    void sharedGuidTakesTheRowOfWhicheverComesFirst();
    void keepsNanosecondDatesOfCurrentPhones();
    void keepsEveryTableItDoesNotRefill_data();
    void keepsEveryTableItDoesNotRefill();
    void includesWhatIsOnlyInTheWal();
    void keepsTheJournalModeOfThePhonesFile_data();
    void keepsTheJournalModeOfThePhonesFile();
    void keepsTheOrderOfADeviceMessagesJoins();
    void leavesTheCachesThePhonesInsertTriggersKeep_data();
    void leavesTheCachesThePhonesInsertTriggersKeep();
    void namesRoomsInTheOrderThePhonesTriggerGivesOnTheSameFile_data();
    void namesRoomsInTheOrderThePhonesTriggerGivesOnTheSameFile();

private:
    QTemporaryDir m_home;
};

void TestIOS6RestoreMessagesThread::mergesInDateOrderAndPatchesTheBackup()
{
    MergeFixture f;
    const QByteArray oldDatabase = fileBytes(f.device.storedDatabase());
    const QByteArray oldIndex = fileBytes(f.device.indexPath());
    RecordingProgressForm form;
    QVERIFY2(f.run(form), qPrintable(form.errors.join(QLatin1Char('\n'))));
    QVERIFY(form.infos.isEmpty());
    QCOMPARE(f.restored, 4);
    QCOMPARE(f.skipped, 0);
    QVERIFY(f.changed);
    QCOMPARE(form.statuses, QStringList { QStringLiteral("Saving messages to iPhone...") });
    QCOMPARE(form.values.last(), 99);

    // The index names the new file with its digest and size; the old files are kept aside.
    const QByteArray merged = fileBytes(f.device.storedDatabase());
    QCOMPARE(merged, fileBytes(f.work));
    const MbdbIndex index = loadMbdb(f.device.indexPath());
    const MbdbRecord record = index.value(DeviceBackupFixture::databaseFileId());
    QCOMPARE(record.DataHash.Bytes, QCryptographicHash::hash(merged, QCryptographicHash::Sha1));
    QCOMPARE(record.Size, quint64(merged.size()));
    const QString stamp = QStringLiteral("-%1").arg(kNow);
    QCOMPARE(fileBytes(f.device.storedDatabase() + stamp), oldDatabase);
    QCOMPARE(fileBytes(f.device.indexPath() + stamp), oldIndex);

    // The new picture is stored under its media path, its folders entered.
    const QString picture = f.picture->filename.mid(2);
    const QString pictureId = mbdbFileName(QStringLiteral("MediaDomain"), picture);
    QVERIFY(index.contains(pictureId));
    QVERIFY(index.contains(
        mbdbFileName(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments"))));
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
    IOS6MessageDb reader(QDir(f.cache), QString(), false);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    reader.chats(set);
    reader.messages(set, 0);
    QCOMPARE(set->messageMap.size(), 10);
    QCOMPARE(set->chatMap.size(), 4);
    // The new picture came along into the cache, where the reader finds it.
    const _MsgAttachment *cached = nullptr;
    for (const _MsgAttachment *a : set->attachmentMap) {
        if (a->guid == f.picture->guid)
            cached = a;
    }
    QVERIFY(cached);
    QCOMPARE(fileBytes(cached->localPath), QByteArray("new picture"));
}

void TestIOS6RestoreMessagesThread::keepsRowIdsOfChatsHandlesAndAttachments()
{
    MergeFixture f;
    const QString before = f.device.cachedDatabase();
    const QString rows[] = { QStringLiteral("select rowid || guid from chat"),
        QStringLiteral("select rowid || id from handle"),
        QStringLiteral("select rowid || guid from attachment") };
    QList<QStringList> old;
    for (const QString &sql : rows)
        old.append(column(before, sql));
    const QString triggers = QStringLiteral("select name from sqlite_master where type='trigger'");
    const QStringList oldTriggers = column(before, triggers);
    QVERIFY(f.run());

    const QString after = f.readBackBackup();
    for (int i = 0; i < 3; ++i) {
        const QStringList now = column(after, rows[i]);
        for (const QString &row : old.at(i))
            QVERIFY2(now.contains(row), qPrintable(row));
    }
    QCOMPARE(column(after, rows[0]).size(), old.at(0).size() + 2);
    QCOMPARE(column(after, triggers), oldTriggers);

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
    RecordingProgressForm form;
    QVERIFY(!f.run(form, [step, cancel](ProgressForm &dialog, Step s) {
        if (s != step)
            return;
        if (cancel)
            cancelFromWorker(dialog);
        else
            throw std::runtime_error("disk gone");
    }));
    QVERIFY(form.infos.isEmpty());
    QCOMPARE(form.errors.size(), cancel ? 0 : 1);
    if (!cancel)
        QVERIFY(form.errors.first().contains(QStringLiteral("disk gone")));
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
    RecordingProgressForm form;
    QVERIFY(!f.run(form, [step](ProgressForm &dialog, Step s) {
        if (s == step)
            cancelFromWorker(dialog);
    }));
    QVERIFY(f.changed);
    QCOMPARE(form.infos.size(), 1);
    QVERIFY(form.infos.first().contains(QStringLiteral("4 messages were written")));
    QCOMPARE(fileBytes(f.device.storedDatabase()), fileBytes(f.work));
}

void TestIOS6RestoreMessagesThread::failedInsertLeavesTheBackupAlone()
{
    MergeFixture f;
    _MsgHandle *h
        = f.builder.handle(QStringLiteral("someone"), QString(), QStringLiteral("Jabber"));
    f.builder.message(f.builder.chat(h->id, { h }), h, 4500, QStringLiteral("x"));
    f.list = f.builder.messages();
    const auto backup = snapshotFolder(f.backup());
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    RecordingProgressForm form;
    QVERIFY(!f.run(form));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(form.errors.first().contains(
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
    MergeFixture f;
    QVERIFY(QDir(f.backup()).removeRecursively());
    f.device.writeBackup(false);
    if (!withIndex)
        QVERIFY(QFile::remove(f.device.indexPath()));
    const auto backup = snapshotFolder(f.backup());
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    bool stepped = false;
    RecordingProgressForm form;
    QVERIFY(!f.run(form, [&stepped](ProgressForm &, Step) { stepped = true; }));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains(error), qPrintable(form.errors.first()));
    QVERIFY(!stepped);
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
        _MsgChat *recovered = f.builder.chat(h->id, { h });
        recovered->rowid = -2047483647;
        f.list.append(f.builder.message(recovered, h, 100, QStringLiteral("recovered")));
        f.list.append(f.builder.message(nullptr, nullptr, 200, QStringLiteral("no chat")));
    }
    const auto cache = snapshotFolder(f.cacheSmsFolder());
    RecordingProgressForm form;
    QVERIFY(!f.run(form));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(form.errors.first().contains(
        QStringLiteral("Only found %1 messages with unknown contact info").arg(skipped)));
    QCOMPARE(f.skipped, skipped);
    QCOMPARE(f.restored, 0);
    QCOMPARE(snapshotFolder(f.cacheSmsFolder()), cache);
}

void TestIOS6RestoreMessagesThread::eventWithoutItemTypeColumnIsNeitherCounted()
{
    MergeFixture f(IOS6SmsDbFixture::Ios6);
    f.list.first()->item_type = 1;
    QVERIFY(f.run());
    QCOMPARE(f.restored, 3);
    QCOMPARE(f.skipped, 0);
    QVERIFY(!column(f.readBackBackup(), QStringLiteral("select guid from message")).contains("N1"));
}

void TestIOS6RestoreMessagesThread::knownGuidGetsOneRow()
{
    MergeFixture f;
    f.list.first()->guid = QStringLiteral("D3");
    QVERIFY(f.run());
    QCOMPARE(f.restored, 4);
    const QString copy = f.readBackBackup();
    QCOMPARE(column(copy, QStringLiteral("select count(*) from message where guid='D3'")),
        QStringList { "1" });
    QCOMPARE(column(copy, QStringLiteral("select count(*) from message")), QStringList { "9" });
}

void TestIOS6RestoreMessagesThread::sharedGuidTakesTheRowOfWhicheverComesFirst_data()
{
    QTest::addColumn<int>("message");
    QTest::addColumn<QString>("guid");
    QTest::addColumn<QStringList>("text");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QStringList>("withAttachment");
    // N1 (at 1500) comes before the device's D3 (at 3000): its row stands, D3 only joins it.
    QTest::newRow("new message first")
        << 0 << "D3" << QStringList { "N1" }
        << QStringList { "D1", "D3", "D2", "N3", "N4", "D4", "D5", "D6", "N2" }
        << QStringList { "D2", "N2" };
    // The device's D1 (at 1000) comes before N2 (at 6500): N2's picture joins D1's row.
    QTest::newRow("device row first")
        << 3 << "D1" << QStringList { "D1" }
        << QStringList { "D1", "N1", "D2", "N3", "D3", "N4", "D4", "D5", "D6" }
        << QStringList { "D1", "D2" };
}

void TestIOS6RestoreMessagesThread::sharedGuidTakesTheRowOfWhicheverComesFirst()
{
    QFETCH(int, message);
    QFETCH(QString, guid);
    MergeFixture f;
    f.list.at(message)->guid = guid;
    QVERIFY(f.run());
    QCOMPARE(f.restored, 4);
    const QString copy = f.readBackBackup();
    QTEST(column(copy, QStringLiteral("select guid from message order by rowid")), "order");
    QTEST(
        column(copy, QStringLiteral("select text from message where guid='%1'").arg(guid)), "text");
    QTEST(column(copy,
              QStringLiteral("select m.guid from message_attachment_join j join message m on "
                             "m.rowid=j.message_id order by m.guid")),
        "withAttachment");
    QCOMPARE(column(copy,
                 QStringLiteral("select count(*) from chat_message_join j join message m on "
                                "m.rowid=j.message_id where m.guid='%1'")
                     .arg(guid)),
        QStringList { "1" });
}

void TestIOS6RestoreMessagesThread::keepsNanosecondDatesOfCurrentPhones()
{
    MergeFixture f;
    f.useCurrentPhone();
    f.rewriteBackup();
    QVERIFY(f.run());

    const QString copy = f.readBackBackup();
    QCOMPARE(column(copy, QStringLiteral("select guid from message order by rowid")),
        (QStringList { "N1", "P1", "N3", "N4", "P2", "P3", "N2" }));
    for (const QString &d : column(copy, QStringLiteral("select date from message")))
        QVERIFY2(isNanosecondTime(d.toLongLong()), qPrintable(d));
    QCOMPARE(column(copy, QStringLiteral("select date from message where guid='N1'")),
        QStringList { QString::number(storedTimeFromRecord(1500, true)) });
    QCOMPARE(column(copy, QStringLiteral("select date from message where guid='P2'")),
        QStringList { QString::number(CurrentPhoneSmsDb::storedDate(4000)) });
    // The phone sorts a chat by the date its join row carries.
    QCOMPARE(column(copy,
                 QStringLiteral("select count(*) from chat_message_join j join message m on "
                                "m.rowid=j.message_id where j.message_date<>m.date")),
        QStringList { "0" });
}

void TestIOS6RestoreMessagesThread::keepsEveryTableItDoesNotRefill_data()
{
    QTest::addColumn<QString>("device");
    QTest::newRow("current phone") << "phone";
    QTest::newRow("current phone logging its inserts") << "logging phone";
    QTest::newRow("iOS 6 era") << "ios6";
}

void TestIOS6RestoreMessagesThread::keepsEveryTableItDoesNotRefill()
{
    QFETCH(QString, device);
    const bool ios6 = device == QLatin1String("ios6");
    MergeFixture f(ios6 ? IOS6SmsDbFixture::Ios6 : IOS6SmsDbFixture::Ios8);
    if (!ios6)
        f.useCurrentPhone();
    {
        Sqlite3DB db;
        db.openThrow(f.device.cachedDatabase(), Sqlite3DB::ReadWrite);
        QString error;
        if (ios6) {
            addIos6PhoneTriggers(db);
        } else {
            // What the phone deleted and synced before the merge stays recorded, and nothing more.
            QVERIFY2(db.exec(QStringLiteral(
                                 "INSERT INTO deleted_messages(guid) VALUES('GONE');"
                                 "INSERT INTO sync_deleted_messages(guid, recordID) "
                                 "VALUES('GONE', 'ck-1');"
                                 "INSERT INTO sync_deleted_attachments(guid, recordID) "
                                 "VALUES('GONE-A', 'ck-2');"
                                 "INSERT INTO kvtable(key, value) VALUES('syncState', x'01');"),
                         error),
                qPrintable(error));
        }
        if (device == QLatin1String("logging phone")) {
            QVERIFY2(db.exec(QStringLiteral("CREATE TABLE arrivals (guid TEXT);"
                                            "CREATE TRIGGER after_insert_on_message AFTER INSERT "
                                            "ON message BEGIN INSERT INTO arrivals VALUES "
                                            "(NEW.guid); END;"),
                         error),
                qPrintable(error));
        }
    }
    f.rewriteBackup();
    const QStringList refilled = refilledTables();
    const QStringList before = rowsOutsideTables(f.device.cachedDatabase(), refilled);
    const QStringList guids
        = column(f.device.cachedDatabase(), QStringLiteral("select guid from message"));
    QVERIFY(f.run());

    QCOMPARE(rowsOutsideTables(f.work, refilled), before);
    const QStringList merged = column(f.work, QStringLiteral("select guid from message"));
    QCOMPARE(merged.size(), guids.size() + 4);
    for (const QString &guid : guids)
        QVERIFY2(merged.contains(guid), qPrintable(guid));
}

void TestIOS6RestoreMessagesThread::includesWhatIsOnlyInTheWal()
{
    MergeFixture f;
    // The cache copy holds one more message that is still only in its -wal file.
    Sqlite3DB db;
    db.openThrow(f.device.cachedDatabase(), Sqlite3DB::ReadWrite);
    QString error;
    QVERIFY(
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"), error));
    QCOMPARE(
        sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
    QVERIFY(db.exec(QStringLiteral("INSERT INTO message(guid, text, handle_id, date) "
                                   "VALUES('WAL', 'late', 1, 7000); INSERT INTO "
                                   "chat_message_join VALUES(1, last_insert_rowid());"),
        error));
    QVERIFY(QFileInfo(f.device.cachedDatabase() + QStringLiteral("-wal")).size() > 0);

    QVERIFY(f.run());
    QVERIFY(column(f.readBackBackup(), QStringLiteral("select guid from message")).contains("WAL"));
}

void TestIOS6RestoreMessagesThread::keepsTheJournalModeOfThePhonesFile_data()
{
    // Bytes 18 and 19 of the file's header: 1 for a rollback journal, 2 for a write-ahead log.
    QTest::addColumn<QString>("mode");
    QTest::addColumn<char>("version");
    QTest::newRow("rollback journal") << "delete" << char(1);
    QTest::newRow("write-ahead log") << "wal" << char(2);
}

void TestIOS6RestoreMessagesThread::keepsTheJournalModeOfThePhonesFile()
{
    QFETCH(QString, mode);
    QFETCH(char, version);
    MergeFixture f;
    {
        Sqlite3DB db;
        db.openThrow(f.device.cachedDatabase(), Sqlite3DB::ReadWrite);
        QString error;
        QVERIFY2(
            db.exec(QStringLiteral("PRAGMA journal_mode=%1").arg(mode), error), qPrintable(error));
    }
    QVERIFY(f.run());

    for (const QString &merged : { f.work, f.device.storedDatabase() }) {
        const QByteArray header = fileBytes(merged).left(20);
        QCOMPARE(header.size(), 20);
        QCOMPARE(header.at(18), version);
        QCOMPARE(header.at(19), version);
    }
    QCOMPARE(column(f.work, QStringLiteral("PRAGMA journal_mode")), QStringList { mode });
}

void TestIOS6RestoreMessagesThread::keepsTheOrderOfADeviceMessagesJoins()
{
    MergeFixture f;
    // D2 sits in chat 2 and then also in chat 1; a join names a message that is gone.
    QCOMPARE(execute(f.device.cachedDatabase(),
                 QStringLiteral("INSERT INTO chat_message_join(chat_id, message_id) "
                                "VALUES(1, 2), (1, 999);"
                                "INSERT INTO message_attachment_join VALUES(999, 1);")),
        QString());
    f.rewriteBackup();
    QVERIFY(f.run());

    QCOMPARE(column(f.work,
                 QStringLiteral("select j.chat_id from chat_message_join j join message m on "
                                "m.rowid=j.message_id where m.guid='D2' order by j.rowid")),
        (QStringList { "2", "1" }));
    for (const char *join : { "chat_message_join", "message_attachment_join" }) {
        QCOMPARE(column(f.work,
                     QStringLiteral("select count(*) from %1 where message_id not in (select "
                                    "rowid from message)")
                         .arg(QLatin1String(join))),
            QStringList { "0" });
    }
}

void TestIOS6RestoreMessagesThread::leavesTheCachesThePhonesInsertTriggersKeep_data()
{
    // Each message: guid, cache_has_attachments and cache_roomnames as SQL literals.
    QTest::addColumn<bool>("triggers");
    QTest::addColumn<QStringList>("caches");
    // N1 brings room names from another phone's chat; P1 is the phone's own row; a new
    // picture message shares P3's guid and joins its picture to the phone's row.
    QTest::newRow("current phone")
        << true
        << QStringList { "N1 0 NULL", "N2 1 NULL", "N3 0 NULL", "N4 0 'chat77'",
               "P1 0 'phone room'", "P2 0 NULL", "P3 1 NULL" };
    QTest::newRow("phone without the insert triggers")
        << false
        << QStringList { "N1 0 'stale'", "N2 0 ''", "N3 0 ''", "N4 0 ''", "P1 0 'phone room'",
               "P2 0 NULL", "P3 0 NULL" };
}

void TestIOS6RestoreMessagesThread::leavesTheCachesThePhonesInsertTriggersKeep()
{
    QFETCH(bool, triggers);
    MergeFixture f;
    f.useCurrentPhone();
    const QString phone = f.device.cachedDatabase();
    QCOMPARE(execute(phone,
                 QStringLiteral("UPDATE message SET cache_roomnames='phone room' WHERE guid='P1';"
                                "INSERT INTO deleted_messages(guid) VALUES('GONE');")),
        QString());
    // A current phone keeps two caches of a message from its joins.
    if (triggers)
        QCOMPARE(execute(phone, QLatin1String(kCacheTriggers)), QString());
    f.rewriteBackup();
    _MsgMessage *n1 = f.list.at(0);
    n1->cache_roomnames = QStringLiteral("stale");
    f.list.at(2)->chat->room_name = QStringLiteral("chat77");
    // As the iOS 5 reader leaves a message with a picture.
    _MsgMessage *n2 = f.list.at(3);
    n2->cache_has_attachments = 0;
    f.builder.attach(f.add(n1->chat, nullptr, 6000, "P3"), QStringLiteral("late.jpg"),
        QStringLiteral("image/jpeg"), "late picture");
    f.list = f.builder.messages();
    const QStringList refilled = refilledTables();
    const QStringList outside = rowsOutsideTables(phone, refilled);
    QVERIFY(f.run());

    QTEST(column(f.work,
              QStringLiteral("select guid || ' ' || cache_has_attachments || ' ' || "
                             "quote(cache_roomnames) from message order by guid")),
        "caches");
    QCOMPARE(rowsOutsideTables(f.work, refilled), outside);
}

void TestIOS6RestoreMessagesThread::namesRoomsInTheOrderThePhonesTriggerGivesOnTheSameFile_data()
{
    // The room names the phone's trigger gives: in the order the file's indexes read the joins.
    QTest::addColumn<QString>("index");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("the phone's own indexes") << QString() << QStringList { "room5,room17,room30" };
    QTest::newRow("an index on the join's message_id")
        << "CREATE INDEX chat_message_join_idx_message_id ON chat_message_join(message_id);"
        << QStringList { "room30,room5,room17" };
}

void TestIOS6RestoreMessagesThread::namesRoomsInTheOrderThePhonesTriggerGivesOnTheSameFile()
{
    QFETCH(QString, index);
    MergeFixture f;
    // G is on the phone in rooms 5 and 17, joined in that order. The merge brings it earlier in
    // room 30, a chat new to the phone: G's row gets that join first, under the highest chat id.
    f.useCurrentPhone([](CurrentPhoneSmsDb &phone) {
        const QList<qint64> people { phone.addHandle(QStringLiteral("+15550003")),
            phone.addHandle(QStringLiteral("+15550004")) };
        QList<qint64> rooms;
        for (const QString &name : { QStringLiteral("room5"), QStringLiteral("room17") }) {
            rooms.append(phone.addChat(name, people));
            phone.db().executeThrow(Sqlite3Sql("update chat set room_name=? where rowid=?")
                                        .addTextParam(name)
                                        .addInt64Param(rooms.last()));
        }
        CurrentPhoneSmsDb::Message g;
        g.text = QStringLiteral("G");
        g.guid = g.text;
        g.handle = people.first();
        g.date = 9000;
        const qint64 message = phone.addMessage(rooms.first(), g);
        phone.db().executeThrow(Sqlite3Sql("insert into chat_message_join(chat_id, message_id, "
                                           "message_date) values(?,?,?)")
                                    .addInt64Param(rooms.last())
                                    .addInt64Param(message)
                                    .addInt64Param(CurrentPhoneSmsDb::storedDate(g.date)));
    });
    QCOMPARE(execute(f.device.cachedDatabase(), QLatin1String(kCacheTriggers) + index), QString());
    f.rewriteBackup();
    _MsgChat *room = f.builder.chat(QStringLiteral("room30"),
        { f.builder.handle(QStringLiteral("+15550001")),
            f.builder.handle(QStringLiteral("+15550003")) });
    room->room_name = QStringLiteral("room30");
    f.add(room, nullptr, 8000, "G");
    f.list = f.builder.messages();
    QVERIFY(f.run());

    // The same joins again, in their order, into a copy of the merged file with its triggers
    // on; a join that is there already is replaced without its delete trigger.
    const QString copy = f.dir.filePath(QStringLiteral("triggered.db"));
    QVERIFY(QFile::copy(f.work, copy));
    const QString g = QStringLiteral("(select rowid from message where guid='G')");
    QStringList joins;
    for (const QString &chat : column(copy,
             QStringLiteral("select chat_id from chat_message_join where message_id=%1 order by "
                            "rowid")
                 .arg(g)))
        joins.append(QStringLiteral("REPLACE INTO chat_message_join SELECT * FROM "
                                    "chat_message_join WHERE chat_id=%1 AND message_id=%2;")
                         .arg(chat, g));
    QCOMPARE(joins.size(), 3);
    QCOMPARE(execute(copy,
                 QStringLiteral("UPDATE message SET cache_roomnames=NULL WHERE guid='G';")
                     + joins.join(QString())),
        QString());
    const QString names = QStringLiteral("select cache_roomnames from message where guid='G'");
    QTEST(column(copy, names), "names");
    QCOMPARE(column(f.work, names), column(copy, names));
}

QTEST_MAIN(TestIOS6RestoreMessagesThread)
#include "tst_ios6restoremessagesthread.moc"
