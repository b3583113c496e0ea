#include "shell/dailylog.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList fileNames(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QStringList logLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Today's file name; a run that straddles midnight may use either day.
QString findTodaysLog(const QString &folder, const QDate &before, const QDate &after)
{
    for (const QDate &day : { before, after }) {
        const QString path = QDir(folder).filePath(
            QStringLiteral("log-%1.txt").arg(day.toString(QStringLiteral("yyyyMMdd"))));
        if (QFileInfo::exists(path))
            return path;
    }
    return QString();
}

} // namespace

class TestDailyLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void prunesToNewestNamesBeforeFirstLine();
    void writesOneFormattedLinePerMessage();
    void secondStartAppendsToSameFile();

private:
    QtMessageHandler m_previous = nullptr;
};

void TestDailyLog::init()
{
    m_previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_previous);
}

void TestDailyLog::cleanup()
{
    qInstallMessageHandler(m_previous);
    closeLogFile();
}

void TestDailyLog::prunesToNewestNamesBeforeFirstLine()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("qlogs");
    QVERIFY(QDir().mkpath(folder + "/a-subfolder"));
    QStringList old;
    for (int day = 1; day <= 11; ++day)
        old << QStringLiteral("log-200001%1.txt").arg(day, 2, 10, QLatin1Char('0'));
    for (const QString &name : old + QStringList { "0-stray.dat" }) {
        QFile file(QDir(folder).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    initLogFile(folder, 10);

    QCOMPARE(fileNames(folder), old.mid(1));
    QVERIFY(QFileInfo(folder + "/a-subfolder").isDir());

    const QDate before = QDate::currentDate();
    qWarning("first line");
    const QString today = findTodaysLog(folder, before, QDate::currentDate());
    QVERIFY(!today.isEmpty());
    QCOMPARE(fileNames(folder).size(), 11);
}

void TestDailyLog::writesOneFormattedLinePerMessage()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("not/yet/there");
    initLogFile(folder, 10);
    const QDate before = QDate::currentDate();
    qDebug("debug %s", "ü");
    qWarning("warning");
    qCritical("critical");
    qInfo("info");
    const QString path = findTodaysLog(folder, before, QDate::currentDate());
    QVERIFY(!path.isEmpty());

    const QStringList lines = logLines(path);
    QCOMPARE(lines.size(), 4);
    const QStringList expected { "\\(D \\d\\d:\\d\\d:\\d\\d\\) debug ü",
        "\\(W \\d\\d:\\d\\d:\\d\\d\\) warning", "\\(C \\d\\d:\\d\\d:\\d\\d\\) critical",
        "\\(\\d\\d:\\d\\d:\\d\\d\\) info" };
    for (int i = 0; i < expected.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(expected.at(i)));
        QVERIFY2(pattern.match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
    }
}

void TestDailyLog::secondStartAppendsToSameFile()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("qlogs");
    const QDate before = QDate::currentDate();
    initLogFile(folder, 10);
    qWarning("from the first start");
    closeLogFile();

    initLogFile(folder, 10);
    qWarning("from the second start");
    const QString path = findTodaysLog(folder, before, QDate::currentDate());
    QVERIFY(!path.isEmpty());
    const QStringList lines = logLines(path);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(") from the first start"));
    QVERIFY(lines.at(1).endsWith(") from the second start"));
}

QTEST_GUILESS_MAIN(TestDailyLog)
#include "tst_dailylog.moc"
