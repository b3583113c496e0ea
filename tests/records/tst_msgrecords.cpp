#include "records/msgrecords.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint32 Sep2013 = 400000000; // 2013-09-04 15:06:40 UTC
const QString Sep2013Text = QStringLiteral("04 Sep 2013 3:6 PM");

_MsgHandle makeHandle(const QString &id, const QString &contact = QString())
{
    _MsgHandle h;
    h.id = id;
    h.contactName = contact;
    return h;
}

}

class TestMsgRecords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("HOME", m_dir.path().toUtf8());
        qputenv("TMPDIR", m_dir.path().toUtf8());
    }

    void newRecordsHaveDefaults()
    {
        const _MsgMessage m;
        QCOMPARE(m.version, 10);
        QCOMPARE(m.other_handle, -1);
        QCOMPARE(m.rowid, qint64(0));
        QCOMPARE(m.srcRowid, qint64(0));
        QCOMPARE(m.date, 0);
        QCOMPARE(m.item_type, 0);
        QCOMPARE(m.is_from_me, 0);
        QVERIFY(!m.isDeleted);
        QVERIFY(!m.handle && !m.chat && !m.otherHandle);
        QVERIFY(m.attachments.isEmpty() && m.text.isEmpty() && m.attributedBody.isEmpty());

        const _MsgChat c;
        QCOMPARE(c.style, 45);
        QCOMPARE(c.state, 3);
        QCOMPARE(c.service_name, QStringLiteral("SMS"));
        QCOMPARE(c.account_login, QStringLiteral("E:"));
        QCOMPARE(c.rowid, qint64(0));
        QVERIFY(c.handles.isEmpty() && c.messages.isEmpty());

        const _MsgHandle h;
        QCOMPARE(h.service, QStringLiteral("SMS"));
        QVERIFY(h.id.isEmpty() && h.photo.isEmpty());

        const _MsgAttachment a;
        QCOMPARE(a.transfer_state, 5);
        QCOMPARE(a.total_bytes, qint64(0));

        const ExtMsgRecord ext;
        QCOMPARE(ext.message.version, 10);
        QVERIFY(ext.chat_identifier.isEmpty() && ext.handle.isEmpty());
    }

    void copyingCopiesEveryFieldAndLink()
    {
        _MsgHandle h = makeHandle(QStringLiteral("+1"));
        _MsgChat chat;
        _MsgAttachment att;
        _MsgMessage m;
        m.guid = QStringLiteral("G");
        m.date = 5;
        m.was_deduplicated = 1;
        m.message_action_type = 9;
        m.attributedBody = QByteArray("body");
        m.handle = &h;
        m.chat = &chat;
        m.otherHandle = &h;
        m.attachments.insert(QStringLiteral("1"), &att);
        const _MsgMessage copy = m;
        QCOMPARE(copy.guid, m.guid);
        QCOMPARE(copy.date, 5);
        QCOMPARE(copy.was_deduplicated, 1);
        QCOMPARE(copy.message_action_type, 9);
        QCOMPARE(copy.attributedBody, QByteArray("body"));
        QCOMPARE(copy.handle, &h);
        QCOMPARE(copy.chat, &chat);
        QCOMPARE(copy.otherHandle, &h);
        QCOMPARE(copy.attachments.value(QStringLiteral("1")), &att);
    }

    void handleDisplayName_data()
    {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<bool>("withNumber");
        QTest::addColumn<QString>("name");
        QTest::newRow("contact with number") << "Ann" << true << "Ann (+15550001)";
        QTest::newRow("contact alone") << "Ann" << false << "Ann";
        QTest::newRow("no contact, number asked") << "" << true << "+15550001";
        QTest::newRow("no contact") << "" << false << "+15550001";
        QTest::newRow("percent in name") << "%2 100%" << true << "%2 100% (+15550001)";
    }
    void handleDisplayName()
    {
        QFETCH(QString, contact);
        QFETCH(bool, withNumber);
        QFETCH(QString, name);
        QCOMPARE(makeHandle(QStringLiteral("+15550001"), contact).displayName(withNumber), name);
    }

    void chatTitleAndLabel()
    {
        _MsgHandle ann = makeHandle(QStringLiteral("+1"), QStringLiteral("Ann"));
        _MsgHandle bob = makeHandle(QStringLiteral("+2"));
        _MsgChat chat;
        QCOMPARE(chat.title(true), QStringLiteral("Unknown"));
        QVERIFY(!chat.isGroup());
        chat.display_name = QStringLiteral("Trip");
        QCOMPARE(chat.title(false), QStringLiteral("Trip"));
        chat.display_name.clear();

        chat.handles.insert(ann.id, &ann);
        QVERIFY(!chat.isGroup());
        chat.handles.insert(bob.id, &bob);
        QVERIFY(chat.isGroup());
        QCOMPARE(chat.title(true), QStringLiteral("Ann (+1), +2"));
        QCOMPARE(chat.title(false), QStringLiteral("Ann, +2"));

        _MsgMessage m;
        QCOMPARE(m.chatLabel(), QStringLiteral("unknown"));
        m.chat = &chat;
        QCOMPARE(m.chatLabel(), QStringLiteral("Ann (+1), +2"));
        m.handle = &ann;
        QCOMPARE(m.chatLabel(), QStringLiteral("Ann (+1), +2 (Ann)"));
        m.handle = &bob;
        QCOMPARE(m.chatLabel(), QStringLiteral("Ann (+1), +2 (+2)"));

        chat.handles.remove(bob.id);
        QCOMPARE(m.chatLabel(), QStringLiteral("Ann (+1)"));
    }

    void eventText_data()
    {
        QTest::addColumn<int>("itemType");
        QTest::addColumn<bool>("withHandle");
        QTest::addColumn<int>("shareStatus");
        QTest::addColumn<QString>("text");
        QTest::newRow("added") << 1 << true << 0
                               << "Ann Added +2 to the conversation.\n" + Sep2013Text;
        QTest::newRow("added by you")
            << 1 << false << 0 << "You Added +2 to the conversation.\n" + Sep2013Text;
        QTest::newRow("renamed by you")
            << 2 << false << 0 << "You named the conversation \"%1 trip\".\n" + Sep2013Text;
        QTest::newRow("left") << 3 << true << 0 << "Ann left the conversation.\n" + Sep2013Text;
        QTest::newRow("started sharing")
            << 4 << true << 0 << "Ann started sharing location with +2.\n" + Sep2013Text;
        QTest::newRow("stopped sharing")
            << 4 << true << 1 << "Ann stopped sharing location with +2.\n" + Sep2013Text;
        QTest::newRow("other") << 7 << true << 0 << "System Information.\n" + Sep2013Text;
    }
    void eventText()
    {
        QFETCH(int, itemType);
        QFETCH(bool, withHandle);
        QFETCH(int, shareStatus);
        QFETCH(QString, text);
        _MsgHandle ann = makeHandle(QStringLiteral("+1"), QStringLiteral("Ann"));
        _MsgHandle other = makeHandle(QStringLiteral("+2"));
        _MsgMessage m;
        m.item_type = itemType;
        m.date = Sep2013;
        m.share_status = shareStatus;
        m.group_title = QStringLiteral("%1 trip");
        m.handle = withHandle ? &ann : nullptr;
        m.otherHandle = &other;
        m.text = QStringLiteral("ignored");
        QCOMPARE(messageText(m), text);
    }

    void attachmentMarkers_data()
    {
        QTest::addColumn<QString>("mime");
        QTest::addColumn<QString>("marker");
        QTest::newRow("image") << "image/jpeg"
                               << "[IMAGE]";
        QTest::newRow("image caps") << "IMAGE/PNG"
                                    << "[IMAGE]";
        QTest::newRow("video") << "video/quicktime"
                               << "[VIDEO]";
        QTest::newRow("audio") << "audio/amr"
                               << "[AUDIO]";
        QTest::newRow("vcard caps") << "TEXT/VCARD"
                                    << "[VCARD]";
        QTest::newRow("x-vcard") << "text/x-vcard"
                                 << "[VCARD]";
        QTest::newRow("pdf") << "application/pdf"
                             << "[ATTA]";
        QTest::newRow("empty") << ""
                               << "[ATTA]";
    }
    void attachmentMarkers()
    {
        QFETCH(QString, mime);
        QFETCH(QString, marker);
        _MsgAttachment a;
        a.mime_type = mime;
        _MsgMessage m;
        m.text = QString(QChar(0xFFFC));
        m.attachments.insert(QStringLiteral("1"), &a);
        QCOMPARE(messageText(m), marker);
        m.text = QStringLiteral("  look") + QChar(0xFFFC);
        QCOMPARE(messageText(m), "look " + marker);
    }

    void plainAndDisplayText()
    {
        _MsgMessage m;
        m.text = QStringLiteral("a") + QChar(0xFFFC) + QStringLiteral("b") + QChar(0xFFFC);
        QCOMPARE(m.plainText(), QStringLiteral("ab"));

        m.text = QChar(0xE415) + QStringLiteral(" hi ") + QChar(0xD83D) + QChar(0xDE04)
            + QChar(0x263A) + QChar(0xFFFC);
        QCOMPARE(m.displayText(), QStringLiteral("[EMOJI] hi [EMOJI]") + QChar(0x263A));
        QVERIFY(m.text.startsWith(QChar(0xE415)));
    }

    void sortedAttachmentsByRowid()
    {
        _MsgAttachment a9, a10, a100;
        a9.rowid = 9;
        a10.rowid = 10;
        a100.rowid = 100;
        _MsgMessage m;
        m.attachments.insert(QStringLiteral("10"), &a10);
        m.attachments.insert(QStringLiteral("100"), &a100);
        m.attachments.insert(QStringLiteral("9"), &a9);
        QCOMPARE(m.sortedAttachments(), (QList<_MsgAttachment *> { &a9, &a10, &a100 }));
        QVERIFY(_MsgMessage().sortedAttachments().isEmpty());
    }

    void csvQuoting_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");
        QTest::newRow("plain") << "word"
                               << "word";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("comma") << "a,b"
                               << "\"a,b\"";
        QTest::newRow("quote") << "say \"hi"
                               << "\"say \"\"hi\"";
        QTest::newRow("line feed") << "a\nb"
                                   << "\"a\nb\"";
        QTest::newRow("carriage return") << "a\rb"
                                         << "\"a\rb\"";
    }
    void csvQuoting()
    {
        QFETCH(QString, text);
        QFETCH(QString, field);
        QCOMPARE(csvQuote(text), field);
    }

    void setOwnsRecordsAndListsThem()
    {
        QSharedPointer<MsgMessageSet> set;
        MsgMessageSet::create(set);
        QVERIFY(set);
        QCOMPARE(messageSetOf(set), set.data());
        auto *chat = new _MsgChat;
        chat->chat_identifier = QStringLiteral("+1");
        set->chatMap.insert(1, chat);
        auto *handle = new _MsgHandle(makeHandle(QStringLiteral("+1")));
        set->handleMap.insert(1, handle);
        chat->handles.insert(handle->id, handle);
        for (qint64 row : { 3, 4 }) {
            auto *m = new _MsgMessage;
            m->srcRowid = row;
            m->chat = chat;
            m->handle = handle;
            set->messageMap.insert(row, m);
            chat->messages.insert(QString::number(row), m);
            auto *att = new _MsgAttachment;
            att->rowid = row;
            set->attachmentMap.insert(row, att);
            m->attachments.insert(QString::number(row), att);
        }
        QCOMPARE(set->messages().size(), 2);
        QCOMPARE(set->chats(), (QList<_MsgChat *> { chat }));
        QCOMPARE(messagesOfChats(set->chats()).size(), 2);
        QCOMPARE(messagesOfChats({ chat, chat }).size(), 4);

        // A second holder keeps the old set alive while the first gets a fresh one.
        QSharedPointer<MsgMessageSet> holder = set;
        MsgMessageSet::create(set);
        QVERIFY(set->chatMap.isEmpty());
        QCOMPARE(holder->messageMap.value(3)->chat->chat_identifier, QStringLiteral("+1"));
        holder.reset(); // frees every record; the sanitizer build checks for leaks
    }

    void regroupsChatsByIdentifier()
    {
        MsgMessageSet set;
        const struct
        {
            qint64 key;
            const char *identifier;
            const char *service;
            qint32 last;
        } chats[] = { { 1, "+1", "SMS", 50 }, { 2, "+1", "iMessage", 90 }, { 3, "+2", "SMS", 70 },
            { 4, "+1", "SMS", 60 } };
        for (const auto &c : chats) {
            auto *chat = new _MsgChat;
            chat->chat_identifier = QLatin1String(c.identifier);
            chat->service_name = QLatin1String(c.service);
            chat->last = c.last;
            set.chatMap.insert(c.key, chat);
        }
        QList<ChatGroup> groups = regroupChats(set);
        QCOMPARE(groups.size(), 2);
        std::sort(groups.begin(), groups.end(), compareChatGroups);
        QCOMPARE(groups.at(0).last, 90);
        QCOMPARE(groups.at(0).chats.size(), 3);
        QCOMPARE(groups.at(0).chats.at(1)->service_name, QStringLiteral("iMessage"));
        QCOMPARE(groups.at(1).last, 70);
        QCOMPARE(groups.at(1).chats.first()->chat_identifier, QStringLiteral("+2"));
    }

    void handleItemTravelsInVariants()
    {
        const int id = QMetaType::type("HandleItem");
        QVERIFY(id != QMetaType::UnknownType);
        HandleItem item;
        item.checked = true;
        item.handle = makeHandle(QStringLiteral("+7"), QStringLiteral("Kim"));
        const QVariant v = QVariant::fromValue(item);
        QCOMPARE(v.userType(), id);
        QVERIFY(v.value<HandleItem>().checked);
        QCOMPARE(v.value<HandleItem>().handle.contactName, QStringLiteral("Kim"));
    }

    void thumbnailsScaleTo120_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("thumb");
        QTest::newRow("wide png") << "wide.png" << QByteArray("PNG") << QSize(300, 150)
                                  << QSize(120, 60);
        QTest::newRow("tall jpeg")
            << "tall.jpg" << QByteArray("JPEG") << QSize(100, 200) << QSize(60, 120);
        QTest::newRow("square small png")
            << "sq.dat" << QByteArray("PNG") << QSize(40, 40) << QSize(120, 120);
    }
    void thumbnailsScaleTo120()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(QSize, thumb);
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::red);
        _MsgAttachment a;
        a.localPath = m_dir.filePath(name);
        QVERIFY(image.save(a.localPath, format.constData()));
        const QString path = attachmentThumbnail(a);
        QVERIFY(path.endsWith(QLatin1String(".thumb")));
        QVERIFY(path.startsWith(m_dir.path()));
        QImage result;
        QVERIFY(result.load(path, format.constData()));
        QCOMPARE(result.size(), thumb);
        // Made once: a second call for the unchanged file gives the same picture.
        QCOMPARE(attachmentThumbnail(a), path);
        QVERIFY(QFile::exists(path));
    }

    void thumbnailOfUnreadableFileIsMissing()
    {
        _MsgAttachment a;
        a.localPath = m_dir.filePath(QStringLiteral("notes.txt"));
        QFile f(a.localPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a picture");
        f.close();
        const QString path = attachmentThumbnail(a);
        QVERIFY(!path.isEmpty());
        QVERIFY(!QFile::exists(path));
    }

    void attachmentKindFollowsMimeTypeIgnoringCase_data()
    {
        QTest::addColumn<QString>("mime");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("label");
        const auto row = [](const char *mime, AttachmentKind kind, const char *label) {
            QTest::newRow(mime) << QString::fromLatin1(mime) << int(kind)
                                << QString::fromLatin1(label);
        };
        row("IMAGE/heic", AttachmentKind::Image, "[ATTACHMENT]");
        row("Video/quicktime", AttachmentKind::Video, "[VIDEO]");
        row("audio/amr", AttachmentKind::Audio, "[AUDIO]");
        row("TEXT/X-VCARD", AttachmentKind::VCard, "[VCARD]");
        row("text/vcard", AttachmentKind::VCard, "[VCARD]");
        row("text/plain", AttachmentKind::Text, "[ATTACHMENT]");
        row("text/plain; charset=utf-8", AttachmentKind::Other, "[ATTACHMENT]");
        row("imagex/png", AttachmentKind::Other, "[ATTACHMENT]");
        row("", AttachmentKind::Other, "[ATTACHMENT]");
    }

    void attachmentKindFollowsMimeTypeIgnoringCase()
    {
        QFETCH(QString, mime);
        QFETCH(int, kind);
        QFETCH(QString, label);
        QCOMPARE(int(attachmentKind(mime)), kind);
        QCOMPARE(attachmentLabel(attachmentKind(mime)), label);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestMsgRecords)
#include "tst_msgrecords.moc"
