// Framed property-list messages over a real socket with a peer that misbehaves: slow
// and piecemeal, closing midway, announcing too much, gone before a send; and sockets
// numbered above 1,024.
#include "device/servicesocket.h"
#include "support/devicelibraries.h"
#include "support/servicepeer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace {

CFType request()
{
    CFType message = CFType::newDictionary();
    message.setValue(CFType::fromString(QStringLiteral("Request")),
        CFType::fromString(QStringLiteral("Sources")));
    return message;
}

QByteArray bigEndian(quint32 value)
{
    const quint32 bytes = qToBigEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&bytes), 4);
}

} // namespace

class TestServiceSocket : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void largeMessageArrivesWholeFromASlowPeer();
    void bothEncodingsAreRead_data();
    void bothEncodingsAreRead();
    void peerClosingMidwayGivesAnError_data();
    void peerClosingMidwayGivesAnError();
    void lengthAboveTheBoundIsRefusedAtOnce_data();
    void lengthAboveTheBoundIsRefusedAtOnce();
    void emptyOrUnreadableBodyGivesNull();
    void writingToAGonePeerIsAnError();
    void sendsAreFramedWithTheirLength();
    void silentPeerTimesOut();
    void lengthWaitsNoLongerThanTheCallersTimeOut();
    void socketsAbove1024Work();

private:
    QTemporaryDir m_dir;
};

void TestServiceSocket::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestServiceSocket::cleanup()
{
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

void TestServiceSocket::largeMessageArrivesWholeFromASlowPeer()
{
    QByteArray payload(10 * 1024 * 1024, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7 + i / 4096);
    CFType message = CFType::newArray();
    message.append(CFType::fromString(QStringLiteral("DLMessageProcessMessage")))
        .append(CFType::fromData(payload));
    const QByteArray body = CFType::toPlistBytes(message, CFType::BinaryFormat);
    message = CFType();

    ServicePeer peer;
    QVERIFY(peer.isValid());
    // 64 KB pieces with a pause between them: each wait is short, the whole is long.
    peer.run([body](ServicePeer &p) { p.sendFrame(body, 64 * 1024, 2); });
    const CFType received = mobiledevice_recmsg(peer.programSocket(), CFType(), 1000);
    peer.join();
    QVERIFY(received.isArray());
    QCOMPARE(received.at(1).dataLength(), CFIndex(payload.size()));
    QVERIFY(received.at(1).toByteArray() == payload);
}

void TestServiceSocket::bothEncodingsAreRead_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("XML") << int(CFType::XmlFormat);
    QTest::newRow("binary") << int(CFType::BinaryFormat);
}

void TestServiceSocket::bothEncodingsAreRead()
{
    QFETCH(int, format);
    const QByteArray body = CFType::toPlistBytes(request(), format);
    ServicePeer peer;
    peer.run([body](ServicePeer &p) { p.sendFrame(body); });
    const CFType received = mobiledevice_recmsg(peer.programSocket(), CFType(), 5000);
    QCOMPARE(received.value(QStringLiteral("Request")).toString(), QStringLiteral("Sources"));
}

void TestServiceSocket::peerClosingMidwayGivesAnError_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("error");
    QTest::newRow("two bytes of the length")
        << QByteArray("\0\0", 2) << "mobiledevice_recmsg(msg-length) error, received length: 2.";
    QTest::newRow("nothing at all")
        << QByteArray() << "mobiledevice_recmsg(msg-length) error, received length: 0.";
    QTest::newRow("part of the body") << QByteArray("\0\0\0\x10<?xml", 9)
                                      << "mobiledevice_recmsg(msg) error, received length: 5.";
}

void TestServiceSocket::peerClosingMidwayGivesAnError()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, error);
    ServicePeer peer;
    peer.run([sent](ServicePeer &p) {
        p.sendRaw(sent);
        p.closePeer();
    });
    const CFType asked = request();
    const QString text
        = devicetest::errorOf([&] { mobiledevice_recmsg(peer.programSocket(), asked, 5000); });
    QCOMPARE(text.section('\n', 0, 0), error);
    // The request follows as XML, to show what was asked.
    QVERIFY(text.section('\n', 1).startsWith("<?xml"));
    QVERIFY(text.contains("<string>Sources</string>"));
    QCOMPARE(devicetest::errorOf([&] {
        mobiledevice_recmsg(peer.programSocket(), CFType(), 5000);
    }).count('\n'),
        0);
}

void TestServiceSocket::lengthAboveTheBoundIsRefusedAtOnce_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("just above") << quint32(mobiledevice_max_message_length + 1);
    QTest::newRow("top bit") << quint32(0x80000000u);
    QTest::newRow("all ones") << quint32(0xffffffffu);
}

void TestServiceSocket::lengthAboveTheBoundIsRefusedAtOnce()
{
    QFETCH(quint32, length);
    ServicePeer peer;
    // The peer announces much and then stays: nothing may wait for the body.
    peer.run([length](ServicePeer &p) { p.sendRaw(bigEndian(length)); });
    QElapsedTimer timer;
    timer.start();
    const QString text
        = devicetest::errorOf([&] { mobiledevice_recmsg(peer.programSocket(), CFType(), 0); });
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(text,
        QStringLiteral(
            "mobiledevice_recmsg(msg) error, message length %1 is above the limit of %2 bytes.")
            .arg(length)
            .arg(mobiledevice_max_message_length));
}

void TestServiceSocket::emptyOrUnreadableBodyGivesNull()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) {
        p.sendFrame(QByteArray());
        p.sendFrame("this is no property list");
        p.sendFrame("bplist00\xff\xff");
    });
    for (int i = 0; i < 3; ++i)
        QVERIFY(mobiledevice_recmsg(peer.programSocket(), CFType(), 5000).isNull());
}

void TestServiceSocket::writingToAGonePeerIsAnError()
{
    ServicePeer peer;
    peer.closePeer();
    // No SIGPIPE ends the process here.
    const QString text = devicetest::errorOf(
        [&] { mobiledevice_sendmsg(peer.programSocket(), request(), false, 5000); });
    QVERIFY2(text.startsWith("mobiledevice_sendmsg(msg-length) error.\n<?xml"), qPrintable(text));
    QCOMPARE(mobiledevice_send(peer.programSocket(), "abc", 3, 1000), 0);
    QCOMPARE(mobiledevice_send(peer.programSocket(), "abc", 0, 1000), 0);
}

void TestServiceSocket::sendsAreFramedWithTheirLength()
{
    ServicePeer peer;
    QByteArray xml;
    QByteArray binary;
    peer.run([&](ServicePeer &p) {
        xml = p.receiveFrame();
        binary = p.receiveFrame();
    });
    mobiledevice_sendmsg(peer.programSocket(), request(), false, 5000);
    mobiledevice_sendmsg(peer.programSocket(), request(), true, 5000);
    // Nothing serialisable: nothing is sent.
    mobiledevice_sendmsg(peer.programSocket(), CFType(), true, 5000);
    peer.join();
    QCOMPARE(xml, CFType::toPlistBytes(request(), CFType::XmlFormat));
    QCOMPARE(binary, CFType::toPlistBytes(request(), CFType::BinaryFormat));
}

void TestServiceSocket::silentPeerTimesOut()
{
    ServicePeer peer;
    QCOMPARE(mobiledevice_wait_socket(peer.programSocket(), 50, true), 0);
    QVERIFY(mobiledevice_wait_socket(peer.programSocket(), 50, false) > 0);
    char buffer[4];
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(mobiledevice_recv(peer.programSocket(), buffer, 4, 100), 0);
    QVERIFY(timer.elapsed() >= 90);
    QVERIFY(mobiledevice_wait_socket(-1, 10, true) < 0);
}

void TestServiceSocket::lengthWaitsNoLongerThanTheCallersTimeOut()
{
    ServicePeer peer;
    QElapsedTimer timer;
    timer.start();
    const QString text
        = devicetest::errorOf([&] { mobiledevice_recmsg(peer.programSocket(), CFType(), 300); });
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(text, QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: 0."));
}

void TestServiceSocket::socketsAbove1024Work()
{
    rlimit limit {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2048)
        QSKIP("the hard limit of open files is below 2048");
    const rlim_t saved = limit.rlim_cur;
    limit.rlim_cur = qMax<rlim_t>(limit.rlim_cur, 2048);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);

    ServicePeer peer;
    const int high = 1500;
    QCOMPARE(::dup2(peer.programSocket(), high), high);
    peer.run([](ServicePeer &p) { p.sendFrame(p.receiveFrame()); });
    mobiledevice_sendmsg(high, request(), true, 5000);
    const CFType echoed = mobiledevice_recmsg(high, CFType(), 5000);
    QCOMPARE(echoed.value(QStringLiteral("Request")).toString(), QStringLiteral("Sources"));
    QCOMPARE(mobiledevice_close_socket(high), 0);
    peer.join();
    limit.rlim_cur = saved;
    setrlimit(RLIMIT_NOFILE, &limit);
}

QTEST_GUILESS_MAIN(TestServiceSocket)
#include "tst_servicesocket.moc"
