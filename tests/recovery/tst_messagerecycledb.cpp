#include "platform/samplephones/fixturedb.h"
#include "records/msgidentity.h"
#include "recovery/messagerecycledb.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

_MsgMessage message(const QString &guid, const QString &service, qint64 handleId, qint32 date,
    const QString &text = QStringLiteral("text"))
{
    _MsgMessage m;
    m.guid = guid;
    m.service = service;
    m.handle_id = handleId;
    m.date = date;
    m.text = text;
    return m;
}

const QString kGuidA = QStringLiteral("AAAAAAAA-1111-2222-3333-444444444444");
const QString kGuidB = QStringLiteral("bbbbbbbb-1111-2222-3333-444444444444");

} // namespace

class TestMessageRecycleDb : public QObject
{
    Q_OBJECT

private slots:
    void firstUseCreatesLayout();
    void existingFileIsOnlyOpened();
    void guidIsKeptOrReplaced_data();
    void guidIsKeptOrReplaced();
    void duplicateGuidFails();
    void sourceRowidZeroStaysNull();
    void findMessageMatchesGuidOrContent();
    void setMessageNumber();
    void handles();
    void loadMessagesSkipsAndKeys();
    void buildChatsGroupsByIdentifierAndService();
    void buildChatsWithoutAddress();
    void buildChatsJoinsExistingChat();
    void buildChatsKeepsEveryChatOwned();
    void buildChatsKeysStayInRangeForAnyHandleId_data();
    void buildChatsKeysStayInRangeForAnyHandleId();
};

void TestMessageRecycleDb::firstUseCreatesLayout()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("recycle.db");
    MessageRecycleDb db(path);
    QVERIFY(!QFile::exists(path));
    QVERIFY(!db.isOpen());
    QCOMPARE(db.loadMessages().size(), 0);
    QVERIFY(QFile::exists(path));

    QStringList names;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select type || ':' || name from sqlite_master "
                                               "where name not like 'sqlite_%' order by 1"));
    while (c.moveNext())
        names << c.getText(0);
    QCOMPARE(names,
        QStringList({ "index:chat_idx_identifier", "index:chat_idx_src_rowid",
            "index:handle_idx_src_rowid", "index:message_idx_chat_date",
            "index:message_idx_chat_identifier", "index:message_idx_handle_id",
            "index:message_idx_src_rowid", "table:chat", "table:handle", "table:message" }));
    QCOMPARE(db.tbInfo("message").size(), 42);
    QCOMPARE(db.tbInfo("message").last().name, QString("is_skip"));
}

void TestMessageRecycleDb::existingFileIsOnlyOpened()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("recycle.db");
    {
        MessageRecycleDb db(path);
        db.insertMessage(message(kGuidA, "SMS", 1, 10), "+1", "+1", 5);
    }
    MessageRecycleDb db(path);
    QCOMPARE(db.loadMessages().size(), 1);
}

void TestMessageRecycleDb::guidIsKeptOrReplaced_data()
{
    QTest::addColumn<QString>("guid");
    QTest::addColumn<bool>("kept");
    QTest::newRow("upper case") << kGuidA << true;
    QTest::newRow("lower case") << kGuidB << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("short group") << "AAAAAAA-1111-2222-3333-444444444444" << false;
    QTest::newRow("with braces") << "{" + kGuidA + "}" << false;
    QTest::newRow("trailing text") << kGuidA + "x" << false;
}

void TestMessageRecycleDb::guidIsKeptOrReplaced()
{
    QFETCH(QString, guid);
    QFETCH(bool, kept);
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    const qint64 rowid = db.insertMessage(message(guid, "SMS", 1, 10), "+1", "+1", 5);
    const QString stored
        = firstValue(db, QStringLiteral("select guid from message where rowid=%1").arg(rowid))
              .toString();
    if (kept) {
        QCOMPARE(stored, guid);
    } else {
        QVERIFY(stored != guid);
        QCOMPARE(stored.size(), 36);
        QCOMPARE(stored, stored.toUpper());
    }
}

void TestMessageRecycleDb::duplicateGuidFails()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    db.insertMessage(message(kGuidA, "SMS", 1, 10), "+1", "+1", 5);
    QVERIFY_EXCEPTION_THROWN(
        db.insertMessage(message(kGuidA, "SMS", 1, 11), "+1", "+1", 6), std::exception);
    _MsgHandle h;
    h.id = "+1";
    db.insertHandle(h, 3);
    QVERIFY_EXCEPTION_THROWN(db.insertHandle(h, 4), std::exception);
}

void TestMessageRecycleDb::sourceRowidZeroStaysNull()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    _MsgMessage m = message(kGuidA, "SMS", 1, 10);
    _MsgAttachment attachment;
    m.attachments.insert("1", &attachment);
    m.service_center.clear();
    db.insertMessage(m, "+1", "+2", 0);
    QVERIFY(firstValue(db, "select src_rowid from message").isNull());
    QVERIFY(firstValue(db, "select service_center from message").isNull());
    QCOMPARE(firstValue(db, "select cache_has_attachments from message").toInt(), 1);
    QCOMPARE(firstValue(db, "select handle from message").toString(), QString("+2"));
    _MsgHandle h;
    h.id = "+1";
    db.insertHandle(h, 0);
    QVERIFY(firstValue(db, "select src_rowid from handle").isNull());
}

void TestMessageRecycleDb::findMessageMatchesGuidOrContent()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    _MsgMessage stored = message(kGuidA, "SMS", 1, 10, "same");
    stored.is_from_me = 1;
    const qint64 rowid = db.insertMessage(stored, "+1", "+1", 5);

    _MsgMessage other = stored;
    other.guid = kGuidB;
    QCOMPARE(db.findMessage(other), rowid);
    other.is_from_me = 0;
    QCOMPARE(db.findMessage(other), qint64(0));
    other.guid = kGuidA;
    QCOMPARE(db.findMessage(other), rowid);
    other.guid = kGuidB;
    other.is_from_me = 1;
    other.text = "different";
    QCOMPARE(db.findMessage(other), qint64(0));
}

void TestMessageRecycleDb::setMessageNumber()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    const _MsgMessage stored = message(kGuidA, "SMS", 1, 10);
    db.insertMessage(stored, QString(), QString(), 5);
    db.setMessageNumber(message(kGuidB, "SMS", 1, 99, "absent"), "+9", "+9");
    QCOMPARE(firstValue(db, "select chat_identifier from message").toString(), QString());
    db.setMessageNumber(stored, "+12015550123", "+12015550124");
    QCOMPARE(
        firstValue(db, "select chat_identifier from message").toString(), QString("+12015550123"));
    QCOMPARE(firstValue(db, "select handle from message").toString(), QString("+12015550124"));
}

void TestMessageRecycleDb::handles()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    _MsgHandle h;
    h.id = "+12015550123";
    h.country = "us";
    h.service = "iMessage";
    h.uncanonicalized_id = "2015550123";
    const qint64 rowid = db.insertHandle(h, 42);
    QCOMPARE(db.findHandle(h), rowid);
    h.service = "SMS";
    QCOMPARE(db.findHandle(h), qint64(0));

    const _MsgHandle bySource = db.handleBySrcRowid(42);
    QCOMPARE(bySource.rowid, qint64(42));
    QCOMPARE(bySource.id, QString("+12015550123"));
    QCOMPARE(bySource.service, QString("iMessage"));
    QCOMPARE(bySource.uncanonicalized_id, QString("2015550123"));
    QVERIFY(bySource.country.isEmpty());
    const _MsgHandle missing = db.handleBySrcRowid(7);
    QCOMPARE(missing.rowid, qint64(0));
    QCOMPARE(missing.service, QString("SMS"));

    const QList<_MsgHandle> all = db.loadHandles();
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first().rowid, rowid);
    QVERIFY(all.first().country.isEmpty());
}

void TestMessageRecycleDb::loadMessagesSkipsAndKeys()
{
    QTemporaryDir dir;
    MessageRecycleDb db(dir.filePath("recycle.db"));
    for (int i = 1; i <= 5; ++i) {
        _MsgMessage m = message(makeGuid(), "SMS", 3, 100 + i, QString::number(i));
        m.subject = "s";
        m.is_read = 1;
        db.insertMessage(m, "+1", "+2", i);
    }
    db.executeThrow(Sqlite3Sql("update message set is_skip=1 where rowid=2"));
    const QList<ExtMsgRecord> records = db.loadMessages();
    QCOMPARE(records.size(), 4);
    const ExtMsgRecord &last = records.last();
    QCOMPARE(last.message.rowid, qint64(-2047483653));
    QCOMPARE(last.message.text, QString("5"));
    QCOMPARE(last.message.subject, QString("s"));
    QCOMPARE(last.message.is_read, 1);
    QCOMPARE(last.message.handle_id, qint64(3));
    QCOMPARE(last.message.date, 105);
    QVERIFY(last.message.isDeleted);
    QCOMPARE(last.message.srcRowid, qint64(0));
    QCOMPARE(last.chat_identifier, QString("+1"));
    QCOMPARE(last.handle, QString("+2"));

    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, records);
    const _MsgMessage *m = set->messageMap.value(-2047483653);
    QVERIFY(m);
    QCOMPARE(m->srcRowid, qint64(2047483653));
}

void TestMessageRecycleDb::buildChatsGroupsByIdentifierAndService()
{
    QList<ExtMsgRecord> records;
    auto add = [&records](qint64 rowid, const QString &service, qint32 date, qint64 handle) {
        ExtMsgRecord r;
        r.message = message(makeGuid(), service, handle, date);
        r.message.rowid = -rowid - MessageRecycleDb::MessageKeyBase;
        r.message.account = "e:me@example.com";
        r.chat_identifier = "+12015550123";
        r.handle = "+12015550123";
        records << r;
    };
    add(1, "iMessage", 300, 4);
    add(2, "imessage", 500, 4);
    add(3, "SMS", 100, 5);

    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, records);
    MessageRecycleDb::buildChats(set, records); // repeated records are skipped
    QCOMPARE(set->messageMap.size(), 3);
    QCOMPARE(set->chatMap.size(), 2);

    const _MsgChat *imessage = set->chatMap.value(-4 - 1947483647);
    QVERIFY(imessage);
    QCOMPARE(imessage->guid, QString("iMessage;-;+12015550123"));
    QCOMPARE(imessage->service_name, QString("iMessage"));
    QCOMPARE(imessage->last, 500);
    QCOMPARE(imessage->messages.size(), 2);
    QCOMPARE(imessage->account_login, QString("e:me@example.com"));
    QCOMPARE(imessage->account_id, makeGuidFromData("+12015550123"));
    QCOMPARE(imessage->handles.keys(), QStringList({ "+12015550123" }));
    QCOMPARE(imessage->handles.first()->service, QString("iMessage"));

    const _MsgChat *sms = set->chatMap.value(-5 - 1947483647);
    QVERIFY(sms);
    QCOMPARE(sms->guid, QString("SMS;-;+12015550123"));
    QCOMPARE(sms->account_login, QString("E:"));
    QCOMPARE(sms->last, 100);
    const _MsgMessage *smsMessage = sms->messages.first();
    QCOMPARE(smsMessage->chat, sms);
    QCOMPARE(smsMessage->handle, sms->handles.first());
}

void TestMessageRecycleDb::buildChatsWithoutAddress()
{
    ExtMsgRecord r;
    r.message = message(kGuidA, "SMS", 7, 10);
    r.message.rowid = -1 - MessageRecycleDb::MessageKeyBase;
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, { r });
    const _MsgChat *chat = set->chatMap.value(-2047483654);
    QVERIFY(chat);
    QCOMPARE(chat->chat_identifier, QString("unknown7"));
    QCOMPARE(chat->guid, QString("SMS;-;unknown7"));
    QCOMPARE(set->messageMap.first()->chat, chat);
    QCOMPARE(set->messageMap.first()->handle, set->handleMap.value(-2047483654));
}

void TestMessageRecycleDb::buildChatsJoinsExistingChat()
{
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    auto live = new _MsgChat;
    live->rowid = 12;
    live->chat_identifier = "chat123456789012345678";
    set->chatMap.insert(12, live);
    auto ann = new _MsgHandle;
    ann->rowid = 1;
    ann->id = "+12015550123";
    set->handleMap.insert(1, ann);
    auto bob = new _MsgHandle;
    bob->rowid = 2;
    bob->id = "+12015550124";
    set->handleMap.insert(2, bob);
    live->handles.insert("1", ann);
    live->handles.insert("2", bob);

    ExtMsgRecord r;
    r.message = message(kGuidA, "SMS", 2, 10);
    r.message.rowid = -1 - MessageRecycleDb::MessageKeyBase;
    r.chat_identifier = "chat123456789012345678";
    r.handle = "+12015550124";
    MessageRecycleDb::buildChats(set, { r });
    QCOMPARE(set->chatMap.size(), 1);
    const _MsgMessage *m = set->messageMap.first();
    QCOMPARE(m->chat, live);
    QCOMPARE(m->handle, bob);
    QCOMPARE(live->last, 10);
}

void TestMessageRecycleDb::buildChatsKeepsEveryChatOwned()
{
    // Two conversations whose messages carry the same handle_id compute the same key.
    QList<ExtMsgRecord> records;
    for (int i = 0; i < 2; ++i) {
        ExtMsgRecord r;
        r.message = message(makeGuid(), "SMS", 0, 10 + i);
        r.message.rowid = -i - MessageRecycleDb::MessageKeyBase;
        r.chat_identifier = i ? "+12015550124" : "+12015550123";
        records << r;
    }
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, records);
    QCOMPARE(set->chatMap.size(), 2);
    QCOMPARE(set->handleMap.size(), 2);
    QSet<QString> identifiers;
    for (const _MsgChat *chat : set->chatMap) {
        QVERIFY(chat->rowid <= -1947483647);
        QCOMPARE(set->chatMap.value(chat->rowid), chat);
        QCOMPARE(set->handleMap.value(chat->rowid), chat->handles.first());
        identifiers << chat->chat_identifier;
    }
    QCOMPARE(identifiers, QSet<QString>({ "+12015550123", "+12015550124" }));
    for (const _MsgMessage *m : set->messageMap)
        QCOMPARE(
            m->chat->chat_identifier, QString(m->date == 10 ? "+12015550123" : "+12015550124"));
}

void TestMessageRecycleDb::buildChatsKeysStayInRangeForAnyHandleId_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("address");
    QTest::addColumn<qint64>("handleId");
    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("sms, largest id") << "SMS"
                                     << "+12015550123" << max;
    QTest::newRow("imessage, largest id") << "iMessage"
                                          << "a@b.c" << max;
    QTest::newRow("unknown, largest id") << "SMS"
                                         << "" << max;
    QTest::newRow("unknown, id just below overflow") << "SMS"
                                                     << "" << max - 100000000;
}

// A carved row may carry any handle_id: the key of its chat must not wrap round into the
// positive keys of live chats.
void TestMessageRecycleDb::buildChatsKeysStayInRangeForAnyHandleId()
{
    QFETCH(QString, service);
    QFETCH(QString, address);
    QFETCH(qint64, handleId);
    ExtMsgRecord r;
    r.message = message(kGuidA, service, handleId, 10);
    r.message.rowid = -1 - MessageRecycleDb::MessageKeyBase;
    r.chat_identifier = address;
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, { r });
    QCOMPARE(set->chatMap.size(), 1);
    const _MsgChat *chat = set->chatMap.first();
    QVERIFY(chat->rowid < -MessageRecycleDb::KnownChatKeyBase);
    QCOMPARE(set->messageMap.first()->chat, chat);
    QCOMPARE(set->messageMap.first()->srcRowid, 1 + MessageRecycleDb::MessageKeyBase);
}

QTEST_GUILESS_MAIN(TestMessageRecycleDb)
#include "tst_messagerecycledb.moc"
