// Opens a data folder's sms.db, lists its chats and loads every message, once for all chats
// in one call and once chat by chat as the window does, printing wall time and peak memory.
// With "brief" it loads all messages once and prints one line: seconds to open and list the
// chats, seconds to load the messages, the peak resident memory in KiB, the resident memory
// of the process's own data in KiB (without the pages of the mapped database file) and the
// number of messages.
#include "messages/ios6messagedb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

// The resident anonymous memory ("RssAnon" of /proc/self/status): the heap, without the
// file pages that a memory-mapped database counts in the peak.
long anonymousKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QString secondsOf(const QElapsedTimer &timer)
{
    return QString::number(timer.nsecsElapsed() / 1e9, 'f', 3);
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
        QTextStream(stderr) << "usage: smsdb_bench DATA_FOLDER [brief]\n";
        return 2;
    }
    const QDir folder(QDir(args.at(1)).absolutePath());
    const bool brief = args.size() > 2 && args.at(2) == QLatin1String("brief");

    try {
        QElapsedTimer total;
        total.start();
        IOS6MessageDb db(folder, QStringLiteral("310"), false);
        QElapsedTimer step;
        step.start();
        QSharedPointer<MsgMessageSet> set;
        db.chats(set);
        const QString chatSeconds = secondsOf(step);
        if (!brief) {
            out << "open and list chats: " << chatSeconds << " s, " << set->chatMap.size()
                << " chats, " << set->handleMap.size() << " handles\n";
        }

        step.restart();
        db.messages(set, 0);
        if (brief) {
            out << chatSeconds << ' ' << secondsOf(step) << ' ' << peakKiB() << ' '
                << anonymousKiB() << ' ' << set->messageMap.size() << '\n';
            return 0;
        }
        out << "load all messages:   " << secondsOf(step) << " s, " << set->messageMap.size()
            << " messages, " << set->attachmentMap.size() << " attachments\n";
        out << "anonymous memory:    " << anonymousKiB() << " KiB, of which blocks of the set's "
            << "arena " << set->arena.reservedBytes() / 1024 << " KiB\n";

        QSharedPointer<MsgMessageSet> perChat;
        db.chats(perChat);
        step.restart();
        const QList<qint64> chatIds = perChat->chatMap.keys();
        for (qint64 chatId : chatIds)
            db.messages(perChat, chatId);
        out << "load chat by chat:   " << secondsOf(step) << " s, " << perChat->messageMap.size()
            << " messages\n";

        out << "total wall time:     " << secondsOf(total) << " s\n";
        out << "peak memory (ru_maxrss): " << peakKiB() << " KiB, anonymous now " << anonymousKiB()
            << " KiB\n";
    } catch (const std::exception &e) {
        QTextStream(stderr) << "smsdb_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
