// The file protocol's packets against a scripted, sometimes hostile service: the header as
// sent, reads and writes in chunks, replies that lie about their lengths or types, and the
// house_arrest request.
#include "device/afcfileinfo.h"
#include "device/afcprotocol.h"
#include "support/afcpacket.h"
#include "support/devicelibraries.h"
#include "support/servicepeer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

using namespace afctest;

namespace {

// One request as the peer received it.
struct Received
{
    Header header;
    QByteArray payload;
    QByteArray data;
};

Received receiveRequest(ServicePeer &peer)
{
    Received request;
    const QByteArray bytes = peer.receiveRaw(40);
    request.header = header(bytes);
    if (bytes.isNull() || request.header.thisLength < 40
        || request.header.entireLength < request.header.thisLength)
        return request;
    request.payload = peer.receiveRaw(int(request.header.thisLength - 40));
    request.data = peer.receiveRaw(int(request.header.entireLength - request.header.thisLength));
    return request;
}

// A literal with its NUL bytes, without the terminating one.
template <int N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestAFCProtocol : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void packetNumberIsTheSocketSignExtended_data();
    void packetNumberIsTheSocketSignExtended();
    void requestsCarryTheirPayload();
    void readsAskInChunks();
    void writesSendChunksAfterTheHandle();
    void hostileRepliesFailCleanly_data();
    void hostileRepliesFailCleanly();
    void readNeverWritesPastTheBuffer();
    void successWithoutDataIsEmpty();
    void lockReturnsTheStatus();
    void listingsAndAttributesAreParsed();
    void attributesFillTheRecord();
    void vendContainerReadsTheError_data();
    void vendContainerReadsTheError();

private:
    QTemporaryDir m_dir;
};

void TestAFCProtocol::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestAFCProtocol::cleanup()
{
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

void TestAFCProtocol::packetNumberIsTheSocketSignExtended_data()
{
    QTest::addColumn<int>("socket");
    QTest::addColumn<quint64>("number");
    QTest::newRow("zero") << 0 << quint64(0);
    QTest::newRow("seven") << 7 << quint64(7);
    QTest::newRow("minus one") << -1 << ~quint64(0);
}

void TestAFCProtocol::packetNumberIsTheSocketSignExtended()
{
    QFETCH(int, socket);
    QFETCH(quint64, number);
    QCOMPARE(afc_packet_number(socket), number);
}

void TestAFCProtocol::requestsCarryTheirPayload()
{
    ServicePeer peer;
    QList<Received> requests;
    peer.run([&](ServicePeer &p) {
        requests << receiveRequest(p);
        p.sendRaw(packet(14, le64(77)));
        requests << receiveRequest(p);
        p.sendRaw(status(0));
    });
    QCOMPARE(
        afc_file_open(peer.programSocket(), QString::fromUtf8("/Fotos/Ü.jpg"), 3), quint64(77));
    afc_rename_path(peer.programSocket(), "/a", "/b");
    peer.join();
    QCOMPARE(requests.size(), 2);
    const Received &open = requests[0];
    QCOMPARE(open.header.magic, QByteArray("CFA6LPAA"));
    QCOMPARE(open.header.operation, quint64(13));
    QCOMPARE(open.header.packetNumber, quint64(peer.programSocket()));
    QCOMPARE(open.header.entireLength, open.header.thisLength);
    QCOMPARE(open.payload, le64(3) + QString::fromUtf8("/Fotos/Ü.jpg").toUtf8() + '\0');
    QCOMPARE(requests[1].header.operation, quint64(24));
    QCOMPARE(requests[1].payload, bytes("/a\0/b\0"));
}

void TestAFCProtocol::readsAskInChunks()
{
    ServicePeer peer;
    QList<quint64> asked;
    peer.run([&](ServicePeer &p) {
        for (int i = 0; i < 2; ++i) {
            const Received request = receiveRequest(p);
            asked << le64At(request.payload, 8);
            p.sendRaw(data(QByteArray(int(asked.last()), 'r')));
        }
    });
    QByteArray buffer(100000, '\0');
    QCOMPARE(afc_file_read(peer.programSocket(), 5, buffer.data(), buffer.size()), 100000);
    peer.join();
    QCOMPARE(asked, QList<quint64>({ 65536, 34464 }));
    QVERIFY(buffer == QByteArray(100000, 'r'));
}

void TestAFCProtocol::writesSendChunksAfterTheHandle()
{
    ServicePeer peer;
    QList<Received> chunks;
    peer.run([&](ServicePeer &p) {
        for (int i = 0; i < 4; ++i) {
            chunks << receiveRequest(p);
            p.sendRaw(status(0));
        }
    });
    QByteArray content(100000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i % 251);
    QCOMPARE(afc_file_write(peer.programSocket(), 9, content.constData(), content.size()), 100000);
    peer.join();
    QByteArray written;
    QList<int> sizes;
    for (const Received &chunk : chunks) {
        QCOMPARE(chunk.header.operation, quint64(16));
        QCOMPARE(chunk.header.thisLength, quint64(48));
        QCOMPARE(chunk.header.entireLength, quint64(48 + chunk.data.size()));
        QCOMPARE(chunk.payload, le64(9));
        sizes << chunk.data.size();
        written += chunk.data;
    }
    QCOMPARE(sizes, QList<int>({ 32768, 32768, 32768, 1696 }));
    QVERIFY(written == content);
}

void TestAFCProtocol::hostileRepliesFailCleanly_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");
    const QByteArray bad = "XFA6LPAA";
    QTest::newRow("shorter than the header") << status(0).left(20) << "read AFC header failed.";
    QTest::newRow("length below the header")
        << packet(1, le64(0), {}, 24) << "read AFC header failed, invalid packet length 24.";
    QTest::newRow("length far past the bound") << packet(2, {}, {},
        qint64(1) << 40) << "read AFC header failed, invalid packet length 1099511627776.";
    QTest::newRow("data cut short")
        << packet(2, QByteArray(10, 'd'), {}, 140) << "read AFC file block data failed.";
    QTest::newRow("wrong magic") << packet(1, le64(0), {}, -1, -1, bad)
                                 << "read AFC header failed, wrong magic.";
    QTest::newRow("status shorter than its value")
        << packet(1, QByteArray(4, '\0')) << "read AFC failed, status reply of 4 bytes.";
    QTest::newRow("error status") << status(7)
                                  << "read AFC failed, received AFC_OP_STATUS, param1=7.";
    QTest::newRow("operation zero")
        << packet(0, le64(5)) << "read AFC failed, Unknown operation code received 0, param1=5.";
    QTest::newRow("unknown operation")
        << packet(99, "ab") << "read AFC failed, Unknown operation code received 99, param1=25185.";
}

void TestAFCProtocol::hostileRepliesFailCleanly()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    ServicePeer peer;
    peer.run([reply](ServicePeer &p) {
        receiveRequest(p);
        p.sendRaw(reply);
        // The peer goes: nothing is left to wait for.
        p.closePeer();
    });
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(devicetest::errorOf([&] { afc_get_file_info(peer.programSocket(), "/x"); }), error);
    QVERIFY(timer.elapsed() < 5000);
}

void TestAFCProtocol::readNeverWritesPastTheBuffer()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) {
        receiveRequest(p);
        p.sendRaw(data(QByteArray(20, 'x')));
    });
    QByteArray buffer(16, '.');
    QCOMPARE(
        devicetest::errorOf([&] { afc_file_read(peer.programSocket(), 1, buffer.data(), 10); }),
        QString("read AFC file returned 20 bytes, more than the 10 requested."));
    QCOMPARE(buffer, QByteArray(16, '.'));
}

void TestAFCProtocol::successWithoutDataIsEmpty()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) {
        for (int i = 0; i < 4; ++i) {
            receiveRequest(p);
            p.sendRaw(i == 0 ? packet(14, {}) : status(0));
        }
    });
    const int socket = peer.programSocket();
    // No handle in an empty open reply; a status is never taken for data.
    QCOMPARE(afc_file_open(socket, "/a", 1), quint64(0));
    char buffer[8] = {};
    QCOMPARE(afc_file_read(socket, 1, buffer, sizeof buffer), 0);
    QVERIFY(afc_read_directory(socket, "/").isEmpty());
    QVERIFY(afc_get_file_info(socket, "/").isEmpty());
}

void TestAFCProtocol::lockReturnsTheStatus()
{
    ServicePeer peer;
    Received request;
    peer.run([&](ServicePeer &p) {
        request = receiveRequest(p);
        p.sendRaw(status(35));
    });
    QCOMPARE(afc_file_lock(peer.programSocket(), 4, 2 | 4), quint32(35));
    peer.join();
    QCOMPARE(request.header.operation, quint64(27));
    QCOMPARE(request.payload, le64(4) + le64(6));
}

void TestAFCProtocol::listingsAndAttributesAreParsed()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) {
        receiveRequest(p);
        p.sendRaw(data(bytes(".\0..\0a\0b\xc3\xa4\0trailing")));
        receiveRequest(p);
        p.sendRaw(data(bytes("st_size\0"
                             "12\0"
                             "\0st_ifmt\0S_IFDIR\0st_size\0"
                             "99\0odd")));
    });
    QCOMPARE(afc_read_directory(peer.programSocket(), "/"),
        QStringList({ ".", "..", "a", QString::fromUtf8("b\xc3\xa4") }));
    // An empty text leaves no key pending; a repeated key keeps its last value.
    const QMap<QString, QString> info = afc_get_file_info(peer.programSocket(), "/");
    QCOMPARE(info.value("st_size"), QString("99"));
    QCOMPARE(info.value("st_ifmt"), QString("S_IFDIR"));
    QCOMPARE(info.size(), 2);
}

void TestAFCProtocol::attributesFillTheRecord()
{
    AFCFileInfo info("/x");
    info.fill(
        { { "st_ifmt", "s_ifdir" }, { "st_size", "many" }, { "st_mtime", "1394387112999999999" } });
    QVERIFY(info.isDir());
    QVERIFY(!info.isFile());
    QCOMPARE(info.size, qint64(0));
    QCOMPARE(info.modificationTime.toMSecsSinceEpoch(), qint64(1394387112999));
    AFCFileInfo link("/l");
    link.fill({ { "st_ifmt", "S_IFLNK" }, { "st_mtime", "soon" } });
    QVERIFY(link.exists() && !link.isDir() && !link.isFile());
    QVERIFY(link.modificationTime.isNull());
}

void TestAFCProtocol::vendContainerReadsTheError_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    const auto plist
        = [](const QByteArray &inner) { return "<plist version=\"1.0\">" + inner + "</plist>"; };
    QTest::newRow("complete") << plist("<dict><key>Status</key><string>Complete</string></dict>")
                              << true;
    QTest::newRow("anything without an error") << plist("<dict/>") << true;
    QTest::newRow("error text") << plist(
        "<dict><key>Error</key><string>ApplicationLookupFailed</string></dict>")
                                << false;
    QTest::newRow("error of another type")
        << plist("<dict><key>Error</key><false/></dict>") << false;
    QTest::newRow("array") << plist("<array><string>Error</string></array>") << false;
    QTest::newRow("no property list") << QByteArray("Error") << false;
}

void TestAFCProtocol::vendContainerReadsTheError()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    ServicePeer peer;
    QByteArray request;
    peer.run([&](ServicePeer &p) {
        request = p.receiveFrame();
        p.sendFrame(reply);
    });
    const QString error = devicetest::errorOf(
        [&] { house_arrest_vend_container(peer.programSocket(), "com.example.app"); });
    peer.join();
    QCOMPARE(error, found ? QString() : QString("can not find com.example.app."));
    QVERIFY(request.startsWith("<?xml"));
    const CFType sent = CFType::fromPlistBytes(request);
    QCOMPARE(sent.value(QStringLiteral("Command")).toString(), QString("VendContainer"));
    QCOMPARE(sent.value(QStringLiteral("Identifier")).toString(), QString("com.example.app"));
}

QTEST_GUILESS_MAIN(TestAFCProtocol)
#include "tst_afcprotocol.moc"
