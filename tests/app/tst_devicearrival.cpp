#include "app/devicearrival.h"
#include "app/itemmodelmain.h"
#include "app/mainwindow.h"
#include "backup/passcodedlg.h"
#include "platform/samplephones/samplephones.h"
#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "shell/mytreeview.h"
#include "shell/progressform.h"
#include "support/backuptoolinstall.h"
#include "support/boxrecorder.h"
#include "support/devicelibraries.h"
#include "support/simulatedphone.h"
#include "view/countryselform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <sys/stat.h>

namespace {

constexpr int arrivalTimeoutMs = 60000;

ProgressForm *visibleProgressForm()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *form = qobject_cast<ProgressForm *>(widget); form && form->isVisible())
            return form;
    }
    return nullptr;
}

quint64 inodeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? quint64(info.st_ino) : 0;
}

} // namespace

class TestDeviceArrival : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void phoneShowsItsChats_data();
    void phoneShowsItsChats();
    void encryptedBackupAsksForThePassword();
    void cancelledPasswordDialogAddsNoNode();
    void iCloudBackupGetsTheWarning();
    void countryIsAskedForWhenTheSimGivesNone_data();
    void countryIsAskedForWhenTheSimGivesNone();
    void databaseOfNeitherLayoutIsInvalid_data();
    void databaseOfNeitherLayoutIsInvalid();
    void unpluggingRemovesTheNodeAndItsMessages();
    void secondNotificationAddsASecondNode();
    void unpluggingDuringTheCopyAddsNoNode_data();
    void unpluggingDuringTheCopyAddsNoNode();
    void unpluggingDuringThePasswordDialogAddsNoNode();
    void cancelledStepsLeaveNothingTakenForComplete_data();
    void cancelledStepsLeaveNothingTakenForComplete();
    void secondArrivalCopiesOnlyWhatChanged();
    void phonesArriveOneAfterTheOther();
    void arrivalWaitsForThePrintPreview();
    void waitingPhoneUnpluggedIsDropped();
    void phoneUnpluggedAtOnceIsLoggedByName();
    void samplePhonesArriveWithTheirChats();

private:
    SimulatedPhone makePhone(const QString &udid, const QString &version,
        SimulatedPhone::Layout layout = SimulatedPhone::Ios6);
    // Writes the phone beside the devices folder and moves it in whole: the phone arrives.
    void plugIn(SimulatedPhone &phone);
    // Both phones arrive in one scan of the devices folder, the first one first.
    void plugInTogether(SimulatedPhone &first, SimulatedPhone &second);
    // Takes the phone out of the devices folder and waits until the window was told.
    void unplug(const QString &udid);
    void waitUntilArrivalEnds();
    QList<_IOSDeviceItemNode *> deviceNodes() const;
    int answerPassword(QDialog &dialog, const QStringList &tries);
    QString smsCountAfterSelecting(AbsTreeItemModel::_ItemNode *node);
    // "address: Messages: n" of each chat of the device node, sorted.
    QStringList chatCounts(AbsTreeItemModel::_ItemNode *device);
    AbsTreeItemModel::_ItemNode *chatNode(AbsTreeItemModel::_ItemNode *device, const QString &name);

    QTemporaryDir m_home;
    QTranslator m_translator;
    QString m_devices;
    QString m_staging;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<BoxRecorder> m_boxes;
    std::function<int(QDialog &)> m_answerDialog;
};

void TestDeviceArrival::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    QVERIFY(devicetest::installBackupTool(m_home.path()));
    m_devices = devicetest::useDevicesFolder(m_home.path());
    m_staging = m_home.filePath(QStringLiteral("staging"));
    QVERIFY(QDir().mkpath(m_staging));
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    AppConfig::setWebHost(QString());
    QVERIFY(!devicetest::useBackupVolume(m_home.path()).isEmpty());

    m_boxes = std::make_unique<BoxRecorder>();
    DeviceArrival::setDialogHook(
        [this](QDialog &dialog) { return m_answerDialog ? m_answerDialog(dialog) : 0; });
    // One window for all: it subscribes to the devices once.
    m_window.reset(new MainWindow(nullptr, [] { return qint64(1700000000); }));
}

void TestDeviceArrival::init()
{
    m_boxes->clear();
    m_boxes->onBox = nullptr;
    m_answerDialog = nullptr;
}

void TestDeviceArrival::cleanup()
{
    for (const QString &udid : QDir(m_devices).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        unplug(udid);
    QTRY_VERIFY(deviceNodes().isEmpty());
}

void TestDeviceArrival::cleanupTestCase()
{
    m_window.reset();
    DeviceArrival::setDialogHook(nullptr);
    m_boxes.reset();
}

SimulatedPhone TestDeviceArrival::makePhone(
    const QString &udid, const QString &version, SimulatedPhone::Layout layout)
{
    SimulatedPhone phone(m_staging, udid, QStringLiteral("Phone ") + udid, version, layout);
    phone.addChat(
        QStringLiteral("+12015550100"), { QStringLiteral("hello"), QStringLiteral("again") });
    phone.addChat(QStringLiteral("+12015550101"),
        { QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three") });
    phone.addAttachmentFiles(4, 20000);
    return phone;
}

void TestDeviceArrival::plugIn(SimulatedPhone &phone)
{
    QVERIFY(phone.write());
    QVERIFY(QDir().rename(phone.path(), QDir(m_devices).filePath(phone.udid())));
    QTRY_VERIFY_WITH_TIMEOUT(
        !m_boxes->texts(QMessageBox::Information).filter("Notes:").isEmpty(), 10000);
}

void TestDeviceArrival::plugInTogether(SimulatedPhone &first, SimulatedPhone &second)
{
    QVERIFY(first.udid() < second.udid());
    QVERIFY(first.write());
    QVERIFY(second.write());
    QVERIFY(QDir().rename(first.path(), QDir(m_devices).filePath(first.udid())));
    QVERIFY(QDir().rename(second.path(), QDir(m_devices).filePath(second.udid())));
}

void TestDeviceArrival::unplug(const QString &udid)
{
    const QString path = QDir(m_devices).filePath(udid);
    // The library hands out the attached device of a folder again.
    const AMDeviceRef device = devicetest::attach(path);
    const QString away = m_home.filePath(QStringLiteral("unplugged/") + udid);
    QDir(away).removeRecursively();
    QVERIFY(QDir().mkpath(QFileInfo(away).path()));
    QVERIFY(QDir().rename(path, away));
    // Delivered here unless the library's own scan saw the folder go first.
    if (!device || devicetest::detach(device) != 0)
        QTest::qWait(500);
    QCoreApplication::processEvents();
}

void TestDeviceArrival::waitUntilArrivalEnds()
{
    auto *arrival = m_window->findChild<DeviceArrival *>();
    QVERIFY(arrival);
    QTRY_VERIFY_WITH_TIMEOUT(!arrival->isArriving(), arrivalTimeoutMs);
}

QList<_IOSDeviceItemNode *> TestDeviceArrival::deviceNodes() const
{
    auto *tree = m_window->findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
    auto *model = qobject_cast<ItemModelMain *>(tree->model());
    QList<_IOSDeviceItemNode *> nodes;
    for (AbsTreeItemModel::_ItemNode *node : model->rootDevice()->children)
        nodes << static_cast<_IOSDeviceItemNode *>(node);
    return nodes;
}

int TestDeviceArrival::answerPassword(QDialog &dialog, const QStringList &tries)
{
    if (!qobject_cast<PasscodeDlg *>(&dialog))
        return 0;
    auto *field = dialog.findChild<QLineEdit *>(QStringLiteral("txtPasscode"));
    for (const QString &password : tries) {
        field->setText(password);
        QMetaObject::invokeMethod(&dialog, "btnOKPressed");
        if (dialog.result() == QDialog::Accepted)
            return 1;
    }
    return 0;
}

QString TestDeviceArrival::smsCountAfterSelecting(AbsTreeItemModel::_ItemNode *node)
{
    auto *tree = m_window->findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
    auto *model = qobject_cast<ItemModelMain *>(tree->model());
    QCoreApplication::processEvents(); // the arrival's queued selection of the device
    tree->setCurrentIndex(model->indexOfNode(node));
    QCoreApplication::processEvents();
    return m_window->findChild<QLabel *>(QStringLiteral("lbSMSCount"))->text();
}

QStringList TestDeviceArrival::chatCounts(AbsTreeItemModel::_ItemNode *device)
{
    QStringList counts;
    for (AbsTreeItemModel::_ItemNode *chat : device->children)
        counts << chat->name + QStringLiteral(": ") + smsCountAfterSelecting(chat);
    counts.sort();
    return counts;
}

AbsTreeItemModel::_ItemNode *TestDeviceArrival::chatNode(
    AbsTreeItemModel::_ItemNode *device, const QString &name)
{
    for (AbsTreeItemModel::_ItemNode *chat : device->children) {
        if (chat->name == name)
            return chat;
    }
    return nullptr;
}

void TestDeviceArrival::phoneShowsItsChats_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("layout");
    QTest::newRow("iOS 5 by file relay") << "5.1.1" << int(SimulatedPhone::Ios5);
    QTest::newRow("iOS 6 by file relay") << "6.1.3" << int(SimulatedPhone::Ios6);
    QTest::newRow("no version by file relay") << "" << int(SimulatedPhone::Ios6);
    QTest::newRow("iOS 9 by backup") << "9.3.5" << int(SimulatedPhone::Current);
    QTest::newRow("iOS 4 by backup") << "4.3" << int(SimulatedPhone::Ios5);
}

void TestDeviceArrival::phoneShowsItsChats()
{
    QFETCH(QString, version);
    QFETCH(int, layout);
    const QString udid
        = QStringLiteral("shows-") + QString(QTest::currentDataTag()).replace(' ', '-');
    SimulatedPhone phone = makePhone(udid, version, SimulatedPhone::Layout(layout));
    plugIn(phone);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    QCOMPARE(m_boxes->texts(QMessageBox::Critical), QStringList());

    _IOSDeviceItemNode *node = deviceNodes().first();
    QCOMPARE(node->name, QStringLiteral("Phone ") + udid);
    QCOMPARE(node->device.udid, udid);
    QCOMPARE(node->device.countryCode, QStringLiteral("310"));
    QCOMPARE(chatCounts(node),
        QStringList({ "+12015550100: Messages: 2", "+12015550101: Messages: 3" }));
    const bool backupRoad = version.startsWith('9') || version.startsWith('4');
    QCOMPARE(QFileInfo::exists(
                 m_home.filePath("volume/__quillmarrow_iosbk_temp/" + udid + "/Status.plist")),
        backupRoad);
}

void TestDeviceArrival::encryptedBackupAsksForThePassword()
{
    SimulatedPhone phone
        = makePhone(QStringLiteral("locked"), QStringLiteral("9.0"), SimulatedPhone::Current);
    phone.setBackupPassword(QStringLiteral("open sesame"));
    m_answerDialog = [this](QDialog &dialog) {
        return answerPassword(dialog, { QStringLiteral("wrong"), QStringLiteral("open sesame") });
    };
    plugIn(phone);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    QCOMPARE(m_boxes->texts(QMessageBox::Warning), QStringList { "Invalid password." });
    QCOMPARE(chatCounts(deviceNodes().first()),
        QStringList({ "+12015550100: Messages: 2", "+12015550101: Messages: 3" }));
}

void TestDeviceArrival::cancelledPasswordDialogAddsNoNode()
{
    SimulatedPhone phone
        = makePhone(QStringLiteral("locked-out"), QStringLiteral("9.0"), SimulatedPhone::Current);
    phone.setBackupPassword(QStringLiteral("pw"));
    bool asked = false;
    m_answerDialog = [&](QDialog &dialog) {
        asked = qobject_cast<PasscodeDlg *>(&dialog);
        return 0;
    };
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(asked);
    QVERIFY(deviceNodes().isEmpty());
    QCOMPARE(m_boxes->texts(QMessageBox::Critical), QStringList());
}

void TestDeviceArrival::iCloudBackupGetsTheWarning()
{
    SimulatedPhone phone
        = makePhone(QStringLiteral("cloudy"), QStringLiteral("10.1"), SimulatedPhone::Current);
    phone.device().setValue("com.apple.mobile.backup", "CloudBackupEnabled", true);
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(deviceNodes().isEmpty());
    const QStringList warnings = m_boxes->texts(QMessageBox::Warning);
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings.first().startsWith(
        "Failed to transfer data to device. Please turn off iCloud backup"));
    QVERIFY(!QFileInfo::exists(m_home.filePath("volume/__quillmarrow_iosbk_temp/cloudy")));
}

void TestDeviceArrival::countryIsAskedForWhenTheSimGivesNone_data()
{
    QTest::addColumn<QString>("sim");
    QTest::addColumn<bool>("told");
    QTest::addColumn<bool>("chosen");
    QTest::addColumn<QString>("country");
    QTest::newRow("no SIM, chosen") << QString() << true << true << "234";
    QTest::newRow("unknown SIM, chosen") << "999" << false << true << "234";
    QTest::newRow("no SIM, not chosen") << QString() << true << false << "";
}

void TestDeviceArrival::countryIsAskedForWhenTheSimGivesNone()
{
    QFETCH(QString, sim);
    QFETCH(bool, told);
    QFETCH(bool, chosen);
    QFETCH(QString, country);
    const QString udid = QStringLiteral("country-")
        + QString(QTest::currentDataTag()).replace(' ', '-').remove(',');
    SimulatedPhone phone = makePhone(udid, QStringLiteral("6.1"));
    if (sim.isEmpty())
        phone.device().removeValue(QString(), "MobileSubscriberCountryCode");
    else
        phone.device().setValue(QString(), "MobileSubscriberCountryCode", sim);
    int asked = 0;
    m_answerDialog = [&](QDialog &dialog) {
        auto *form = qobject_cast<CountrySelForm *>(&dialog);
        if (!form)
            return 0;
        ++asked;
        if (!chosen)
            return 0;
        form->findChild<QLineEdit *>(QStringLiteral("txtKW"))->setText(QStringLiteral("Kingdom"));
        form->findChild<QListWidget *>()->setCurrentRow(0);
        form->accept();
        return form->result();
    };
    plugIn(phone);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    QCOMPARE(asked, 1);
    QCOMPARE(m_boxes->texts(QMessageBox::Information).filter("Failed to load country code").size(),
        told ? 1 : 0);
    QCOMPARE(deviceNodes().first()->device.countryCode, chosen ? country : sim);
}

void TestDeviceArrival::databaseOfNeitherLayoutIsInvalid_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("layout");
    QTest::newRow("file relay, other tables") << "7.1.2" << int(SimulatedPhone::Neither);
    QTest::newRow("file relay, no database") << "7.0" << int(SimulatedPhone::NoDatabase);
    QTest::newRow("backup, other tables") << "9.1" << int(SimulatedPhone::Neither);
}

void TestDeviceArrival::databaseOfNeitherLayoutIsInvalid()
{
    QFETCH(QString, version);
    QFETCH(int, layout);
    const QString udid = QStringLiteral("invalid-")
        + QString(QTest::currentDataTag()).replace(' ', '-').remove(',');
    SimulatedPhone phone = makePhone(udid, version, SimulatedPhone::Layout(layout));
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(deviceNodes().isEmpty());
    const QStringList errors = m_boxes->texts(QMessageBox::Critical);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains("invalid IOS db."), qPrintable(errors.first()));
}

void TestDeviceArrival::unpluggingRemovesTheNodeAndItsMessages()
{
    SimulatedPhone first = makePhone(QStringLiteral("leaving"), QStringLiteral("6.1"));
    plugIn(first);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    SimulatedPhone second = makePhone(QStringLiteral("staying"), QStringLiteral("6.1"));
    plugIn(second);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 2, arrivalTimeoutMs);
    waitUntilArrivalEnds();

    _IOSDeviceItemNode *leaving = deviceNodes().first();
    QCOMPARE(leaving->device.udid, QStringLiteral("leaving"));
    QCOMPARE(
        smsCountAfterSelecting(chatNode(leaving, "+12015550101")), QStringLiteral("Messages: 3"));
    unplug(QStringLiteral("leaving"));
    QTRY_COMPARE(deviceNodes().size(), 1);
    _IOSDeviceItemNode *staying = deviceNodes().first();
    QCOMPARE(staying->device.udid, QStringLiteral("staying"));
    // The list and the bubbles show nothing of the phone that went.
    QCoreApplication::processEvents();
    AbsTreeItemModel::_ItemNode *shown = m_window->currentNode();
    QVERIFY(!shown || shown == staying || shown->parent == staying || !shown->parent);
    QVERIFY(
        !m_window->currentChat() || staying->messageSet->chats().contains(m_window->currentChat()));
    // Sorting shows the list's messages again: none of them may belong to the phone that went.
    auto *header = m_window->findChild<MyTreeView *>(QStringLiteral("treeViewSMS"))->header();
    header->setSortIndicator(0, Qt::DescendingOrder);
    header->setSortIndicator(0, Qt::AscendingOrder);

    QCOMPARE(
        smsCountAfterSelecting(chatNode(staying, "+12015550100")), QStringLiteral("Messages: 2"));
    unplug(QStringLiteral("staying"));
    QTRY_VERIFY(deviceNodes().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(m_window->currentChat(), nullptr);
    QCOMPARE(m_window->findChild<QLabel *>(QStringLiteral("lbSMSCount"))->text(),
        QStringLiteral("Messages: 0"));
}

void TestDeviceArrival::secondNotificationAddsASecondNode()
{
    SimulatedPhone phone = makePhone(QStringLiteral("twice-told"), QStringLiteral("6.1"));
    plugIn(phone);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    _IOSDeviceItemNode *first = deviceNodes().first();
    void *handle = first->device.handle;
    QMetaObject::invokeMethod(
        m_window.get(), "iosDeviceConnected", Qt::QueuedConnection, Q_ARG(void *, handle));
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 2, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    _IOSDeviceItemNode *second = deviceNodes().at(1);
    QCOMPARE(second->device.handle, handle);
    QMetaObject::invokeMethod(m_window.get(), "iosDeviceDisconnected", Q_ARG(void *, handle));
    QCOMPARE(deviceNodes(), QList<_IOSDeviceItemNode *> { second });
}

void TestDeviceArrival::unpluggingDuringTheCopyAddsNoNode_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("faultKey");
    QTest::addColumn<QVariantMap>("faults");
    // What the progress form shows once the copy is under way: the simulated phone reads its
    // files when it sends them, so a phone taken away before that sends an empty whole tree.
    QTest::addColumn<QString>("copying");
    QTest::newRow("file relay") << "6.1"
                                << "FileRelay" << QVariantMap { { "StallAfter", 20000 } }
                                << "Received:";
    QTest::newRow("backup") << "9.2"
                            << "BackupTool"
                            << QVariantMap { { "AfterFiles", 1 }, { "UntilUnplugged", true } }
                            << QString();
}

void TestDeviceArrival::unpluggingDuringTheCopyAddsNoNode()
{
    QFETCH(QString, version);
    QFETCH(QString, faultKey);
    QFETCH(QVariantMap, faults);
    QFETCH(QString, copying);
    const QString udid
        = QStringLiteral("pulled-") + QString(QTest::currentDataTag()).replace(' ', '-');
    SimulatedPhone phone = makePhone(udid, version, SimulatedPhone::Current);
    phone.setFaults(faultKey, faults);
    bool pulled = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        ProgressForm *form = visibleProgressForm();
        if (!pulled && form
            && form->findChild<QLabel *>(QStringLiteral("lbProgress"))->text().contains(copying)) {
            pulled = true;
            unplug(udid);
        }
    });
    watch.start(50);
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(pulled);
    QVERIFY(deviceNodes().isEmpty());
    // What went wrong is the unplugging, said once.
    QCOMPARE(m_boxes->texts(QMessageBox::Critical).size(), 1);
    QVERIFY2(m_boxes->texts(QMessageBox::Critical).first().contains("The iPhone was disconnected."),
        qPrintable(m_boxes->texts(QMessageBox::Critical).first()));
}

void TestDeviceArrival::unpluggingDuringThePasswordDialogAddsNoNode()
{
    SimulatedPhone phone = makePhone(
        QStringLiteral("pulled-locked"), QStringLiteral("9.0"), SimulatedPhone::Current);
    phone.setBackupPassword(QStringLiteral("pw"));
    m_answerDialog = [this](QDialog &dialog) {
        unplug(QStringLiteral("pulled-locked"));
        return answerPassword(dialog, { QStringLiteral("pw") });
    };
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(deviceNodes().isEmpty());
    QCOMPARE(m_boxes->texts(QMessageBox::Critical), QStringList());
}

void TestDeviceArrival::cancelledStepsLeaveNothingTakenForComplete_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("faultKey");
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<bool>("cachingStep");
    QTest::newRow("file relay copy")
        << "7.0"
        << "FileRelay" << QVariantMap { { "StallAfter", 20000 } } << false;
    QTest::newRow("backup") << "9.0"
                            << "BackupTool" << QVariantMap { { "FileDelayMs", 300 } } << false;
    QTest::newRow("caching") << "9.0" << QString() << QVariantMap() << true;
}

void TestDeviceArrival::cancelledStepsLeaveNothingTakenForComplete()
{
    QFETCH(QString, version);
    QFETCH(QString, faultKey);
    QFETCH(QVariantMap, faults);
    QFETCH(bool, cachingStep);
    const QString udid
        = QStringLiteral("cancel-") + QString(QTest::currentDataTag()).replace(' ', '-');
    SimulatedPhone phone = makePhone(udid, version, SimulatedPhone::Current);
    if (!faultKey.isEmpty())
        phone.setFaults(faultKey, faults);
    bool cancelled = false;
    QTimer watch;
    if (cachingStep) {
        // The password is the step before the caching: its dialog comes up next.
        phone.setBackupPassword(QStringLiteral("pw"));
        m_answerDialog = [&](QDialog &dialog) {
            QTimer::singleShot(0, this, [&] {
                if (ProgressForm *form = visibleProgressForm()) {
                    cancelled = true;
                    form->cancel();
                }
            });
            return answerPassword(dialog, { QStringLiteral("pw") });
        };
    } else {
        connect(&watch, &QTimer::timeout, this, [&] {
            if (ProgressForm *form = visibleProgressForm(); form && !cancelled) {
                cancelled = true;
                form->cancel();
            }
        });
        watch.start(50);
    }
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(cancelled);
    QVERIFY(deviceNodes().isEmpty());
    QCOMPARE(m_boxes->texts(QMessageBox::Critical), QStringList());
    watch.stop();

    // The next arrival of the phone, working as it should, is whole.
    unplug(udid);
    SimulatedPhone again = makePhone(udid, version, SimulatedPhone::Current);
    if (cachingStep)
        again.setBackupPassword(QStringLiteral("pw"));
    m_answerDialog
        = [this](QDialog &dialog) { return answerPassword(dialog, { QStringLiteral("pw") }); };
    QVERIFY(QDir(m_home.filePath("unplugged/" + udid)).removeRecursively());
    m_boxes->clear();
    plugIn(again);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    QCOMPARE(chatCounts(deviceNodes().first()),
        QStringList({ "+12015550100: Messages: 2", "+12015550101: Messages: 3" }));
}

void TestDeviceArrival::secondArrivalCopiesOnlyWhatChanged()
{
    const QString udid = QStringLiteral("twice");
    SimulatedPhone phone = makePhone(udid, QStringLiteral("9.3"), SimulatedPhone::Current);
    plugIn(phone);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    unplug(udid);
    QTRY_VERIFY(deviceNodes().isEmpty());

    const QDir backup(m_home.filePath("volume/__quillmarrow_iosbk_temp/" + udid));
    const QDateTime old(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    for (const QString &name :
        backup.entryList({ "????????????????????????????????????????" }, QDir::Files)) {
        QFile stored(backup.filePath(name));
        QVERIFY(stored.open(QIODevice::ReadWrite));
        QVERIFY(stored.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const QString cache = dataFolder().filePath("ios_cache/" + udid + "/file-relay/var/mobile/");
    const QString kept = QStringLiteral("Library/SMS/Attachments/00/00/IMG_0000.JPG");
    const QString changed = QStringLiteral("Library/SMS/Attachments/01/01/IMG_0001.JPG");
    const quint64 keptInode = inodeOf(cache + kept);
    QVERIFY(keptInode != 0);

    // The phone takes a new picture in place of an old one.
    const QString away = m_home.filePath("unplugged/" + udid);
    QFile picture(away + "/filesystem/var/mobile/" + changed);
    QVERIFY(picture.open(QIODevice::WriteOnly | QIODevice::Truncate));
    picture.write("a new picture");
    QVERIFY(picture.flush());
    QVERIFY(picture.setFileTime(
        QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
    picture.close();
    QVERIFY(QDir().rename(away, QDir(m_devices).filePath(udid)));
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();

    QCOMPARE(QFileInfo(backup.filePath("3d0d7e5fb2ce288813306e4d4636395e047a3d28")).lastModified(),
        old.toLocalTime());
    QVERIFY(QFileInfo(backup.filePath(QString::fromLatin1(QCryptographicHash::hash(
                          ("MediaDomain-" + changed).toUtf8(), QCryptographicHash::Sha1)
                                                              .toHex())))
                .lastModified()
        > old);
    // A copy is written beside its file and renamed over it: the same inode is no new copy.
    QCOMPARE(inodeOf(cache + kept), keptInode);
    QFile copied(cache + changed);
    QVERIFY(copied.open(QIODevice::ReadOnly));
    QCOMPARE(copied.readAll(), QByteArray("a new picture"));
}

void TestDeviceArrival::phonesArriveOneAfterTheOther()
{
    SimulatedPhone first = makePhone(QStringLiteral("queue-a"), QStringLiteral("6.1"));
    SimulatedPhone second = makePhone(QStringLiteral("queue-b"), QStringLiteral("6.1"));
    bool nested = false;
    m_boxes->onBox = [&](QMessageBox &box) {
        nested = nested || (box.text().contains("Notes:") && visibleProgressForm());
    };
    plugInTogether(first, second);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 2, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    QVERIFY(!nested);
    QCOMPARE(m_boxes->texts(QMessageBox::Information).filter("Notes:").size(), 2);
    QCOMPARE(deviceNodes().at(0)->device.udid, QStringLiteral("queue-a"));
    QCOMPARE(deviceNodes().at(1)->device.udid, QStringLiteral("queue-b"));
}

void TestDeviceArrival::arrivalWaitsForThePrintPreview()
{
    SimulatedPhone phone = makePhone(QStringLiteral("printing"), QStringLiteral("6.1"));
    QVERIFY(phone.write());
    auto *arrival = m_window->findChild<DeviceArrival *>();
    bool noticed = false;
    QStringList boxesWhilePainting;
    const auto print = m_window->services().print;
    m_window->services().print = [&](QWidget *, const MsgMessageList &) {
        QDir().rename(phone.path(), QDir(m_devices).filePath(phone.udid()));
        // As the preview's painting does between pages, the window's events run.
        QElapsedTimer painting;
        painting.start();
        while (!arrival->isArriving() && m_boxes->boxes.isEmpty()
            && painting.elapsed() < arrivalTimeoutMs) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        noticed = arrival->isArriving();
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        boxesWhilePainting = m_boxes->texts();
    };
    m_window->printMessages(MsgMessageList());
    m_window->services().print = print;
    QVERIFY(noticed);
    QCOMPARE(boxesWhilePainting, QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    QCOMPARE(m_boxes->texts(QMessageBox::Information).filter("Notes:").size(), 1);
}

void TestDeviceArrival::waitingPhoneUnpluggedIsDropped()
{
    SimulatedPhone first = makePhone(QStringLiteral("drop-a"), QStringLiteral("6.1"));
    // Slow to answer: the second phone waits long enough to be unplugged.
    first.device().setReplyDelay(QStringLiteral("com.apple.mobile.file_relay"), 1500);
    SimulatedPhone second = makePhone(QStringLiteral("drop-b"), QStringLiteral("6.1"));
    QTest::ignoreMessage(QtDebugMsg, "Phone drop-b was unplugged before it was loaded.");
    bool pulled = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (!pulled && visibleProgressForm()) {
            pulled = true;
            unplug(QStringLiteral("drop-b"));
        }
    });
    watch.start(50);
    plugInTogether(first, second);
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), 1, arrivalTimeoutMs);
    waitUntilArrivalEnds();
    QVERIFY(pulled);
    QCOMPARE(deviceNodes().first()->device.udid, QStringLiteral("drop-a"));
    QCOMPARE(m_boxes->texts(QMessageBox::Information).filter("Notes:").size(), 1);
}

void TestDeviceArrival::phoneUnpluggedAtOnceIsLoggedByName()
{
    SimulatedPhone phone = makePhone(QStringLiteral("pulled-at-once"), QStringLiteral("6.1"));
    QTest::ignoreMessage(QtDebugMsg, "Phone pulled-at-once was unplugged before it was loaded.");
    bool pulled = false;
    m_boxes->onBox = [&](QMessageBox &box) {
        if (!pulled && box.text().contains("Notes:")) {
            pulled = true;
            unplug(QStringLiteral("pulled-at-once"));
        }
    };
    plugIn(phone);
    waitUntilArrivalEnds();
    QVERIFY(pulled);
    QVERIFY(deviceNodes().isEmpty());
}

void TestDeviceArrival::samplePhonesArriveWithTheirChats()
{
    samplephones::write(m_devices);
    QVERIFY_EXCEPTION_THROWN(samplephones::write(m_devices), std::runtime_error);
    const QList<samplephones::PhoneSummary> phones = samplephones::phones();
    QTRY_COMPARE_WITH_TIMEOUT(deviceNodes().size(), phones.size(), arrivalTimeoutMs);
    waitUntilArrivalEnds();
    QCOMPARE(m_boxes->texts(QMessageBox::Critical), QStringList());
    for (const samplephones::PhoneSummary &phone : phones) {
        _IOSDeviceItemNode *node = nullptr;
        for (_IOSDeviceItemNode *candidate : deviceNodes())
            node = candidate->name == phone.name ? candidate : node;
        QVERIFY(node);
        const bool backupRoad = !phone.productVersion.startsWith(QLatin1String("7."));
        QCOMPARE(QFileInfo::exists(m_home.filePath(
                     "volume/__quillmarrow_iosbk_temp/" + node->device.udid + "/Status.plist")),
            backupRoad);
        QCOMPARE(node->children.size(), phone.chats);
        QVERIFY(chatNode(node, phone.contacts.first())); // named from the address book
        QCOMPARE(smsCountAfterSelecting(node), QStringLiteral("Messages: %1").arg(phone.messages));
        QCOMPARE(phone.bodyOnlyTexts > 0, backupRoad);
        QSet<QString> kinds;
        for (const _MsgMessage *message : node->messageSet->messages()) {
            QVERIFY(!message->text.isEmpty());
            for (const _MsgAttachment *attachment : message->attachments) {
                QVERIFY(QFileInfo(attachment->localPath).isFile());
                kinds << attachment->mime_type;
            }
        }
        QCOMPARE(kinds, QSet<QString>({ "image/jpeg", "text/vcard" }));
    }
}

QTEST_MAIN(TestDeviceArrival)
#include "tst_devicearrival.moc"
