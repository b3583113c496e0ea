#include "messages/ios6messagedb.h"
#include "platform/samplephones/fixturedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

_MsgMessage fullMessage(const QString &guid, qint32 date)
{
    _MsgMessage m;
    m.guid = guid;
    m.text = QStringLiteral("hi \U0001F600 %1").arg(guid);
    m.replace = 1;
    m.service_center = "centre";
    m.subject = "subject";
    m.country = "us";
    m.attributedBody = makeAttributedBody(makeGuid());
    m.version = 10;
    m.type = 1;
    m.service = "iMessage";
    m.account = "e:me@example.com";
    m.account_guid = makeGuid();
    m.error = 2;
    m.date = date;
    m.date_read = date + 1;
    m.date_delivered = date + 2;
    m.is_delivered = 1;
    m.is_finished = 1;
    m.is_emote = 0;
    m.is_from_me = 1;
    m.is_empty = 0;
    m.is_delayed = 1;
    m.is_auto_reply = 0;
    m.is_prepared = 1;
    m.is_read = 1;
    m.is_system_message = 0;
    m.is_sent = 1;
    m.has_dd_results = 1;
    m.is_service_message = 0;
    m.is_forward = 1;
    m.was_downgraded = 1;
    m.is_archive = 0;
    m.cache_roomnames = "room";
    m.was_data_detected = 1;
    m.was_deduplicated = 1;
    m.is_audio_message = 1;
    m.is_played = 1;
    m.date_played = date + 3;
    m.group_title = "title";
    m.group_action_type = 1;
    m.share_status = 1;
    m.share_direction = 1;
    m.is_expirable = 1;
    m.expire_state = 1;
    m.message_action_type = 1;
    return m;
}

void compareMessages(const _MsgMessage &a, const _MsgMessage &b)
{
    QCOMPARE(a.guid, b.guid);
    QCOMPARE(a.text, b.text);
    QCOMPARE(a.replace, b.replace);
    QCOMPARE(a.service_center, b.service_center);
    QCOMPARE(a.subject, b.subject);
    QCOMPARE(a.country, b.country);
    QCOMPARE(a.attributedBody, b.attributedBody);
    QCOMPARE(a.version, b.version);
    QCOMPARE(a.type, b.type);
    QCOMPARE(a.service, b.service);
    QCOMPARE(a.account, b.account);
    QCOMPARE(a.account_guid, b.account_guid);
    QCOMPARE(a.error, b.error);
    QCOMPARE(a.date, b.date);
    QCOMPARE(a.date_read, b.date_read);
    QCOMPARE(a.date_delivered, b.date_delivered);
    const qint32 _MsgMessage::*flags[] = {
        &_MsgMessage::is_delivered,
        &_MsgMessage::is_finished,
        &_MsgMessage::is_emote,
        &_MsgMessage::is_from_me,
        &_MsgMessage::is_empty,
        &_MsgMessage::is_delayed,
        &_MsgMessage::is_auto_reply,
        &_MsgMessage::is_prepared,
        &_MsgMessage::is_read,
        &_MsgMessage::is_system_message,
        &_MsgMessage::is_sent,
        &_MsgMessage::has_dd_results,
        &_MsgMessage::is_service_message,
        &_MsgMessage::is_forward,
        &_MsgMessage::was_downgraded,
        &_MsgMessage::is_archive,
        &_MsgMessage::was_data_detected,
        &_MsgMessage::was_deduplicated,
        &_MsgMessage::is_audio_message,
        &_MsgMessage::is_played,
        &_MsgMessage::date_played,
        &_MsgMessage::item_type,
        &_MsgMessage::group_action_type,
        &_MsgMessage::share_status,
        &_MsgMessage::share_direction,
        &_MsgMessage::is_expirable,
        &_MsgMessage::expire_state,
        &_MsgMessage::message_action_type,
    };
    for (auto flag : flags)
        QCOMPARE(a.*flag, b.*flag);
    QCOMPARE(a.cache_roomnames, b.cache_roomnames);
    QCOMPARE(a.group_title, b.group_title);
}

// A group chat of two handles, as a caller hands it to insertChat.
struct GroupChat
{
    _MsgHandle ann, bob;
    _MsgChat chat;

    GroupChat()
    {
        ann.id = "+12015550123";
        ann.country = "us";
        ann.service = "iMessage";
        ann.uncanonicalized_id = "2015550123";
        ann.contactName = "Ann Lee";
        ann.photo = "ann-photo";
        bob.id = "bob@example.com";
        bob.service = "iMessage";
        chat.guid = "iMessage;+;chat123456789012345678";
        chat.style = 43;
        chat.chat_identifier = "chat123456789012345678";
        chat.service_name = "iMessage";
        chat.account_id = makeGuid();
        chat.room_name = "room";
        chat.display_name = "Team";
        chat.handles.insert(ann.id, &ann);
        chat.handles.insert(bob.id, &bob);
    }
};

} // namespace

class TestIOS6MessageDbWrite : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writtenChatReadsBackTheSame();
    void joinsAreWrittenOnce();
    void logicHash_data();
    void logicHash();
    void otherHandle_data();
    void otherHandle();
    void chatLastOnlyGrows();
    void invalidServiceNameIsRejected_data();
    void invalidServiceNameIsRejected();
    void deviceLayoutTakesBasicColumnsOnly();
    void deletingMessagesRemovesJoinsAndEmptiedChat();
    void deletingWithoutChatKeepsChats();

private:
    QTemporaryDir m_home;
};

void TestIOS6MessageDbWrite::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestIOS6MessageDbWrite::writtenChatReadsBackTheSame()
{
    QTemporaryDir dir;
    GroupChat g;
    _MsgMessage first = fullMessage("11111111-2222-3333-4444-555555555555", 1000);
    _MsgMessage event = fullMessage("EVENT", 2000);
    event.item_type = 2;
    event.is_from_me = 0;
    _MsgAttachment image;
    image.guid = "AT-1";
    image.created_date = 999;
    image.start_date = 998;
    image.filename = "~/Library/SMS/Attachments/aa/IMG_1.jpg";
    image.uti = "public.jpeg";
    image.mime_type = "image/jpeg";
    image.transfer_state = 5;
    image.is_outgoing = 1;
    image.user_info = "info";
    image.transfer_name = "IMG_1.jpg";
    image.total_bytes = 5000000000LL;

    qint64 chatRowid, firstRowid, eventRowid, imageRowid, annRowid, bobRowid;
    {
        IOS6MessageDb db(QDir(dir.path()), "310", true);
        db.beginTransaction();
        chatRowid = db.insertChat(g.chat);
        annRowid = db.handleRowid(g.ann);
        bobRowid = db.handleRowid(g.bob);
        QVERIFY(annRowid > 0 && bobRowid > 0);
        QVERIFY(db.hasChatHandleJoin(chatRowid, annRowid));
        firstRowid = db.insertMessage(first, annRowid, 0, QString());
        db.addChatMessageJoin(chatRowid, firstRowid);
        db.updateChatLast(chatRowid, first.date);
        eventRowid = db.insertMessage(event, bobRowid, annRowid, QString());
        db.addChatMessageJoin(chatRowid, eventRowid);
        db.updateChatLast(chatRowid, event.date);
        db.setLastAddressedHandle(chatRowid, g.bob.id);
        imageRowid = db.insertAttachment(image);
        db.addMessageAttachmentJoin(firstRowid, imageRowid);
        QVERIFY(db.endTransaction(true));
    }

    IOS6MessageDb db(QDir(dir.path()), "310", true);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->chatMap.keys(), QList<qint64>({ chatRowid }));
    const _MsgChat *chat = set->chatMap.first();
    QCOMPARE(chat->guid, g.chat.guid);
    QCOMPARE(chat->style, 43);
    QCOMPARE(chat->state, 3);
    QCOMPARE(chat->account_id, g.chat.account_id);
    QCOMPARE(chat->chat_identifier, g.chat.chat_identifier);
    QCOMPARE(chat->service_name, QString("iMessage"));
    QCOMPARE(chat->room_name, QString("room"));
    QCOMPARE(chat->account_login, QString("E:"));
    QCOMPARE(chat->display_name, QString("Team"));
    QCOMPARE(chat->last_addressed_handle, g.bob.id);
    QCOMPARE(chat->last, 2000);
    QCOMPARE(chat->group_id, makeGuidFromData(g.chat.guid.toUtf8()));
    QCOMPARE(chat->handles.size(), 2);

    const _MsgHandle *ann = set->handleMap.value(annRowid);
    QCOMPARE(ann->id, g.ann.id);
    QCOMPARE(ann->country, QString("us"));
    QCOMPARE(ann->service, QString("iMessage"));
    QCOMPARE(ann->uncanonicalized_id, g.ann.uncanonicalized_id);
    QCOMPARE(ann->contactName, QString("Ann Lee"));
    QCOMPARE(ann->photo, QByteArray("ann-photo"));

    const _MsgMessage *readFirst = set->messageMap.value(firstRowid);
    compareMessages(*readFirst, first);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readFirst->handle, ann);
    QCOMPARE(readFirst->chat, chat);
    QCOMPARE(readFirst->other_handle, -1);
    QCOMPARE(readFirst->cache_has_attachments, 1);
    const _MsgMessage *readEvent = set->messageMap.value(eventRowid);
    compareMessages(*readEvent, event);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readEvent->otherHandle, ann);

    QCOMPARE(readFirst->attachments.size(), 1);
    const _MsgAttachment *readImage = readFirst->attachments.first();
    QCOMPARE(readImage->rowid, imageRowid);
    QCOMPARE(readImage->guid, image.guid);
    QCOMPARE(readImage->created_date, 999);
    QCOMPARE(readImage->start_date, 998);
    QCOMPARE(readImage->filename, image.filename);
    QCOMPARE(readImage->uti, image.uti);
    QCOMPARE(readImage->mime_type, image.mime_type);
    QCOMPARE(readImage->transfer_state, 5);
    QCOMPARE(readImage->is_outgoing, 1);
    QCOMPARE(readImage->user_info, QByteArray("info"));
    QCOMPARE(readImage->transfer_name, image.transfer_name);
    QCOMPARE(readImage->total_bytes, image.total_bytes);
    QCOMPARE(readImage->localPath,
        QDir(dir.path()).filePath("file-relay/var/mobile/Library/SMS/Attachments/aa/IMG_1.jpg"));
}

void TestIOS6MessageDbWrite::joinsAreWrittenOnce()
{
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    for (int i = 0; i < 2; ++i) {
        db.addChatHandleJoin(1, 2);
        db.addChatMessageJoin(1, 3);
        db.addMessageAttachmentJoin(3, 4);
    }
    QCOMPARE(firstInt64(db, "select count(*) from chat_handle_join"), 1);
    QCOMPARE(firstInt64(db, "select count(*) from chat_message_join"), 1);
    QCOMPARE(firstInt64(db, "select count(*) from message_attachment_join"), 1);
}

void TestIOS6MessageDbWrite::logicHash_data()
{
    QTest::addColumn<QString>("given");
    QTest::newRow("computed when empty") << QString();
    QTest::newRow("kept when given") << QString("0123456789abcdef0123456789abcdef");
}

void TestIOS6MessageDbWrite::logicHash()
{
    QFETCH(QString, given);
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    const _MsgMessage m = fullMessage("G", 10);
    const qint64 rowid = db.insertMessage(m, 0, 0, given);
    const QString stored
        = firstValue(db, QStringLiteral("select logic_hash from message where rowid=%1").arg(rowid))
              .toString();
    QCOMPARE(stored, given.isEmpty() ? m.logicHash() : given);
    if (given.isEmpty())
        QCOMPARE(db.messageRowidByLogicHash(m), rowid);
}

void TestIOS6MessageDbWrite::otherHandle_data()
{
    QTest::addColumn<qint64>("otherHandle");
    QTest::addColumn<qint64>("stored");
    QTest::newRow("a handle") << qint64(1) << qint64(1);
    QTest::newRow("none") << qint64(0) << qint64(-1);
    QTest::newRow("negative") << qint64(-1) << qint64(-1);
}

void TestIOS6MessageDbWrite::otherHandle()
{
    QFETCH(qint64, otherHandle);
    QFETCH(qint64, stored);
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    const qint64 rowid = db.insertMessage(fullMessage("G", 10), 5, otherHandle, QString());
    QCOMPARE(
        firstValue(db, QStringLiteral("select other_handle from message where rowid=%1").arg(rowid))
            .toLongLong(),
        stored);
    QCOMPARE(
        firstValue(db, QStringLiteral("select handle_id from message where rowid=%1").arg(rowid))
            .toLongLong(),
        qint64(5));
}

void TestIOS6MessageDbWrite::chatLastOnlyGrows()
{
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    _MsgChat chat;
    chat.guid = "SMS;-;+12015550123";
    const qint64 rowid = db.insertChat(chat);
    db.updateChatLast(rowid, 500);
    db.updateChatLast(rowid, 400);
    db.updateChatLast(rowid, 500);
    QCOMPARE(firstValue(db, "select _last from chat").toInt(), 500);
    db.updateChatLast(rowid, 600);
    QCOMPARE(firstValue(db, "select _last from chat").toInt(), 600);

    // A device table without _last is left alone, without an error.
    QTemporaryDir device;
    IOS6SmsDbFixture(device.path(), IOS6SmsDbFixture::Ios8).close();
    IOS6MessageDb deviceDb(QDir(device.path()), QString(), false);
    const qint64 deviceChat = deviceDb.insertChat(chat);
    deviceDb.updateChatLast(deviceChat, 600);
}

void TestIOS6MessageDbWrite::invalidServiceNameIsRejected_data()
{
    QTest::addColumn<QString>("service");
    QTest::newRow("lower case") << "sms";
    QTest::newRow("empty") << "";
    QTest::newRow("other") << "Jabber";
}

void TestIOS6MessageDbWrite::invalidServiceNameIsRejected()
{
    QFETCH(QString, service);
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    GroupChat g;
    g.chat.service_name = service;
    try {
        db.insertChat(g.chat);
        QFAIL("insertChat should refuse the chat");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
            "IOS6MessageDb::insertChat, invalid chat, service_name:" + service);
    }
    db.open();
    QCOMPARE(firstInt64(db, "select count(*) from chat"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from handle"), 0);
}

void TestIOS6MessageDbWrite::deviceLayoutTakesBasicColumnsOnly()
{
    QTemporaryDir dir;
    IOS6SmsDbFixture(dir.path(), IOS6SmsDbFixture::Ios6).close();
    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    GroupChat g;
    const qint64 chat = db.insertChat(g.chat);
    _MsgMessage m = fullMessage("G", 10);
    m.item_type = 1;
    const qint64 message = db.insertMessage(m, db.handleRowid(g.ann), 2, QString());
    db.addChatMessageJoin(chat, message);
    _MsgAttachment a;
    a.guid = "A";
    a.user_info = "info";
    a.transfer_name = "name";
    a.total_bytes = 5;
    db.addMessageAttachmentJoin(message, db.insertAttachment(a));

    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->messageMap.size(), 1);
    const _MsgMessage *read = set->messageMap.first();
    QCOMPARE(read->text, m.text);
    QCOMPARE(read->item_type, 0);
    QCOMPARE(read->handle->id, g.ann.id);
    QVERIFY(read->handle->contactName.isEmpty());
    QCOMPARE(read->attachments.size(), 1);
    QVERIFY(read->attachments.first()->user_info.isEmpty());
}

void TestIOS6MessageDbWrite::deletingMessagesRemovesJoinsAndEmptiedChat()
{
    QTemporaryDir dir;
    qint64 chatA, chatB, shared;
    {
        IOS6MessageDb db(QDir(dir.path()), QString(), true);
        _MsgHandle ann;
        ann.id = "+12015550123";
        _MsgHandle bob;
        bob.id = "+12015550124";
        _MsgChat a;
        a.guid = "SMS;-;" + ann.id;
        a.handles.insert(ann.id, &ann);
        _MsgChat b;
        b.guid = "SMS;-;" + bob.id;
        b.handles.insert(bob.id, &bob);
        chatA = db.insertChat(a);
        chatB = db.insertChat(b);
        const qint64 annRow = db.handleRowid(ann), bobRow = db.handleRowid(bob);
        _MsgAttachment own, common;
        own.guid = "OWN";
        common.guid = "COMMON";
        const qint64 ownRow = db.insertAttachment(own);
        shared = db.insertAttachment(common);
        const qint64 m1 = db.insertMessage(fullMessage("M1", 1), annRow, 0, QString());
        const qint64 m2 = db.insertMessage(fullMessage("M2", 2), annRow, 0, QString());
        const qint64 m3 = db.insertMessage(fullMessage("M3", 3), bobRow, 0, QString());
        db.addChatMessageJoin(chatA, m1);
        db.addChatMessageJoin(chatA, m2);
        db.addChatMessageJoin(chatB, m3);
        db.addMessageAttachmentJoin(m1, ownRow);
        db.addMessageAttachmentJoin(m1, shared);
        db.addMessageAttachmentJoin(m3, shared);
    }

    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    auto byGuid = [&set](const QString &guid) {
        for (_MsgMessage *m : set->messageMap) {
            if (m->guid == guid)
                return m;
        }
        return static_cast<_MsgMessage *>(nullptr);
    };

    db.deleteMessage(*byGuid("M1"));
    QCOMPARE(firstInt64(db, "select count(*) from message"), 2);
    QCOMPARE(firstInt64(db, "select count(*) from chat_message_join"), 2);
    QCOMPARE(firstInt64(db, "select count(*) from message_attachment_join"), 1);
    // Its own attachment goes, the one another message uses stays.
    QCOMPARE(firstInt64(db, "select count(*) from attachment"), 1);
    QCOMPARE(firstValue(db, "select guid from attachment").toString(), QString("COMMON"));
    QCOMPARE(firstInt64(db, "select count(*) from chat"), 2);

    db.deleteMessage(*byGuid("M2"));
    QCOMPARE(firstInt64(db, "select count(*) from message"), 1);
    QCOMPARE(firstValue(db, "select rowid from chat").toLongLong(), chatB);
    // The emptied chat takes its handle joins and its now unused handle along.
    QCOMPARE(firstInt64(db, "select count(*) from chat_handle_join"), 1);
    QCOMPARE(firstValue(db, "select id from handle").toString(), QString("+12015550124"));

    db.deleteMessage(*byGuid("M3"));
    QCOMPARE(firstInt64(db, "select count(*) from message"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from chat"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from attachment"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from handle"), 0);
    Q_UNUSED(chatA);
    Q_UNUSED(shared);
}

void TestIOS6MessageDbWrite::deletingWithoutChatKeepsChats()
{
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    _MsgChat chat;
    chat.guid = "SMS;-;+1";
    const qint64 chatRow = db.insertChat(chat);
    _MsgMessage m = fullMessage("ONLY", 1);
    m.rowid = db.insertMessage(m, 0, 0, QString());
    db.addChatMessageJoin(chatRow, m.rowid);
    db.deleteMessage(m);
    QCOMPARE(firstInt64(db, "select count(*) from message"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from chat_message_join"), 0);
    QCOMPARE(firstInt64(db, "select count(*) from chat"), 1);
}

QTEST_GUILESS_MAIN(TestIOS6MessageDbWrite)
#include "tst_ios6messagedb_write.moc"
