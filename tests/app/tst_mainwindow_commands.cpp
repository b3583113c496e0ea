#include "windowharness.h"

#include "messages/ios6messagedb.h"
#include "support/boxrecorder.h"
#include "support/messagesetbuilder.h"

#include <QNetworkReply>
#include <QtTest>

using namespace windowtest;

class TestMainWindowCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void webPagesGoToConfiguredHost_data();
    void webPagesGoToConfiguredHost();
    void foldersOpenInFileManager();
    void saysWhyNothingOpened_data();
    void saysWhyNothingOpened();
    void clearCacheKeepsWhatOpenDatabasesUse();
    void clearCacheWithoutCacheFolders();
    void clearCacheRemovesTheBackupFolderOffTheWindowsThread();
    void aboutShowsTheAboutBox();
    void disconnectDeviceEmptiesViewFirst();
    void deleteDatabaseAsksThenRemovesFolderAndNode_data();
    void deleteDatabaseAsksThenRemovesFolderAndNode();
    void deleteWithNothingSelectedAsksAboutTheDatabase();

private:
    void openWindow(int phones = 1);

    QTemporaryDir m_home;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_opened; // web pages and folders, "url:" or "folder:" first
    bool m_openerWorks = true;
};

void TestMainWindowCommands::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
}

void TestMainWindowCommands::init()
{
    clearHome(m_home);
    m_opened.clear();
    m_openerWorks = true;
}

void TestMainWindowCommands::cleanup()
{
    m_window.reset();
    AppConfig::setWebHost(QString());
}

void TestMainWindowCommands::openWindow(int phones)
{
    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const MsgMessageList sample = buildSampleChats(builder);
    writeLocalDb(QStringLiteral("Base"), sample);
    writeLocalDb(QStringLiteral("Other"), sample);
    for (int i = 0; i < phones; ++i)
        writeVirtualPhone(QStringLiteral("Phone%1").arg(i + 1), sample);
    m_window.reset(new MainWindow);
    m_window->services().openUrl = [this](const QString &url) {
        m_opened << "url:" + url;
        return m_openerWorks;
    };
    m_window->services().openFolder = [this](const QString &f) {
        m_opened << "folder:" + f;
        return m_openerWorks;
    };
}

void TestMainWindowCommands::webPagesGoToConfiguredHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("opened");
    const QString host = QStringLiteral("web.example:8080");
    QTest::newRow("help") << host << "miHelp"
                          << "http://web.example:8080/quillmarrow-threadkeeper/help.html";
    QTest::newRow("feedback") << host << "miFeedback"
                              << "http://web.example:8080/support.html";
    QTest::newRow("home") << host << "miHome"
                          << "http://web.example:8080/quillmarrow-threadkeeper.html";
    QTest::newRow("check for update")
        << host << "miCheckUpdate"
        << "http://web.example:8080/sms_check_update.php?pid=5D0E7A93C1B84F26A07D3E95B2C16F48"
           "&ver="
            + QString::number(AppConfig::buildNumber());
}

void TestMainWindowCommands::webPagesGoToConfiguredHost()
{
    QFETCH(QString, host);
    QFETCH(QString, slot);
    QFETCH(QString, opened);
    openWindow(); // before the host is set: the start-up check sends nothing
    AppConfig::setWebHost(host);
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QCOMPARE(m_opened, QStringList { "url:" + opened });
    QVERIFY(m_window->findChildren<QNetworkReply *>().isEmpty());
}

void TestMainWindowCommands::foldersOpenInFileManager()
{
    openWindow();
    m_window->miOpenDbFolder();
    QCOMPARE(m_opened, QStringList { "folder:" + localDbFolder().absolutePath() });

    // The cache of a device only, made when missing.
    m_opened.clear();
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    m_window->miViewCache();
    QVERIFY(m_opened.isEmpty());
    QVERIFY(choose(*m_window, { "Devices", "Phone1" }));
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miViewCache"));
    QCOMPARE(m_opened.size(), 1);
    const QString folder = m_opened.first().mid(7);
    QVERIFY(m_opened.first().startsWith("folder:"));
    QVERIFY(folder.startsWith(dataFolder().filePath("ios_cache/")));
    QVERIFY(QFileInfo(folder).isDir());
}

void TestMainWindowCommands::saysWhyNothingOpened_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("told"); // the start of the one information box
    for (const char *slot : { "miHelp", "miFeedback", "miHome", "miCheckUpdate" })
        QTest::newRow(qPrintable(QStringLiteral("%1 without host").arg(slot)))
            << QString() << slot
            << "This copy of the program was built without the address of its web site, so it "
               "has no page to open.";
    QTest::newRow("help without browser")
        << "web.example"
        << "miHelp"
        << "No program on this computer opens web pages, so this page was not opened:<br/>"
           "http://web.example/quillmarrow-threadkeeper/help.html";
    const QString folders
        = "No program on this computer shows folders, so this folder was not opened:<br/>";
    QTest::newRow("database folder without file manager")
        << QString() << "miOpenDbFolder" << folders + localDbFolder().absolutePath();
    QTest::newRow("cache folder without file manager")
        << QString() << "miViewCache" << folders + dataFolder().filePath("ios_cache/");
}

void TestMainWindowCommands::saysWhyNothingOpened()
{
    QFETCH(QString, host);
    QFETCH(QString, slot);
    QFETCH(QString, told);
    openWindow();
    AppConfig::setWebHost(host);
    m_openerWorks = false;
    QVERIFY(choose(*m_window, { "Devices", "Phone1" }));
    BoxRecorder boxes;
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes.first().icon, QMessageBox::Information);
    QVERIFY2(boxes.texts().first().startsWith(told), qPrintable(boxes.texts().first()));
}

void TestMainWindowCommands::clearCacheKeepsWhatOpenDatabasesUse()
{
    openWindow();
    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const QString inUse = dataFolder().filePath("ios_cache/UDID-IN-USE");
    LocalDbFixture(inUse).write(buildSampleChats(builder));
    IOSDevice device;
    device.name = QStringLiteral("Plugged");
    device.udid = QStringLiteral("UDID-IN-USE");
    QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(inUse), QString(), false));
    _IOSDeviceItemNode *node = m_window->treeModel()->addDevice(db, device);
    db->chats(node->messageSet);
    m_window->treeModel()->refreshChatSessions(node);
    QVERIFY(choose(*m_window, { "Devices", "Plugged" }));
    const int shown = listModel(*m_window)->rowCount();
    QVERIFY(shown > 0);

    const QDir data = dataFolder();
    for (const char *file : { "ios_cache/OLD/file-relay/sms.db", "ios_cache/loose.txt",
             "itunes_cache/abc/manifest.db", "itunes_cache/abc/file-relay/x" }) {
        QDir().mkpath(QFileInfo(data.filePath(file)).absolutePath());
        QFile(data.filePath(file)).open(QIODevice::WriteOnly);
    }

    BoxRecorder boxes;
    m_window->miClearCache();
    QCOMPARE(boxes.texts(QMessageBox::Information), { "Successfully cleared cache files." });
    QVERIFY(!data.exists("itunes_cache"));
    QVERIFY(!data.exists("ios_cache/OLD"));
    QVERIFY(!data.exists("ios_cache/loose.txt"));
    QVERIFY(QFileInfo::exists(db.dynamicCast<IOS6MessageDb>()->smsDbPath()));
    // The device's chats still read.
    QVERIFY(choose(*m_window, { "Devices", "Plugged", "Alice Doe" }));
    QVERIFY(listModel(*m_window)->rowCount() > 0);
}

void TestMainWindowCommands::clearCacheWithoutCacheFolders()
{
    openWindow(0);
    BoxRecorder boxes;
    m_window->miClearCache();
    QCOMPARE(boxes.texts(), { "Successfully cleared cache files." });
}

void TestMainWindowCommands::clearCacheRemovesTheBackupFolderOffTheWindowsThread()
{
    openWindow(0);
    // The harness's volume is the one drive the backup folder may be on, and no folder was
    // chosen yet.
    const QString volume = m_home.filePath("mounts/volume");
    QVERIFY(QDir(volume).mkpath("__quillmarrow_iosbk_temp/some-phone"));
    const QString marker = dataFolder().filePath("__quillmarrow_iosbk_temp.path");
    QVERIFY(!QFileInfo::exists(marker));
    static QList<QThread *> choosers;
    choosers.clear();
    static QtMessageHandler previous;
    previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (text.startsWith("Device backups go to"))
                choosers << QThread::currentThread();
            if (previous)
                previous(type, context, text);
        });
    const auto restore = qScopeGuard([] { qInstallMessageHandler(previous); });

    BoxRecorder boxes;
    m_window->miClearCache();
    QCOMPARE(boxes.texts(), { "Successfully cleared cache files." });
    QVERIFY(!QFileInfo::exists(volume + "/__quillmarrow_iosbk_temp"));
    QVERIFY(QFileInfo::exists(volume));
    QVERIFY(!QFileInfo::exists(marker));
    QCOMPARE(choosers.size(), 1);
    QVERIFY(choosers.first() != QThread::currentThread());
}

void TestMainWindowCommands::aboutShowsTheAboutBox()
{
    openWindow(0);
    QWidget *parent = nullptr;
    m_window->services().about = [&parent](QWidget *p) { parent = p; };
    m_window->miAbout();
    QCOMPARE(parent, m_window.get());
}

void TestMainWindowCommands::disconnectDeviceEmptiesViewFirst()
{
    openWindow(2);
    QVERIFY(choose(*m_window, { "Devices", "Phone1", "Alice Doe" }));
    QVERIFY(listModel(*m_window)->rowCount() > 0);
    // Only a selected device goes.
    m_window->miUnmoutDevice();
    QCOMPARE(childNames(*m_window, { "Devices" }), QStringList({ "Phone1", "Phone2" }));

    QVERIFY(choose(*m_window, { "Devices", "Phone1" }));
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miUnmoutDevice"));
    QCOMPARE(childNames(*m_window, { "Devices" }), QStringList({ "Phone2" }));
    QCOMPARE(listModel(*m_window)->rowCount(), 0);
    QVERIFY(!m_window->currentChat());
    // It comes back only when plugged in again: the folder is untouched.
    QVERIFY(QFileInfo::exists(dataFolder().filePath("virtual_ios/Phone1")));
}

void TestMainWindowCommands::deleteDatabaseAsksThenRemovesFolderAndNode_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void TestMainWindowCommands::deleteDatabaseAsksThenRemovesFolderAndNode()
{
    QFETCH(bool, yes);
    openWindow(0);
    const QString folder = localDbFolder().filePath("Base");
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    QVERIFY(choose(*m_window, { "Local Databases", "Base", "Alice Doe" }));
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    const int shown = listModel(*m_window)->rowCount();
    BoxRecorder boxes;
    boxes.answers << (yes ? QMessageBox::Yes : QMessageBox::No);
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miDelAll"));
    QCOMPARE(boxes.texts().value(0), QStringLiteral("Confirm to delete this Database?"));
    if (!yes) {
        QCOMPARE(boxes.boxes.size(), 1);
        QVERIFY(QFileInfo::exists(folder));
        QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList({ "Base", "Other" }));
        QCOMPARE(listModel(*m_window)->rowCount(), shown);
        return;
    }
    QCOMPARE(boxes.texts().value(1), QStringLiteral("Successfully Deleted Database Base."));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList({ "Other" }));
    QCOMPARE(listModel(*m_window)->rowCount(), 0);
}

void TestMainWindowCommands::deleteWithNothingSelectedAsksAboutTheDatabase()
{
    openWindow(1);
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    BoxRecorder boxes;
    boxes.answers << QMessageBox::No;
    m_window->miDel();
    QCOMPARE(boxes.texts(), { "Confirm to delete this Database?" });
    QVERIFY(QFileInfo::exists(localDbFolder().filePath("Base")));
    // On a device the same button deletes nothing at all.
    boxes.clear();
    QVERIFY(choose(*m_window, { "Devices", "Phone1" }));
    m_window->miDel();
    m_window->miDelSel();
    QVERIFY(boxes.boxes.isEmpty());
}

QTEST_MAIN(TestMainWindowCommands)
#include "tst_mainwindow_commands.moc"
