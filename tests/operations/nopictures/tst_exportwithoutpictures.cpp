// An HTML export from a program whose folder lacks the pictures its pages name fails and
// names the file, instead of reporting success with pages that show no bubbles.
#include "operations/exportmessagesthread.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QTemporaryDir>
#include <QtTest>

class TestExportWithoutPictures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void htmlExportFailsNamingTheMissingFile_data();
    void htmlExportFailsNamingTheMissingFile();

private:
    QTemporaryDir home;

    static QString programFolder(const QString &name)
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    }
};

void TestExportWithoutPictures::initTestCase()
{
    qputenv("HOME", QFile::encodeName(home.path()));
    QVERIFY(installEnglishTexts());
    QVERIFY(!QFileInfo::exists(programFolder("emoji")));
    QDir(programFolder("bubble")).removeRecursively();
}

void TestExportWithoutPictures::cleanup()
{
    QDir(programFolder("bubble")).removeRecursively();
}

void TestExportWithoutPictures::htmlExportFailsNamingTheMissingFile_data()
{
    QTest::addColumn<bool>("withBubbles");
    QTest::addColumn<bool>("intoExistingFolder");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("unwritten");
    QTest::newRow("no pictures, new folder") << false << false << "bubble/style.css"
                                             << "files/style.css";
    QTest::newRow("no pictures, existing folder") << false << true << "bubble/style.css"
                                                  << "files/style.css";
    QTest::newRow("no emoji, new folder") << true << false << "emoji/1F600.png"
                                          << "emoji/1F600.png";
}

void TestExportWithoutPictures::htmlExportFailsNamingTheMissingFile()
{
    QFETCH(bool, withBubbles);
    QFETCH(bool, intoExistingFolder);
    QFETCH(QString, missing);
    QFETCH(QString, unwritten);
    if (withBubbles) {
        const QDir source(QStringLiteral(QM_BUBBLE_SOURCE));
        QVERIFY(QDir().mkpath(programFolder("bubble")));
        for (const QString &name : source.entryList({ "*.png", "*.jpg", "*.css" }, QDir::Files))
            QVERIFY(QFile::copy(source.filePath(name), programFolder("bubble/" + name)));
    }
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    MessageSetBuilder builder(tmp.filePath("source"));
    const QString out = tmp.filePath("html");
    if (intoExistingFolder)
        QVERIFY(QDir().mkpath(out));

    RecordingProgressForm form;
    ExportMessagesThread worker(buildSampleChats(builder), out, ExportHtml, &form);
    form.run(worker);

    QCOMPARE(form.infos, QStringList());
    QCOMPARE(form.errors.size(), 1);
    const QString error = form.errors.first();
    QVERIFY2(error.contains(programFolder(missing)), qPrintable(error));
    QVERIFY2(error.contains(unwritten), qPrintable(error));
    // Nothing of the failed run stays.
    if (intoExistingFolder)
        QVERIFY(QDir(out).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    else
        QVERIFY(!QFileInfo::exists(out));
    QCOMPARE(QDir(tmp.path()).entryList({ "html*" }, QDir::AllEntries | QDir::Hidden),
        QStringList(intoExistingFolder ? QStringList { "html" } : QStringList()));
}

QTEST_MAIN(TestExportWithoutPictures)
#include "tst_exportwithoutpictures.moc"
