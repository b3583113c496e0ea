#include "windowharness.h"

#include "app/devicearrival.h"
#include "messages/ios6messagedb.h"
#include "support/backuptoolinstall.h"
#include "support/boxrecorder.h"
#include "support/devicelibraries.h"
#include "support/messagesetbuilder.h"
#include "support/simulatedphone.h"

#include <QtTest>

using namespace windowtest;

namespace {

constexpr int arrivalTimeoutMs = 60000;

} // namespace

// Transfers to simulated phones plugged into the window, read back from the phone's folder.
class TestMainWindowTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void transfersDatabaseChatToPhone();
    void transfersBetweenPhones();
    void phoneNodeShowsWhatWasTransferred();
    void refusesPhoneOfOldLayout();
    void askedBeforeWritingToAnIpad();
    void unpluggedWhileAskedEndsQuietly();

private:
    // A phone with one chat of its own, plugged in and arrived.
    void plugIn(const QString &udid, SimulatedPhone::Layout layout = SimulatedPhone::Ios6,
        const QString &productType = QString());
    void unplug(const QString &udid);
    QString phonePath(const QString &udid) const;
    // The texts in the phone's own message database.
    QStringList phoneTexts(const QString &udid) const;
    // Runs the slot of the tree's context menu, choosing the phone named "Phone <udid>".
    void transferTo(const QString &slot, const QString &udid);

    QTemporaryDir m_home;
    QString m_devices;
    QString m_staging;
    QStringList m_plugged;
    std::unique_ptr<BoxRecorder> m_boxes;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_offered; // device names the chooser was given
};

void TestMainWindowTransfer::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    QVERIFY(devicetest::installBackupTool(m_home.path()));
    m_devices = devicetest::useDevicesFolder(m_home.path());
    m_staging = m_home.filePath(QStringLiteral("staging"));
    QVERIFY(!devicetest::useBackupVolume(m_home.path()).isEmpty());

    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const MsgMessageList sample = buildSampleChats(builder);
    writeLocalDb(QStringLiteral("Base"), sample);
    // A phone known from an earlier copy, without a device behind it, as a source.
    writeVirtualPhone(QStringLiteral("Source"), sample);
    m_boxes.reset(new BoxRecorder);
    // One window for all: it subscribes to the devices once.
    m_window.reset(new MainWindow);
}

void TestMainWindowTransfer::init()
{
    m_boxes->clear();
    m_boxes->onBox = nullptr;
}

void TestMainWindowTransfer::cleanup()
{
    for (const QString &udid : qAsConst(m_plugged))
        unplug(udid);
    m_plugged.clear();
}

void TestMainWindowTransfer::cleanupTestCase()
{
    m_window.reset();
    m_boxes.reset();
}

QString TestMainWindowTransfer::phonePath(const QString &udid) const
{
    return QDir(m_devices).filePath(udid);
}

void TestMainWindowTransfer::plugIn(
    const QString &udid, SimulatedPhone::Layout layout, const QString &productType)
{
    SimulatedPhone phone(m_staging, udid, "Phone " + udid,
        layout == SimulatedPhone::Ios5 ? "5.1.1" : "6.1.3", layout);
    phone.addChat("+12015550100", { "hello from " + udid, "again" });
    if (!productType.isEmpty())
        phone.device().setValue(QString(), "ProductType", productType);
    QVERIFY(phone.write());
    const int before = childNames(*m_window, { "Devices" }).size();
    QVERIFY(QDir().rename(phone.path(), phonePath(udid)));
    m_plugged << udid;
    QTRY_COMPARE_WITH_TIMEOUT(
        childNames(*m_window, { "Devices" }).size(), before + 1, arrivalTimeoutMs);
    auto *arrival = m_window->findChild<DeviceArrival *>();
    QTRY_VERIFY_WITH_TIMEOUT(!arrival->isArriving(), arrivalTimeoutMs);
    settle(); // the new node is made current, queued
}

void TestMainWindowTransfer::unplug(const QString &udid)
{
    const QString path = phonePath(udid);
    const AMDeviceRef device = devicetest::attach(path); // the attached one, handed out again
    const QString away = m_home.filePath("unplugged/" + udid);
    QDir(away).removeRecursively();
    QVERIFY(QDir().mkpath(QFileInfo(away).path()));
    QVERIFY(QDir().rename(path, away));
    if (device)
        devicetest::detach(device);
    QTRY_VERIFY(!nodeIndex(*m_window, { "Devices", "Phone " + udid }).isValid());
}

QStringList TestMainWindowTransfer::phoneTexts(const QString &udid) const
{
    const QString folder = QFileInfo(phonePath(udid)).exists()
        ? phonePath(udid)
        : m_home.filePath("unplugged/" + udid);
    IOS6MessageDb db(QDir(m_home.filePath("reader")), QString(), false);
    db.setSmsDbPath(folder + "/filesystem/" + SimulatedPhone::smsDbRelativePath());
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.messages(set, 0);
    QStringList texts;
    for (const _MsgMessage *m : set->messages())
        texts << m->text;
    texts.sort();
    return texts;
}

void TestMainWindowTransfer::transferTo(const QString &slot, const QString &udid)
{
    QString asked;
    m_window->services().chooseDevice
        = [&](QWidget *, const QString &label, const QList<DataSourceItem> &items) {
              asked = label;
              m_offered.clear();
              qint64 chosen = 0;
              for (const DataSourceItem &item : items) {
                  m_offered << item.name + (item.iconPath == ":res/iphone.png" ? "" : " ?");
                  if (item.name == "Phone " + udid)
                      chosen = item.id;
              }
              return chosen;
          };
    QVERIFY(runContextEntry(*m_window, tree(*m_window), slot));
    QCOMPARE(asked, QStringLiteral("Please select an iPhone:"));
}

void TestMainWindowTransfer::transfersDatabaseChatToPhone()
{
    plugIn("target");
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    QVERIFY(choose(*m_window, { "Local Databases", "Base", "Alice Doe" }));
    const QStringList alice = shownTexts(*m_window);
    m_boxes->clear();
    transferTo("miDb2IChat", "target");
    QCOMPARE(m_offered, QStringList({ "Source", "Phone target" }));
    QVERIFY(m_boxes->texts().value(0).startsWith(
        "1) If your iPhone is protected with a passcode, please enter your passcode"));
    QVERIFY(m_boxes->texts().value(0).endsWith("Check detail")); // no web host: no link
    QCOMPARE(
        m_boxes->texts().last(), QStringLiteral("Successfully recovered 4 messages to iPhone."));
    QStringList expected = alice + QStringList { "again", "hello from target" };
    expected.sort();
    QCOMPARE(phoneTexts("target"), expected);
}

void TestMainWindowTransfer::transfersBetweenPhones()
{
    plugIn("second");
    QVERIFY(choose(*m_window, { "Devices", "Source", "bob@example.com" }));
    const QStringList bob = shownTexts(*m_window);
    transferTo("miI2IChat", "second");
    QCOMPARE(m_offered, QStringList { "Phone second" }); // never the source itself
    QCOMPARE(
        m_boxes->texts().last(), QStringLiteral("Successfully recovered 4 messages to iPhone."));
    QStringList expected = bob + QStringList { "again", "hello from second" };
    expected.sort();
    QCOMPARE(phoneTexts("second"), expected);
}

void TestMainWindowTransfer::phoneNodeShowsWhatWasTransferred()
{
    plugIn("shown");
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    QVERIFY(choose(*m_window, { "Local Databases", "Base", "Alice Doe" }));
    const QStringList alice = shownTexts(*m_window);
    transferTo("miDb2IChat", "shown");
    QCOMPARE(
        m_boxes->texts().last(), QStringLiteral("Successfully recovered 4 messages to iPhone."));
    // Alice's chat stays on show; the phone's node, the only one, holds the new content.
    QCOMPARE(shownTexts(*m_window), alice);
    QCOMPARE(childNames(*m_window, { "Devices" }).count("Phone shown"), 1);
    QStringList chats = childNames(*m_window, { "Devices", "Phone shown" });
    chats.sort();
    QCOMPARE(chats, QStringList({ "+12015550100", "+15550001111" })); // Alice's number
    QVERIFY(choose(*m_window, { "Devices", "Phone shown" }));
    QStringList texts = shownTexts(*m_window);
    texts.sort();
    QCOMPARE(texts, phoneTexts("shown"));
}

void TestMainWindowTransfer::refusesPhoneOfOldLayout()
{
    plugIn("old", SimulatedPhone::Ios5);
    const QStringList before = m_boxes->texts();
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    transferTo("miDb2IAll", "old");
    QCOMPARE(m_boxes->texts().mid(before.size()),
        { "Failed to recover. Only iOS 6 or above is supported." });
}

void TestMainWindowTransfer::askedBeforeWritingToAnIpad()
{
    plugIn("tablet", SimulatedPhone::Ios6, "iPad2,1");
    const QStringList before = phoneTexts("tablet");
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    m_boxes->clear();
    m_boxes->answers << QMessageBox::No;
    transferTo("miDb2IAll", "tablet");
    QCOMPARE(
        m_boxes->texts(), { "You can recover iMessage only to an iPad/iPod. Want to continue?" });
    QCOMPARE(phoneTexts("tablet"), before);
}

void TestMainWindowTransfer::unpluggedWhileAskedEndsQuietly()
{
    plugIn("leaving");
    const QStringList before = phoneTexts("leaving");
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    m_boxes->clear();
    m_boxes->onBox = [this](QMessageBox &box) {
        if (box.text().startsWith("1) ")) {
            unplug("leaving");
            m_plugged.removeAll("leaving");
        }
    };
    transferTo("miDb2IAll", "leaving");
    QCOMPARE(m_boxes->boxes.size(), 1);
    QCOMPARE(phoneTexts("leaving"), before);
    QVERIFY(!QFileInfo::exists(m_home.filePath("volume/__quillmarrow_iosbk_temp/leaving")));
}

QTEST_MAIN(TestMainWindowTransfer)
#include "tst_mainwindow_transfer.moc"
