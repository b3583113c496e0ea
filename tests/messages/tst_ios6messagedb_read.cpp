#include "messages/ios6messagedb.h"
#include "platform/samplephones/addressbookfixture.h"
#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/fixturedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "shell/datafolder.h"
#include "support/cutphonesmsdb.h"
#include "support/localdbfixture.h"
#include "support/messagesetbuilder.h"
#include "support/messagesetdump.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(IOS6SmsDbFixture::Layout)

namespace {

const QString kUsMcc = QStringLiteral("310");

// Row ids of the synthetic device database.
struct Device
{
    qint64 ann = 0, gbNumber = 0, mail = 0;
    qint64 single = 0, group = 0, empty = 0;
    qint64 hello = 0, picture = 0, fromGb = 0, event = 0, hidden = 0;
    qint64 image = 0, pdf = 0, hiddenFile = 0;
};

Device buildDevice(const QString &folder, IOS6SmsDbFixture::Layout layout)
{
    Device d;
    IOS6SmsDbFixture f(folder, layout);
    d.ann = f.addHandle("(201) 555-0123", "SMS", "us");
    d.gbNumber = f.addHandle("07400 123456", "iMessage", "gb");
    d.mail = f.addHandle("Ann@Example.com", "iMessage", "");

    d.single = f.addChat("SMS;-;+12015550123", "+12015550123");
    f.joinChatHandle(d.single, d.ann);
    d.group = f.addChat(
        "iMessage;+;chat123456789012345678", "chat123456789012345678", "iMessage", 43, "Team");
    f.joinChatHandle(d.group, d.gbNumber);
    f.joinChatHandle(d.group, d.mail);
    d.empty = f.addChat("SMS;-;+12025550199", "+12025550199");

    IOS6SmsDbFixture::Message m;
    m.guid = "M-HELLO";
    m.text = "hello";
    m.handle = d.ann;
    m.date = 100;
    d.hello = f.addMessage(m);
    f.joinChatMessage(d.single, d.hello);

    m.guid = "M-PICTURE";
    m.text = QString(QChar(0xFFFC));
    m.isFromMe = 1;
    m.date = 200;
    d.picture = f.addMessage(m);
    f.joinChatMessage(d.single, d.picture);
    d.image = f.addAttachment("A-IMAGE", "~/Library/SMS/Attachments/aa/IMG_1.jpg", "image/jpeg");
    f.joinMessageAttachment(d.picture, d.image);
    f.writeFile("var/mobile/Library/SMS/Attachments/aa/IMG_1.jpg", "jpeg");

    m.guid = "M-GB";
    m.text = "from gb";
    m.isFromMe = 0;
    m.handle = d.gbNumber;
    m.service = "iMessage";
    m.date = 300;
    d.fromGb = f.addMessage(m);
    f.joinChatMessage(d.group, d.fromGb);
    d.pdf = f.addAttachment(
        "A-PDF", "/var/mobile/Library/SMS/Attachments/bb/doc.pdf", "application/pdf");
    f.joinMessageAttachment(d.fromGb, d.pdf);

    m.guid = "M-EVENT";
    m.text.clear();
    m.date = 400;
    m.itemType = 1;
    m.otherHandle = d.mail;
    d.event = f.addMessage(m);
    f.joinChatMessage(d.group, d.event);

    m.guid = "M-HIDDEN";
    m.date = 500;
    m.itemType = 4;
    m.otherHandle = 0;
    d.hidden = f.addMessage(m);
    f.joinChatMessage(d.group, d.hidden);
    d.hiddenFile
        = f.addAttachment("A-HIDDEN", "~/Library/SMS/Attachments/cc/loc.vcf", "text/x-vlocation");
    f.joinMessageAttachment(d.hidden, d.hiddenFile);
    return d;
}

// Rows a load of all chats must treat as a chat's load does: a message in two chats, one in
// none, with an attachment, and a join to a chat that does not exist.
void addEdgeRows(Sqlite3DB &db, qint64 chat, qint64 otherChat)
{
    // Current phones want a second guid for each attachment.
    const bool originalGuid = !firstValue(
        db, "select 1 from pragma_table_info('attachment') where name='original_guid'")
                                   .isNull();
    db.executeThrow(Sqlite3Sql("insert into message(guid, text, date) values('E-TWO', 'two', 7)"));
    const qint64 two = db.lastInsertId();
    db.executeThrow(Sqlite3Sql("insert into chat_message_join(chat_id, message_id) values(?,?),"
                               "(?,?)")
                        .addInt64Param(chat)
                        .addInt64Param(two)
                        .addInt64Param(otherChat)
                        .addInt64Param(two));
    db.executeThrow(Sqlite3Sql("insert into message(guid, text, date) values('E-NONE', 'x', 8)"));
    const qint64 none = db.lastInsertId();
    db.executeThrow(Sqlite3Sql(originalGuid
            ? "insert into attachment(guid, filename, mime_type, original_guid) values("
              "'E-FILE', '~/Library/SMS/Attachments/ee/f.jpg', 'image/jpeg', 'E-FILE')"
            : "insert into attachment(guid, filename, mime_type) values("
              "'E-FILE', '~/Library/SMS/Attachments/ee/f.jpg', 'image/jpeg')"));
    db.executeThrow(Sqlite3Sql("insert into message_attachment_join(message_id, attachment_id) "
                               "values(?,?)")
                        .addInt64Param(none)
                        .addInt64Param(db.lastInsertId()));
}

void buildLayout(const QString &folder, const QString &layout);

// The layout `base` with some of its rows changed.
void buildChanged(const QString &folder, const QString &base, const QList<Sqlite3Sql> &changes)
{
    buildLayout(folder, base);
    FixtureDb file(IOS6SmsDbFixture::smsDbPath(folder));
    for (const Sqlite3Sql &sql : changes)
        file.db().executeThrow(sql);
}

void buildLayout(const QString &folder, const QString &layout)
{
    if (layout == "local") {
        MessageSetBuilder builder(QDir(folder).filePath("files"));
        const MsgMessageList sample = buildSampleChats(builder);
        LocalDbFixture local(folder);
        local.write(sample);
        local.writeAttachmentFiles(sample);
        return;
    }
    if (layout == "many messages") {
        // Enough to be read in slices on threads of their own; some messages in two chats,
        // some in none, some hidden events, on every side of the slices' bounds.
        CurrentPhoneSmsDb phone(folder);
        QVERIFY(phone.db().beginTran());
        const ThreePhoneChats three = addThreePhoneChats(phone);
        const qint64 ann = three.ann;
        const qint64 bob = three.bob;
        const QList<qint64> &chats = three.chats;
        CurrentPhoneSmsDb::Message m;
        for (int i = 0; i < 24000; ++i) {
            m.handle = i % 2 ? ann : bob;
            m.text = QStringLiteral("words %1").arg(i);
            m.textInBodyOnly = i % 3 == 0;
            m.date = 500000000 + i;
            const qint64 message = phone.addMessage(chats.at(i % 3), m);
            if (i % 7 == 0)
                phone.db().executeThrow(
                    Sqlite3Sql("insert into chat_message_join(chat_id, message_id) values(?,?)")
                        .addInt64Param(chats.at((i + 1) % 3))
                        .addInt64Param(message));
            if (i % 11 == 0)
                phone.db().executeThrow(
                    Sqlite3Sql("delete from chat_message_join where message_id=?")
                        .addInt64Param(message));
            if (i % 13 == 0)
                phone.db().executeThrow(Sqlite3Sql("update message set item_type=4 where rowid=?")
                                            .addInt64Param(message));
            if (i % 997 == 0)
                phone.addAttachment(message, QStringLiteral("IMG_%1.jpeg").arg(i), "image/jpeg",
                    QByteArray("jpeg"), m.date);
        }
        // One file sent in two messages far apart: two readers see its rows.
        phone.db().executeThrow(Sqlite3Sql(
            "insert into message_attachment_join(message_id, attachment_id) select "
            "max(rowid), (select rowid from attachment where filename like '%/IMG_997.jpeg') "
            "from message"));
        addEdgeRows(phone.db(), chats.at(0), chats.at(2));
        QVERIFY(phone.db().commitTran());
        return;
    }
    const qint64 least = std::numeric_limits<qint64>::min();
    const qint64 largest = std::numeric_limits<qint64>::max();
    if (layout == "join row ids far apart") {
        // Read in parts by row id, the largest near the end of the numbers.
        buildChanged(folder, "current phone",
            { Sqlite3Sql(
                  "update chat_message_join set rowid = rowid + 1000000 where rowid % 3 = 1"),
                Sqlite3Sql("update chat_message_join set rowid = 9223372036854775000 where rowid = "
                           "(select max(rowid) from chat_message_join)") });
        return;
    }
    if (layout == "join row at the least row id") {
        // Read in parts by row id: the first part begins at the least number there is.
        buildChanged(folder, "current phone",
            { Sqlite3Sql("update chat_message_join set rowid = 1000000 where rowid = "
                         "(select max(rowid) from chat_message_join)"),
                Sqlite3Sql("update chat_message_join set rowid = ? where rowid = "
                           "(select min(rowid) from chat_message_join)")
                    .addInt64Param(least) });
        return;
    }
    if (layout == "message row ids at both ends") {
        // Messages at the largest row ids there are, and a join row naming one below zero
        // that no message has: nearly all the numbers lie between them.
        QList<Sqlite3Sql> changes;
        for (const auto &[from, to] :
            { std::pair<qint64, qint64> { 3, largest }, { 8, largest - 2 } }) {
            for (const char *sql : { "update message set rowid = ? where rowid = ?",
                     "update chat_message_join set message_id = ? where message_id = ?",
                     "update message_attachment_join set message_id = ? where message_id = ?" })
                changes << Sqlite3Sql(sql).addInt64Param(to).addInt64Param(from);
        }
        changes << Sqlite3Sql(
            "insert into chat_message_join(chat_id, message_id) select min(rowid), -1 from chat");
        buildChanged(folder, "join row ids far apart", changes);
        return;
    }
    if (layout == "message row ids below one" || layout == "many messages, row ids below one") {
        // Row ids that phones never give, but a file may hold: no sign of damage by themselves.
        QList<Sqlite3Sql> changes;
        for (const auto &[from, to] : { std::pair<qint64, qint64> { 3, 0 }, { 8, -7 } }) {
            for (const char *sql : { "update message set rowid = ? where rowid = ?",
                     "update chat_message_join set message_id = ? where message_id = ?",
                     "update message_attachment_join set message_id = ? where message_id = ?" })
                changes << Sqlite3Sql(sql).addInt64Param(to).addInt64Param(from);
        }
        buildChanged(
            folder, layout.startsWith("many") ? "many messages" : "current phone", changes);
        return;
    }
    if (layout == "many join rows at the least message row id") {
        // Pairs of chats that do not exist with the least row id there is, no message's:
        // enough for a slice of the message table to end where they do.
        buildChanged(folder, "many messages",
            { Sqlite3Sql("with recursive n(k) as (select 1 union all select k + 1 from n where "
                         "k < 15000) insert into chat_message_join(chat_id, message_id) select "
                         "1000000 + k, ? from n")
                    .addInt64Param(least) });
        return;
    }
    if (layout == "current phone") {
        CurrentPhoneSmsDb phone(folder);
        const qint64 ann = phone.addHandle("+12015550123");
        const qint64 bob = phone.addHandle("+12015550199", "SMS");
        const qint64 single = phone.addChat("+12015550123", { ann });
        const qint64 group = phone.addChat("chat123456789012345678", { ann, bob }, "iMessage", "T");
        CurrentPhoneSmsDb::Message m;
        for (int i = 0; i < 12; ++i) {
            m.handle = i % 2 ? ann : bob;
            m.text = QStringLiteral("words %1").arg(i);
            m.textInBodyOnly = i % 3 == 0;
            m.fromMe = i % 4 == 0;
            m.service = i % 2 ? "iMessage" : "SMS";
            m.date = 500000000 + i;
            const qint64 message = phone.addMessage(i % 2 ? single : group, m);
            if (i % 5 == 0)
                phone.addAttachment(message, QStringLiteral("IMG_%1.jpeg").arg(i), "image/jpeg",
                    i == 5 ? QByteArray() : QByteArray("jpeg"), m.date);
        }
        addEdgeRows(phone.db(), single, group);
        return;
    }
    const Device d
        = buildDevice(folder, layout == "iOS 6" ? IOS6SmsDbFixture::Ios6 : IOS6SmsDbFixture::Ios8);
    addEdgeRows(FixtureDb(IOS6SmsDbFixture::smsDbPath(folder)).db(), d.single, d.group);
}

} // namespace

class TestIOS6MessageDbRead : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsDeviceDatabase_data();
    void readsDeviceDatabase();
    void messagesOfTwoChatsInTurnKeepOneRecordEach();
    void messageInTwoChatsIsOneRecord();
    void storedContactNameFollowsAddressBook_data();
    void storedContactNameFollowsAddressBook();
    void attachmentPathStaysInsideFileRelay_data();
    void attachmentPathStaysInsideFileRelay();
    void attachmentLinkLeadingOutsideIsRefused();
    void lookupsFindRowsOrAnswerZero();
    void textFromDatabaseIsNeverSql();
    void repeatedTextsKeepNullApartFromEmpty();
    void allChatsAtOnceEqualChatByChat_data();
    void allChatsAtOnceEqualChatByChat();
    void loadedSetOutlivesDatabaseAndCopiesOutliveSet_data();
    void loadedSetOutlivesDatabaseAndCopiesOutliveSet();
    void allChatsIntoAPartlyLoadedSetEqualAFreshLoad_data();
    void allChatsIntoAPartlyLoadedSetEqualAFreshLoad();
    void changeAfterTheChatsAreListedIsLoaded_data();
    void changeAfterTheChatsAreListedIsLoaded();
    void cutFileLoadsWhatItCanAndSaysItIsDamaged_data();
    void cutFileLoadsWhatItCanAndSaysItIsDamaged();
    void unreadablePageEndsTheMessagesWithTheDamageError_data();
    void unreadablePageEndsTheMessagesWithTheDamageError();

private:
    QTemporaryDir m_home;
};

void TestIOS6MessageDbRead::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestIOS6MessageDbRead::readsDeviceDatabase_data()
{
    QTest::addColumn<IOS6SmsDbFixture::Layout>("layout");
    QTest::newRow("iOS 6 columns") << IOS6SmsDbFixture::Ios6;
    QTest::newRow("later columns") << IOS6SmsDbFixture::Ios8;
}

void TestIOS6MessageDbRead::readsDeviceDatabase()
{
    QFETCH(IOS6SmsDbFixture::Layout, layout);
    const bool later = layout == IOS6SmsDbFixture::Ios8;
    QTemporaryDir dir;
    const Device d = buildDevice(dir.path(), layout);
    AddressBookFixture book(dir.path());
    book.addPerson(1, "Ann", "", "Lee", { "201-555-0123" }, "photo");
    book.write();

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QVERIFY(set);

    QCOMPARE(set->chatMap.size(), 3);
    QCOMPARE(set->handleMap.size(), 3);
    // Rows of item_type 4 are left out where the column exists.
    QCOMPARE(set->messageMap.keys(),
        later ? QList<qint64>({ d.hello, d.picture, d.fromGb, d.event })
              : QList<qint64>({ d.hello, d.picture, d.fromGb, d.event, d.hidden }));
    QCOMPARE(set->attachmentMap.size(), 3);

    const _MsgHandle *ann = set->handleMap.value(d.ann);
    QCOMPARE(ann->id, QString("+12015550123"));
    QCOMPARE(ann->country, QString("us"));
    QCOMPARE(ann->contactName, QString("Ann Lee"));
    QCOMPARE(ann->photo, QByteArray("photo"));
    QCOMPARE(set->handleMap.value(d.gbNumber)->id, QString("+447400123456"));
    QVERIFY(set->handleMap.value(d.gbNumber)->contactName.isEmpty());
    // An empty country takes the device's own.
    const _MsgHandle *mail = set->handleMap.value(d.mail);
    QCOMPARE(mail->country, QString("us"));
    QCOMPARE(mail->id, QString("ann@example.com"));

    const _MsgChat *single = set->chatMap.value(d.single);
    const _MsgChat *group = set->chatMap.value(d.group);
    QCOMPARE(single->guid, QString("SMS;-;+12015550123"));
    QCOMPARE(single->handles.keys(), QStringList({ QString::number(d.ann) }));
    QCOMPARE(group->handles.size(), 2);
    QCOMPARE(group->style, 43);
    QCOMPARE(group->display_name, later ? QString("Team") : QString());
    // Without a _last column the newest message date stands in.
    QCOMPARE(single->last, 200);
    QCOMPARE(group->last, 500);
    QCOMPARE(set->chatMap.value(d.empty)->last, 0);
    QCOMPARE(single->messages.size(), 2);

    const _MsgMessage *hello = set->messageMap.value(d.hello);
    QCOMPARE(hello->srcRowid, d.hello);
    QCOMPARE(hello->rowid, d.hello);
    QCOMPARE(hello->text, QString("hello"));
    QCOMPARE(hello->handle, ann);
    QCOMPARE(hello->chat, single);
    QCOMPARE(hello->country, QString("us"));
    QCOMPARE(hello->version, 10);

    const _MsgMessage *picture = set->messageMap.value(d.picture);
    QCOMPARE(picture->is_from_me, 1);
    QCOMPARE(picture->attachments.keys(), QStringList({ QString::number(d.image) }));
    const _MsgAttachment *image = picture->attachments.first();
    QCOMPARE(image->localPath,
        QDir(dir.path()).filePath("file-relay/var/mobile/Library/SMS/Attachments/aa/IMG_1.jpg"));
    QVERIFY(QFile::exists(image->localPath));
    QCOMPARE(image->mime_type, QString("image/jpeg"));

    const _MsgAttachment *pdf = set->messageMap.value(d.fromGb)->attachments.first();
    QCOMPARE(pdf->localPath,
        QDir(dir.path()).filePath("file-relay/var/mobile/Library/SMS/Attachments/bb/doc.pdf"));

    const _MsgMessage *event = set->messageMap.value(d.event);
    QCOMPARE(event->item_type, later ? 1 : 0);
    QCOMPARE(event->otherHandle, later ? mail : nullptr);
    // Without the column the value reads as 0, not the record's default.
    QCOMPARE(event->other_handle, later ? int(d.mail) : 0);

    // The attachment of a hidden row is known but linked to no message.
    const _MsgAttachment *hiddenFile = set->attachmentMap.value(d.hiddenFile);
    QVERIFY(hiddenFile);
    if (later) {
        for (const _MsgMessage *m : set->messageMap)
            QVERIFY(!m->attachments.values().contains(const_cast<_MsgAttachment *>(hiddenFile)));
    }
    QCOMPARE(db.messageCount(), later ? 4 : 5);
}

void TestIOS6MessageDbRead::messagesOfTwoChatsInTurnKeepOneRecordEach()
{
    QTemporaryDir dir;
    const Device d = buildDevice(dir.path(), IOS6SmsDbFixture::Ios8);
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);

    QSharedPointer<MsgMessageSet> set;
    db.messages(set, d.single);
    QCOMPARE(set->messageMap.keys(), QList<qint64>({ d.hello, d.picture }));
    QCOMPARE(set->attachmentMap.keys(), QList<qint64>({ d.image }));
    const _MsgChat *single = set->chatMap.value(d.single);
    const _MsgHandle *ann = set->handleMap.value(d.ann);
    const _MsgMessage *hello = set->messageMap.value(d.hello);

    db.messages(set, d.group);
    QCOMPARE(set->chatMap.size(), 3);
    QCOMPARE(set->handleMap.size(), 3);
    QCOMPARE(set->messageMap.keys(), QList<qint64>({ d.hello, d.picture, d.fromGb, d.event }));
    // Records already loaded are kept, not replaced.
    QCOMPARE(set->chatMap.value(d.single), single);
    QCOMPARE(set->handleMap.value(d.ann), ann);
    QCOMPARE(set->messageMap.value(d.hello), hello);
    QCOMPARE(single->messages.size(), 2);

    db.messages(set, 0);
    QCOMPARE(set->messageMap.size(), 4);
    QCOMPARE(single->messages.size(), 2);
    QCOMPARE(set->chatMap.value(d.group)->messages.size(), 2);
}

void TestIOS6MessageDbRead::messageInTwoChatsIsOneRecord()
{
    QTemporaryDir dir;
    IOS6SmsDbFixture f(dir.path(), IOS6SmsDbFixture::Ios6);
    const qint64 h = f.addHandle("+12015550123");
    const qint64 a = f.addChat("SMS;-;+12015550123", "+12015550123");
    const qint64 b = f.addChat("iMessage;-;+12015550123", "+12015550123", "iMessage");
    f.joinChatHandle(a, h);
    f.joinChatHandle(b, h);
    IOS6SmsDbFixture::Message m;
    m.guid = "SHARED";
    m.handle = h;
    const qint64 shared = f.addMessage(m);
    f.joinChatMessage(a, shared);
    f.joinChatMessage(b, shared);
    f.close();

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    QCOMPARE(set->messageMap.size(), 1);
    _MsgMessage *message = set->messageMap.value(shared);
    QCOMPARE(set->chatMap.value(a)->messages.value(QString::number(shared)), message);
    QCOMPARE(set->chatMap.value(b)->messages.value(QString::number(shared)), message);
    QVERIFY(message->chat == set->chatMap.value(a) || message->chat == set->chatMap.value(b));
}

void TestIOS6MessageDbRead::storedContactNameFollowsAddressBook_data()
{
    QTest::addColumn<bool>("withAddressBook");
    QTest::addColumn<QString>("expected");
    QTest::newRow("address book without a match") << true << QString();
    QTest::newRow("no address book") << false << QString("Stored Name");
}

void TestIOS6MessageDbRead::storedContactNameFollowsAddressBook()
{
    QFETCH(bool, withAddressBook);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    {
        IOS6MessageDb db(QDir(dir.path()), kUsMcc, true);
        _MsgHandle handle;
        handle.id = "+12015550123";
        handle.country = "us";
        handle.contactName = "Stored Name";
        _MsgChat chat;
        chat.guid = "SMS;-;+12015550123";
        chat.chat_identifier = handle.id;
        chat.handles.insert(handle.id, &handle);
        db.insertChat(chat);
    }
    if (withAddressBook) {
        AddressBookFixture book(dir.path());
        book.addPerson(1, "Bob", "", "Ray", { "+12025550100" });
        book.write();
    }
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, true);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    QCOMPARE(set->handleMap.size(), 1);
    QCOMPARE(set->handleMap.first()->contactName, expected);
}

void TestIOS6MessageDbRead::attachmentPathStaysInsideFileRelay_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("expected"); // relative to file-relay; "-" for none

    QTest::newRow("home") << "~/Library/SMS/Attachments/x.jpg"
                          << "var/mobile/Library/SMS/Attachments/x.jpg";
    QTest::newRow("absolute") << "/var/mobile/Library/SMS/Attachments/x.jpg"
                              << "var/mobile/Library/SMS/Attachments/x.jpg";
    QTest::newRow("reserved characters") << "~/Library/a:b*c?d\"e<f>g|h.jpg"
                                         << "var/mobile/Library/abcdefgh.jpg";
    QTest::newRow("backslash stays") << "~/Library/a\\b.jpg"
                                     << "var/mobile/Library/a\\b.jpg";
    QTest::newRow("double slash stays inside") << "//etc/passwd"
                                               << "etc/passwd";
    QTest::newRow("dot dot inside") << "~/Library/SMS/../SMS/x.jpg"
                                    << "var/mobile/Library/SMS/x.jpg";
    QTest::newRow("empty") << ""
                           << "-";
    QTest::newRow("only a slash") << "/"
                                  << "-";
    QTest::newRow("parent of the tree") << "../../../etc/passwd"
                                        << "-";
    QTest::newRow("home then parents") << "~/../../../../etc/passwd"
                                       << "-";
    QTest::newRow("absolute then parents") << "/var/mobile/../../../secret"
                                           << "-";
    QTest::newRow("the tree itself") << "var/.."
                                     << "-";
    QTest::newRow("sibling with same prefix") << "../file-relay-other/x"
                                              << "-";
}

void TestIOS6MessageDbRead::attachmentPathStaysInsideFileRelay()
{
    QFETCH(QString, filename);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    const QString path = db.attachmentLocalPath(filename);
    if (expected == "-")
        QCOMPARE(path, QString());
    else
        QCOMPARE(path, QDir(dir.path()).filePath("file-relay/" + expected));
}

void TestIOS6MessageDbRead::attachmentLinkLeadingOutsideIsRefused()
{
    QTemporaryDir dir;
    IOS6SmsDbFixture f(dir.path(), IOS6SmsDbFixture::Ios8);
    QFile secret(dir.filePath("secret.txt"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();
    const QString linkFolder = dir.filePath("file-relay/var/mobile/Library/SMS/Attachments");
    QVERIFY(QDir().mkpath(linkFolder));
    QVERIFY(QFile::link(dir.filePath("secret.txt"), linkFolder + "/link.txt"));
    f.writeFile("var/mobile/Library/SMS/Attachments/real.txt", "real");

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QCOMPARE(db.attachmentLocalPath("~/Library/SMS/Attachments/link.txt"), QString());
    QCOMPARE(
        db.attachmentLocalPath("~/Library/SMS/Attachments/real.txt"), linkFolder + "/real.txt");
}

void TestIOS6MessageDbRead::lookupsFindRowsOrAnswerZero()
{
    QTemporaryDir dir;
    const Device d = buildDevice(dir.path(), IOS6SmsDbFixture::Ios8);
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);

    QCOMPARE(db.messageRowidByGuid("M-GB"), d.fromGb);
    QCOMPARE(db.messageRowidByGuid("nope"), qint64(0));
    QCOMPARE(db.chatRowidByGuid("SMS;-;+12015550123"), d.single);
    QCOMPARE(db.chatRowidByGuid("SMS;-;nope"), qint64(0));
    _MsgAttachment attachment;
    attachment.guid = "A-PDF";
    QCOMPARE(db.attachmentRowidByGuid(attachment), d.pdf);
    attachment.guid = "nope";
    QCOMPARE(db.attachmentRowidByGuid(attachment), qint64(0));
    _MsgHandle handle;
    handle.id = "07400 123456";
    handle.service = "iMessage";
    QCOMPARE(db.handleRowid(handle), d.gbNumber);
    handle.service = "SMS";
    QCOMPARE(db.handleRowid(handle), qint64(0));
    QVERIFY(db.hasChatHandleJoin(d.group, d.mail));
    QVERIFY(!db.hasChatHandleJoin(d.single, d.mail));
    // A device database has no logic_hash column to search.
    _MsgMessage message;
    message.guid = "M-GB";
    QCOMPARE(db.messageRowidByLogicHash(message), qint64(0));
}

void TestIOS6MessageDbRead::textFromDatabaseIsNeverSql()
{
    QTemporaryDir dir;
    const QString hostile = "x'); DROP TABLE message; --";
    IOS6SmsDbFixture f(dir.path(), IOS6SmsDbFixture::Ios8);
    const qint64 h = f.addHandle(hostile, "SMS", hostile);
    const qint64 c = f.addChat(hostile, hostile);
    f.joinChatHandle(c, h);
    IOS6SmsDbFixture::Message m;
    m.guid = hostile;
    m.text = hostile;
    m.handle = h;
    f.joinChatMessage(c, f.addMessage(m));
    f.close();

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, c);
    QCOMPARE(set->messageMap.size(), 1);
    QCOMPARE(set->messageMap.first()->text, hostile);
    QCOMPARE(db.messageRowidByGuid(hostile), set->messageMap.firstKey());
    QCOMPARE(db.chatRowidByGuid(hostile), c);
}

void TestIOS6MessageDbRead::repeatedTextsKeepNullApartFromEmpty()
{
    QTemporaryDir dir;
    const Device d = buildDevice(dir.path(), IOS6SmsDbFixture::Ios8);
    // Columns whose few values repeat from row to row, read once for many rows: a NULL must
    // not become '' (nor '' NULL) when the next row is written back.
    FixtureDb(IOS6SmsDbFixture::smsDbPath(dir.path()))
        .exec(QStringLiteral("update message set subject='', account=NULL where rowid=%1;"
                             "update message set subject=NULL, account='' where rowid=%2;"
                             "update message set subject='', account='e:' where rowid=%3;")
                  .arg(d.hello)
                  .arg(d.picture)
                  .arg(d.fromGb));
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, 0);
    const auto shape = [&](qint64 rowid) {
        const _MsgMessage *m = set->messageMap.value(rowid);
        const auto of
            = [](const QString &t) { return t.isNull() ? QString("null") : "'" + t + "'"; };
        return of(m->subject) + ' ' + of(m->account);
    };
    QCOMPARE(shape(d.hello), QString("'' null"));
    QCOMPARE(shape(d.picture), QString("null ''"));
    QCOMPARE(shape(d.fromGb), QString("'' 'e:'"));
}

void TestIOS6MessageDbRead::allChatsAtOnceEqualChatByChat_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("iOS 6") << "iOS 6";
    QTest::newRow("later columns") << "later";
    QTest::newRow("current phone") << "current phone";
    QTest::newRow("local database") << "local";
    QTest::newRow("many messages") << "many messages";
    QTest::newRow("join row ids far apart") << "join row ids far apart";
    QTest::newRow("join row at the least row id") << "join row at the least row id";
    QTest::newRow("message row ids at both ends") << "message row ids at both ends";
    QTest::newRow("many join rows at the least message row id")
        << "many join rows at the least message row id";
    QTest::newRow("message row ids below one") << "message row ids below one";
    QTest::newRow("many messages, row ids below one") << "many messages, row ids below one";
}

void TestIOS6MessageDbRead::allChatsAtOnceEqualChatByChat()
{
    QFETCH(QString, layout);
    QTemporaryDir dir;
    buildLayout(dir.path(), layout);
    const bool local = layout == "local";

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, local);
    QSharedPointer<MsgMessageSet> all;
    db.messages(all, 0);
    QSharedPointer<MsgMessageSet> byChat;
    db.chats(byChat);
    for (qint64 chat : byChat->chatMap.keys())
        db.messages(byChat, chat);

    QVERIFY(all->messageMap.size() > 4);
    QVERIFY(!all->attachmentMap.isEmpty());
    const QStringList lines = messageSetLines(*all);
    QCOMPARE(lines, messageSetLines(*byChat));
    if (!local) {
        QCOMPARE(lines.filter("E-NONE").size(), 0);
        QCOMPARE(lines.filter("E-FILE").size(), 0);
        QCOMPARE(lines.filter("E-TWO").size(), 1);
    }
}

void TestIOS6MessageDbRead::loadedSetOutlivesDatabaseAndCopiesOutliveSet_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("one reader") << "current phone";
    QTest::newRow("slices on threads") << "many messages";
}

void TestIOS6MessageDbRead::loadedSetOutlivesDatabaseAndCopiesOutliveSet()
{
    QFETCH(QString, layout);
    QTemporaryDir dir;
    buildLayout(dir.path(), layout);
    QSharedPointer<MsgMessageSet> set;
    QStringList before;
    {
        IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
        db.messages(set, 0);
        before = messageSetLines(*set);
    }
    QCOMPARE(messageSetLines(*set), before);

    // A record added by other code with new sits beside those the loader made.
    auto *added = new _MsgMessage;
    added->guid = "ADDED";
    set->messageMap.insert(-1, added);
    const QString words = QString("words %1").arg(layout == "many messages" ? 23999 : 11);
    const auto found = std::find_if(set->messageMap.cbegin(), set->messageMap.cend(),
        [&](const _MsgMessage *m) { return m->text == words; });
    QVERIFY(found != set->messageMap.cend());
    _MsgMessage *last = *found;
    QVERIFY(last->chat && last->handle);
    const _MsgMessage copy = *last;
    const QString key = last->chat->messages.key(last);
    const HandleItem item { true, *last->handle };
    set.reset();

    QCOMPARE(copy.text, words);
    QVERIFY(!copy.attributedBody.isEmpty());
    QCOMPARE(key, QString::number(copy.rowid));
    QVERIFY(item.handle.id.startsWith("+1201555"));
}

void TestIOS6MessageDbRead::allChatsIntoAPartlyLoadedSetEqualAFreshLoad_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("one reader") << "current phone";
    QTest::newRow("slices on threads") << "many messages";
}

void TestIOS6MessageDbRead::allChatsIntoAPartlyLoadedSetEqualAFreshLoad()
{
    QFETCH(QString, layout);
    QTemporaryDir dir;
    buildLayout(dir.path(), layout);
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> fresh;
    db.messages(fresh, 0);

    QSharedPointer<MsgMessageSet> partly;
    db.chats(partly);
    const qint64 firstChat = partly->chatMap.firstKey();
    db.messages(partly, firstChat);
    const _MsgMessage *loaded = partly->chatMap.first()->messages.first();
    db.messages(partly, 0);
    QCOMPARE(messageSetLines(*partly), messageSetLines(*fresh));
    // Records already in the set stay the ones its chats list.
    QCOMPARE(partly->messageMap.value(loaded->rowid), loaded);

    // An attachment of two messages is one record, listed under both.
    QHash<const _MsgAttachment *, int> listings;
    for (const _MsgMessage *message : qAsConst(fresh->messageMap)) {
        for (const _MsgAttachment *attachment : message->attachments) {
            QCOMPARE(fresh->attachmentMap.value(attachment->rowid), attachment);
            ++listings[attachment];
        }
    }
    const QList<int> counts = listings.values();
    QCOMPARE(*std::max_element(counts.cbegin(), counts.cend()), layout == "many messages" ? 2 : 1);
}

void TestIOS6MessageDbRead::changeAfterTheChatsAreListedIsLoaded_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("writer");
    // A large join is read by several connections of their own.
    for (const char *layout : { "iOS 6", "many messages" }) {
        for (const char *writer : { "this connection", "another connection", "open transaction" })
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(layout, writer)))
                << layout << writer;
    }
}

void TestIOS6MessageDbRead::changeAfterTheChatsAreListedIsLoaded()
{
    QFETCH(QString, layout);
    QFETCH(QString, writer);
    QTemporaryDir dir;
    buildLayout(dir.path(), layout);
    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    db.chats(set);
    const qint64 chat = set->chatMap.firstKey();

    // Listing the chats read the chat join; a message joined since must still be loaded.
    const auto add = [&](Sqlite3DB &writer) {
        writer.executeThrow(
            Sqlite3Sql("insert into message(guid, text, date) values('LATE', 'late', 9)"));
        writer.executeThrow(
            Sqlite3Sql("insert into chat_message_join(chat_id, message_id) values(?, ?)")
                .addInt64Param(chat)
                .addInt64Param(writer.lastInsertId()));
    };
    if (writer == "another connection") {
        FixtureDb other(db.smsDbPath());
        add(other.db());
    } else {
        // What this connection has not committed, only it sees.
        if (writer == "open transaction")
            QVERIFY(db.beginTran());
        add(db);
    }
    db.messages(set, 0);
    QCOMPARE(messageSetLines(*set).filter("LATE").size(), 1);
    if (writer == "open transaction")
        QVERIFY(db.commitTran());
}

void TestIOS6MessageDbRead::cutFileLoadsWhatItCanAndSaysItIsDamaged_data()
{
    QTest::addColumn<int>("messages");
    QTest::newRow("one reader") << 300;
    QTest::newRow("slices on threads") << 24000;
}

void TestIOS6MessageDbRead::cutFileLoadsWhatItCanAndSaysItIsDamaged()
{
    QFETCH(int, messages);
    QTemporaryDir dir;
    QVERIFY(writeCutPhoneSmsDb(dir.path(), messages, 1234));
    // The rows still readable that are in a chat.
    QSet<qint64> readable;
    {
        FixtureDb file(CurrentPhoneSmsDb::smsDbPath(dir.path()));
        Sqlite3Cursor c = file.db().queryThrow(
            Sqlite3Sql("select m.rowid from message as m where m.rowid > 0 and m.rowid in "
                       "(select message_id from chat_message_join)"));
        while (c.moveNext())
            readable.insert(c.getInt64(0));
    }
    QVERIFY(readable.size() < messages);
    QVERIFY(readable.size() > messages - 20);

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    try {
        db.messages(set, 0);
        QFAIL("a cut file loaded without an error");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains("is damaged"), e.what());
    }
    const QList<qint64> loaded = set->messageMap.keys();
    QCOMPARE(QSet<qint64>(loaded.cbegin(), loaded.cend()), readable);
    int inChats = 0;
    for (const _MsgChat *chat : set->chatMap)
        inChats += chat->messages.size();
    QCOMPARE(inChats, readable.size());
}

void TestIOS6MessageDbRead::unreadablePageEndsTheMessagesWithTheDamageError_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("oneChat");
    QTest::newRow("cut inside the tree") << "cut" << false;
    QTest::newRow("a page of messages zeroed") << "zeroed" << false;
    QTest::newRow("a page of messages zeroed, one chat") << "zeroed" << true;
}

void TestIOS6MessageDbRead::unreadablePageEndsTheMessagesWithTheDamageError()
{
    QFETCH(QString, damage);
    QFETCH(bool, oneChat);
    QTemporaryDir dir;
    const QString path = writePhoneSmsDbEndingInItsTree(dir.path());
    QVERIFY(!path.isEmpty());
    QSharedPointer<MsgMessageSet> whole;
    IOS6MessageDb(QDir(dir.path()), kUsMcc, false).messages(whole, 0);
    const qint64 chat = whole->chatMap.firstKey();

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    if (damage == "cut") {
        QVERIFY(file.resize(file.size() - 1000));
    } else {
        // The oldest messages' page: the walk down the table reaches it last.
        FixtureDb fixture(path);
        const int size = firstValue(fixture.db(), "pragma page_size").toInt();
        const qint64 page = firstValue(fixture.db(),
            "select min(pageno) from dbstat where name = 'message' and pagetype = 'leaf'")
                                .toLongLong();
        QVERIFY(file.seek((page - 1) * size) && file.write(QByteArray(size, '\0')) == size);
    }
    file.close();

    IOS6MessageDb db(QDir(dir.path()), kUsMcc, false);
    QSharedPointer<MsgMessageSet> set;
    try {
        db.messages(set, oneChat ? chat : 0);
        QFAIL("a damaged file loaded without an error");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString::fromUtf8(e.what()).endsWith("is damaged: some of its messages cannot "
                                                      "be read."),
            e.what());
    }
    QVERIFY(!set->messageMap.isEmpty());
    QVERIFY(set->messageMap.size() < whole->messageMap.size());
    // The attachments lie in tables of their own, which the damage spared.
    QSet<qint64> attachments;
    for (const _MsgMessage *message :
        oneChat ? whole->chatMap.value(chat)->messages.values() : whole->messageMap.values()) {
        for (auto it = message->attachments.cbegin(); it != message->attachments.cend(); ++it)
            attachments.insert(it.key().toLongLong());
    }
    QVERIFY(attachments.size() > 1);
    const QList<qint64> loaded = set->attachmentMap.keys();
    QCOMPARE(QSet<qint64>(loaded.cbegin(), loaded.cend()), attachments);
}

QTEST_GUILESS_MAIN(TestIOS6MessageDbRead)
#include "tst_ios6messagedb_read.moc"
