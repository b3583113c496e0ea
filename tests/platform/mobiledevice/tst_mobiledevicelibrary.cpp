// Our mobile-device library through its C interface: device folders arriving and leaving,
// the session rules, values by domain, faults, services and the call log.
#include "platform/mobiledevice/amdevice.h"

#include "platform/samplephones/simulateddevicefolder.h"
#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "support/binaryplist.h"
#include "support/corefoundationtext.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Notification
{
    AMDeviceRef device;
    unsigned int message;
};

std::mutex g_notificationsMutex;
QList<Notification> g_notifications;

void recordNotification(AMDeviceNotificationInfo *info, void *user)
{
    std::lock_guard<std::mutex> lock(g_notificationsMutex);
    g_notifications.append({ info->device, info->message });
    *static_cast<int *>(user) += 1;
}

QList<Notification> notifications()
{
    std::lock_guard<std::mutex> lock(g_notificationsMutex);
    return g_notifications;
}

CFStringRef string(const QString &text)
{
    return cfString(text.toUtf8());
}

QString textOf(CFTypeRef ref)
{
    return QString::fromUtf8(cfUtf8(ref));
}

QStringList logOf(AMDeviceRef device)
{
    CFArrayRef log = QMDCopyCallLog(device);
    QStringList lines;
    for (CFIndex i = 0; i < CFArrayGetCount(log); ++i)
        lines << textOf(CFArrayGetValueAtIndex(log, i));
    CFRelease(log);
    return lines;
}

int openSession(AMDeviceRef device)
{
    for (int code : { AMDeviceConnect(device), AMDeviceValidatePairing(device),
             AMDeviceStartSession(device) }) {
        if (code != kAMDSuccess)
            return code;
    }
    return kAMDSuccess;
}

void endSession(AMDeviceRef device)
{
    AMDeviceStopSession(device);
    AMDeviceDisconnect(device);
}

CFTypeRef copyValue(AMDeviceRef device, const QString &domain, const QString &key)
{
    CFStringRef domainRef = domain.isNull() ? nullptr : string(domain);
    CFStringRef keyRef = key.isNull() ? nullptr : string(key);
    CFTypeRef value = AMDeviceCopyValue(device, domainRef, keyRef);
    if (domainRef)
        CFRelease(domainRef);
    if (keyRef)
        CFRelease(keyRef);
    return value;
}

bool waitFor(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(10000))
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

class TestMobileDeviceLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void devicesFolderFollowsTheProgramDataFolder();
    void deviceFoldersArriveAndLeave();
    void attachedFoldersArriveBeforeTheHookReturns();
    void callsOutOfOrderFail_data();
    void callsOutOfOrderFail();
    void pairingIsRememberedAcrossArrivals();
    void valuesAreReadByDomainAndKey();
    void valuesWithANulReadUpToIt_data();
    void valuesWithANulReadUpToIt();
    void setValuesAreKeptInTheValuesFile();
    void faultsMakeCallsFail();
    void servicesAnswerOnASocketPair();
    void removalShutsServiceSockets();
    void unknownHandlesAreRefused();

private:
    AMDeviceRef attachNew(
        const QString &name, std::function<void(SimulatedDeviceFolder &)> setUp = {});

    QTemporaryDir m_home;
    int m_delivered = 0;
};

void TestMobileDeviceLibrary::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qunsetenv("QUILLMARROW_DEVICES");
    // The program's data folder, moved elsewhere by its redirect file.
    const QString movedRoot = m_home.filePath("moved");
    QVERIFY(QDir().mkpath(movedRoot));
    QVERIFY(QDir().mkpath(userAppFolder()));
    QFile redirect(QDir(userAppFolder()).filePath(AppConfig::productId() + ".redirect"));
    QVERIFY(redirect.open(QIODevice::WriteOnly));
    redirect.write(QFile::encodeName(movedRoot) + QByteArray(1, '\0') + "ignored");
    redirect.close();
    QVERIFY(dataFolder().absolutePath().startsWith(movedRoot));
}

void TestMobileDeviceLibrary::cleanup()
{
    qunsetenv("QUILLMARROW_DEVICES");
}

AMDeviceRef TestMobileDeviceLibrary::attachNew(
    const QString &name, std::function<void(SimulatedDeviceFolder &)> setUp)
{
    SimulatedDeviceFolder folder(m_home.filePath("attached/" + name));
    folder.setIdentity("udid-" + name, name, "9.3.5");
    folder.setValue("com.apple.mobile.backup", "WillEncrypt", true);
    if (setUp)
        setUp(folder);
    if (!folder.write())
        return nullptr;
    return QMDAttachDeviceFolder(QFile::encodeName(folder.path()).constData());
}

void TestMobileDeviceLibrary::devicesFolderFollowsTheProgramDataFolder()
{
    CFStringRef folder = QMDCopyDevicesFolder();
    QCOMPARE(textOf(folder), dataFolder().filePath("virtual_devices"));
    CFRelease(folder);
    qputenv("QUILLMARROW_DEVICES", "/somewhere/else");
    folder = QMDCopyDevicesFolder();
    QCOMPARE(textOf(folder), QStringLiteral("/somewhere/else"));
    CFRelease(folder);
}

void TestMobileDeviceLibrary::deviceFoldersArriveAndLeave()
{
    const QString devices = m_home.filePath("devices");
    QVERIFY(QDir().mkpath(devices + "/not-a-device/filesystem"));
    qputenv("QUILLMARROW_DEVICES", QFile::encodeName(devices));
    void *subscription = nullptr;
    QCOMPARE(AMDeviceNotificationSubscribe(&recordNotification, 0, 0, &m_delivered, &subscription),
        kAMDSuccess);
    QVERIFY(subscription);

    SimulatedDeviceFolder folder(devices + "/phone");
    folder.setIdentity("0123456789abcdef", "Jo's iPhone", "6.1.3");
    QVERIFY(folder.write());
    QVERIFY(waitFor([] { return !notifications().isEmpty(); }));
    const Notification arrival = notifications().constFirst();
    QCOMPARE(arrival.message, 1u);
    CFStringRef identifier = AMDeviceCopyDeviceIdentifier(arrival.device);
    QCOMPARE(textOf(identifier), QStringLiteral("0123456789abcdef"));
    CFRelease(identifier);
    QVERIFY(logOf(arrival.device)
                .constFirst()
                .startsWith("AMDeviceNotification(0123456789abcdef) = 1 arrived"));

    QVERIFY(QDir(folder.path()).removeRecursively());
    QVERIFY(waitFor([] { return notifications().size() >= 2; }));
    const Notification removal = notifications().at(1);
    QCOMPARE(removal.message, 2u);
    QCOMPARE(removal.device, arrival.device);
    QCOMPARE(notifications().size(), 2);
    // The handle stays valid; the device is gone.
    QCOMPARE(AMDeviceConnect(arrival.device), kQMDErrorDeviceRemoved);
}

void TestMobileDeviceLibrary::attachedFoldersArriveBeforeTheHookReturns()
{
    const int before = notifications().size();
    const AMDeviceRef device = attachNew("hooked");
    QVERIFY(device);
    QCOMPARE(notifications().size(), before + 1);
    QCOMPARE(notifications().constLast().device, device);
    QCOMPARE(attachNew("hooked"), device);
    QCOMPARE(QMDDetachDevice(device), kAMDSuccess);
    QCOMPARE(notifications().size(), before + 2);
    QCOMPARE(notifications().constLast().message, 2u);
    QCOMPARE(QMDDetachDevice(device), kQMDErrorDeviceRemoved);
    QVERIFY(
        !QMDAttachDeviceFolder(QFile::encodeName(m_home.filePath("no-such-folder")).constData()));
    QVERIFY(!QMDAttachDeviceFolder(nullptr));
}

void TestMobileDeviceLibrary::callsOutOfOrderFail_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<int>("lastCode");
    QTest::addColumn<bool>("inSession");
    QTest::newRow("session before connect")
        << QStringList { "StartSession" } << kQMDErrorNotConnected << false;
    QTest::newRow("connect twice")
        << QStringList { "Connect", "Connect" } << kQMDErrorAlreadyConnected << false;
    QTest::newRow("session before validation")
        << QStringList { "Connect", "StartSession" } << kQMDErrorPairingNotValidated << false;
    QTest::newRow("stop without session")
        << QStringList { "Connect", "StopSession" } << kQMDErrorPairingNotValidated << false;
    QTest::newRow("second session")
        << QStringList { "Connect", "Validate", "StartSession", "StartSession" }
        << kQMDErrorSessionActive << true;
    QTest::newRow("set value without session")
        << QStringList { "Connect", "Validate", "SetValue" } << kQMDErrorNoSession << false;
    QTest::newRow("service without session")
        << QStringList { "StartService" } << kQMDErrorNotConnected << false;
    QTest::newRow("disconnect when not connected")
        << QStringList { "Disconnect" } << kQMDErrorNotConnected << false;
    QTest::newRow("whole session") << QStringList { "Connect", "Validate", "StartSession",
        "SetValue", "StopSession", "Disconnect" }
                                   << kAMDSuccess << false;
}

void TestMobileDeviceLibrary::callsOutOfOrderFail()
{
    QFETCH(QStringList, calls);
    QFETCH(int, lastCode);
    QFETCH(bool, inSession);
    const AMDeviceRef device = attachNew(QTest::currentDataTag());
    QVERIFY(device);
    CFStringRef key = string("Probe");
    int code = kAMDSuccess;
    for (const QString &call : calls) {
        if (call == "Connect")
            code = AMDeviceConnect(device);
        else if (call == "Validate")
            code = AMDeviceValidatePairing(device);
        else if (call == "StartSession")
            code = AMDeviceStartSession(device);
        else if (call == "StopSession")
            code = AMDeviceStopSession(device);
        else if (call == "Disconnect")
            code = AMDeviceDisconnect(device);
        else if (call == "SetValue")
            code = AMDeviceSetValue(device, nullptr, key, kCFBooleanTrue);
        else if (call == "StartService") {
            int socket = -1;
            code = AMDeviceStartService(device, key, &socket, nullptr);
        }
    }
    CFRelease(key);
    QCOMPARE(code, lastCode);
    // Values are read only in a session.
    CFTypeRef name = copyValue(device, QString(), "DeviceName");
    QCOMPARE(name != nullptr, inSession);
    if (name)
        CFRelease(name);
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::pairingIsRememberedAcrossArrivals()
{
    const auto unpaired = [](SimulatedDeviceFolder &folder) { folder.setPaired(false); };
    AMDeviceRef device = attachNew("unpaired", unpaired);
    QCOMPARE(AMDeviceConnect(device), kAMDSuccess);
    QCOMPARE(AMDeviceIsPaired(device), 0);
    QCOMPARE(AMDeviceValidatePairing(device), kQMDErrorNotPaired);
    QCOMPARE(AMDevicePair(device), kAMDSuccess);
    QCOMPARE(AMDeviceIsPaired(device), 1);
    QCOMPARE(AMDeviceDisconnect(device), kAMDSuccess);
    QMDDetachDevice(device);

    device = attachNew("unpaired", unpaired);
    QCOMPARE(AMDeviceConnect(device), kAMDSuccess);
    QCOMPARE(AMDeviceIsPaired(device), 1);
    QCOMPARE(AMDeviceValidatePairing(device), kAMDSuccess);
    QCOMPARE(AMDeviceDisconnect(device), kAMDSuccess);
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::valuesAreReadByDomainAndKey()
{
    const AMDeviceRef device = attachNew("values");
    QCOMPARE(openSession(device), kAMDSuccess);

    CFTypeRef name = copyValue(device, QString(), "DeviceName");
    QCOMPARE(textOf(name), QStringLiteral("values"));
    CFRelease(name);
    CFTypeRef sameName = copyValue(device, "", "DeviceName");
    QCOMPARE(textOf(sameName), QStringLiteral("values"));
    CFRelease(sameName);
    QVERIFY(!copyValue(device, QString(), "NoSuchKey"));
    QVERIFY(!copyValue(device, "com.apple.no.such.domain", QString()));

    CFTypeRef backup = copyValue(device, "com.apple.mobile.backup", QString());
    QCOMPARE(CFGetTypeID(backup), CFDictionaryGetTypeID());
    CFStringRef willEncrypt = string("WillEncrypt");
    QCOMPARE(CFDictionaryGetValue(static_cast<CFDictionaryRef>(backup), willEncrypt),
        static_cast<const void *>(kCFBooleanTrue));
    CFRelease(willEncrypt);
    CFRelease(backup);

    // The device's own values hold no other domain.
    CFTypeRef own = copyValue(device, QString(), QString());
    CFStringRef domains = string("Domains");
    QVERIFY(!CFDictionaryGetValue(static_cast<CFDictionaryRef>(own), domains));
    QCOMPARE(CFDictionaryGetCount(static_cast<CFDictionaryRef>(own)), CFIndex(6));
    CFRelease(domains);
    CFRelease(own);
    endSession(device);
    QMDDetachDevice(device);
    QCOMPARE(QMCFGetLiveObjectCount(), CFIndex(0));
}

void TestMobileDeviceLibrary::valuesWithANulReadUpToIt_data()
{
    binaryplist::addValuesWithANulRows();
}

void TestMobileDeviceLibrary::valuesWithANulReadUpToIt()
{
    QFETCH(QByteArray, values);
    const QString folder = m_home.filePath("attached/nul-" + QString(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(folder + "/filesystem"));
    QFile file(folder + "/values.plist");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(values);
    file.close();

    const AMDeviceRef device = QMDAttachDeviceFolder(QFile::encodeName(folder).constData());
    QVERIFY(device);
    CFStringRef identifier = AMDeviceCopyDeviceIdentifier(device);
    QCOMPARE(textOf(identifier), QStringLiteral("udid-nul"));
    CFRelease(identifier);
    QCOMPARE(openSession(device), kAMDSuccess);
    CFTypeRef name = copyValue(device, QString(), "DeviceName");
    QCOMPARE(textOf(name), QString::fromUtf8("Ph\xC3\xB6ne"));
    CFRelease(name);
    endSession(device);
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::setValuesAreKeptInTheValuesFile()
{
    const AMDeviceRef device = attachNew("setter");
    QCOMPARE(openSession(device), kAMDSuccess);
    CFStringRef domain = string("com.apple.mobile.tethered_sync");
    CFStringRef key = string("Calendars");
    CFStringRef domainsKey = string("Domains");
    const qint64 number = 42;
    CFNumberRef value = CFNumberCreate(nullptr, kCFNumberSInt64Type, &number);
    QCOMPARE(AMDeviceSetValue(device, domain, key, value), kAMDSuccess);
    QCOMPARE(AMDeviceSetValue(device, nullptr, key, kCFBooleanFalse), kAMDSuccess);
    QCOMPARE(AMDeviceSetValue(device, nullptr, domainsKey, value), kQMDErrorInvalidArgument);
    QCOMPARE(AMDeviceSetValue(device, domain, nullptr, value), kQMDErrorInvalidArgument);
    CFTimeZoneRef zone = CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 0);
    QCOMPARE(AMDeviceSetValue(device, domain, key, zone), kQMDErrorInvalidArgument);
    endSession(device);

    const QVariantMap values
        = SimulatedDeviceFolder(m_home.filePath("attached/setter")).readValues();
    QCOMPARE(values.value("Calendars"), QVariant(false));
    QCOMPARE(values.value("Domains")
                 .toMap()
                 .value("com.apple.mobile.tethered_sync")
                 .toMap()
                 .value("Calendars"),
        QVariant(qlonglong(42)));
    QCOMPARE(values.value("Domains")
                 .toMap()
                 .value("com.apple.mobile.backup")
                 .toMap()
                 .value("WillEncrypt"),
        QVariant(true));

    QCOMPARE(openSession(device), kAMDSuccess);
    CFTypeRef back = copyValue(device, "com.apple.mobile.tethered_sync", "Calendars");
    QVERIFY(CFEqual(back, value));
    CFRelease(back);
    endSession(device);
    for (CFTypeRef ref : { CFTypeRef(domain), CFTypeRef(key), CFTypeRef(domainsKey),
             CFTypeRef(value), CFTypeRef(zone) })
        CFRelease(ref);
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::faultsMakeCallsFail()
{
    const AMDeviceRef device = attachNew("faulty", [](SimulatedDeviceFolder &folder) {
        folder.setFault("AMDeviceStartSession", 0xe800001a)
            .setServiceFault("com.quillmarrow.test.echo", 5);
    });
    QCOMPARE(AMDeviceConnect(device), kAMDSuccess);
    QCOMPARE(AMDeviceValidatePairing(device), kAMDSuccess);
    QCOMPARE(AMDeviceStartSession(device), int(0xe800001a));
    QCOMPARE(AMDeviceDisconnect(device), kAMDSuccess);
    // Faults are read at each call: mended, the device works.
    SimulatedDeviceFolder folder(m_home.filePath("attached/faulty"));
    folder.setIdentity("udid-faulty", "faulty", "9.3.5")
        .setServiceFault("com.quillmarrow.test.echo", 5);
    QVERIFY(folder.write());
    QCOMPARE(openSession(device), kAMDSuccess);
    CFStringRef echo = string("com.quillmarrow.test.echo");
    int socket = -1;
    QCOMPARE(AMDeviceStartService(device, echo, &socket, nullptr), 5);
    QCOMPARE(socket, -1);
    CFRelease(echo);
    endSession(device);
    const QStringList log = logOf(device);
    QVERIFY(
        log.contains("AMDeviceStartSession(udid-faulty) = " + QString::number(int(0xe800001a))));
    QVERIFY(log.contains("AMDeviceStartService(udid-faulty, com.quillmarrow.test.echo) = 5"));
    QMDClearCallLog(device);
    QVERIFY(logOf(device).isEmpty());
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::servicesAnswerOnASocketPair()
{
    const AMDeviceRef device = attachNew("echo");
    QCOMPARE(openSession(device), kAMDSuccess);
    CFStringRef unknown = string("com.apple.no.such.service");
    int socket = -1;
    QCOMPARE(AMDeviceStartService(device, unknown, &socket, nullptr), kQMDErrorServiceNotFound);
    CFStringRef echo = string("com.quillmarrow.test.echo");
    QCOMPARE(AMDeviceStartService(device, echo, &socket, nullptr), kAMDSuccess);
    // The socket outlives the session.
    endSession(device);
    const QByteArray message("\0\0\0\5hello", 9);
    QCOMPARE(
        ::send(socket, message.constData(), message.size(), MSG_NOSIGNAL), ssize_t(message.size()));
    QByteArray answer(9, '\0');
    int got = 0;
    while (got < 9) {
        pollfd entry { socket, POLLIN, 0 };
        QVERIFY(::poll(&entry, 1, 5000) > 0);
        const ssize_t n = ::recv(socket, answer.data() + got, 9 - got, 0);
        QVERIFY(n > 0);
        got += int(n);
    }
    QCOMPARE(answer, message);
    ::close(socket);
    QVERIFY(waitFor(
        [&] { return logOf(device).contains("com.quillmarrow.test.echo: echoed 1 messages"); }));
    CFRelease(unknown);
    CFRelease(echo);
    QMDDetachDevice(device);
}

void TestMobileDeviceLibrary::removalShutsServiceSockets()
{
    const AMDeviceRef device = attachNew("unplugged");
    QCOMPARE(openSession(device), kAMDSuccess);
    CFStringRef echo = string("com.quillmarrow.test.echo");
    int socket = -1;
    QCOMPARE(AMDeviceStartService(device, echo, &socket, nullptr), kAMDSuccess);
    CFRelease(echo);
    endSession(device);
    QCOMPARE(QMDDetachDevice(device), kAMDSuccess);
    pollfd entry { socket, POLLIN, 0 };
    QVERIFY(::poll(&entry, 1, 5000) > 0);
    char byte = 0;
    QCOMPARE(::recv(socket, &byte, 1, 0), ssize_t(0));
    ::close(socket);
    // The service thread logs as it ends: let it, before the test run tears its logger down.
    QVERIFY(waitFor(
        [&] { return logOf(device).contains("com.quillmarrow.test.echo: echoed 0 messages"); }));
}

void TestMobileDeviceLibrary::unknownHandlesAreRefused()
{
    int notADevice = 0;
    QCOMPARE(AMDeviceConnect(&notADevice), kQMDErrorNoSuchDevice);
    QCOMPARE(AMDeviceIsPaired(&notADevice), 0);
    QVERIFY(!AMDeviceCopyValue(&notADevice, nullptr, nullptr));
    QVERIFY(!AMDeviceCopyDeviceIdentifier(nullptr));
    QVERIFY(!QMDCopyCallLog(&notADevice));
    QCOMPARE(QMDDetachDevice(&notADevice), kQMDErrorNoSuchDevice);
}

QTEST_GUILESS_MAIN(TestMobileDeviceLibrary)
#include "tst_mobiledevicelibrary.moc"
