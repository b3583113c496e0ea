#include "messages/ios5messagedb.h"
#include "platform/samplephones/addressbookfixture.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "support/ios5smsdbfixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

namespace {

const QString kUsMcc = QStringLiteral("310");
const QChar kPlaceholder(0xFFFC);
const qint64 kEpoch = 978307200;

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// An array property list holding an integer and a string.
QByteArray mixedParticipants()
{
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_uint(7));
    plist_array_append_item(array, plist_new_string("+12025550199"));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(array, &bytes, &length);
    plist_free(array);
    const QByteArray result(bytes, static_cast<int>(length));
    std::free(bytes);
    return result;
}

IOS5SmsDbFixture::Sms makeSms(
    qint64 group, const QString &address, const QString &text, qint64 date, int flags = 2)
{
    IOS5SmsDbFixture::Sms sms;
    sms.group = group;
    sms.address = address;
    sms.text = text;
    sms.date = date;
    sms.flags = flags;
    return sms;
}

_MsgChat *chatWithService(const MsgMessageSet &set, const QString &service)
{
    for (_MsgChat *chat : set.chatMap) {
        if (chat->service_name == service)
            return chat;
    }
    return nullptr;
}

} // namespace

class TestIOS5MessageDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void smsChatFromMembers_data();
    void smsChatFromMembers();
    void smsHandlesCarryContactNames();
    void iMessageChatFromParticipants_data();
    void iMessageChatFromParticipants();
    void iMessageChatLastFromRoomOrHandle();
    void smsAndIMessageKeysNeverMeet();
    void smsMessageFields_data();
    void smsMessageFields();
    void smsMessageHandleInGroup();
    void iMessageFromMeByDelivery_data();
    void iMessageFromMeByDelivery();
    void iMessageHandleAndChat();
    void mmsPartsBecomeTextAndAttachments();
    void mmsExtraPartsBecomeClones();
    void negativeChatIdReadsNoPieces();
    void iMessageAttachments();
    void hostileAttachmentNamesStayInsideRelay_data();
    void hostileAttachmentNamesStayInsideRelay();
    void symlinkedFoldersAreNotFollowedOutside();
    void mmsContentLocationCannotEscape();
    void missingOptionalTables_data();
    void missingOptionalTables();
    void repeatedLoadsDoNotRepeatText();
    void staleNewestMessageKeepsGroup();
    void countVersionAndRecycledChats();

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString folder() const { return m_dir->path(); }
    QString relay(const QString &relative) const
    {
        return QDir(folder()).filePath(QStringLiteral("file-relay/") + relative);
    }
};

void TestIOS5MessageDb::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestIOS5MessageDb::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestIOS5MessageDb::smsChatFromMembers_data()
{
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<QString>("guid");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("handles");

    const QString group = makeGroupChatIdentifier(QStringLiteral("SMS;-;+12015550123"));
    QTest::newRow("no members") << QStringList() << "SMS;-;4242"
                                << "unknown" << 45 << 0;
    QTest::newRow("one member, national form")
        << QStringList { "(201) 555-0123" } << "SMS;-;+12015550123"
        << "+12015550123" << 45 << 1;
    QTest::newRow("same number twice")
        << QStringList { "+12015550123", "(201) 555-0123" } << "SMS;-;+12015550123"
        << "+12015550123" << 45 << 1;
    QTest::newRow("two members") << QStringList { "+12015550123", "+12025550199" }
                                 << "SMS;+;" + group << group << 43 << 2;
    QTest::newRow("three members")
        << QStringList { "+12015550123", "+12025550199", "bob@example.com" } << "SMS;+;" + group
        << group << 43 << 3;
}

void TestIOS5MessageDb::smsChatFromMembers()
{
    QFETCH(QStringList, members);
    QFETCH(QString, guid);
    QFETCH(QString, identifier);
    QFETCH(int, style);
    QFETCH(int, handles);

    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(4242);
    for (const QString &member : members)
        f.addMember(group, member);
    IOS5SmsDbFixture::Sms sms;
    sms.group = group;
    sms.date = kEpoch + 500;
    f.addSms(sms);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    QCOMPARE(set->chatMap.size(), 1);
    const _MsgChat *chat = set->chatMap.value(group);
    QVERIFY(chat);
    QCOMPARE(chat->rowid, group);
    QCOMPARE(chat->guid, guid);
    QCOMPARE(chat->chat_identifier, identifier);
    QCOMPARE(chat->style, style);
    QCOMPARE(chat->handles.size(), handles);
    QCOMPARE(chat->last, 500);
    QCOMPARE(chat->service_name, QStringLiteral("SMS"));
    if (style == 43) {
        QCOMPARE(chat->room_name, identifier);
        QCOMPARE(chat->account_id, makeGuidFromData(guid.toUtf8()));
    }
    for (const _MsgHandle *handle : set->handleMap)
        QVERIFY(handle->rowid > 0);
}

void TestIOS5MessageDb::smsHandlesCarryContactNames()
{
    AddressBookFixture book(folder());
    book.addPerson(1, "Ann", "", " Lee ", { "(201) 555-0123" });
    book.write();
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    f.addSms(makeSms(group, "+12015550123", "hi", kEpoch + 10));
    f.addMadridChat("+12015550123", IOS5SmsDbFixture::participantsPlist({ "+12015550123" }));
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    QCOMPARE(set->handleMap.size(), 2);
    for (const _MsgHandle *handle : set->handleMap)
        QCOMPARE(handle->contactName, QStringLiteral("Ann Lee"));
}

void TestIOS5MessageDb::iMessageChatFromParticipants_data()
{
    QTest::addColumn<QByteArray>("participants");
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("guidPrefix");
    QTest::addColumn<QStringList>("handles");

    QTest::newRow("one participant") << IOS5SmsDbFixture::participantsPlist({ "(201) 555-0123" })
                                     << 45 << "iMessage;-;" << QStringList { "+12015550123" };
    QTest::newRow("two participants, XML")
        << IOS5SmsDbFixture::participantsPlist({ "+12015550123", "Bob@Example.com" }, false) << 43
        << "iMessage;+;" << QStringList { "+12015550123", "bob@example.com" };
    QTest::newRow("style as stored") << IOS5SmsDbFixture::participantsPlist({ "+12015550123" })
                                     << 43 << "iMessage;-;" << QStringList { "+12015550123" };
    QTest::newRow("malformed binary")
        << QByteArray("bplist00\x01\x02\x03garbage", 18) << 45 << "iMessage;-;" << QStringList();
    QTest::newRow("malformed XML")
        << QByteArray("<plist><array><string>") << 45 << "iMessage;-;" << QStringList();
    QTest::newRow("no array") << QByteArray("<plist><string>x</string></plist>") << 45
                              << "iMessage;-;" << QStringList();
    QTest::newRow("empty") << QByteArray() << 45 << "iMessage;-;" << QStringList();
    QTest::newRow("entry that is no string")
        << mixedParticipants() << 43 << "iMessage;+;" << QStringList { "+12025550199" };
}

void TestIOS5MessageDb::iMessageChatFromParticipants()
{
    QFETCH(QByteArray, participants);
    QFETCH(int, style);
    QFETCH(QString, guidPrefix);
    QFETCH(QStringList, handles);

    IOS5SmsDbFixture f(folder());
    const qint64 rowid = f.addMadridChat("room-1", participants, style, 3, "ACCOUNT", "E:me");
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    const _MsgChat *chat = set->chatMap.value(-rowid);
    QVERIFY(chat);
    QCOMPARE(chat->rowid, -rowid);
    QCOMPARE(chat->guid, guidPrefix + "room-1");
    QCOMPARE(chat->style, style);
    QCOMPARE(chat->service_name, QStringLiteral("iMessage"));
    QCOMPARE(chat->account_id, QStringLiteral("ACCOUNT"));
    QCOMPARE(chat->account_login, QStringLiteral("E:me"));
    QStringList ids = chat->handles.keys();
    ids.sort();
    handles.sort();
    QCOMPARE(ids, handles);
    QCOMPARE(set->handleMap.size(), handles.size());
    for (auto it = set->handleMap.cbegin(); it != set->handleMap.cend(); ++it) {
        QVERIFY(it.key() < 0);
        QCOMPARE((*it)->rowid, it.key());
        QCOMPARE((*it)->service, QStringLiteral("iMessage"));
    }
}

void TestIOS5MessageDb::iMessageChatLastFromRoomOrHandle()
{
    IOS5SmsDbFixture f(folder());
    const qint64 room = f.addMadridChat(
        "chat123", IOS5SmsDbFixture::participantsPlist({ "+12015550123", "+12025550199" }));
    const qint64 single
        = f.addMadridChat("+12035550100", IOS5SmsDbFixture::participantsPlist({ "+12035550100" }));
    IOS5SmsDbFixture::IMessage m;
    m.roomName = "chat123";
    m.handle = "+12015550123";
    m.date = 700;
    f.addIMessage(m);
    m.date = 650;
    f.addIMessage(m);
    m.roomName.clear();
    m.handle = "+12035550100";
    m.date = 800;
    f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    QCOMPARE(set->chatMap.value(-room)->last, 700);
    QCOMPARE(set->chatMap.value(-single)->last, 800);
}

void TestIOS5MessageDb::smsAndIMessageKeysNeverMeet()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 sms = f.addSms(makeSms(group, "+12015550123", "sms", kEpoch + 5));
    const qint64 madrid
        = f.addMadridChat("+12015550123", IOS5SmsDbFixture::participantsPlist({ "+12015550123" }));
    QCOMPARE(group, madrid);
    // A device row with a non-positive id would otherwise take the iMessage chat's key.
    f.db().executeThrow(
        Sqlite3Sql("insert into msg_group(rowid, type, newest_message, hash) values(-1, 0, ?, 9)")
            .addInt64Param(sms));
    f.db().executeThrow(
        Sqlite3Sql("insert into group_member(rowid, group_id, address, country) values(-1, -1, "
                   "'+12025550199', 'us')"));
    IOS5SmsDbFixture::IMessage m;
    m.handle = "+12015550123";
    m.date = 10;
    const qint64 imessage = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->chatMap.size(), 2);
    QCOMPARE(set->chatMap.value(group)->service_name, QStringLiteral("SMS"));
    QCOMPARE(set->chatMap.value(-madrid)->service_name, QStringLiteral("iMessage"));
    QCOMPARE(set->handleMap.size(), 2);
    QVERIFY(set->handleMap.value(1));
    QCOMPARE(set->handleMap.value(1)->service, QStringLiteral("SMS"));
    QVERIFY(set->handleMap.value(-2));
    QCOMPARE(set->handleMap.value(-2)->service, QStringLiteral("iMessage"));

    // The iMessage row finds the iMessage chat of the shared correspondent.
    QCOMPARE(set->messageMap.value(sms)->chat, set->chatMap.value(group));
    QCOMPARE(set->messageMap.value(imessage)->chat, set->chatMap.value(-madrid));
}

void TestIOS5MessageDb::smsMessageFields_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("fromMe");
    QTest::newRow("sent") << 3 << 1;
    QTest::newRow("received") << 2 << 0;
    QTest::newRow("other flags") << 0 << 0;
}

void TestIOS5MessageDb::smsMessageFields()
{
    QFETCH(int, flags);
    QFETCH(int, fromMe);

    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 rowid = f.addSms(makeSms(group, "+12015550123", "hello", kEpoch + 1234, flags));
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, group);
    const _MsgMessage *m = set->messageMap.value(rowid);
    QVERIFY(m);
    QCOMPARE(m->srcRowid, rowid);
    QCOMPARE(m->service, QStringLiteral("SMS"));
    QCOMPARE(m->date, 1234);
    QCOMPARE(m->date_read, 1234);
    QCOMPARE(m->date_delivered, 1234);
    QCOMPARE(m->is_from_me, fromMe);
    QCOMPARE(m->guid.size(), 36);
    QCOMPARE(m->chat, set->chatMap.value(group));
    QCOMPARE(m->handle, set->chatMap.value(group)->handles.first());
    QCOMPARE(m->chat->messages.value(QString::number(rowid)), m);
    QVERIFY(m->attributedBody.isEmpty());
}

void TestIOS5MessageDb::smsMessageHandleInGroup()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    f.addMember(group, "+12025550199");
    const qint64 received = f.addSms(makeSms(group, "(202) 555-0199", "in", kEpoch + 1, 2));
    const qint64 sent = f.addSms(makeSms(group, "+12025550199", "out", kEpoch + 2, 3));
    const qint64 stranger = f.addSms(makeSms(group, "+12045550111", "who", kEpoch + 3, 2));
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    const _MsgChat *chat = set->chatMap.value(group);
    QCOMPARE(set->messageMap.value(received)->handle, chat->handles.value("+12025550199"));
    QVERIFY(!set->messageMap.value(sent)->handle);
    QVERIFY(!set->messageMap.value(stranger)->handle);
    QCOMPARE(set->messageMap.value(stranger)->chat, chat);
}

void TestIOS5MessageDb::iMessageFromMeByDelivery_data()
{
    QTest::addColumn<int>("delivered");
    QTest::addColumn<int>("fromMe");
    QTest::newRow("delivered") << 5 << 1;
    QTest::newRow("not delivered") << 0 << 0;
    QTest::newRow("negative") << -1 << 0;
}

void TestIOS5MessageDb::iMessageFromMeByDelivery()
{
    QFETCH(int, delivered);
    QFETCH(int, fromMe);

    IOS5SmsDbFixture f(folder());
    IOS5SmsDbFixture::IMessage m;
    m.guid = "IM-1";
    m.handle = "+12015550123";
    m.date = 300;
    m.dateRead = 310;
    m.dateDelivered = delivered;
    const qint64 rowid = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    const _MsgMessage *msg = set->messageMap.value(rowid);
    QVERIFY(msg);
    QCOMPARE(msg->is_from_me, fromMe);
    QCOMPARE(msg->guid, QStringLiteral("IM-1"));
    QCOMPARE(msg->service, QStringLiteral("iMessage"));
    QCOMPARE(msg->date, 300);
    QCOMPARE(msg->date_read, 310);
    QCOMPARE(msg->date_delivered, delivered);
}

void TestIOS5MessageDb::iMessageHandleAndChat()
{
    IOS5SmsDbFixture f(folder());
    const qint64 room = f.addMadridChat(
        "chat777", IOS5SmsDbFixture::participantsPlist({ "+12015550123", "+12025550199" }), 43);
    const qint64 single
        = f.addMadridChat("+12035550100", IOS5SmsDbFixture::participantsPlist({ "+12035550100" }));
    IOS5SmsDbFixture::IMessage m;
    m.roomName = "chat777";
    m.handle = "(202) 555-0199";
    const qint64 fromOther = f.addIMessage(m);
    m.dateDelivered = 9;
    const qint64 fromMe = f.addIMessage(m);
    m.roomName.clear();
    m.handle = "+12035550100";
    m.dateDelivered = 0;
    const qint64 oneToOne = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, -room);
    QCOMPARE(set->messageMap.size(), 2);
    const _MsgChat *roomChat = set->chatMap.value(-room);
    QCOMPARE(set->messageMap.value(fromOther)->chat, roomChat);
    QCOMPARE(set->messageMap.value(fromOther)->handle, roomChat->handles.value("+12025550199"));
    QVERIFY(!set->messageMap.value(fromMe)->handle);
    QCOMPARE(roomChat->messages.size(), 2);

    db.messages(set, -single);
    const _MsgMessage *msg = set->messageMap.value(oneToOne);
    QVERIFY(msg);
    QCOMPARE(msg->chat, set->chatMap.value(-single));
    QCOMPARE(msg->handle, set->chatMap.value(-single)->handles.first());
}

void TestIOS5MessageDb::mmsPartsBecomeTextAndAttachments()
{
    IOS5SmsDbFixture f(folder());
    f.db().executeThrow(Sqlite3Sql("insert into msg_group(rowid, hash) values(300, 1)"));
    f.addMember(300, "+12015550123");
    const qint64 picture = f.addSms(makeSms(300, "+12015550123", "look", kEpoch + 1, 3));
    f.addPiece(picture, 0, "application/smil", "smil.xml", "<smil/>");
    f.addPiece(picture, 1, "", "nothing.bin", "x");
    f.addPiece(picture, 2, "image/jpeg", "IMG_1.jpg", "jpegdata");
    const qint64 text = f.addSms(makeSms(300, "+12015550123", "", kEpoch + 2, 2));
    f.addPiece(text, 0, "TEXT/PLAIN", "text.txt", "Hi");
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 300);

    const _MsgMessage *m = set->messageMap.value(picture);
    QCOMPARE(m->text, QString("look") + kPlaceholder);
    QCOMPARE(m->attachments.size(), 1);
    const _MsgAttachment *a = m->attachments.first();
    const QString relative = QStringLiteral("var/mobile/Library/SMS/Parts/2c/%1/%2-2.jpg")
                                 .arg(picture % 16, 2, 10, QLatin1Char('0'))
                                 .arg(picture);
    QCOMPARE(a->localPath, relay(relative));
    QCOMPARE(readFile(a->localPath), QStringLiteral("jpegdata"));
    QCOMPARE(a->guid, makeGuidFromData(relative.toUtf8()));
    QCOMPARE(m->attachments.firstKey(), a->guid);
    QCOMPARE(a->filename,
        QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/IMG_1.jpg")
            .arg(a->guid.mid(0, 2).toLower(), a->guid.mid(2, 2).toLower(), a->guid));
    QCOMPARE(a->mime_type, QStringLiteral("image/jpeg"));
    QCOMPARE(a->uti, QStringLiteral("public.jpeg"));
    QCOMPARE(a->transfer_name, QStringLiteral("IMG_1.jpg"));
    QCOMPARE(a->is_outgoing, 1);
    QCOMPARE(a->transfer_state, 5);
    QVERIFY(a->rowid > 0);
    QCOMPARE(set->attachmentMap.value(a->rowid), a);
    QCOMPARE(m->attributedBody, makeAttributedBody(a->guid));
    QCOMPARE(set->attachmentMap.size(), 1);

    QCOMPARE(set->messageMap.value(text)->text, QStringLiteral("Hi"));
    QVERIFY(set->messageMap.value(text)->attachments.isEmpty());
}

void TestIOS5MessageDb::mmsExtraPartsBecomeClones()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 rowid = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    QList<qint64> pieces;
    for (int part = 0; part < 3; ++part)
        pieces << f.addPiece(rowid, part, "image/png", QStringLiteral("p%1.png").arg(part), "png");
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, group);
    QCOMPARE(set->messageMap.size(), 3);
    QCOMPARE(set->attachmentMap.size(), 3);
    const _MsgMessage *first = set->messageMap.value(rowid);
    QCOMPARE(first->text, QString(kPlaceholder));
    QCOMPARE(first->attachments.size(), 1);
    QCOMPARE(first->attachments.first(), set->attachmentMap.value(pieces.at(0)));
    QCOMPARE(first->chat->messages.size(), 1);

    QSet<QString> guids { first->guid };
    for (int i = 1; i < 3; ++i) {
        const qint64 key = IOS5MessageDb::CloneKeyBase - pieces.at(i);
        const _MsgMessage *clone = set->messageMap.value(key);
        QVERIFY(clone);
        QCOMPARE(clone->rowid, key);
        QCOMPARE(clone->srcRowid, rowid);
        QCOMPARE(clone->text, QString(kPlaceholder));
        QCOMPARE(clone->chat, first->chat);
        QCOMPARE(clone->handle, first->handle);
        const _MsgAttachment *a = set->attachmentMap.value(pieces.at(i));
        QCOMPARE(clone->attachments.size(), 1);
        QCOMPARE(clone->attachments.value(a->guid), a);
        QCOMPARE(clone->attributedBody, makeAttributedBody(a->guid));
        QCOMPARE(clone->guid,
            makeGuidFromData(QStringLiteral("%1(%2)").arg(a->guid).arg(rowid).toUtf8()));
        guids.insert(clone->guid);
    }
    QCOMPARE(guids.size(), 3);
}

void TestIOS5MessageDb::negativeChatIdReadsNoPieces()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 sms = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    f.addPiece(sms, 0, "image/jpeg", "a.jpg", "jpeg");
    const qint64 chat
        = f.addMadridChat("+12015550123", IOS5SmsDbFixture::participantsPlist({ "+12015550123" }));
    IOS5SmsDbFixture::IMessage m;
    m.handle = "+12015550123";
    const qint64 imessage = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, -chat);
    QCOMPARE(set->messageMap.keys(), QList<qint64> { imessage });
    QVERIFY(set->attachmentMap.isEmpty());
    QVERIFY(!QFileInfo::exists(relay("var/mobile/Library/SMS/Parts")));

    // Recovered chats and other ids that name no madrid_chat row give nothing.
    db.messages(set, -1947483648LL);
    db.messages(set, std::numeric_limits<qint64>::min());
    QCOMPARE(set->messageMap.size(), 1);
}

void TestIOS5MessageDb::iMessageAttachments()
{
    const QString guid1 = QStringLiteral("0A1B2C3D-1111-2222-3333-444455556666");
    const QString guid2 = QStringLiteral("abcdef01-aaaa-bbbb-cccc-ddddeeeeffff");
    IOS5SmsDbFixture f(folder());
    const qint64 a1 = f.addMadridAttachment(
        guid1, "/var/mobile/Library/SMS/Attachments/ab/IMG.jpg", "image/jpeg", 1);
    const qint64 a2 = f.addMadridAttachment(
        guid2, "~/Library/SMS/Attachments/cd/v<i>d.mov", "video/quicktime", 0);
    f.writeFile("var/mobile/Library/SMS/Attachments/ab/IMG.jpg", "img");
    IOS5SmsDbFixture::IMessage m;
    m.handle = "+12015550123";
    m.attributedBody = "stored body";
    m.attachmentInfo = QByteArray("\x00\x01junk", 6) + guid1.toLatin1() + QByteArray("\xff\x02", 2)
        + "FFFFFFFF-0000-0000-0000-000000000000";
    const qint64 one = f.addIMessage(m);
    m.attachmentInfo = guid1.toLatin1() + "," + guid2.toLatin1() + ";" + guid1.toLatin1();
    const qint64 two = f.addIMessage(m);
    m.attachmentInfo.clear();
    const qint64 none = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);

    const _MsgMessage *msg = set->messageMap.value(one);
    QCOMPARE(msg->attachments.keys(), QStringList { guid1 });
    const _MsgAttachment *a = msg->attachments.value(guid1);
    QCOMPARE(a->rowid, -a1);
    QCOMPARE(set->attachmentMap.value(-a1), a);
    QCOMPARE(a->filename, QStringLiteral("~/Library/SMS/Attachments/ab/IMG.jpg"));
    QCOMPARE(a->localPath, relay("var/mobile/Library/SMS/Attachments/ab/IMG.jpg"));
    QCOMPARE(a->is_outgoing, 0);
    QCOMPARE(a->created_date, 1000);
    QCOMPARE(a->uti, QStringLiteral("public.jpeg"));
    QCOMPARE(msg->attributedBody, makeAttributedBody(guid1));

    msg = set->messageMap.value(two);
    QCOMPARE(msg->attachments.size(), 2);
    QCOMPARE(msg->attachments.value(guid1), a);
    const _MsgAttachment *b = msg->attachments.value(guid2);
    QCOMPARE(b->rowid, -a2);
    QCOMPARE(b->is_outgoing, 1);
    QCOMPARE(b->localPath, relay("var/mobile/Library/SMS/Attachments/cd/vid.mov"));
    QCOMPARE(msg->attributedBody, QByteArray("stored body"));
    QCOMPARE(set->attachmentMap.size(), 2);

    QVERIFY(set->messageMap.value(none)->attachments.isEmpty());
    QVERIFY(set->messageMap.value(none)->attributedBody.isEmpty());
}

void TestIOS5MessageDb::hostileAttachmentNamesStayInsideRelay_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("expected"); // relative to file-relay; empty: no path
    QTest::newRow("parent of home") << "~/../../../outside.jpg"
                                    << "";
    QTest::newRow("parent of var/mobile") << "/var/mobile/../../../../etc/passwd"
                                          << "";
    QTest::newRow("relative parent") << "../x.jpg"
                                     << "";
    QTest::newRow("backslash parent") << "..\\..\\x.jpg"
                                      << "....x.jpg";
    QTest::newRow("absolute stays inside") << "/etc/hosts"
                                           << "etc/hosts";
    QTest::newRow("inner parent stays inside") << "~/Library/../Library/SMS/a.jpg"
                                               << "var/mobile/Library/SMS/a.jpg";
}

void TestIOS5MessageDb::hostileAttachmentNamesStayInsideRelay()
{
    QFETCH(QString, filename);
    QFETCH(QString, expected);

    const QString guid = QStringLiteral("11111111-2222-3333-4444-555555555555");
    IOS5SmsDbFixture f(folder());
    f.addMadridAttachment(guid, filename, "image/jpeg");
    IOS5SmsDbFixture::IMessage m;
    m.attachmentInfo = guid.toLatin1();
    const qint64 rowid = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    const _MsgAttachment *a = set->messageMap.value(rowid)->attachments.value(guid);
    QVERIFY(a);
    QCOMPARE(a->localPath, expected.isEmpty() ? QString() : relay(expected));
}

void TestIOS5MessageDb::symlinkedFoldersAreNotFollowedOutside()
{
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    IOS5SmsDbFixture f(folder());
    QVERIFY(QDir().mkpath(relay("var/mobile/Library/SMS")));
    QVERIFY(QFile::link(outside.path(), relay("var/mobile/Library/SMS/Parts")));
    QVERIFY(QFile::link(outside.path(), relay("var/mobile/Library/SMS/Attachments")));
    QFile secret(QDir(outside.path()).filePath("IMG.jpg"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();

    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 sms = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    f.addPiece(sms, 1, "image/jpeg", "a.jpg", "overwrite");
    const QString guid = QStringLiteral("11111111-2222-3333-4444-555555555555");
    f.addMadridAttachment(guid, "~/Library/SMS/Attachments/IMG.jpg", "image/jpeg");
    IOS5SmsDbFixture::IMessage m;
    m.attachmentInfo = guid.toLatin1();
    const qint64 imessage = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->messageMap.value(sms)->attachments.size(), 1);
    QVERIFY(set->messageMap.value(sms)->attachments.first()->localPath.isEmpty());
    QVERIFY(set->messageMap.value(imessage)->attachments.value(guid)->localPath.isEmpty());
    QCOMPARE(QDir(outside.path()).entryList(QDir::Files), QStringList { "IMG.jpg" });
    QCOMPARE(readFile(secret.fileName()), QStringLiteral("secret"));
}

void TestIOS5MessageDb::mmsContentLocationCannotEscape()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 sms = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    f.addPiece(sms, 4, "image/gif", "../../../../../evil.g/i\\f", "gif");
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, group);
    const _MsgAttachment *a = set->messageMap.value(sms)->attachments.first();
    const QString parts = relay("var/mobile/Library/SMS/Parts/01/");
    QVERIFY2(a->localPath.startsWith(parts), qPrintable(a->localPath));
    QCOMPARE(readFile(a->localPath), QStringLiteral("gif"));
    QVERIFY(!a->filename.contains(".."));
}

void TestIOS5MessageDb::missingOptionalTables_data()
{
    QTest::addColumn<int>("tables");
    QTest::newRow("no madrid_chat")
        << int(IOS5SmsDbFixture::MadridAttachment | IOS5SmsDbFixture::MsgPieces);
    QTest::newRow("no madrid_attachment")
        << int(IOS5SmsDbFixture::MadridChat | IOS5SmsDbFixture::MsgPieces);
    QTest::newRow("no msg_pieces")
        << int(IOS5SmsDbFixture::MadridChat | IOS5SmsDbFixture::MadridAttachment);
}

void TestIOS5MessageDb::missingOptionalTables()
{
    QFETCH(int, tables);

    const QString guid = QStringLiteral("11111111-2222-3333-4444-555555555555");
    IOS5SmsDbFixture f(folder(), tables);
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 sms = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    qint64 madrid = 0;
    if (tables & IOS5SmsDbFixture::MsgPieces)
        f.addPiece(sms, 1, "image/jpeg", "a.jpg", "jpeg");
    if (tables & IOS5SmsDbFixture::MadridChat)
        madrid = f.addMadridChat(
            "+12025550199", IOS5SmsDbFixture::participantsPlist({ "+12025550199" }));
    if (tables & IOS5SmsDbFixture::MadridAttachment)
        f.addMadridAttachment(guid, "~/Library/SMS/Attachments/a.jpg", "image/jpeg");
    IOS5SmsDbFixture::IMessage m;
    m.handle = "+12025550199";
    m.attachmentInfo = guid.toLatin1();
    const qint64 imessage = f.addIMessage(m);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    db.messages(set, -1);
    QCOMPARE(set->chatMap.size(), madrid ? 2 : 1);
    QVERIFY(set->chatMap.value(group));
    QCOMPARE(bool(chatWithService(*set, "iMessage")), madrid != 0);
    QCOMPARE(set->messageMap.value(sms)->attachments.size(),
        (tables & IOS5SmsDbFixture::MsgPieces) ? 1 : 0);
    QCOMPARE(set->messageMap.value(imessage)->attachments.size(),
        (tables & IOS5SmsDbFixture::MadridAttachment) ? 1 : 0);
    QCOMPARE(bool(set->messageMap.value(imessage)->chat), madrid != 0);
}

void TestIOS5MessageDb::repeatedLoadsDoNotRepeatText()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 text = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 1, 2));
    f.addPiece(text, 0, "text/plain", "t.txt", "Hi");
    const qint64 picture = f.addSms(makeSms(group, "+12015550123", "", kEpoch + 2, 2));
    f.addPiece(picture, 0, "image/jpeg", "a.jpg", "jpeg");
    f.addPiece(picture, 1, "image/jpeg", "b.jpg", "jpeg");
    f.addMadridChat("room", IOS5SmsDbFixture::participantsPlist({ "+1", "+2" }));
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, group);
    db.messages(set, 0);
    db.messages(set, group);
    db.chats(set);
    QCOMPARE(set->messageMap.value(text)->text, QStringLiteral("Hi"));
    QCOMPARE(set->messageMap.value(picture)->text, QString(kPlaceholder));
    QCOMPARE(set->messageMap.size(), 3);
    QCOMPARE(set->attachmentMap.size(), 2);
    QCOMPARE(set->chatMap.size(), 2);
    QCOMPARE(set->handleMap.size(), 3);
}

void TestIOS5MessageDb::staleNewestMessageKeepsGroup()
{
    IOS5SmsDbFixture f(folder());
    const qint64 group = f.addGroup(1);
    f.addMember(group, "+12015550123");
    const qint64 older = f.addSms(makeSms(group, "+12015550123", "a", kEpoch + 40, 2));
    f.addSms(makeSms(group, "+12015550123", "b", kEpoch + 30, 2));
    f.setNewestMessage(group, 999);
    const qint64 emptyGroup = f.addGroup(2);
    f.setNewestMessage(emptyGroup, 998);
    f.close();

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->chatMap.keys(), QList<qint64> { group });
    QCOMPARE(set->chatMap.value(group)->last, 40);
    QCOMPARE(set->chatMap.value(group)->messages.size(), 2);
    QCOMPARE(set->messageMap.value(older)->chat, set->chatMap.value(group));
}

void TestIOS5MessageDb::countVersionAndRecycledChats()
{
    IOS5SmsDbFixture f(folder());
    f.addSms(makeSms(0, "+12015550123", "a", kEpoch + 1, 2));
    f.addIMessage(IOS5SmsDbFixture::IMessage());
    f.close();
    QCOMPARE(AbsIOSMessageDb::smsDbVersion(IOS5SmsDbFixture::smsDbPath(folder())), 5);

    IOS5MessageDb db(QDir(folder()), kUsMcc);
    QCOMPARE(db.version(), 5);
    QCOMPARE(db.messageCount(), qint64(2));
    Sqlite3Cursor flags = db.queryThrow(Sqlite3Sql("select read(5), read(0), read('x')"));
    QVERIFY(flags.moveNext());
    QCOMPARE(flags.getInt(0), 1);
    QCOMPARE(flags.getInt(1), 0);
    QCOMPARE(flags.getInt(2), 0);
    QSharedPointer<MsgMessageSet> set;
    db.recycledChats(set);
    QVERIFY(set);
    QVERIFY(set->chatMap.isEmpty());
    QVERIFY(QFileInfo::exists(db.recycleDb().filePath()));

    IOS5MessageDb missing(QDir(m_home.path()), kUsMcc);
    QVERIFY_EXCEPTION_THROWN(missing.open(), std::exception);
    QVERIFY(!missing.isOpen());
}

QTEST_GUILESS_MAIN(TestIOS5MessageDb)
#include "tst_ios5messagedb.moc"
