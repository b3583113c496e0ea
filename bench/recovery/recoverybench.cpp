// Scans DATA_FOLDER's sms.db for deleted handles and messages, as a fresh recovery would,
// and prints the throughput over the file and the share of DATA_FOLDER/deleted.txt that
// came back.
#include "messages/ios6messagedb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>

#include <ctime>
#include <exception>

int main(int argc, char **argv)
{
    // The country table is copied into the data folder: keep it away from the real one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: recovery_bench DATA_FOLDER\n";
        return 2;
    }
    const QDir folder(QDir(args.at(1)).absolutePath());
    QFile::remove(folder.filePath(QStringLiteral("recycle.db")));
    try {
        IOS6MessageDb db(folder, QStringLiteral("310"), false);
        QSharedPointer<MsgMessageSet> set;
        db.chats(set);
        const double megabytes = QFileInfo(db.smsDbPath()).size() / (1024.0 * 1024.0);

        // Wall time, and the processor time of this process, which other loads on the
        // machine do not stretch.
        QElapsedTimer timer;
        timer.start();
        const std::clock_t cpuStart = std::clock();
        db.scanDeletedHandles(nullptr);
        db.scanDeletedMessages(set->chats(), nullptr);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;

        QFile list(folder.filePath(QStringLiteral("deleted.txt")));
        QSet<QString> deleted;
        if (list.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : list.readAll().split('\n')) {
                if (!line.isEmpty())
                    deleted.insert(QString::fromUtf8(line));
            }
        }
        int recovered = 0;
        int foreign = 0;
        Sqlite3Cursor c = db.recycleDb().queryThrow(Sqlite3Sql("select guid from message"));
        while (c.moveNext())
            deleted.contains(c.getText(0)) ? ++recovered : ++foreign;

        out << QString::asprintf("scanned %.1f MB in %.3f s: %.0f MB/s (processor time %.3f s: "
                                 "%.0f MB/s)\n",
            megabytes, seconds, megabytes / seconds, cpuSeconds, megabytes / cpuSeconds);
        out << "recovered " << recovered << " of " << deleted.size() << " deleted rows ("
            << QString::number(100.0 * recovered / qMax(1, deleted.size()), 'f', 1) << " %), "
            << foreign << " rows that were not deleted\n";
    } catch (const std::exception &e) {
        QTextStream(stderr) << e.what() << "\n";
        return 1;
    }
    return 0;
}
