#include "app/startup.h"
#include "shell/appconfig.h"
#include "shell/messagebox.h"

#include <QDate>
#include <QProcess>
#include <QRegularExpression>
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

Run runProgram(const QString &home)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLMARROW_AUTOQUIT_MS", "200");
    env.insert("QUILLMARROW_REGISTRY", QDir(home).filePath("no-registry.conf"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Run run;
    run.before = QDate::currentDate();
    process.start(QStringLiteral(QM_APP_EXECUTABLE), QStringList());
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

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void wrongWrapperVersionEndsBeforeAnythingIsWritten();
    void programStartsLogsAndPrunes();
    void programRunsWithoutWritableDataFolder();
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
    // Without Apple's libraries the program warns and goes on.
    const QStringList warning = firstLines.filter("Failed to load (Apple Mobile Device) framework");
    QCOMPARE(warning.size(), 1);
    // Without a configured web host the help link keeps its words and loses its target.
    QVERIFY2(warning.first().contains(AppConfig::webHost().isEmpty()
                     ? QStringLiteral("click HERE for help")
                     : QStringLiteral("href=\"http://%1/").arg(AppConfig::webHost())),
        qPrintable(warning.first()));

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

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
