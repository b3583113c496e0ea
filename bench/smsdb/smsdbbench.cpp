// Opens a data folder's sms.db, lists its chats and loads every message, once for all chats
// in one call and once chat by chat as the window does, printing wall time and peak memory.
#include "messages/ios6messagedb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <exception>

namespace {

long peakKiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    // The country table is copied into the data folder: keep it away from the real one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: smsdb_bench DATA_FOLDER\n";
        return 2;
    }
    const QDir folder(QDir(args.at(1)).absolutePath());

    try {
        QElapsedTimer total;
        total.start();
        IOS6MessageDb db(folder, QStringLiteral("310"), false);
        QElapsedTimer step;
        step.start();
        QSharedPointer<MsgMessageSet> set;
        db.chats(set);
        out << "open and list chats: " << step.elapsed() << " ms, " << set->chatMap.size()
            << " chats, " << set->handleMap.size() << " handles\n";

        step.restart();
        db.messages(set, 0);
        out << "load all messages:   " << step.elapsed() << " ms, " << set->messageMap.size()
            << " messages, " << set->attachmentMap.size() << " attachments\n";

        QSharedPointer<MsgMessageSet> perChat;
        db.chats(perChat);
        step.restart();
        const QList<qint64> chatIds = perChat->chatMap.keys();
        for (qint64 chatId : chatIds)
            db.messages(perChat, chatId);
        out << "load chat by chat:   " << step.elapsed() << " ms, " << perChat->messageMap.size()
            << " messages\n";

        out << "total wall time:     " << total.elapsed() << " ms\n";
        out << "peak memory (ru_maxrss): " << peakKiB() << " KiB\n";
    } catch (const std::exception &e) {
        QTextStream(stderr) << "smsdb_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
