// The backup service client against our simulated phone (handshake, versions, the cloud
// switch seen in the phone's values, backup requests and their shapes, status responses)
// and against a scripted service that answers wrongly.
#include "device/devicelink.h"
#include "device/iosdevice.h"
#include "device/mobilebackup2.h"
#include "device/servicesocket.h"
#include "shell/messagebox.h"
#include "support/attacheddevices.h"
#include "support/servicepeer.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const double offered[] = { 2.0, 2.1 };

CFType key(const char *name)
{
    return CFType::fromString(QLatin1String(name));
}

// The device's answer to a request, as a process message in binary form.
QByteArray processMessage(const QByteArray &dictionaryXml)
{
    const CFType dictionary = CFType::fromPlistBytes(
        "<plist version=\"1.0\"><dict>" + dictionaryXml + "</dict></plist>");
    CFType array = CFType::newArray();
    array.append(CFType::fromString(QStringLiteral("DLMessageProcessMessage"))).append(dictionary);
    return CFType::toPlistBytes(array, CFType::BinaryFormat);
}

QByteArray plistOf(const QByteArray &inner)
{
    return "<plist version=\"1.0\">" + inner + "</plist>";
}

} // namespace

class TestMobileBackup2 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void helloAgreesAndCloudBackupSwitches();
    void helloWithoutACommonVersionFails();
    void requestsBeforeHelloAreRefused();
    void backupRequestsAreAcknowledged_data();
    void backupRequestsAreAcknowledged();
    void statusResponsesAndDisconnectReachTheDevice();
    void deviceFaultsAreErrors_data();
    void deviceFaultsAreErrors();

    void requestsAreShapedByName_data();
    void requestsAreShapedByName();
    void callersDictionaryIsLeftAlone();
    void helloResponseCodes_data();
    void helloResponseCodes();
    void malformedResponsesFail_data();
    void malformedResponsesFail();
    void statusResponseFillsEmptyParameters();

private:
    AMDeviceRef attach(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp = {});
    // Started, linked and past "Hello".
    int startLinked(AMDeviceRef device);

    QTemporaryDir m_dir;
    AttachedDevices m_devices { m_dir.path() };
};

void TestMobileBackup2::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestMobileBackup2::cleanup()
{
    m_devices.release();
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

AMDeviceRef TestMobileBackup2::attach(
    const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp)
{
    return m_devices.attach(name, [&](SimulatedDeviceFolder &f) {
        f.setValue("com.apple.mobile.backup", "CloudBackupEnabled", false);
        if (setUp)
            setUp(f);
    });
}

int TestMobileBackup2::startLinked(AMDeviceRef device)
{
    int socket = -1;
    mobilebackup2_start(device, socket);
    m_devices.keepSocket(socket);
    mobiledevice_backup2_version_exchange(socket, offered, 2);
    return socket;
}

void TestMobileBackup2::helloAgreesAndCloudBackupSwitches()
{
    const AMDeviceRef device = attach("cloud");
    int socket = -1;
    mobilebackup2_start(device, socket);
    m_devices.keepSocket(socket);
    QCOMPARE(mobiledevice_backup2_version_exchange(socket, offered, 2), 2.1);
    const auto cloudEnabled = [this] {
        return m_devices.folder()
            .readValues()
            .value("Domains")
            .toMap()
            .value("com.apple.mobile.backup")
            .toMap()
            .value("CloudBackupEnabled");
    };
    mobilebackup2_set_cloud_backup(socket, "udid-cloud", true);
    QCOMPARE(cloudEnabled(), QVariant(true));
    // The program's own check before a transfer sees the switch.
    IOSDevice phone;
    phone.handle = device;
    int boxes = 0;
    setMessageBoxHook([&](QMessageBox &) {
        ++boxes;
        return QMessageBox::Ok;
    });
    QVERIFY(!phone.checkBackupSettings(true, false));
    setMessageBoxHook(nullptr);
    QCOMPARE(boxes, 1);
    mobilebackup2_set_cloud_backup(socket, "udid-cloud", false);
    QCOMPARE(cloudEnabled(), QVariant(false));
    // Another device's identifier is refused, and nothing changes.
    QCOMPARE(
        devicetest::errorOf([&] { mobilebackup2_set_cloud_backup(socket, "udid-other", true); }),
        QString("Set EnableCloudBackup error code: 2"));
    QCOMPARE(cloudEnabled(), QVariant(false));
    mobiledevice_link_disconnect(socket, QString());
    const QStringList log = devicetest::callLog(device);
    QVERIFY(log.contains("com.apple.mobilebackup2: Hello: version 2.1"));
    QVERIFY(log.contains("com.apple.mobilebackup2: EnableCloudBackup: on"));
    QVERIFY(log.contains("com.apple.mobilebackup2: EnableCloudBackup: off"));
}

void TestMobileBackup2::helloWithoutACommonVersionFails()
{
    const AMDeviceRef device = attach("versions");
    int socket = -1;
    mobilebackup2_start(device, socket);
    m_devices.keepSocket(socket);
    const double future[] = { 3.0 };
    QCOMPARE(devicetest::errorOf([&] { mobiledevice_backup2_version_exchange(socket, future, 1); }),
        QString("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
    // Nothing offered is no common version either.
    QCOMPARE(
        devicetest::errorOf([&] { mobiledevice_backup2_version_exchange(socket, offered, -3); }),
        QString("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
}

void TestMobileBackup2::requestsBeforeHelloAreRefused()
{
    const AMDeviceRef device = attach("early");
    int socket = -1;
    mobilebackup2_start(device, socket);
    m_devices.keepSocket(socket);
    QCOMPARE(
        devicetest::errorOf([&] { mobilebackup2_set_cloud_backup(socket, "udid-early", true); }),
        QString("Set EnableCloudBackup error code: 4"));
}

void TestMobileBackup2::backupRequestsAreAcknowledged_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("logged");
    QTest::newRow("full") << true << "Backup: full, source udid-backup";
    QTest::newRow("incremental") << false << "Backup: incremental, source udid-backup";
}

void TestMobileBackup2::backupRequestsAreAcknowledged()
{
    QFETCH(bool, full);
    QFETCH(QString, logged);
    const AMDeviceRef device = attach("backup");
    const int socket = startLinked(device);
    mobilebackup2_request_backup(socket, "udid-backup", full);
    CFType message;
    QString name;
    mobilebackup2_receive_message(socket, message, name);
    QCOMPARE(name, QString("DLMessageProcessMessage"));
    QCOMPARE(message.at(1).value(QStringLiteral("MessageName")).toString(), QString("Response"));
    QCOMPARE(message.at(1).value(QStringLiteral("ErrorCode")).toInt(-1), 0);
    QVERIFY(devicetest::callLog(device).contains("com.apple.mobilebackup2: " + logged));

    // Without a source identifier the request is still well shaped; with a foreign target not.
    int errorCode = -1;
    CFType sent = mobilebackup2_send_request(socket, "Backup", "udid-backup", QString(), CFType());
    mobilebackup2_receive_response(socket, errorCode, sent);
    QCOMPARE(errorCode, 0);
    QVERIFY(devicetest::callLog(device).contains(
        "com.apple.mobilebackup2: Backup: incremental, source none"));
    sent = mobilebackup2_send_request(socket, "Backup", "udid-else", "udid-backup", CFType());
    mobilebackup2_receive_response(socket, errorCode, sent);
    QCOMPARE(errorCode, 2);
    sent = mobilebackup2_send_request(socket, "Unback", "udid-backup", QString(), CFType());
    mobilebackup2_receive_response(socket, errorCode, sent);
    QCOMPARE(errorCode, 3);
}

void TestMobileBackup2::statusResponsesAndDisconnectReachTheDevice()
{
    const AMDeviceRef device = attach("status");
    const int socket = startLinked(device);
    CFType details = CFType::newDictionary();
    details.setValue(key("BytesFree"), CFType::fromNumber(qint64(1) << 34));
    mobilebackup2_send_status_response(socket, -6, "Out of space", details);
    mobilebackup2_send_status_response(socket, 0, QString(), CFType());
    mobiledevice_link_disconnect(socket, "done");
    QTRY_VERIFY(devicetest::callLog(device).contains("com.apple.mobilebackup2: disconnected"));
    const QStringList log = devicetest::callLog(device);
    QVERIFY(log.contains("com.apple.mobilebackup2: status response -6 Out of space"));
    QVERIFY(log.contains("com.apple.mobilebackup2: status response 0 ___EmptyParameterString___"));
}

void TestMobileBackup2::deviceFaultsAreErrors_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("error");
    // The device sends its version exchange, then "DLMessageDeviceReady", then answers Hello.
    QTest::newRow("error status") << "ErrorStatus" << 2
                                  << "mobiledevice_backup2_version_exchange: "
                                     "MOBILEBACKUP2_E_REPLY_NOT_OK";
    QTest::newRow("cut short") << "CutShort" << 2
                               << "mobiledevice_recmsg(msg) error, received length: ";
    QTest::newRow("closed mid-reply")
        << "CloseMidReply" << 0 << "mobiledevice_recmsg(msg-length) error, received length: 2.";
    QTest::newRow("closed before ready")
        << "CloseMidReply" << 1 << "mobiledevice_recmsg(msg-length) error, received length: 2.\n";
}

void TestMobileBackup2::deviceFaultsAreErrors()
{
    QFETCH(QString, fault);
    QFETCH(int, after);
    QFETCH(QString, error);
    const AMDeviceRef device
        = attach(QString("faulty-") + QTest::currentDataTag(), [&](SimulatedDeviceFolder &f) {
              f.setReplyFault("com.apple.mobilebackup2", fault, after, 2);
          });
    int socket = -1;
    const QString text = devicetest::errorOf([&] {
        mobilebackup2_start(device, socket);
        mobiledevice_backup2_version_exchange(socket, offered, 2);
    });
    m_devices.keepSocket(socket);
    QVERIFY2(text.startsWith(error), qPrintable(text));
}

void TestMobileBackup2::requestsAreShapedByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("no source, no options") << "Backup" << QString() << QByteArray()
                                           << QStringList { "MessageName", "TargetIdentifier" };
    QTest::newRow("source and options")
        << "Backup"
        << "src" << QByteArray("<dict><key>ForceFullBackup</key><true/></dict>")
        << QStringList { "MessageName", "Options", "SourceIdentifier", "TargetIdentifier" };
    QTest::newRow("unback without password")
        << "Unback" << QString() << QByteArray("<dict><key>X</key><true/></dict>")
        << QStringList { "MessageName", "Options", "TargetIdentifier" };
    QTest::newRow("unback with password")
        << "Unback" << QString()
        << QByteArray("<dict><key>Password</key><string>pw</string></dict>")
        << QStringList { "MessageName", "Options", "Password", "TargetIdentifier" };
    QTest::newRow("password only for unback")
        << "Backup" << QString()
        << QByteArray("<dict><key>Password</key><string>pw</string></dict>")
        << QStringList { "MessageName", "Options", "TargetIdentifier" };
    QTest::newRow("cloud state") << "EnableCloudBackup"
                                 << "src"
                                 << QByteArray("<dict><key>CloudBackupState</key><false/></dict>")
                                 << QStringList { "CloudBackupState", "MessageName", "Options",
                                        "SourceIdentifier", "TargetIdentifier" };
}

void TestMobileBackup2::requestsAreShapedByName()
{
    QFETCH(QString, name);
    QFETCH(QString, source);
    QFETCH(QByteArray, options);
    QFETCH(QStringList, keys);
    ServicePeer peer;
    QByteArray body;
    peer.run([&](ServicePeer &p) { body = p.receiveFrame(); });
    const CFType optionValue
        = options.isEmpty() ? CFType() : CFType::fromPlistBytes(plistOf(options));
    const CFType returned
        = mobilebackup2_send_request(peer.programSocket(), name, "target", source, optionValue);
    peer.join();
    QVERIFY(body.startsWith("bplist00"));
    const CFType sent = CFType::fromPlistBytes(body);
    QCOMPARE(sent.at(0).toString(), QString("DLMessageProcessMessage"));
    const CFType request = sent.at(1);
    QStringList sentKeys;
    for (const CFType &k : request.keys())
        sentKeys << k.toString();
    sentKeys.sort();
    QCOMPARE(sentKeys, keys);
    QCOMPARE(request.value(QStringLiteral("MessageName")).toString(), name);
    QCOMPARE(request.value(QStringLiteral("TargetIdentifier")).toString(), QString("target"));
    QCOMPARE(returned.at(1).value(QStringLiteral("MessageName")).toString(), name);
}

void TestMobileBackup2::callersDictionaryIsLeftAlone()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) { p.receiveFrame(); });
    CFType mine = CFType::newDictionary();
    mine.setValue(key("Mine"), CFType::fromNumber(qint32(1)));
    const CFType sent = mobilebackup2_send_message(peer.programSocket(), "Hello", mine);
    peer.join();
    QCOMPARE(mine.dictionaryCount(), CFIndex(1));
    QVERIFY(mine.value(QStringLiteral("MessageName")).isNull());
    QCOMPARE(sent.at(1).dictionaryCount(), CFIndex(2));
    // An immutable dictionary, as parsed ones are, can be sent too.
    ServicePeer second;
    QByteArray body;
    second.run([&](ServicePeer &p) { body = p.receiveFrame(); });
    mobilebackup2_send_message(second.programSocket(), "Hello", CFType::deepCopy(mine));
    second.join();
    QCOMPARE(CFType::fromPlistBytes(body).at(1).value(QStringLiteral("MessageName")).toString(),
        QString("Hello"));
}

void TestMobileBackup2::helloResponseCodes_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("error");
    QTest::addColumn<double>("version");
    const QByteArray name = "<key>MessageName</key><string>Response</string>";
    QTest::newRow("no error code")
        << name + "<key>ProtocolVersion</key><real>2.1</real>" << QString() << 2.1;
    QTest::newRow("no version") << name << QString() << 0.0;
    QTest::newRow("no common version")
        << name + "<key>ErrorCode</key><integer>1</integer>"
        << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION" << 0.0;
    QTest::newRow("other error")
        << name + "<key>ErrorCode</key><integer>2</integer>"
        << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK" << 0.0;
    QTest::newRow("error past 32 bits")
        << name + "<key>ErrorCode</key><integer>4294967296</integer>"
        << "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK" << 0.0;
    QTest::newRow("error code as text")
        << name + "<key>ErrorCode</key><string>1</string><key>ProtocolVersion</key><real>2</real>"
        << QString() << 2.0;
}

void TestMobileBackup2::helloResponseCodes()
{
    QFETCH(QByteArray, response);
    QFETCH(QString, error);
    QFETCH(double, version);
    ServicePeer peer;
    QByteArray hello;
    peer.run([&](ServicePeer &p) {
        hello = p.receiveFrame();
        p.sendFrame(processMessage(response));
    });
    double agreed = -1;
    const QString text = devicetest::errorOf(
        [&] { agreed = mobiledevice_backup2_version_exchange(peer.programSocket(), offered, 2); });
    peer.join();
    QCOMPARE(text, error);
    if (error.isEmpty())
        QCOMPARE(agreed, version);
    const CFType versions
        = CFType::fromPlistBytes(hello).at(1).value(QStringLiteral("SupportedProtocolVersions"));
    QCOMPARE(versions.arrayCount(), CFIndex(2));
    QCOMPARE(versions.at(1).toDouble(), 2.1);
}

void TestMobileBackup2::malformedResponsesFail_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");
    QTest::newRow("another message name")
        << processMessage("<key>MessageName</key><string>Other</string>")
        << "Did not receive a message(\"Message Name\" is \"Response\").\n<?xml";
    QTest::newRow("name of the wrong type")
        << processMessage("<key>MessageName</key><integer>1</integer>")
        << "Did not receive a message(\"Message Name\" is \"Response\").";
    QTest::newRow("process message without its dictionary")
        << plistOf("<array><string>DLMessageProcessMessage</string></array>")
        << "Did not receive DLMessageProcessMessage as expected.";
    QTest::newRow("text in place of the dictionary")
        << plistOf("<array><string>DLMessageProcessMessage</string><string>x</string></array>")
        << "Did not receive DLMessageProcessMessage as expected.";
    QTest::newRow("empty array") << plistOf("<array/>")
                                 << "Did not receive a DL* message as expected.";
    QTest::newRow("dictionary") << plistOf("<dict/>")
                                << "Did not receive a DL* message as expected.";
}

void TestMobileBackup2::malformedResponsesFail()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    ServicePeer peer;
    peer.run([&](ServicePeer &p) {
        p.receiveFrame();
        p.sendFrame(reply);
    });
    const QString text = devicetest::errorOf(
        [&] { mobilebackup2_set_cloud_backup(peer.programSocket(), "udid", true); });
    QVERIFY2(text.startsWith(error), qPrintable(text));
}

void TestMobileBackup2::statusResponseFillsEmptyParameters()
{
    ServicePeer peer;
    QByteArray body;
    peer.run([&](ServicePeer &p) { body = p.receiveFrame(); });
    const CFType returned = mobilebackup2_send_status_response(peer.programSocket(), -3, {}, {});
    peer.join();
    QVERIFY(body.startsWith("bplist00"));
    const CFType sent = CFType::fromPlistBytes(body);
    QCOMPARE(sent.arrayCount(), CFIndex(4));
    QCOMPARE(sent.at(0).toString(), QString("DLMessageStatusResponse"));
    QCOMPARE(sent.at(1).toInt(), -3);
    QCOMPARE(sent.at(2).toString(), QString("___EmptyParameterString___"));
    QCOMPARE(sent.at(3).toString(), QString("___EmptyParameterString___"));
    QCOMPARE(returned.arrayCount(), CFIndex(4));
}

QTEST_MAIN(TestMobileBackup2)
#include "tst_mobilebackup2.moc"
