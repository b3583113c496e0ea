// Writes DATA_FOLDER/file-relay/.../sms.db of about MB megabytes in the iOS 8 layout, deletes
// 10,000 of its messages (single rows, runs and a bulk delete, as a phone would) and lists
// their guids in DATA_FOLDER/deleted.txt. With "grown", the message table gains columns at
// each quarter of the file, as a phone updated across versions, so its rows have four widths.
#include "platform/sqlite_qt/sqlite_qt.h"
#include "support/carvablesmsdb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextStream>

#include <exception>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: recovery_generate DATA_FOLDER [MB] [grown]\n";
        return 2;
    }
    const QString folder = QDir(args.at(1)).absolutePath();
    const int megabytes = args.size() > 2 ? args.at(2).toInt() : 100;
    const bool grown = args.size() > 3 && args.at(3) == QLatin1String("grown");
    try {
        CarvableSmsDb db(folder, CarvableSmsDb::Ios8);
        db.setKeepRecordHeads(false);
        QList<qint64> handles;
        for (int i = 0; i < 40; ++i) {
            const QString id = QStringLiteral("+1555%1").arg(2000000 + i);
            handles.append(db.addHandle({ 0, id }));
            db.addChat(id, { handles.last() });
        }
        // Texts of 60 to 600 characters, a few longer than a page.
        QList<qint64> rows;
        int n = 1;
        int quarter = 1;
        const qint64 target = qint64(megabytes) * 1024 * 1024;
        while (QFileInfo(db.path()).size() < target) {
            if (grown && quarter < 4 && QFileInfo(db.path()).size() >= target / 4 * quarter) {
                db.addMessageColumns(12);
                ++quarter;
            }
            const int length = n % 97 == 0 ? 6000 : 60 + (n * 37) % 540;
            rows += db.addMessages(n, 500, length, handles.at(n % handles.size()));
            n += 500;
        }
        // 20 runs of 100, one bulk delete of 2000, and single rows up to 10,000.
        QSet<qint64> gone;
        for (int run = 0; run < 20; ++run) {
            for (const qint64 r : rows.mid(rows.size() / 23 * (run + 1), 100))
                gone.insert(r);
        }
        for (const qint64 r : rows.mid(rows.size() / 2, 2000))
            gone.insert(r);
        const int step = qMax(1, rows.size() / 6500);
        for (int i = 0; gone.size() < 10000 && i < rows.size(); i += step)
            gone.insert(rows.at(i));
        db.deleteMessages(gone.values());

        QFile list(QDir(folder).filePath(QStringLiteral("deleted.txt")));
        if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw std::runtime_error("cannot write deleted.txt");
        for (const CarvableSmsDb::Message &m : db.deletedMessages())
            list.write(m.guid.toUtf8() + '\n');
        QTextStream(stdout) << db.liveMessages().size() << " live and "
                            << db.deletedMessages().size() << " deleted messages, "
                            << QFileInfo(db.path()).size() / (1024 * 1024) << " MB\n";
    } catch (const std::exception &e) {
        QTextStream(stderr) << e.what() << "\n";
        return 1;
    }
    return 0;
}
