// Writes a synthetic device sms.db with a given number of messages spread over a given number
// of chats; every tenth message has an attachment and every tenth chat is a group of three.
// LAYOUT "ios8" (the default) is the narrower layout of iOS 8, times in seconds, without the
// attachment files; "phone" is a current phone's: 85 message columns, times in nanoseconds,
// words also in attributedBody, each attachment's file written beneath the file-relay tree.
#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTextStream>

#include <exception>
#include <memory>

namespace {

QString padded(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

QString messageText(int i)
{
    return QStringLiteral("Message number %1 in a conversation about nothing much.").arg(i);
}

void commit(Sqlite3DB &db)
{
    if (!db.commitTran())
        throw std::runtime_error(db.lastError().toStdString());
}

void generatePhone(const QString &folder, int messageCount, int chatCount)
{
    CurrentPhoneSmsDb f(folder);
    f.db().beginTran();
    QVector<qint64> chats, handles;
    for (int c = 0; c < chatCount; ++c) {
        handles << f.addHandle(QStringLiteral("+12015") + padded(c, 6),
            c % 2 ? QStringLiteral("SMS") : QStringLiteral("iMessage"));
        if (c % 10 == 9) {
            chats << f.addChat(QStringLiteral("chat") + padded(c, 18),
                { handles.at(c), handles.at(c - 1), handles.at(c - 2) }, QStringLiteral("iMessage"),
                QStringLiteral("Group %1").arg(c));
        } else {
            chats << f.addChat(QStringLiteral("+12015") + padded(c, 6), { handles.at(c) });
        }
    }
    CurrentPhoneSmsDb::Message m;
    for (int i = 0; i < messageCount; ++i) {
        const int c = i % chatCount;
        m.text = messageText(i);
        m.handle = handles.at(c);
        m.date = 400000000 + i * 60;
        m.fromMe = i % 3 == 0;
        m.service = c % 2 ? QStringLiteral("SMS") : QStringLiteral("iMessage");
        if (i % 10 == 0)
            m.text = QChar(0xFFFC) + m.text;
        const qint64 message = f.addMessage(chats.at(c), m);
        if (i % 10 == 0) {
            f.addAttachment(message, QStringLiteral("IMG_%1.jpeg").arg(i),
                QStringLiteral("image/jpeg"), "jpeg", m.date);
        }
    }
    commit(f.db());
}

void generateIos8(const QString &folder, int messageCount, int chatCount)
{
    IOS6SmsDbFixture f(folder, IOS6SmsDbFixture::Ios8);
    f.db().beginTran();
    QVector<qint64> chats, handles;
    for (int c = 0; c < chatCount; ++c) {
        const QString number = QStringLiteral("(201) 5") + padded(c, 6);
        const qint64 handle = f.addHandle(number, QStringLiteral("SMS"), QStringLiteral("us"));
        handles << handle;
        qint64 chat;
        if (c % 10 == 9) {
            chat = f.addChat(QStringLiteral("iMessage;+;chat") + padded(c, 18),
                QStringLiteral("chat") + padded(c, 18), QStringLiteral("iMessage"), 43,
                QStringLiteral("Group %1").arg(c));
            f.joinChatHandle(chat, handles.at(c - 1));
            f.joinChatHandle(chat, handles.at(c - 2));
        } else {
            chat = f.addChat(QStringLiteral("SMS;-;+12015") + padded(c, 6),
                QStringLiteral("+12015") + padded(c, 6));
        }
        f.joinChatHandle(chat, handle);
        chats << chat;
    }
    IOS6SmsDbFixture::Message m;
    for (int i = 0; i < messageCount; ++i) {
        const int c = i % chatCount;
        m.guid = QStringLiteral("MSG-%1").arg(i);
        m.text = messageText(i);
        m.handle = handles.at(c);
        m.date = 400000000 + i * 60;
        m.isFromMe = i % 3 == 0;
        const qint64 message = f.addMessage(m);
        f.joinChatMessage(chats.at(c), message);
        if (i % 10 == 0) {
            const qint64 attachment = f.addAttachment(QStringLiteral("ATT-%1").arg(i),
                QStringLiteral("~/Library/SMS/Attachments/%1/IMG_%2.jpg").arg(i % 256).arg(i),
                QStringLiteral("image/jpeg"));
            f.joinMessageAttachment(message, attachment);
        }
    }
    commit(f.db());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() < 2) {
        err << "usage: smsdb_generate DATA_FOLDER [MESSAGES=100000] [CHATS=500] "
               "[LAYOUT=ios8|phone]\n";
        return 2;
    }
    const QString folder = QDir(args.at(1)).absolutePath();
    const int messageCount = args.size() > 2 ? args.at(2).toInt() : 100000;
    const int chatCount = args.size() > 3 ? args.at(3).toInt() : 500;
    const QString layout = args.size() > 4 ? args.at(4) : QStringLiteral("ios8");
    if (messageCount <= 0 || chatCount <= 0 || (layout != "phone" && layout != "ios8")) {
        err << "counts must be positive, the layout phone or ios8\n";
        return 2;
    }

    try {
        if (layout == QLatin1String("phone"))
            generatePhone(folder, messageCount, chatCount);
        else
            generateIos8(folder, messageCount, chatCount);
        QTextStream(stdout) << folder << ": " << messageCount << " messages in " << chatCount
                            << " chats, " << layout << " layout\n";
    } catch (const std::exception &e) {
        err << "smsdb_generate: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
