#include "windowharness.h"

#include "support/boxrecorder.h"
#include "support/messagesetbuilder.h"

#include <QtTest>

using namespace windowtest;

namespace {

const QStringList phone = { "Devices", "PhoneA" };
const QStringList phoneAlice = { "Devices", "PhoneA", "Alice Doe" };
const QStringList base = { "Local Databases", "Base" };
const QStringList baseAlice = { "Local Databases", "Base", "Alice Doe" };

// Reads every record of the list, so that a freed one shows under AddressSanitizer.
int touch(const MsgMessageList &messages)
{
    int size = 0;
    for (const _MsgMessage *m : messages) {
        size += m->text.size();
        if (m->chat)
            size += m->chat->guid.size();
        for (const _MsgAttachment *a : m->attachments)
            size += a->filename.size();
    }
    return size;
}

} // namespace

// Nodes that go while their records are shown or while a flow runs on them: a device
// unplugged, a database deleted.
class TestMainWindowLifetime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void deviceGoesWhileItsChatIsShown();
    void databaseGoesWhileItsMessagesAreShown();
    void deviceGoesWhileExportAsksForFile();
    void deviceGoesWhilePrinting();
    void deviceGoesWhileSaveAsksForDatabase();
    void databaseGoesWhileDeleteAsks_data();
    void databaseGoesWhileDeleteAsks();
    void databaseGoesWhileBackupIsChosen();

private:
    void openWindow();
    void unplug(const QStringList &device);
    void deleteDatabase(const QStringList &database);

    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<BoxRecorder> m_boxes; // one for the whole test: nested ones would unhook
};

void TestMainWindowLifetime::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
}

void TestMainWindowLifetime::init()
{
    clearHome(m_home);
    m_out.reset(new QTemporaryDir);
    m_boxes.reset(new BoxRecorder);
    openWindow();
}

void TestMainWindowLifetime::cleanup()
{
    m_window.reset();
    m_boxes.reset();
}

void TestMainWindowLifetime::openWindow()
{
    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const MsgMessageList sample = buildSampleChats(builder);
    writeLocalDb(QStringLiteral("Base"), sample);
    writeVirtualPhone(QStringLiteral("PhoneA"), sample);
    writeVirtualPhone(QStringLiteral("PhoneB"), sample);
    m_window.reset(new MainWindow);
    m_window->services().now = [] { return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)); };
}

void TestMainWindowLifetime::unplug(const QStringList &device)
{
    // As a user would: the device made current, then "Disconnect Device".
    QVERIFY(choose(*m_window, device));
    m_window->miUnmoutDevice();
    QVERIFY(!nodeIndex(*m_window, device).isValid());
}

void TestMainWindowLifetime::deleteDatabase(const QStringList &database)
{
    QVERIFY(choose(*m_window, database));
    m_window->miDelAll();
    QVERIFY(!nodeIndex(*m_window, database).isValid());
}

void TestMainWindowLifetime::deviceGoesWhileItsChatIsShown()
{
    QVERIFY(choose(*m_window, phoneAlice));
    list(*m_window)->selectAll();
    QVERIFY(listModel(*m_window)->rowCount() > 0);
    QVERIFY(choose(*m_window, phone));
    m_window->miUnmoutDevice();
    settle();
    QCOMPARE(listModel(*m_window)->rowCount(), 0);
    QVERIFY(m_window->selectedMessages().isEmpty());
    // Repainting and sorting the list touch nothing freed.
    m_window->grab();
    m_window->onSMSSortIndicatorChanged(0, Qt::DescendingOrder);
    QVERIFY(choose(*m_window, { "Devices", "PhoneB", "Alice Doe" }));
    QCOMPARE(listModel(*m_window)->rowCount(), 4);
}

void TestMainWindowLifetime::databaseGoesWhileItsMessagesAreShown()
{
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    QVERIFY(choose(*m_window, base));
    QCOMPARE(listModel(*m_window)->rowCount(), 12);
    deleteDatabase(base);
    settle();
    QCOMPARE(listModel(*m_window)->rowCount(), 0);
    m_window->grab();
}

void TestMainWindowLifetime::deviceGoesWhileExportAsksForFile()
{
    QVERIFY(choose(*m_window, phone));
    m_window->services().saveFileName
        = [this](QWidget *, const QString &, const QString &, const QString &filters, QString *f) {
              unplug(phone);
              *f = filters.split(";;").value(0);
              return m_out->filePath("all.txt");
          };
    m_boxes->clear();
    m_window->miExportAll();
    QCOMPARE(m_boxes->texts(), { "Successfully exported 12 Messages." });
    QVERIFY(QFileInfo(m_out->filePath("all.txt")).size() > 0);
}

void TestMainWindowLifetime::deviceGoesWhilePrinting()
{
    QVERIFY(choose(*m_window, phoneAlice));
    int size = 0;
    m_window->services().print = [&](QWidget *, const MsgMessageList &messages) {
        unplug(phone);
        size = touch(messages);
    };
    m_window->miPrintChat();
    QVERIFY(size > 0);
}

void TestMainWindowLifetime::deviceGoesWhileSaveAsksForDatabase()
{
    QVERIFY(choose(*m_window, phone));
    m_window->services().localDbName = [this](QWidget *, const QStringList &, const QString &) {
        unplug(phone);
        return QStringLiteral("Saved");
    };
    m_boxes->clear();
    m_window->miBackupAll();
    QCOMPARE(m_boxes->texts(), { "Successfully Backup 12 Messages to local Database." });
    QCOMPARE(LocalDbFixture(localDbFolder().filePath("Saved")).load()->messages().size(), 12);
}

void TestMainWindowLifetime::databaseGoesWhileDeleteAsks_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QList<int>>("rows");
    QTest::newRow("selected messages") << "miDelSel" << QList<int> { 0 };
    QTest::newRow("chat") << "miDelChat" << QList<int>();
}

void TestMainWindowLifetime::databaseGoesWhileDeleteAsks()
{
    QFETCH(QString, slot);
    QFETCH(QList<int>, rows);
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    selectRows(*m_window, rows);
    m_boxes->clear();
    m_boxes->onBox = [this](QMessageBox &box) {
        if (box.text().startsWith("Confirm to delete") && !box.text().contains("Database")) {
            tree(*m_window)->selectionModel()->clear();
            QVERIFY(choose(*m_window, base));
            m_window->miDelAll(); // asks again: answered Yes
        }
    };
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QVERIFY(!nodeIndex(*m_window, base).isValid());
    QCOMPARE(m_boxes->texts().last(), QStringLiteral("Successfully Deleted Database Base."));
}

void TestMainWindowLifetime::databaseGoesWhileBackupIsChosen()
{
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    const QString folder = writePhoneBackup("bk", m_out->filePath("phone"));
    m_window->services().chooseBackup = [&](QWidget *) {
        deleteDatabase(base);
        QSharedPointer<BackupManifest> backup(new BackupManifest(folder));
        backup->loadManifestPlist();
        return backup;
    };
    // The chat's records outlive their database's node until the merge is done.
    m_boxes->clear();
    m_window->miExport2ITunesBKChat();
    QCOMPARE(
        m_boxes->texts().last(), QStringLiteral("Successfully recovered 4 messages to iPhone."));
}

QTEST_MAIN(TestMainWindowLifetime)
#include "tst_mainwindow_lifetime.moc"
