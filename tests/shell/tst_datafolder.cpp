#include "shell/datafolder.h"

#include "support/filebytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString productId = QStringLiteral("5D0E7A93C1B84F26A07D3E95B2C16F48");

} // namespace

class TestDataFolder : public QObject
{
    Q_OBJECT

private slots:
    void userAppFolderFollowsRoamingRule_data();
    void userAppFolderFollowsRoamingRule();
    void redirectedDataRootNeedsExistingPath_data();
    void redirectedDataRootNeedsExistingPath();
    void writeDataRedirectReplacesContent();
    void writeDataRedirectCreatesNoFolder();
    void dataFolderFollowsRedirectAndIsRecreated();
    void sanitizeFileNameRemovesReservedCharacters_data();
    void sanitizeFileNameRemovesReservedCharacters();
    void oneFolderEntryOnly_data();
    void oneFolderEntryOnly();
    void uniqueFilePathFindsFreeName_data();
    void uniqueFilePathFindsFreeName();
    void md5HexOfUtf8_data();
    void md5HexOfUtf8();
    void removeFolderRecursivelyRemovesHiddenAndKeepsLinkTargets();
    void removeFolderRecursivelyOnLinkRemovesOnlyTheLink();
};

void TestDataFolder::userAppFolderFollowsRoamingRule_data()
{
    QTest::addColumn<bool>("roamingExists");
    QTest::addColumn<QString>("expected");
    QTest::newRow("AppData/Roaming exists") << true << "AppData/Roaming/QuillMarrow";
    QTest::newRow("no AppData/Roaming") << false << "Application Data/QuillMarrow";
}

void TestDataFolder::userAppFolderFollowsRoamingRule()
{
    QFETCH(bool, roamingExists);
    QFETCH(QString, expected);
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    if (roamingExists)
        QVERIFY(QDir(home.path()).mkpath("AppData/Roaming"));
    QCOMPARE(QDir::cleanPath(userAppFolder()), QDir(home.path()).filePath(expected));
    QVERIFY(!QFileInfo::exists(userAppFolder()));
}

void TestDataFolder::redirectedDataRootNeedsExistingPath_data()
{
    QTest::addColumn<bool>("writeRedirect");
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("followed");
    QTest::newRow("existing folder") << true << QByteArray() << true << true;
    QTest::newRow("ends with line break") << true << QByteArray("\n") << true << false;
    QTest::newRow("missing folder") << true << QByteArray() << false << false;
    QTest::newRow("zero byte ends the path") << true << QByteArray("\0junk", 5) << true << true;
    QTest::newRow("no redirect file") << false << QByteArray() << true << false;
}

void TestDataFolder::redirectedDataRootNeedsExistingPath()
{
    QFETCH(bool, writeRedirect);
    QFETCH(QByteArray, suffix);
    QFETCH(bool, targetExists);
    QFETCH(bool, followed);
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    const QString target = home.filePath(QStringLiteral("elsewhere ü"));
    if (targetExists)
        QVERIFY(QDir().mkpath(target));
    if (writeRedirect)
        filebytes::write(
            QDir(userAppFolder()).filePath(productId + ".redirect"), target.toUtf8() + suffix);
    QCOMPARE(redirectedDataRoot(), followed ? target : QString());
}

void TestDataFolder::writeDataRedirectReplacesContent()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(QDir().mkpath(userAppFolder()));
    const QString redirect = QDir(userAppFolder()).filePath(productId + ".redirect");
    filebytes::write(redirect, QByteArray(300, 'x'));
    const QString target = home.filePath(QStringLiteral("dätä"));
    QVERIFY(QDir().mkpath(target));

    const QString old = filebytes::hardLink(redirect);
    QVERIFY(!old.isEmpty());

    QVERIFY(writeDataRedirect(target));

    QCOMPARE(filebytes::read(redirect), target.toUtf8());
    QCOMPARE(redirectedDataRoot(), target);
    // A new file took the old one's place; the old one was never cut short.
    QCOMPARE(filebytes::read(old), QByteArray(300, 'x'));
}

void TestDataFolder::writeDataRedirectCreatesNoFolder()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(!writeDataRedirect(home.path()));
    QVERIFY(!QFileInfo::exists(userAppFolder()));
}

// The only test that computes the data folder: it is cached for the rest of the process.
void TestDataFolder::dataFolderFollowsRedirectAndIsRecreated()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(QDir(home.path()).mkpath("AppData/Roaming/QuillMarrow"));
    const QString root = home.filePath(QStringLiteral("redirected root"));
    QVERIFY(QDir().mkpath(root));
    writeDataRedirect(root);

    const QString expected = QDir(root).filePath(productId);
    QCOMPARE(dataFolder().absolutePath(), expected);
    QVERIFY(QFileInfo(expected).isDir());

    QVERIFY(QDir(expected).removeRecursively());
    QCOMPARE(dataFolder().absolutePath(), expected);
    QVERIFY(QFileInfo(expected).isDir());

    QTemporaryDir otherHome;
    qputenv("HOME", otherHome.path().toUtf8());
    QCOMPARE(dataFolder().absolutePath(), expected);

    QCOMPARE(localDbFolder().absolutePath(), QDir(expected).filePath("local_databases"));
    QVERIFY(QFileInfo(QDir(expected).filePath("local_databases")).isDir());
}

void TestDataFolder::sanitizeFileNameRemovesReservedCharacters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("colon, question mark, outer blanks") << "  Chat: who?  "
                                                        << "Chat who";
    QTest::newRow("every reserved character") << "a\\b/c:d*e?f\"g<h>i|j"
                                              << "abcdefghij";
    QTest::newRow("only reserved characters") << "\\/:*?\"<>|"
                                              << "";
    QTest::newRow("inner blanks kept") << "\ta  b\n"
                                       << "a  b";
    QTest::newRow("blanks exposed by removal") << "| name |"
                                               << "name";
}

void TestDataFolder::sanitizeFileNameRemovesReservedCharacters()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(sanitizeFileName(name), expected);
}

void TestDataFolder::oneFolderEntryOnly_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("entry");
    QTest::newRow("plain") << "f00dfeed" << true;
    QTest::newRow("dots inside") << "a..b" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "../x" << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("NUL") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << false;
}

void TestDataFolder::oneFolderEntryOnly()
{
    QFETCH(QString, name);
    QFETCH(bool, entry);
    QCOMPARE(isOneFolderEntry(name), entry);
}

void TestDataFolder::uniqueFilePathFindsFreeName_data()
{
    QTest::addColumn<QStringList>("existing"); // names ending in "/" are folders
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("free") << QStringList() << "report.txt"
                          << "report.txt";
    QTest::newRow("no suffix") << QStringList { "report" } << "report"
                               << "report(1)";
    QTest::newRow("no suffix, second") << QStringList { "report", "report(1)" } << "report"
                                       << "report(2)";
    QTest::newRow("middle part dropped") << QStringList { "report.old.txt" } << "report.old.txt"
                                         << "report(1).txt";
    QTest::newRow("folder counts as taken") << QStringList { "photos/" } << "photos"
                                            << "photos(1)";
    QTest::newRow("counter skips taken names")
        << QStringList { "a.txt", "a(1).txt", "a(2).txt" } << "a.txt"
        << "a(3).txt";
    // Names come from phones and users: place markers in them are plain text.
    QTest::newRow("place markers in the name") << QStringList { "a%1b.txt" } << "a%1b.txt"
                                               << "a%1b(1).txt";
    QTest::newRow("place marker two") << QStringList { "x%2.txt" } << "x%2.txt"
                                      << "x%2(1).txt";
}

void TestDataFolder::uniqueFilePathFindsFreeName()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    for (const QString &entry : existing) {
        if (entry.endsWith('/'))
            QVERIFY(QDir(dir.path()).mkpath(entry));
        else
            filebytes::write(dir.filePath(entry), "x");
    }
    QCOMPARE(uniqueFilePath(dir.filePath(name)), dir.filePath(expected));
}

void TestDataFolder::md5HexOfUtf8_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << ""
                           << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("abc") << "abc"
                         << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("non-ASCII as UTF-8")
        << QStringLiteral("é") << "66ddcd97cfdeabb2f6fb8a999b4bc76f";
}

void TestDataFolder::md5HexOfUtf8()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(md5Hex(text), expected);
}

void TestDataFolder::removeFolderRecursivelyRemovesHiddenAndKeepsLinkTargets()
{
    QTemporaryDir dir;
    const QString outside = dir.filePath("outside");
    filebytes::write(outside + "/keep.txt", "keep");
    filebytes::write(outside + "/inner/keep.txt", "keep");

    const QString root = dir.filePath("tree");
    filebytes::write(root + "/a/b/file.txt", "x");
    filebytes::write(root + "/.hidden", "x");
    filebytes::write(root + "/.hiddendir/x", "x");
    QVERIFY(QFile::link(outside, root + "/a/linkToFolder"));
    QVERIFY(QFile::link(outside + "/keep.txt", root + "/linkToFile"));
    QVERIFY(QFile::link(root, root + "/a/b/linkToRoot"));
    QVERIFY(QFile::link(dir.filePath("nowhere"), root + "/dangling"));

    removeFolderRecursively(root);

    QVERIFY(!QFileInfo::exists(root));
    QVERIFY(!QFileInfo(root).isSymLink());
    QVERIFY(QFileInfo::exists(outside + "/keep.txt"));
    QVERIFY(QFileInfo::exists(outside + "/inner/keep.txt"));
}

void TestDataFolder::removeFolderRecursivelyOnLinkRemovesOnlyTheLink()
{
    QTemporaryDir dir;
    const QString outside = dir.filePath("outside");
    filebytes::write(outside + "/keep.txt", "keep");
    const QString link = dir.filePath("link");
    QVERIFY(QFile::link(outside, link));

    removeFolderRecursively(link);

    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo::exists(outside + "/keep.txt"));
}

QTEST_GUILESS_MAIN(TestDataFolder)
#include "tst_datafolder.moc"
