#include "messages/ios6messagedb.h"
#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/fixturedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// 2019-06-01 12:00 UTC as a record date: read as seconds it would lie near the year 2001
// + 18000000 years, or wrap a 32-bit date into 1936 or 2068.
const qint32 kJune2019 = qint32(
    QDateTime(QDate(2019, 6, 1), QTime(12, 0), Qt::UTC).toSecsSinceEpoch() - RecordEpochOffset);

struct Phone
{
    qint64 ann = 0, bob = 0, single = 0, group = 0;
    qint64 hello = 0, bodyOnly = 0, reply = 0, picture = 0, groupNote = 0, image = 0;
};

Phone buildPhone(const QString &folder)
{
    Phone p;
    CurrentPhoneSmsDb db(folder);
    p.ann = db.addHandle("+12015550123");
    p.bob = db.addHandle("+12015550199", "SMS");
    p.single = db.addChat("+12015550123", { p.ann });
    p.group = db.addChat("chat123456789012345678", { p.ann, p.bob }, "iMessage", "Team");

    CurrentPhoneSmsDb::Message m;
    m.handle = p.ann;
    m.text = "hello from 2019";
    m.date = kJune2019;
    p.hello = db.addMessage(p.single, m);
    m.text = QString::fromUtf8("only in the body \xe2\x9c\x93");
    m.textInBodyOnly = true;
    m.date = kJune2019 + 3600;
    p.bodyOnly = db.addMessage(p.single, m);
    m.text = "my reply";
    m.fromMe = true;
    m.date = kJune2019 + 7200;
    p.reply = db.addMessage(p.single, m);
    m.text = QString(QChar(0xFFFC));
    m.date = kJune2019 + 7300;
    p.picture = db.addMessage(p.single, m);
    p.image = db.addAttachment(p.picture, "IMG_0001.jpeg", "image/jpeg", "jpeg", kJune2019 + 7290);
    m.text = "group words";
    m.fromMe = false;
    m.handle = p.bob;
    m.date = kJune2019 - 86400;
    p.groupNote = db.addMessage(p.group, m);
    return p;
}

_MsgMessage messageDated(qint32 date)
{
    _MsgMessage m;
    m.guid = makeGuid();
    m.text = QStringLiteral("written");
    m.service = QStringLiteral("iMessage");
    m.date = date;
    m.date_read = date + 10;
    m.date_delivered = date + 5;
    m.date_played = date + 20;
    return m;
}

} // namespace

class TestIOS6MessageDbCurrentPhone : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsRealDatesAndWords();
    void chatsAreDatedByNewestMessage_data();
    void chatsAreDatedByNewestMessage();
    void readingLeavesTextColumnAlone();
    void writesDatesInUnitOfFile_data();
    void writesDatesInUnitOfFile();
    void deletesWithThePhonesTriggers();

private:
    QTemporaryDir m_home;
};

void TestIOS6MessageDbCurrentPhone::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestIOS6MessageDbCurrentPhone::readsRealDatesAndWords()
{
    QTemporaryDir dir;
    const Phone p = buildPhone(dir.path());
    IOS6MessageDb db(QDir(dir.path()), "310", false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QVERIFY(db.storesNanosecondDates());

    const _MsgMessage *hello = set->messageMap.value(p.hello);
    QVERIFY(hello);
    QCOMPARE(
        dateTimeFromTime(hello->date).toUTC(), QDateTime(QDate(2019, 6, 1), QTime(12, 0), Qt::UTC));
    QCOMPARE(hello->date_read, kJune2019 + 5);
    QCOMPARE(set->messageMap.value(p.reply)->date_delivered, kJune2019 + 7202);
    QCOMPARE(set->attachmentMap.value(p.image)->created_date, kJune2019 + 7290);

    QCOMPARE(set->messageMap.value(p.bodyOnly)->text,
        QString::fromUtf8("only in the body \xe2\x9c\x93"));
    QCOMPARE(set->messageMap.value(p.picture)->plainText(), QString());
    QCOMPARE(messageText(*set->messageMap.value(p.picture)), QStringLiteral("[IMAGE]"));

    MsgMessageList list = set->messages();
    sortMessages(list);
    QStringList order;
    for (const _MsgMessage *m : qAsConst(list))
        order << messageText(*m);
    QCOMPARE(order,
        QStringList({ "group words", "hello from 2019",
            QString::fromUtf8("only in the body \xe2\x9c\x93"), "my reply", "[IMAGE]" }));
}

void TestIOS6MessageDbCurrentPhone::chatsAreDatedByNewestMessage_data()
{
    QTest::addColumn<qint64>("singleNewest");
    QTest::addColumn<qint64>("groupNewest");
    QTest::addColumn<qint64>("newestJoinRow");
    const qint64 least = std::numeric_limits<qint64>::min();
    const qint64 largest = std::numeric_limits<qint64>::max();
    QTest::newRow("row ids as a phone numbers them") << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("one below zero") << qint64(0) << qint64(-5) << qint64(0);
    QTest::newRow("far apart") << qint64(9000000000000000000LL) << qint64(-5) << qint64(0);
    QTest::newRow("at both ends") << largest << qint64(-1) << qint64(0);
    QTest::newRow("join row at the least row id") << qint64(0) << qint64(0) << least;
}

void TestIOS6MessageDbCurrentPhone::chatsAreDatedByNewestMessage()
{
    QFETCH(qint64, singleNewest);
    QFETCH(qint64, groupNewest);
    QFETCH(qint64, newestJoinRow);
    QTemporaryDir dir;
    const Phone p = buildPhone(dir.path());
    {
        // Each chat's newest message moved to the row id given, where it is not 0.
        FixtureDb file(IOS6SmsDbFixture::smsDbPath(dir.path()));
        if (newestJoinRow != 0) {
            // The join is read in parts where its row ids reach far: the group's row far on.
            file.db().executeThrow(
                Sqlite3Sql("update chat_message_join set rowid = 1000000 where chat_id = ?")
                    .addInt64Param(p.group));
            file.db().executeThrow(
                Sqlite3Sql("update chat_message_join set rowid = ? where message_id = ?")
                    .addInt64Param(newestJoinRow)
                    .addInt64Param(p.picture));
        }
        const auto move = [&file](qint64 chat, qint64 to) {
            if (to == 0)
                return;
            const qint64 newest = firstInt64(file.db(),
                QStringLiteral("select m.rowid from message as m inner join chat_message_join as "
                               "j on j.message_id = m.rowid where j.chat_id = %1 order by "
                               "m.date desc limit 1")
                    .arg(chat));
            file.db().executeThrow(Sqlite3Sql("update message set rowid = ? where rowid = ?")
                                       .addInt64Param(to)
                                       .addInt64Param(newest));
            file.db().executeThrow(
                Sqlite3Sql("update chat_message_join set message_id = ? where message_id = ?")
                    .addInt64Param(to)
                    .addInt64Param(newest));
        };
        move(p.single, singleNewest);
        move(p.group, groupNewest);
    }
    IOS6MessageDb db(QDir(dir.path()), "310", false);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    QCOMPARE(set->chatMap.value(p.single)->last, kJune2019 + 7300);
    QCOMPARE(set->chatMap.value(p.group)->last, kJune2019 - 86400);
    const QList<ChatGroup> groups = regroupChats(*set);
    QCOMPARE(groups.size(), 2);
    QVERIFY(compareChatGroups(groups.at(0), groups.at(1))
        != compareChatGroups(groups.at(1), groups.at(0)));
}

void TestIOS6MessageDbCurrentPhone::readingLeavesTextColumnAlone()
{
    QTemporaryDir dir;
    const Phone p = buildPhone(dir.path());
    {
        IOS6MessageDb db(QDir(dir.path()), "310", false);
        QSharedPointer<MsgMessageSet> set;
        db.messages(set, 0);
    }
    Sqlite3DB raw;
    raw.openThrow(CurrentPhoneSmsDb::smsDbPath(dir.path()), Sqlite3DB::ReadOnly);
    QCOMPARE(firstInt64(raw,
                 QStringLiteral("select text is null from message where rowid=%1").arg(p.bodyOnly)),
        qint64(1));
}

void TestIOS6MessageDbCurrentPhone::writesDatesInUnitOfFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("nanoseconds");

    QTest::newRow("current phone") << "phone" << true;
    QTest::newRow("phone of seconds") << "seconds" << false;
    // Without a row the layout tells: phones that write nanoseconds have more columns.
    QTest::newRow("current phone without messages") << "empty" << true;
    QTest::newRow("iOS 6 phone without messages") << "empty iOS 6" << false;
    QTest::newRow("iOS 8 phone without messages") << "empty iOS 8" << false;
    QTest::newRow("current layout, a row in seconds") << "current seconds" << false;
    QTest::newRow("iOS 6 layout, a row in nanoseconds") << "iOS 6 nanoseconds" << true;
    QTest::newRow("local database") << "local" << false;
}

void TestIOS6MessageDbCurrentPhone::writesDatesInUnitOfFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, nanoseconds);

    QTemporaryDir dir;
    bool upgrade = false;
    if (kind == "phone") {
        buildPhone(dir.path());
    } else if (kind == "seconds") {
        IOS6SmsDbFixture f(dir.path());
        IOS6SmsDbFixture::Message m;
        m.guid = "OLD";
        m.text = "old";
        m.date = 5000;
        f.joinChatMessage(f.addChat("SMS;-;1", "1"), f.addMessage(m));
    } else if (kind == "empty") {
        CurrentPhoneSmsDb empty(dir.path());
    } else if (kind == "empty iOS 6" || kind == "empty iOS 8") {
        IOS6SmsDbFixture empty(
            dir.path(), kind == "empty iOS 6" ? IOS6SmsDbFixture::Ios6 : IOS6SmsDbFixture::Ios8);
    } else if (kind == "current seconds") {
        CurrentPhoneSmsDb f(dir.path());
        CurrentPhoneSmsDb::Message m;
        m.date = kJune2019;
        const qint64 message = f.addMessage(f.addChat("+12015550123", { f.addHandle("+1") }), m);
        f.db().executeThrow(QStringLiteral("update message set date=%1 where rowid=%2")
                                .arg(kJune2019)
                                .arg(message));
    } else if (kind == "iOS 6 nanoseconds") {
        IOS6SmsDbFixture f(dir.path(), IOS6SmsDbFixture::Ios6);
        IOS6SmsDbFixture::Message m;
        m.guid = "NEW";
        m.text = "new";
        const qint64 message = f.addMessage(m);
        f.joinChatMessage(f.addChat("SMS;-;1", "1"), message);
        f.db().executeThrow(QStringLiteral("update message set date=%1 where rowid=%2")
                                .arg(CurrentPhoneSmsDb::storedDate(kJune2019))
                                .arg(message));
    } else {
        upgrade = true;
    }

    const qint32 date = kJune2019 + 100000;
    IOS6MessageDb db(QDir(dir.path()), "310", upgrade);
    db.open();
    QCOMPARE(db.storesNanosecondDates(), nanoseconds);
    _MsgChat chat;
    chat.guid = "iMessage;-;+12025550100";
    chat.chat_identifier = "+12025550100";
    chat.service_name = "iMessage";
    const qint64 chatId = db.insertChat(chat);
    const qint64 messageId = db.insertMessage(messageDated(date), 0, 0, QString());
    db.addChatMessageJoin(chatId, messageId);
    _MsgAttachment attachment;
    attachment.guid = makeGuid();
    attachment.created_date = date;
    attachment.start_date = date + 1;
    const qint64 attachmentId = db.insertAttachment(attachment);
    db.updateChatLast(chatId, date);

    const qint64 unit = nanoseconds ? 1000000000 : 1;
    const QString row = QStringLiteral(" where rowid=%1").arg(messageId);
    QCOMPARE(firstInt64(db, "select date from message" + row), date * unit);
    QCOMPARE(firstInt64(db, "select date_read from message" + row), (date + 10) * unit);
    QCOMPARE(firstInt64(db, "select date_delivered from message" + row), (date + 5) * unit);
    if (db.tableHas("message", "date_played", Qt::CaseSensitive))
        QCOMPARE(firstInt64(db, "select date_played from message" + row), (date + 20) * unit);
    const QString attachmentRow = QStringLiteral(" where rowid=%1").arg(attachmentId);
    // Attachment times keep the unit of the attachment rows already there: seconds on phones.
    QCOMPARE(firstInt64(db, "select created_date from attachment" + attachmentRow), qint64(date));
    QCOMPARE(firstInt64(db, "select start_date from attachment" + attachmentRow), qint64(date + 1));
    if (upgrade)
        QCOMPARE(
            firstInt64(db, QStringLiteral("select _last from chat where rowid=%1").arg(chatId)),
            qint64(date));

    // What was written reads back as the same record date.
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, chatId);
    QCOMPARE(set->messageMap.value(messageId)->date, date);
    QCOMPARE(set->chatMap.value(chatId)->last, date);
}

void TestIOS6MessageDbCurrentPhone::deletesWithThePhonesTriggers()
{
    QTemporaryDir dir;
    const Phone p = buildPhone(dir.path());
    IOS6MessageDb db(QDir(dir.path()), "310", false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, p.single);
    db.deleteMessage(*set->messageMap.value(p.picture));
    QCOMPARE(firstInt64(
                 db, QStringLiteral("select count(*) from message where rowid=%1").arg(p.picture)),
        qint64(0));
    QCOMPARE(firstInt64(db, QStringLiteral("select count(*) from attachment")), qint64(0));
    QCOMPARE(firstInt64(db, QStringLiteral("select count(*) from deleted_messages")), qint64(1));
    QCOMPARE(
        firstInt64(db, QStringLiteral("select count(*) from chat where rowid=%1").arg(p.single)),
        qint64(1));
}

QTEST_GUILESS_MAIN(TestIOS6MessageDbCurrentPhone)
#include "tst_ios6messagedb_currentphone.moc"
