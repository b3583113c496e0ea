// Export benchmark: "bench_export DATA_FOLDER FORMAT OUT" loads the message database of a
// data folder (as smsdb_generate writes it), runs the export worker under its progress
// dialog as the main window does, and prints one line: messages, seconds of the export
// alone, seconds with loading, and the peak resident memory in KiB. FORMAT is 0 text,
// 1 CSV, 2 PDF, 3 HTML.
#include "messages/ios6messagedb.h"
#include "operations/exportmessagesthread.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <exception>

int main(int argc, char **argv)
{
    // Thumbnails and the country table go into the data folder: keep it away from the real one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        QTextStream(stderr) << "usage: bench_export DATA_FOLDER FORMAT OUT\n";
        return 2;
    }
    try {
        QElapsedTimer total;
        total.start();
        IOS6MessageDb db(QDir(QDir(args.at(1)).absolutePath()), QString(), false);
        QSharedPointer<MsgMessageSet> set;
        db.chats(set);
        db.messages(set, 0);
        const MsgMessageList list = set->messages();

        QElapsedTimer exportTime;
        exportTime.start();
        // The success box is answered at once.
        setMessageBoxHook([](QMessageBox &) { return QMessageBox::Ok; });
        ProgressForm form { QString() };
        ExportMessagesThread worker(list, args.at(3), args.at(2).toUInt(), &form);
        worker.start();
        const int result = form.exec();
        worker.wait();
        const double seconds = exportTime.nsecsElapsed() / 1e9;
        if (result != 1 || form.failed) {
            QTextStream(stderr) << "bench_export: the export failed\n";
            return 1;
        }
        struct rusage usage = {};
        getrusage(RUSAGE_SELF, &usage);
        QTextStream(stdout) << list.size() << ' ' << QString::number(seconds, 'f', 3) << ' '
                            << QString::number(total.nsecsElapsed() / 1e9, 'f', 3) << ' '
                            << usage.ru_maxrss << '\n';
    } catch (const std::exception &e) {
        QTextStream(stderr) << "bench_export: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
