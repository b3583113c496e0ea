// Kills a writer in the middle of its inserts and deletes, again and again, and checks that
// the database never keeps half of one call. Run with "--write-forever FOLDER" the binary
// is that writer.
#include "messages/ios6messagedb.h"
#include "platform/samplephones/fixturedb.h"
#include "records/msgidentity.h"
#include "support/killedwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kWriterFlag[] = "--write-forever";

_MsgMessage newMessage(const QString &text, qint32 date)
{
    _MsgMessage m;
    m.guid = makeGuid();
    m.text = text;
    m.service = QStringLiteral("SMS");
    m.date = date;
    return m;
}

// Adds chats of two messages and deletes the oldest messages, so that chats, handles and
// attachments come and go all the time. Never returns.
int writeForever(const QString &folder)
{
    IOS6MessageDb db(QDir(folder), QStringLiteral("310"), true);
    db.open();
    announceWriterReady();
    for (qint32 round = 1;; ++round) {
        _MsgHandle first, second;
        first.id = QStringLiteral("+1201555%1").arg(round % 7, 4, 10, QChar('0'));
        second.id = QStringLiteral("+1202555%1").arg(round % 5, 4, 10, QChar('0'));
        _MsgChat chat;
        chat.chat_identifier = makeGuid();
        chat.guid = QStringLiteral("SMS;+;") + chat.chat_identifier;
        chat.handles.insert(QStringLiteral("1"), &first);
        chat.handles.insert(QStringLiteral("2"), &second);
        db.atomically([&] {
            const qint64 chatId = db.insertChat(chat);
            for (int i = 0; i < 2; ++i) {
                const qint64 handle = db.handleRowid(i == 0 ? first : second);
                const qint64 message = db.insertMessage(
                    newMessage(QStringLiteral("m%1").arg(i), round), handle, 0, QString());
                db.addChatMessageJoin(chatId, message);
                _MsgAttachment attachment;
                attachment.guid = makeGuid();
                attachment.filename = QStringLiteral("~/Library/SMS/Attachments/a.jpg");
                db.addMessageAttachmentJoin(message, db.insertAttachment(attachment));
                db.updateChatLast(chatId, round);
            }
        });

        Sqlite3Cursor oldest = db.queryThrow(
            Sqlite3Sql("select chat_id, message_id, (select count(*) from message) as total from "
                       "chat_message_join order by message_id limit 3"));
        while (oldest.moveNext()) {
            if (oldest.getInt64(2) < 10)
                break;
            _MsgChat owner;
            owner.rowid = oldest.getInt64(0);
            _MsgMessage victim;
            victim.rowid = oldest.getInt64(1);
            victim.chat = &owner;
            db.deleteMessage(victim);
        }
    }
}

} // namespace

class TestIOS6MessageDbAtomic : public QObject
{
    Q_OBJECT

private slots:
    void killedWriterLeavesNoOrphans();
};

void TestIOS6MessageDbAtomic::killedWriterLeavesNoOrphans()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    const struct
    {
        const char *what;
        const char *sql;
    } orphans[] = {
        { "message without chat",
            "select count(*) from message where rowid not in (select message_id from "
            "chat_message_join)" },
        { "chat without message",
            "select count(*) from chat where rowid not in (select chat_id from "
            "chat_message_join)" },
        { "chat join to nothing",
            "select count(*) from chat_message_join where message_id not in (select rowid "
            "from message) or chat_id not in (select rowid from chat)" },
        { "attachment join to nothing",
            "select count(*) from message_attachment_join where message_id not in (select "
            "rowid from message) or attachment_id not in (select rowid from attachment)" },
        { "attachment of no message",
            "select count(*) from attachment where rowid not in (select attachment_id from "
            "message_attachment_join)" },
        { "handle join to nothing",
            "select count(*) from chat_handle_join where chat_id not in (select rowid from "
            "chat) or handle_id not in (select rowid from handle)" },
        { "handle of nothing",
            "select count(*) from handle where rowid not in (select handle_id from "
            "chat_handle_join) and rowid not in (select handle_id from message)" },
    };

    KillDelays delays;
    const int kills = 40;
    for (int kill = 0; kill < kills; ++kill) {
        QString why;
        QVERIFY2(killWriterAfter(kWriterFlag, folder, delays.next(5, 120), &why), qPrintable(why));

        Sqlite3DB db;
        db.openThrow(IOS6MessageDb(QDir(folder), QString(), false).smsDbPath(), 2);
        for (const auto &orphan : orphans) {
            QVERIFY2(firstInt64(db, orphan.sql) == 0,
                qPrintable(QStringLiteral("%1 after kill %2").arg(orphan.what).arg(kill)));
        }
        Sqlite3Cursor check = db.queryThrow(Sqlite3Sql("PRAGMA integrity_check"));
        QVERIFY(check.moveNext());
        QCOMPARE(check.getText(0), QStringLiteral("ok"));
    }
    // The writer got well past the point where it deletes as much as it adds.
    const auto written = [&] {
        Sqlite3DB db;
        db.openThrow(IOS6MessageDb(QDir(folder), QString(), false).smsDbPath(), 2);
        return firstInt64(db, "select max(rowid) from message");
    };
    QString why;
    QVERIFY2(letWriterProgress(kWriterFlag, folder, written, 20, &why), qPrintable(why));
}

QM_TEST_MAIN_WITH_WRITER(TestIOS6MessageDbAtomic, kWriterFlag, writeForever)

#include "tst_ios6messagedb_atomic.moc"
