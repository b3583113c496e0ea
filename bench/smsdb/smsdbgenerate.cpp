// Writes a synthetic device sms.db of the later iOS 6+ layout with a given number of
// messages spread over a given number of chats; every tenth message has an attachment and
// every tenth chat is a group of three.
#include "platform/samplephones/ios6smsdbfixture.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTextStream>

#include <exception>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() < 2) {
        err << "usage: smsdb_generate DATA_FOLDER [MESSAGES=100000] [CHATS=500]\n";
        return 2;
    }
    const QString folder = QDir(args.at(1)).absolutePath();
    const int messageCount = args.size() > 2 ? args.at(2).toInt() : 100000;
    const int chatCount = args.size() > 3 ? args.at(3).toInt() : 500;
    if (messageCount <= 0 || chatCount <= 0) {
        err << "counts must be positive\n";
        return 2;
    }

    try {
        IOS6SmsDbFixture f(folder, IOS6SmsDbFixture::Ios8);
        f.db().beginTran();
        QVector<qint64> chats, handles;
        for (int c = 0; c < chatCount; ++c) {
            const QString number = QStringLiteral("(201) 5%1").arg(c, 6, 10, QLatin1Char('0'));
            const qint64 handle = f.addHandle(number, QStringLiteral("SMS"), QStringLiteral("us"));
            handles << handle;
            qint64 chat;
            if (c % 10 == 9) {
                chat = f.addChat(
                    QStringLiteral("iMessage;+;chat%1").arg(c, 18, 10, QLatin1Char('0')),
                    QStringLiteral("chat%1").arg(c, 18, 10, QLatin1Char('0')),
                    QStringLiteral("iMessage"), 43, QStringLiteral("Group %1").arg(c));
                f.joinChatHandle(chat, handles.at(c - 1));
                f.joinChatHandle(chat, handles.at(c - 2));
            } else {
                chat = f.addChat(QStringLiteral("SMS;-;+12015%1").arg(c, 6, 10, QLatin1Char('0')),
                    QStringLiteral("+12015%1").arg(c, 6, 10, QLatin1Char('0')));
            }
            f.joinChatHandle(chat, handle);
            chats << chat;
        }
        IOS6SmsDbFixture::Message m;
        for (int i = 0; i < messageCount; ++i) {
            const int c = i % chatCount;
            m.guid = QStringLiteral("MSG-%1").arg(i);
            m.text
                = QStringLiteral("Message number %1 in a conversation about nothing much.").arg(i);
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
        if (!f.db().commitTran())
            throw std::runtime_error(f.db().lastError().toStdString());
        QTextStream(stdout) << f.path() << ": " << messageCount << " messages in " << chatCount
                            << " chats\n";
    } catch (const std::exception &e) {
        err << "smsdb_generate: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
