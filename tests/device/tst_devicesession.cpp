// Device sessions against our mobile-device library and a simulated phone: the order of
// the calls, the error texts of failing steps, values by domain and key, services, and a
// device folder's arrival reaching a receiver's slot.
#include "device/devicesession.h"
#include "device/servicesocket.h"
#include "platform/samplephones/simulateddevicefolder.h"
#include "support/devicelibraries.h"

#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

class ArrivalReceiver : public QObject
{
    Q_OBJECT

public:
    QList<void *> arrived;
    QList<void *> removed;

public slots:
    void iosDeviceConnected(void *device) { arrived.append(device); }
    void iosDeviceDisconnected(void *device) { removed.append(device); }
};

class TestDeviceSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void sessionRunsItsStepsInOrder();
    void unpairedDeviceIsPairedFirst();
    void failingStepsDisconnect_data();
    void failingStepsDisconnect();
    void valuesAreReadByDomainAndKey();
    void emptyKeyListOpensAndClosesASession();
    void setValueIsKeptAndItsCodeReturned();
    void servicesStartAndOutliveTheSession();
    void failingServiceGivesTheServiceError();
    void identifierIsCopied();
    void arrivalReachesTheReceiverQueued();

private:
    AMDeviceRef attach(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp = {});

    QTemporaryDir m_dir;
    QList<AMDeviceRef> m_attached;
};

void TestDeviceSession::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Device folders of the tests are attached directly; the watched folder stays empty.
    qputenv("QUILLMARROW_DEVICES", QFile::encodeName(m_dir.filePath("watched")));
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestDeviceSession::cleanup()
{
    for (AMDeviceRef device : m_attached)
        devicetest::detach(device);
    m_attached.clear();
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

AMDeviceRef TestDeviceSession::attach(
    const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp)
{
    SimulatedDeviceFolder folder(m_dir.filePath(name));
    folder.setIdentity("udid-" + name, name + "'s iPhone", "7.1.2", "iPhone6,1", "234");
    folder.setValue("com.apple.mobile.backup", "WillEncrypt", true);
    folder.setValue("com.apple.disk_usage", "TotalDataCapacity", qlonglong(64) << 30);
    if (setUp)
        setUp(folder);
    if (!folder.write())
        return nullptr;
    const AMDeviceRef device = devicetest::attach(folder.path());
    m_attached << device;
    devicetest::clearCallLog(device);
    return device;
}

void TestDeviceSession::sessionRunsItsStepsInOrder()
{
    const AMDeviceRef device = attach("ordered");
    QVERIFY(device);
    const QList<CFType> values
        = mobiledevice_copy_values(device, { "UniqueDeviceID", "DeviceName" }, QString());
    QCOMPARE(values.size(), 2);
    QCOMPARE(devicetest::callNames(device),
        QStringList({ "AMDeviceConnect", "AMDeviceIsPaired", "AMDeviceValidatePairing",
            "AMDeviceStartSession", "AMDeviceCopyValue", "AMDeviceCopyValue", "AMDeviceStopSession",
            "AMDeviceDisconnect" }));
    // Every call succeeded.
    for (const QString &line : devicetest::callLog(device))
        QVERIFY2(line.endsWith(" = 0") || line.startsWith("AMDeviceIsPaired"), qPrintable(line));
}

void TestDeviceSession::unpairedDeviceIsPairedFirst()
{
    const AMDeviceRef device
        = attach("unpaired", [](SimulatedDeviceFolder &f) { f.setPaired(false); });
    mobiledevice_copy_values(device, {}, QString());
    QCOMPARE(devicetest::callNames(device).mid(0, 4),
        QStringList(
            { "AMDeviceConnect", "AMDeviceIsPaired", "AMDevicePair", "AMDeviceValidatePairing" }));
    devicetest::clearCallLog(device);
    // Paired now: no second pairing.
    mobiledevice_copy_values(device, {}, QString());
    QVERIFY(!devicetest::callNames(device).contains("AMDevicePair"));
}

void TestDeviceSession::failingStepsDisconnect_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("unpaired");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("connect") << "AMDeviceConnect" << false << QStringList { "AMDeviceConnect" };
    QTest::newRow("pair") << "AMDevicePair" << true
                          << QStringList { "AMDeviceConnect", "AMDeviceIsPaired", "AMDevicePair",
                                 "AMDeviceDisconnect" };
    QTest::newRow("validate") << "AMDeviceValidatePairing" << false
                              << QStringList { "AMDeviceConnect", "AMDeviceIsPaired",
                                     "AMDeviceValidatePairing", "AMDeviceDisconnect" };
    QTest::newRow("session") << "AMDeviceStartSession" << false
                             << QStringList { "AMDeviceConnect", "AMDeviceIsPaired",
                                    "AMDeviceValidatePairing", "AMDeviceStartSession",
                                    "AMDeviceDisconnect" };
}

void TestDeviceSession::failingStepsDisconnect()
{
    QFETCH(QString, step);
    QFETCH(bool, unpaired);
    QFETCH(QStringList, calls);
    const int code = int(0xe8000015);
    const AMDeviceRef device = attach("failing-" + step, [&](SimulatedDeviceFolder &f) {
        f.setFault(step, code);
        if (unpaired)
            f.setPaired(false);
    });
    QString text;
    QCOMPARE(mobiledevice_connect(device, text), code);
    QCOMPARE(text,
        QStringLiteral(
            "Please restart your iPhone and computer to try again. If a prompt message "
            "pops out on your iPhone, please click \"Trust\".<br/><br/>Error code: %1(%2)")
            .arg(step)
            .arg(code));
    // The library's large codes show as signed numbers.
    QVERIFY(text.endsWith("(-402653163)"));
    QCOMPARE(devicetest::callNames(device), calls);
    // Left disconnected: a later connection is not refused as a second one.
    QCOMPARE(MOBILEDEVICE_MD(AMDeviceConnect)(device), step == "AMDeviceConnect" ? code : 0);
    MOBILEDEVICE_MD(AMDeviceDisconnect)(device);
    QCOMPARE(
        devicetest::errorOf([&] { mobiledevice_copy_values(device, { "DeviceName" }, QString()); }),
        text);
}

void TestDeviceSession::valuesAreReadByDomainAndKey()
{
    const AMDeviceRef device = attach("values");
    const QList<CFType> identity = mobiledevice_copy_values(device,
        { "UniqueDeviceID", "DeviceName", "MobileSubscriberCountryCode", "ProductVersion",
            "ProductType", "NoSuchKey" },
        QString());
    QStringList texts;
    for (const CFType &value : identity)
        texts << value.toString();
    QCOMPARE(
        texts, QStringList({ "udid-values", "values's iPhone", "234", "7.1.2", "iPhone6,1", "" }));
    QVERIFY(identity.last().isNull());

    const CFType backup
        = mobiledevice_copy_values(device, { QString() }, "com.apple.mobile.backup").value(0);
    QVERIFY(backup.isDictionary());
    QCOMPARE(backup.value(QStringLiteral("WillEncrypt")).toBool(false), true);
    const CFType usage
        = mobiledevice_copy_values(device, { QString() }, "com.apple.disk_usage").value(0);
    QCOMPARE(usage.value(QStringLiteral("TotalDataCapacity")).toLongLong(), qint64(64) << 30);
    QVERIFY(devicetest::callLog(device).contains(
        "AMDeviceCopyValue(udid-values, com.apple.disk_usage, null) = 0"));
    QVERIFY(devicetest::callLog(device).contains(
        "AMDeviceCopyValue(udid-values, null, DeviceName) = 0"));
}

void TestDeviceSession::emptyKeyListOpensAndClosesASession()
{
    const AMDeviceRef device = attach("empty");
    QVERIFY(mobiledevice_copy_values(device, {}, "com.apple.mobile.backup").isEmpty());
    QCOMPARE(devicetest::callNames(device).first(), QStringLiteral("AMDeviceConnect"));
    QCOMPARE(devicetest::callNames(device).last(), QStringLiteral("AMDeviceDisconnect"));
    QVERIFY(!devicetest::callNames(device).contains("AMDeviceCopyValue"));
}

void TestDeviceSession::setValueIsKeptAndItsCodeReturned()
{
    const AMDeviceRef device = attach("setter");
    QCOMPARE(mobiledevice_set_value(
                 device, "com.apple.mobile.tethered_sync", "Contacts", CFType::fromBool(true)),
        0);
    const CFType back
        = mobiledevice_copy_values(device, { "Contacts" }, "com.apple.mobile.tethered_sync")
              .value(0);
    QCOMPARE(back.toBool(false), true);
    // A failing set call is returned, not thrown.
    QCOMPARE(mobiledevice_set_value(device, QString(), "Domains", CFType::fromBool(true)),
        kQMDErrorInvalidArgument);
    const AMDeviceRef refusing
        = attach("refusing", [](SimulatedDeviceFolder &f) { f.setFault("AMDeviceSetValue", 7); });
    QCOMPARE(mobiledevice_set_value(refusing, "d", "k", CFType::fromBool(true)), 7);
    QCOMPARE(devicetest::callNames(refusing).last(), QStringLiteral("AMDeviceDisconnect"));
}

void TestDeviceSession::servicesStartAndOutliveTheSession()
{
    const AMDeviceRef device = attach("service");
    int socket = -1;
    mobiledevice_start_service(device, "com.quillmarrow.test.echo", socket);
    QVERIFY(socket >= 0);
    const QStringList names = devicetest::callNames(device);
    QCOMPARE(names.mid(names.size() - 3),
        QStringList({ "AMDeviceStartService", "AMDeviceStopSession", "AMDeviceDisconnect" }));
    CFType request = CFType::newDictionary();
    request.setValue(
        CFType::fromString(QStringLiteral("Request")), CFType::fromString(QStringLiteral("Ping")));
    mobiledevice_sendmsg(socket, request, true, 5000);
    const CFType answer = mobiledevice_recmsg(socket, request, 5000);
    QCOMPARE(answer.value(QStringLiteral("Request")).toString(), QStringLiteral("Ping"));
    QCOMPARE(mobiledevice_close_socket(socket), 0);
}

void TestDeviceSession::failingServiceGivesTheServiceError()
{
    const AMDeviceRef device = attach("nofilerelay",
        [](SimulatedDeviceFolder &f) { f.setServiceFault("com.apple.mobile.file_relay", 5); });
    int socket = -1;
    const QString text = devicetest::errorOf(
        [&] { mobiledevice_start_service(device, "com.apple.mobile.file_relay", socket); });
    QVERIFY(text.startsWith(
        "Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes -&gt; "));
    QVERIFY(
        text.endsWith("<br/><br/>Error code: AMDeviceStartService(com.apple.mobile.file_relay)=5"));
    QCOMPARE(socket, -1);
    QCOMPARE(devicetest::callNames(device).last(), QStringLiteral("AMDeviceDisconnect"));
    const QString unknown = devicetest::errorOf(
        [&] { mobiledevice_start_service(device, "com.example.none", socket); });
    QVERIFY(unknown.endsWith(
        QStringLiteral("AMDeviceStartService(com.example.none)=%1").arg(kQMDErrorServiceNotFound)));
}

void TestDeviceSession::identifierIsCopied()
{
    const AMDeviceRef device = attach("identified");
    QCOMPARE(mobiledevice_copy_device_identifier(device), QStringLiteral("udid-identified"));
    devicetest::detach(device);
    QVERIFY(devicetest::errorOf([&] {
        mobiledevice_copy_device_identifier(device);
    }).endsWith(QStringLiteral("AMDeviceConnect(%1)").arg(kQMDErrorDeviceRemoved)));
}

void TestDeviceSession::arrivalReachesTheReceiverQueued()
{
    ArrivalReceiver receiver;
    g_deviceNotifyTarget
        = DeviceNotifyTarget(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
    QCOMPARE(mobiledevice_subscribe(&g_deviceNotifyTarget), 0);
    const AMDeviceRef device = attach("arriving");
    // Delivered from the library's thread: queued until this thread's events run.
    QVERIFY(receiver.arrived.isEmpty());
    QTRY_COMPARE(receiver.arrived, QList<void *>({ device }));
    devicetest::detach(device);
    QTRY_COMPARE(receiver.removed, QList<void *>({ device }));
    m_attached.clear();
}

QTEST_GUILESS_MAIN(TestDeviceSession)
#include "tst_devicesession.moc"
