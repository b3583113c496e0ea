// Times the two database operations that must stay near linear in the size of the database:
//   dbops_bench prepare DATA_FOLDER BACKUP
//                                       writes a backup from the device sms.db of the data
//                                       folder (made by smsdb_generate);
//   dbops_bench merge DATA_FOLDER BACKUP NEW
//                                       merges NEW messages into that sms.db and patches the
//                                       backup, as a whole process that run.sh times; prints
//                                       the path of the merged file;
//   dbops_bench delete MESSAGES COUNT   builds a local database of MESSAGES messages and
//                                       deletes COUNT of them spread over it.
// Prints the wall time of the worker alone and the peak memory of the process.
#include "messages/ios6messagedb.h"
#include "operations/deletemmsthread.h"
#include "operations/ios6restoremessagesthread.h"
#include "shell/progressform.h"
#include "support/devicebackupfixture.h"
#include "support/localdbfixture.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <exception>

namespace {

long peakMiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

qint64 cpuMs()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// Runs the worker under its dialog; milliseconds of the run, or -1 when it did not succeed.
// `cpu` gets the processor time it took, which a busy machine disturbs less.
qint64 timed(RecordingProgressForm &form, QThread &worker, qint64 &cpu)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuBefore = cpuMs();
    const int result = form.run(worker);
    const qint64 ms = clock.elapsed();
    cpu = cpuMs() - cpuBefore;
    return result == 1 && !form.failed ? ms : -1;
}

int prepare(const QString &dataFolder, const QString &backup)
{
    DeviceBackupFixture(dataFolder, backup).writeBackup();
    return 0;
}

int merge(const QString &dataFolder, const QString &backup, int count, QTextStream &out)
{
    QTemporaryDir work;
    IOS6MessageDb source(QDir(dataFolder), QString(), false);
    // The rows of the message table, which the new messages' dates are spread over; the
    // count a chat list shows joins every message to its chat, work the merge never asks for.
    qint64 existing = 0;
    {
        source.open();
        Sqlite3Cursor rows = source.queryThrow(Sqlite3Sql("select count(*) from message"));
        if (rows.moveNext())
            existing = rows.getInt64(0);
    }

    // New messages in the device's own chats, their dates between the device's ones.
    QSharedPointer<MsgMessageSet> chats;
    MsgMessageSet::create(chats);
    source.chats(chats);
    const QList<_MsgChat *> known = chats->chats();
    MessageSetBuilder builder(work.filePath(QStringLiteral("files")));
    for (int i = 0; i < count; ++i) {
        _MsgChat *chat = known.at(i % known.size());
        _MsgHandle *from = chat->handles.isEmpty() ? nullptr : chat->handles.first();
        _MsgMessage *m = builder.message(chat, from,
            qint32(400000000 + (qint64(i) * existing / count) * 60 + 30),
            QStringLiteral("New message %1").arg(i), i % 2 == 0);
        m->guid = QStringLiteral("NEW-%1").arg(i);
    }
    MsgMessageList list = builder.messages();

    RecordingProgressForm form;
    IOS6RestoreMessagesThread worker(QStringLiteral("us"), &list, &source, QDir(backup), &form);
    // Where the time goes: the moment each step begins, from the start of the run.
    QElapsedTimer sinceStart;
    QStringList steps;
    worker.setStepHook([&sinceStart, &steps](IOS6RestoreMessagesThread::Step s) {
        if (!sinceStart.isValid())
            sinceStart.start();
        steps.append(QStringLiteral("%1@%2").arg(int(s)).arg(sinceStart.elapsed()));
    });
    qint64 cpu = 0;
    const qint64 ms = timed(form, worker, cpu);
    if (ms < 0) {
        out << "merge failed: " << form.errors.join(QLatin1Char('\n')) << "\n";
        return 1;
    }
    out << "merge: " << count << " new into " << existing << " messages: " << ms << " ms (cpu "
        << cpu << " ms), peak " << peakMiB() << " MiB (step@ms: " << steps.join(QLatin1Char(' '))
        << ")\nmerged: " << worker.workPath() << "\n";
    return 0;
}

int remove(int messages, int count, QTextStream &out)
{
    QTemporaryDir work;
    LocalDbFixture db(work.filePath(QStringLiteral("db")));
    {
        MessageSetBuilder builder(work.filePath(QStringLiteral("files")));
        QList<_MsgChat *> chats;
        for (int c = 0; c < 500; ++c) {
            _MsgHandle *h
                = builder.handle(QStringLiteral("+1201500%1").arg(c, 4, 10, QLatin1Char('0')));
            chats.append(builder.chat(h->id, { h }));
        }
        for (int i = 0; i < messages; ++i) {
            _MsgChat *chat = chats.at(i % chats.size());
            _MsgMessage *m = builder.message(chat, chat->handles.first(), 400000000 + i * 60,
                QStringLiteral("Message number %1 in a conversation about nothing much.").arg(i),
                i % 3 == 0);
            if (i % 10 == 0)
                builder.attach(m, QStringLiteral("IMG_%1.jpg").arg(i), QStringLiteral("image/jpeg"),
                    QByteArray());
        }
        db.write(builder.messages());
    }
    const QSharedPointer<MsgMessageSet> set = db.load();
    const QList<_MsgMessage *> all = set->messages();
    MsgMessageList list;
    for (int i = 0; i < count && i < all.size(); ++i)
        list.append(all.at(int(qint64(i) * all.size() / count)));

    QDir folder(db.folder());
    RecordingProgressForm form;
    DeleteMMSThread worker(&folder, &list, &form);
    qint64 cpu = 0;
    const qint64 ms = timed(form, worker, cpu);
    if (ms < 0) {
        out << "delete failed: " << form.errors.join(QLatin1Char('\n')) << "\n";
        return 1;
    }
    out << "delete: " << list.size() << " of " << all.size() << " messages: " << ms << " ms (cpu "
        << cpu << " ms), peak " << peakMiB() << " MiB\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The country table is copied into the data folder: keep it away from the real one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    try {
        if (args.size() == 4 && args.at(1) == QLatin1String("prepare"))
            return prepare(QDir(args.at(2)).absolutePath(), QDir(args.at(3)).absolutePath());
        if (args.size() == 5 && args.at(1) == QLatin1String("merge"))
            return merge(QDir(args.at(2)).absolutePath(), QDir(args.at(3)).absolutePath(),
                args.at(4).toInt(), out);
        if (args.size() == 4 && args.at(1) == QLatin1String("delete"))
            return remove(args.at(2).toInt(), args.at(3).toInt(), out);
    } catch (const std::exception &e) {
        err << "dbops_bench: " << e.what() << "\n";
        return 1;
    }
    err << "usage: dbops_bench prepare DATA_FOLDER BACKUP | dbops_bench merge DATA_FOLDER "
           "BACKUP NEW | dbops_bench delete MESSAGES COUNT\n";
    return 2;
}
