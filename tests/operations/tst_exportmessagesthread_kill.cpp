// Kills exports into a new path at steps spread over their run and checks that what is left
// is nothing or the whole export (a file, or a folder of files, as a complete export writes
// it), beside what the next export to that path clears away. Run with "--export FORMAT TARGET
// SOURCE MESSAGES KILL_AT" the binary is that export, killing itself at the message KILL_AT
// percent into the list, or once its progress reaches 100 (never when it is negative).
#include "operations/exportmessagesthread.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>

namespace {

const char kExportFlag[] = "--export";

// Dies as by "kill -9" once the worker has reported the given progress; the worker runs on
// meanwhile, so the moment falls anywhere after that step.
class KillingProgressForm : public RecordingProgressForm
{
    Q_OBJECT
public:
    explicit KillingProgressForm(int killAt)
        : killAt(killAt)
    {
    }

public slots:
    // Found by name before the recording dialog's own slot.
    void updateProgress(QString status, int curProgress, QString progressText)
    {
        if (killAt >= 0 && curProgress >= killAt)
            std::raise(SIGKILL);
        RecordingProgressForm::updateProgress(status, curProgress, progressText);
    }

private:
    int killAt;
};

int exportOnce(
    unsigned int format, const QString &target, const QString &source, int count, int killAt)
{
    MessageSetBuilder builder(source);
    MsgMessageList list = buildSampleChats(builder);
    const _MsgMessage *last = list.last();
    for (int i = 0; i < count; ++i)
        list.append(builder.message(last->chat, last->handle, last->date + i,
            QStringLiteral("line %1 of a long chat ").arg(i).repeated(40)));
    KillingProgressForm form(killAt);
    ExportMessagesThread worker(list, target, format, &form);
    // Short of 100%, the worker itself dies at the message that far into the list, however
    // busy the machine: the window's thread may hear of a step only after the last file.
    if (killAt >= 0 && killAt < 100) {
        const int at = std::max(1, int(qint64(list.size()) * killAt / 100));
        worker.setItemHook([at](int position) {
            if (position >= at)
                std::raise(SIGKILL);
        });
    }
    return form.run(worker) == 1 ? 0 : 1;
}

// The files below a folder without what differs between two whole exports: the moment a
// PDF file was made, and the names of previews, made from the time of their source, which
// each run writes anew.
QMap<QString, QByteArray> comparable(const QString &folder)
{
    static const QRegularExpression made(QStringLiteral("/CreationDate \\([^)]*\\)"));
    static const QRegularExpression preview(QStringLiteral("[0-9a-f]{32}"));
    QMap<QString, QByteArray> files;
    const QMap<QString, QByteArray> found = snapshotFolder(folder);
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        QString content = QString::fromLatin1(it.value());
        if (it.key().endsWith(QLatin1String(".pdf")))
            content.remove(made);
        if (it.key().endsWith(QLatin1String(".html")))
            content.replace(preview, QStringLiteral("preview"));
        QString name = it.key();
        files.insert(name.replace(preview, QStringLiteral("preview")), content.toLatin1());
    }
    return files;
}

// What a killed export leaves beside its target, ".<name>.<run tag and six more>.partial",
// and what is in it.
bool isLeftover(const QString &relative)
{
    static const QRegularExpression leftover(
        QStringLiteral("^\\.[^/]+\\.[a-z0-9]{14}\\.partial(/|$)"));
    return leftover.match(relative).hasMatch();
}

} // namespace

class TestExportMessagesThreadKill : public QObject
{
    Q_OBJECT

private slots:
    void killedExportLeavesOnlyWholeFiles_data();
    void killedExportLeavesOnlyWholeFiles();

private:
    // Runs an export child to its end or its death.
    void runExport(unsigned int format, const QString &target, int count, int killAt);

    QTemporaryDir dir;
};

void TestExportMessagesThreadKill::runExport(
    unsigned int format, const QString &target, int count, int killAt)
{
    QVERIFY(QDir().mkpath(QFileInfo(target).path()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
        { QString::fromLatin1(kExportFlag), QString::number(format), target,
            dir.filePath(QStringLiteral("source")), QString::number(count),
            QString::number(killAt) });
    QVERIFY(child.waitForFinished(120000));
    if (killAt < 0)
        QCOMPARE(child.exitCode(), 0);
    else
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
}

void TestExportMessagesThreadKill::killedExportLeavesOnlyWholeFiles_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("count");
    QTest::newRow("text") << unsigned(ExportText) << "messages.txt" << 3000;
    QTest::newRow("csv") << unsigned(ExportCsv) << "messages.csv" << 3000;
    QTest::newRow("pdf") << unsigned(ExportPdf) << "pdf" << 150;
    QTest::newRow("html") << unsigned(ExportHtml) << "html" << 1500;
}

void TestExportMessagesThreadKill::killedExportLeavesOnlyWholeFiles()
{
    QFETCH(unsigned int, format);
    QFETCH(QString, name);
    QFETCH(int, count);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());

    const QString whole = dir.filePath(tag + QStringLiteral("-whole"));
    runExport(format, whole + QLatin1Char('/') + name, count, -1);
    const QMap<QString, QByteArray> reference = comparable(whole);
    QVERIFY(!reference.isEmpty());

    int before = 0;
    bool cleared = false;
    for (int killAt = 0; killAt <= 100; killAt += 20) {
        const QString out = dir.filePath(tag + QString::number(killAt));
        runExport(format, out + QLatin1Char('/') + name, count, killAt);
        QMap<QString, QByteArray> left = comparable(out);
        bool leftovers = false;
        for (const QString &path : left.keys()) {
            if (isLeftover(path)) {
                left.remove(path);
                leftovers = true;
            }
        }
        const QString what = QStringLiteral("after a kill at %1%: %2 of %3 entries")
                                 .arg(killAt)
                                 .arg(left.size())
                                 .arg(reference.size());
        QVERIFY2(left.isEmpty() || left == reference, qPrintable(what));
        if (left.isEmpty())
            ++before;
        // The next export to the same path clears away what the killed one left.
        if (leftovers && !cleared) {
            QDir(out + QLatin1Char('/') + name).removeRecursively();
            QFile::remove(out + QLatin1Char('/') + name);
            runExport(format, out + QLatin1Char('/') + name, count, -1);
            QCOMPARE(comparable(out).keys(), reference.keys());
            cleared = true;
        }
    }
    // Every kill short of 100% came before the last message was written.
    QVERIFY2(before >= 5, qPrintable(QString::number(before)));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 7 && qstrcmp(argv[1], kExportFlag) == 0) {
        const QStringList args = app.arguments();
        return exportOnce(
            args.at(2).toUInt(), args.at(3), args.at(4), args.at(5).toInt(), args.at(6).toInt());
    }
    TestExportMessagesThreadKill test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exportmessagesthread_kill.moc"
