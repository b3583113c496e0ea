#include "app/startup.h"
#include "shell/appconfig.h"
#include "shell/messagebox.h"
#include "support/legacymmsdbfixture.h"

#include <QDate>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString dataPathInHome
    = QStringLiteral("Application Data/QuillMarrow/5D0E7A93C1B84F26A07D3E95B2C16F48");

int oldWrapperVersion()
{
    return 4;
}

struct Run
{
    int exitCode = -1;
    QDate before;
    QDate after;
};

void setUpProcess(QProcess &process, const QString &home, const QString &autoQuitMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLMARROW_AUTOQUIT_MS", autoQuitMs);
    env.insert("QUILLMARROW_REGISTRY", QDir(home).filePath("no-registry.conf"));
    env.insert("QUILLMARROW_COMMON_FILES", QDir(home).filePath("no-common-files"));
    env.remove("QUILLMARROW_DEVICES");
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

// The program quits by itself after `autoQuitMs`, answering every box at once.
Run runProgram(const QString &home, const QString &executable = QStringLiteral(QM_APP_EXECUTABLE),
    const QString &autoQuitMs = QStringLiteral("200"))
{
    QProcess process;
    setUpProcess(process, home, autoQuitMs);
    Run run;
    run.before = QDate::currentDate();
    process.start(executable, QStringList());
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    else
        process.kill();
    run.after = QDate::currentDate();
    return run;
}

QString logFileOf(const QString &folder, const Run &run)
{
    for (const QDate &day : { run.before, run.after }) {
        const QString path
            = QDir(folder).filePath("log-" + day.toString(QStringLiteral("yyyyMMdd")) + ".txt");
        if (QFileInfo::exists(path))
            return path;
    }
    return QString();
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Today's log lines of a running program (its day may turn while it runs).
QStringList runningLogLines(const QString &logs)
{
    QStringList lines;
    for (const QFileInfo &file : QDir(logs).entryInfoList({ "log-*.txt" }, QDir::Files, QDir::Name))
        lines << readLines(file.filePath());
    return lines;
}

bool waitForLine(const QString &logs, const QRegularExpression &pattern, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!timer.hasExpired(timeoutMs)) {
        if (!runningLogLines(logs).filter(pattern).isEmpty())
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void wrongWrapperVersionEndsBeforeAnythingIsWritten();
    void programStartsLogsAndPrunes();
    void programRunsWithoutWritableDataFolder();
    void programWithoutItsLibrariesWarnsAndGoesOn();
    void deviceFolderPlacedWhileRunningArrivesAndLeaves();
    void legacyDatabaseIsConvertedOnceAndEndsTheRun();
};

void TestStartup::wrongWrapperVersionEndsBeforeAnythingIsWritten()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QStringList texts;
    setMessageBoxHook([&texts](QMessageBox &box) {
        texts << box.text();
        return QMessageBox::Ok;
    });
    int argc = 1;
    char name[] = "quillmarrow-threadkeeper";
    char *argv[] = { name, nullptr };

    const int code = runApplication(argc, argv, &oldWrapperVersion);
    setMessageBoxHook(nullptr);

    QCOMPARE(code, 1);
    QCOMPARE(texts.size(), 1);
    QVERIFY(texts.at(0).contains("invalid libsqlite_qt."));
    QVERIFY(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void TestStartup::programStartsLogsAndPrunes()
{
    QTemporaryDir home;
    const QString logs = QDir(home.path()).filePath(dataPathInHome + "/qlogs");
    QVERIFY(QDir().mkpath(logs));
    QStringList old { "0-stray.txt" };
    for (int day = 1; day <= 11; ++day)
        old << QStringLiteral("log-199901%1.txt").arg(day, 2, 10, QLatin1Char('0'));
    for (const QString &name : old) {
        QFile file(QDir(logs).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    const Run first = runProgram(home.path());
    QCOMPARE(first.exitCode, 0);
    const QString today = logFileOf(logs, first);
    QVERIFY(!today.isEmpty());
    QStringList expected = old.mid(2);
    expected << QFileInfo(today).fileName();
    QCOMPARE(QDir(logs).entryList(QDir::Files, QDir::Name), expected);

    const QStringList firstLines = readLines(today);
    QVERIFY(!firstLines.isEmpty());
    const QRegularExpression line(QStringLiteral("^\\((D|W|C) \\d\\d:\\d\\d:\\d\\d\\) "));
    for (const QString &text : firstLines)
        QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    QCOMPARE(firstLines
                 .filter(QRegularExpression(QStringLiteral(
                     "^\\(D \\S+\\) Quillmarrow Threadkeeper 3\\.2\\.11\\(31\\) started$")))
                 .size(),
        1);
    // Our Apple library stand-ins lie beside the program: nothing to warn about.
    QVERIFY(firstLines.filter("Failed to load").isEmpty());

    const Run second = runProgram(home.path());
    QCOMPARE(second.exitCode, 0);
    if (logFileOf(logs, second) == today) {
        const QStringList secondLines = readLines(today);
        QCOMPARE(secondLines.mid(0, firstLines.size()), firstLines);
        QVERIFY(secondLines.size() > firstLines.size());
        // 10 older files and today's at the second start: the oldest one goes.
        QCOMPARE(QDir(logs).entryList(QDir::Files, QDir::Name), expected.mid(1));
    }
}

void TestStartup::programRunsWithoutWritableDataFolder()
{
    QTemporaryDir dir;
    const QString notAFolder = dir.filePath("home");
    QFile file(notAFolder);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    QCOMPARE(runProgram(notAFolder).exitCode, 0);
    QVERIFY(QFileInfo(notAFolder).isFile());
}

void TestStartup::programWithoutItsLibrariesWarnsAndGoesOn()
{
    QTemporaryDir home;
    // A copy of the program in a folder of its own, without the libraries beside it.
    const QString lonely = QDir(home.path()).filePath("bin/quillmarrow-threadkeeper");
    QVERIFY(QDir().mkpath(QFileInfo(lonely).path()));
    QVERIFY(QFile::copy(QStringLiteral(QM_APP_EXECUTABLE), lonely));
    const Run run = runProgram(home.path(), lonely);
    QCOMPARE(run.exitCode, 0);
    const QString logs = QDir(home.path()).filePath(dataPathInHome + "/qlogs");
    const QStringList warning
        = readLines(logFileOf(logs, run)).filter("Failed to load (Apple Mobile Device) framework");
    QCOMPARE(warning.size(), 1);
    // Without a configured web host the help link keeps its words and loses its target.
    QVERIFY2(warning.first().contains(AppConfig::webHost().isEmpty()
                     ? QStringLiteral("click HERE for help")
                     : QStringLiteral("href=\"http://%1/").arg(AppConfig::webHost())),
        qPrintable(warning.first()));
}

void TestStartup::deviceFolderPlacedWhileRunningArrivesAndLeaves()
{
    QTemporaryDir home;
    const QString data = QDir(home.path()).filePath(dataPathInHome);
    const QString logs = QDir(data).filePath("qlogs");
    QProcess process;
    setUpProcess(process, home.path(), QStringLiteral("60000"));
    process.start(QStringLiteral(QM_APP_EXECUTABLE), QStringList());
    QVERIFY(process.waitForStarted());
    QVERIFY(waitForLine(logs, QRegularExpression(" started$"), 30000));

    // Made beside the devices folder and moved in whole, as a copied device folder lands.
    const QString devices = QDir(data).filePath("virtual_devices");
    QVERIFY(QDir().mkpath(devices));
    const QString staging = QDir(data).filePath("staging");
    QVERIFY(QDir().mkpath(staging + "/filesystem"));
    QSaveFile values(staging + "/values.plist");
    QVERIFY(values.open(QIODevice::WriteOnly));
    values.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                 "<key>UniqueDeviceID</key><string>5ca1ab1e</string>"
                 "<key>DeviceName</key><string>Sam's iPhone</string>"
                 "<key>ProductVersion</key><string>6.1.3</string></dict></plist>");
    QVERIFY(values.commit());
    QVERIFY(QDir().rename(staging, devices + "/sam"));
    const bool arrived = waitForLine(logs,
        QRegularExpression(
            R"(^\(D \S+\) iTunesMobileDevice: AMDeviceNotification\(5ca1ab1e\) = 1 arrived: "Sam's iPhone" at .*/virtual_devices/sam$)"),
        30000);
    QVERIFY(QDir(devices + "/sam").removeRecursively());
    const bool left = waitForLine(
        logs, QRegularExpression(R"(AMDeviceNotification\(5ca1ab1e\) = 2 removed)"), 30000);
    process.kill();
    process.waitForFinished();
    QVERIFY(arrived);
    QVERIFY(left);
    QVERIFY(runningLogLines(logs).filter("Failed to load (Apple").isEmpty());
}

void TestStartup::legacyDatabaseIsConvertedOnceAndEndsTheRun()
{
    QTemporaryDir home;
    const QString data = QDir(home.path()).filePath(dataPathInHome);
    {
        LegacyMmsDbFixture legacy(data + QStringLiteral("/data/Old"));
        legacy.addMessage(legacy.addHandle(QStringLiteral("+15550001111"), QStringLiteral("Al")),
            QStringLiteral("hello"), 1400000000);
    }
    const QString done = QStringLiteral("Successfully updated local database.");
    const QString converted
        = data + QStringLiteral("/local_databases/Old/file-relay/var/mobile/Library/SMS/sms.db");

    // A successful conversion ends the run on its own, long before the program would quit.
    const Run first
        = runProgram(home.path(), QStringLiteral(QM_APP_EXECUTABLE), QStringLiteral("30000"));
    QCOMPARE(first.exitCode, 0);
    QVERIFY(QFileInfo::exists(data + QStringLiteral("/data/Old/mms.db-bak")));
    QVERIFY(!QFileInfo::exists(data + QStringLiteral("/data/Old/mms.db")));
    QVERIFY(QFileInfo::exists(converted));
    const QString log = logFileOf(data + QStringLiteral("/qlogs"), first);
    QCOMPARE(readLines(log).filter(done).size(), 1);

    const QDateTime convertedAt = QFileInfo(converted).lastModified();
    const Run second = runProgram(home.path());
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(QFileInfo(converted).lastModified(), convertedAt);
    QCOMPARE(readLines(logFileOf(data + QStringLiteral("/qlogs"), second)).filter(done).size(),
        logFileOf(data + QStringLiteral("/qlogs"), second) == log ? 1 : 0);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
