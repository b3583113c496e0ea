// The simulated phone's services answering a program that breaks their rules: malformed
// file requests, unknown handles and modes, other house_arrest commands, a refused
// device-link handshake and a malformed sync session.
#include "platform/mobiledevice/amdevice.h"
#include "platform/plistinput/plistinput.h"

#include "platform/samplephones/simulateddevicefolder.h"
#include "support/afcpacket.h"
#include "support/corefoundationtext.h"
#include "support/servicepeer.h"
#include "support/testlogthreads.h"

#include <QTemporaryDir>
#include <QtTest>

#include <plist/plist.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace afctest;

namespace {

// The program's end of one started service.
class Socket
{
public:
    explicit Socket(int socket)
        : m_socket(socket)
    {
    }
    ~Socket()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }

    bool send(const QByteArray &bytes)
    {
        return ::send(m_socket, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL)
            == ssize_t(bytes.size());
    }

    // Exactly `length` bytes; fewer when the service closed or went quiet for 5 seconds.
    QByteArray receive(int length)
    {
        QByteArray bytes;
        while (bytes.size() < length) {
            pollfd entry { m_socket, POLLIN, 0 };
            if (::poll(&entry, 1, 5000) <= 0)
                break;
            char buffer[4096];
            const ssize_t n
                = ::recv(m_socket, buffer, size_t(qMin(4096, length - bytes.size())), 0);
            if (n <= 0)
                break;
            bytes.append(buffer, int(n));
        }
        return bytes;
    }

    // One reply: its header and then its data.
    QByteArray receivePacket()
    {
        const QByteArray head = receive(40);
        return head + receive(int(header(head).entireLength) - head.size());
    }

    bool sendPlist(plist_t node)
    {
        char *xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(node, &xml, &length);
        plist_free(node);
        const QByteArray body(xml, int(length));
        free(xml);
        return send(ServicePeer::frame(body));
    }

    // The next framed property list; null when none came.
    plist_t receivePlist()
    {
        const QByteArray length = receive(4);
        if (length.size() != 4)
            return nullptr;
        const QByteArray body = receive(int(qFromBigEndian<quint32>(length.constData())));
        return plistinput::parse(body.constData(), size_t(body.size()));
    }

    bool closedByService() { return receive(1).isEmpty(); }

private:
    int m_socket;
};

plist_t array(const QStringList &texts, plist_t last = nullptr)
{
    plist_t node = plist_new_array();
    for (const QString &text : texts)
        plist_array_append_item(node, plist_new_string(text.toUtf8().constData()));
    if (last)
        plist_array_append_item(node, last);
    return node;
}

QString textAt(plist_t node, uint32_t index)
{
    plist_t item
        = node && plist_get_node_type(node) == PLIST_ARRAY && index < plist_array_get_size(node)
        ? plist_array_get_item(node, index)
        : nullptr;
    return QString::fromStdString(plistinput::text(item));
}

quint64 statusOf(const QByteArray &reply)
{
    return header(reply).operation == 1 ? le64At(reply, 40) : ~quint64(0);
}

QByteArray pathBytes(const char *path)
{
    return QByteArray(path) + '\0';
}

} // namespace

class TestSimulatedServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void malformedFileRequestsEndTheService_data();
    void malformedFileRequestsEndTheService();
    void fileRequestsOutOfPlaceAreRefused();
    void houseArrestServesOnlyVendContainer();
    void deviceLinkNeedsTheVersionsOk();
    void syncRefusesAMalformedSession_data();
    void syncRefusesAMalformedSession();

private:
    // The program's end of `service` on a fresh phone.
    int start(const char *service);

    QTemporaryDir m_dir;
    QList<AMDeviceRef> m_attached;
};

void TestSimulatedServices::initTestCase()
{
    QVERIFY(m_dir.isValid());
    testlog::keepOtherThreadsOut();
    qputenv("QUILLMARROW_DEVICES", QFile::encodeName(m_dir.filePath("watched")));
}

void TestSimulatedServices::cleanup()
{
    for (AMDeviceRef device : m_attached)
        QMDDetachDevice(device);
    m_attached.clear();
}

int TestSimulatedServices::start(const char *service)
{
    const QString name = QString("phone%1").arg(m_attached.size());
    SimulatedDeviceFolder folder(m_dir.filePath(name));
    folder.setIdentity("udid-" + name, name, "9.3.5").addFile("file.txt", "0123456789");
    if (!folder.write())
        return -1;
    const AMDeviceRef device = QMDAttachDeviceFolder(QFile::encodeName(folder.path()).constData());
    m_attached << device;
    int socket = -1;
    CFStringRef serviceName = cfString(service);
    if (AMDeviceConnect(device) == kAMDSuccess && AMDeviceValidatePairing(device) == kAMDSuccess
        && AMDeviceStartSession(device) == kAMDSuccess) {
        AMDeviceStartService(device, serviceName, &socket, nullptr);
        AMDeviceStopSession(device);
        AMDeviceDisconnect(device);
    }
    CFRelease(serviceName);
    return socket;
}

void TestSimulatedServices::malformedFileRequestsEndTheService_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("wrong magic") << packet(10, pathBytes("/"), {}, -1, -1, "CFA6LPAB");
    QTest::newRow("header part below the header") << packet(10, pathBytes("/"), {}, 42, 20);
    QTest::newRow("data before the header part") << packet(10, pathBytes("/"), {}, 40, 42);
    QTest::newRow("far too long") << packet(16, le64(1), {}, qint64(1) << 40, 48);
}

void TestSimulatedServices::malformedFileRequestsEndTheService()
{
    QFETCH(QByteArray, request);
    Socket afc(start("com.apple.afc"));
    QVERIFY(afc.send(request));
    QCOMPARE(statusOf(afc.receivePacket()), quint64(2));
    QVERIFY(afc.closedByService());
}

void TestSimulatedServices::fileRequestsOutOfPlaceAreRefused()
{
    Socket afc(start("com.apple.afc"));
    const auto ask = [&afc](quint64 operation, const QByteArray &payload) {
        afc.send(packet(operation, payload));
        return afc.receivePacket();
    };
    QCOMPARE(statusOf(ask(99, {})), quint64(5));
    QCOMPARE(statusOf(ask(10, "no terminating NUL")), quint64(6));
    QCOMPARE(statusOf(ask(13, le64(7) + pathBytes("/file.txt"))), quint64(6));
    QCOMPARE(statusOf(ask(15, le64(1) + le64(4))), quint64(13));

    const QByteArray opened = ask(13, le64(1) + pathBytes("/file.txt"));
    QCOMPARE(header(opened).operation, quint64(14));
    const quint64 handle = le64At(opened, 40);
    QCOMPARE(statusOf(ask(15, le64(handle) + le64(quint64(1) << 40))), quint64(10));
    QCOMPARE(ask(15, le64(handle) + le64(4)).mid(40), QByteArray("0123"));
    QCOMPARE(statusOf(ask(27, le64(handle) + le64(3))), quint64(6));
    QCOMPARE(statusOf(ask(27, le64(handle) + le64(2 | 4))), quint64(0));
    afc.send(packet(16, le64(handle), "x"));
    QCOMPARE(statusOf(afc.receivePacket()), quint64(4));
    QCOMPARE(statusOf(ask(20, le64(handle))), quint64(0));
    QCOMPARE(statusOf(ask(20, le64(handle))), quint64(13));
    const QByteArray again = ask(13, le64(1) + pathBytes("/file.txt"));
    QVERIFY(le64At(again, 40) > handle);
}

void TestSimulatedServices::houseArrestServesOnlyVendContainer()
{
    Socket houseArrest(start("com.apple.mobile.house_arrest"));
    plist_t command = plist_new_dict();
    plist_dict_set_item(command, "Command", plist_new_string("VendDocuments"));
    plist_dict_set_item(command, "Identifier", plist_new_string("com.example.app"));
    QVERIFY(houseArrest.sendPlist(command));
    plist_t reply = houseArrest.receivePlist();
    QVERIFY(reply);
    QCOMPARE(plistinput::text(plist_dict_get_item(reply, "Error")), std::string("InvalidCommand"));
    plist_free(reply);
    QVERIFY(houseArrest.closedByService());
}

void TestSimulatedServices::deviceLinkNeedsTheVersionsOk()
{
    Socket backup(start("com.apple.mobilebackup2"));
    plist_t exchange = backup.receivePlist();
    QCOMPARE(textAt(exchange, 0), QString("DLMessageVersionExchange"));
    plist_free(exchange);
    QVERIFY(backup.sendPlist(array({ "DLMessageVersionExchange", "DLVersionsRefused" })));
    QVERIFY(backup.closedByService());
}

void TestSimulatedServices::syncRefusesAMalformedSession_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("version");
    QTest::newRow("folder in the data class")
        << QStringList { "SDMessageSyncDataClassWithDevice", "../values", "", "" } << 106;
    QTest::newRow("hidden data class")
        << QStringList { "SDMessageSyncDataClassWithDevice", ".hidden", "", "" } << 106;
    QTest::newRow("other protocol version")
        << QStringList { "SDMessageSyncDataClassWithDevice", "com.apple.Contacts", "", "" } << 105;
    QTest::newRow("anchors missing")
        << QStringList { "SDMessageSyncDataClassWithDevice", "com.apple.Contacts" } << -1;
    QTest::newRow("other message") << QStringList { "SDMessageGetAllRecordsFromDevice" } << -1;
}

void TestSimulatedServices::syncRefusesAMalformedSession()
{
    QFETCH(QStringList, texts);
    QFETCH(int, version);
    Socket sync(start("com.apple.mobilesync"));
    plist_free(sync.receivePlist());
    QVERIFY(sync.sendPlist(array({ "DLMessageVersionExchange", "DLVersionsOk" })));
    plist_t ready = sync.receivePlist();
    QCOMPARE(textAt(ready, 0), QString("DLMessageDeviceReady"));
    plist_free(ready);
    QVERIFY(
        sync.sendPlist(array(texts, version >= 0 ? plist_new_uint(uint64_t(version)) : nullptr)));
    plist_t refusal = sync.receivePlist();
    QCOMPARE(textAt(refusal, 0), QString("SDMessageRefuseToSyncDataClassWithComputer"));
    plist_free(refusal);
    QVERIFY(sync.closedByService());
}

QTEST_GUILESS_MAIN(TestSimulatedServices)
#include "tst_simulatedservices.moc"
