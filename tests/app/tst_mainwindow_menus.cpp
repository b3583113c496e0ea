#include "windowharness.h"

#include "support/boxrecorder.h"
#include "support/messagesetbuilder.h"

#include <QMenuBar>
#include <QToolBar>
#include <QtTest>

using namespace windowtest;

namespace {

const QStringList noNode;
const QStringList devicesRoot = { "Devices" };
const QStringList localRoot = { "Local Databases" };
const QStringList phone = { "Devices", "PhoneA" };
const QStringList base = { "Local Databases", "Base" };
const QStringList phoneChat = { "Devices", "PhoneA", "Alice Doe" };
const QStringList baseChat = { "Local Databases", "Base", "Alice Doe" };

QStringList entries(std::initializer_list<const char *> list)
{
    QStringList result;
    for (const char *entry : list)
        result << QString::fromUtf8(entry);
    return result;
}

} // namespace

class TestMainWindowMenus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void menuBarAndToolBarHoldTheirEntries();
    void everyEntryCallsASlotOfTheWindow();
    void toolBarFollowsCurrentNode_data();
    void toolBarFollowsCurrentNode();
    void treeMenuPerNodeKind_data();
    void treeMenuPerNodeKind();
    void listMenuPerNodeKind_data();
    void listMenuPerNodeKind();
    void deviceCountChangesTransferEntriesAtOnce();

private:
    // "Base" and `devices` phones ("PhoneA", "PhoneB"), all with the sample chats; the node
    // at `path` made current (the database first, so that its chats are read).
    void openWindow(int devices, const QStringList &path);

    QTemporaryDir m_home;
    std::unique_ptr<MainWindow> m_window;
};

void TestMainWindowMenus::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
}

void TestMainWindowMenus::init()
{
    m_window.reset();
    clearHome(m_home);
}

void TestMainWindowMenus::openWindow(int devices, const QStringList &path)
{
    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const MsgMessageList sample = buildSampleChats(builder);
    writeLocalDb(QStringLiteral("Base"), sample);
    const QStringList phones = { "PhoneA", "PhoneB" };
    for (int i = 0; i < devices; ++i)
        writeVirtualPhone(phones.at(i), sample);
    m_window.reset(new MainWindow);
    if (path.value(0) == QLatin1String("Local Databases") && path.size() > 2)
        QVERIFY(choose(*m_window, base));
    if (!path.isEmpty())
        QVERIFY2(choose(*m_window, path), qPrintable(path.join('/')));
}

void TestMainWindowMenus::menuBarAndToolBarHoldTheirEntries()
{
    BoxRecorder boxes;
    openWindow(0, noNode);
    QMenuBar *bar = m_window->menuBar();
    QStringList titles;
    for (QAction *menu : bar->actions())
        titles << menu->text();
    QCOMPARE(titles, QStringList({ "File", "Tools", "Help" }));

    QCOMPARE(describe(bar->actions().at(0)->menu()->actions()),
        entries({ "Backup Messages to Local Database;backup;miBackup (off)",
            "Transfer iPhone Messages to other iPhone;i2i;miI2I (off)",
            "Transfer Messages from Database to iPhone;db2i;miDb2I (off)", "-",
            "Extract MMS attachment;extract_media;miExtractMedia (off)",
            "Export Messages to File;export;miExport (off)", "Print Messages;print;miPrint (off)",
            "Delete Messages;delete;miDel (off)", "-",
            "Import Messages from iTunes Backup to Local Database;import_itunes;miImportItunes",
            "Open Database Folder;open_db_folder;miOpenDbFolder", "Exit;exit;close" }));
    QCOMPARE(describe(bar->actions().at(1)->menu()->actions()),
        entries({ "Check for Update;;miCheckUpdate", "Clear Cache files;;miClearCache" }));
    QCOMPARE(describe(bar->actions().at(2)->menu()->actions()),
        entries({ "Help;help;miHelp", "Feedback and Support;;miFeedback", "About;;miAbout" }));
    for (const QAction *action : bar->actions().at(0)->menu()->actions())
        QVERIFY(action->shortcut().isEmpty());

    const QList<QAction *> file = bar->actions().at(0)->menu()->actions();
    auto *toolBar = m_window->findChild<QToolBar *>(QStringLiteral("mainToolBar"));
    QVERIFY(toolBar);
    const QList<QAction *> tools = toolBar->actions();
    QCOMPARE(tools.size(), 9);
    for (int i : { 0, 1, 2, 4, 5, 6, 7 })
        QCOMPARE(tools.at(i), file.at(i));
    QVERIFY(tools.at(3)->isSeparator());
    QVERIFY(tools.at(8)->isSeparator());
    QVERIFY(boxes.boxes.isEmpty());
}

void TestMainWindowMenus::everyEntryCallsASlotOfTheWindow()
{
    openWindow(2, noNode);
    QStringList names;
    for (QAction *menu : m_window->menuBar()->actions()) {
        for (const QAction *action : menu->menu()->actions())
            names << action->objectName();
    }
    for (const QStringList &path : { localRoot, phone, base, phoneChat, baseChat }) {
        QVERIFY(
            choose(*m_window, path.size() > 2 && path.first() == "Local Databases" ? base : path));
        QVERIFY(choose(*m_window, path));
        for (const QString &entry : contextMenu(*m_window, tree(*m_window)))
            names << entry.section(';', 2).section(' ', 0, 0);
        for (const QString &entry : contextMenu(*m_window, list(*m_window)))
            names << entry.section(';', 2).section(' ', 0, 0);
    }
    const QMetaObject *meta = m_window->metaObject();
    for (const QString &slot : qAsConst(names)) {
        if (slot.isEmpty())
            continue; // separator
        QVERIFY2(meta->indexOfSlot(qPrintable(slot + "()")) >= 0, qPrintable(slot));
    }
}

void TestMainWindowMenus::toolBarFollowsCurrentNode_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QStringList>("path");
    // backup, i2i, db2i, extract, export, print, delete
    QTest::addColumn<QString>("enabled");
    QTest::newRow("nothing current") << 1 << noNode << "0000000";
    QTest::newRow("devices root") << 1 << devicesRoot << "0000000";
    QTest::newRow("databases root") << 1 << localRoot << "0000000";
    QTest::newRow("one device") << 1 << phone << "1001110";
    QTest::newRow("two devices") << 2 << phone << "1101110";
    QTest::newRow("chat of one device") << 1 << phoneChat << "1001110";
    QTest::newRow("chat of two devices") << 2 << phoneChat << "1101110";
    QTest::newRow("database without device") << 0 << base << "0001111";
    QTest::newRow("database with device") << 1 << base << "0011111";
    QTest::newRow("chat of database") << 1 << baseChat << "0011111";
}

void TestMainWindowMenus::toolBarFollowsCurrentNode()
{
    QFETCH(int, devices);
    QFETCH(QStringList, path);
    QFETCH(QString, enabled);
    openWindow(devices, path);
    const QList<QAction *> tools
        = m_window->findChild<QToolBar *>(QStringLiteral("mainToolBar"))->actions();
    QString shown;
    for (int i : { 0, 1, 2, 4, 5, 6, 7 })
        shown += tools.at(i)->isEnabled() ? '1' : '0';
    QCOMPARE(shown, enabled);
}

void TestMainWindowMenus::treeMenuPerNodeKind_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("nothing current") << 1 << noNode << QStringList();
    QTest::newRow("devices root") << 1 << devicesRoot << QStringList();
    QTest::newRow("databases root")
        << 0 << localRoot
        << entries({ "Open Database Folder;open_db_folder;miOpenDbFolder",
               "Import Messages from iTunes Backup to Local Database;import_itunes;"
               "miImportItunes" });
    const QStringList device = entries({ "Backup Messages to Local Database;backup;miBackupAll",
        "Transfer iPhone Messages to other iPhone;i2i;miI2IAll",
        "Extract MMS attachment;extract_media;miExtractMediaAll",
        "Export Messages to File;export;miExportAll", "Print Messages;print;miPrintAll",
        "View Cache Files;;miViewCache", "Disconnect Device;unmount;miUnmoutDevice" });
    QStringList oneDevice = device;
    oneDevice[1] += " (off)";
    QTest::newRow("device, one connected") << 1 << phone << oneDevice;
    QTest::newRow("device, two connected") << 2 << phone << device;
    const QStringList database = entries({ "Import Messages from iTunes Backup to this Local "
                                           "Database;import_itunes;miImportToLocalDb",
        "Export Messages to iTunes Backup;;miExport2ITunesBKAll",
        "Transfer Messages from Database to iPhone;db2i;miDb2IAll",
        "Extract MMS attachment;extract_media;miExtractMediaAll",
        "Export Messages to File;export;miExportAll", "Print Messages;print;miPrintAll",
        "Delete this Database;delete;miDelAll" });
    QStringList noDevice = database;
    noDevice[2] += " (off)";
    QTest::newRow("database, no device") << 0 << base << noDevice;
    QTest::newRow("database, one device") << 1 << base << database;
    const QStringList deviceChat
        = entries({ "Backup Messages with this contact to Local Database;backup;miBackupChat",
            "Transfer Messages with this contact to other iPhone;i2i;miI2IChat",
            "Extract attachment from MMS with this contact;extract_media;miExtractMediaChat",
            "Export Messages with this contact to File;export;miExportChat",
            "Print Messages with this contact;print;miPrintChat" });
    QStringList deviceChatAlone = deviceChat;
    deviceChatAlone[1] += " (off)";
    QTest::newRow("device chat, one connected") << 1 << phoneChat << deviceChatAlone;
    QTest::newRow("device chat, two connected") << 2 << phoneChat << deviceChat;
    const QStringList baseChatMenu
        = entries({ "Export Messages with this contact to iTunes Backup;;miExport2ITunesBKChat",
            "Transfer Messages with this contact to iPhone;db2i;miDb2IChat",
            "Extract attachment from MMS with this contact;extract_media;miExtractMediaChat",
            "Export Messages with this contact to File;export;miExportChat",
            "Print Messages with this contact;print;miPrintChat",
            "Delete Messages with this contact;delete;miDelChat" });
    QStringList baseChatAlone = baseChatMenu;
    baseChatAlone[1] += " (off)";
    QTest::newRow("database chat, no device") << 0 << baseChat << baseChatAlone;
    QTest::newRow("database chat, one device") << 1 << baseChat << baseChatMenu;
}

void TestMainWindowMenus::treeMenuPerNodeKind()
{
    QFETCH(int, devices);
    QFETCH(QStringList, path);
    QFETCH(QStringList, expected);
    openWindow(devices, path);
    QCOMPARE(contextMenu(*m_window, tree(*m_window)), expected);
}

void TestMainWindowMenus::listMenuPerNodeKind_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QStringList>("expected");
    const QStringList device
        = entries({ "Backup selected Messages to Local Database;backup;miBackupSel",
            "Transfer selected Messages to other iPhone;i2i;miI2ISel",
            "Extract attachment from selected Messages;extract_media;miExtractMediaSel",
            "Export selected Messages to File;export;miExportSel",
            "Print selected Messages;print;miPrintSel" });
    QStringList deviceAlone = device;
    deviceAlone[1] += " (off)";
    const QStringList database
        = entries({ "Export selected Messages to iTunes Backup;;miExport2ITunesBKSel",
            "Transfer selected Messages to iPhone;db2i;miDb2ISel",
            "Extract attachment from selected Messages;extract_media;miExtractMediaSel",
            "Export selected Messages to File;export;miExportSel",
            "Print selected Messages;print;miPrintSel",
            "Delete selected Messages;delete;miDelSel" });
    QStringList databaseAlone = database;
    databaseAlone[1] += " (off)";
    QTest::newRow("nothing current") << 1 << noNode << QList<int>() << QStringList();
    QTest::newRow("databases root") << 1 << localRoot << QList<int>() << QStringList();
    QTest::newRow("device, rows selected") << 2 << phone << QList<int> { 0, 2 } << device;
    QTest::newRow("device chat, one connected")
        << 1 << phoneChat << QList<int> { 0 } << deviceAlone;
    QTest::newRow("database, no row selected") << 1 << base << QList<int>() << database;
    QTest::newRow("database chat, no device, no row")
        << 0 << baseChat << QList<int>() << databaseAlone;
}

void TestMainWindowMenus::listMenuPerNodeKind()
{
    QFETCH(int, devices);
    QFETCH(QStringList, path);
    QFETCH(QList<int>, rows);
    QFETCH(QStringList, expected);
    openWindow(devices, path);
    selectRows(*m_window, rows);
    QCOMPARE(contextMenu(*m_window, list(*m_window)), expected);
}

void TestMainWindowMenus::deviceCountChangesTransferEntriesAtOnce()
{
    openWindow(2, base);
    auto *toolBar = m_window->findChild<QToolBar *>(QStringLiteral("mainToolBar"));
    QAction *db2i = toolBar->actions().at(2);
    QVERIFY(db2i->isEnabled());
    // Disconnecting both phones leaves the database current.
    for (const char *name : { "PhoneA", "PhoneB" }) {
        tree(*m_window)->selectionModel()->clear();
        QVERIFY(choose(*m_window, { "Devices", name }));
        m_window->miUnmoutDevice();
        QVERIFY(choose(*m_window, base));
    }
    QVERIFY(!db2i->isEnabled());
}

QTEST_MAIN(TestMainWindowMenus)
#include "tst_mainwindow_menus.moc"
