// The device-link layer against a scripted peer: the version exchange both ways, the
// generic messages as sent, and a peer that sends the wrong thing.
#include "device/devicelink.h"
#include "support/devicelibraries.h"
#include "support/servicepeer.h"

#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

namespace {

// A message as the device sends it: the name, then text parameters, in binary form.
QByteArray dlMessage(const QStringList &items)
{
    CFType array = CFType::newArray();
    for (const QString &item : items)
        array.append(CFType::fromString(item));
    return CFType::toPlistBytes(array, CFType::BinaryFormat);
}

QStringList itemsOf(const QByteArray &body)
{
    const CFType message = CFType::fromPlistBytes(body);
    QStringList items;
    for (int i = 0; i < message.arrayCount(); ++i)
        items << message.at(i).toString();
    return items;
}

} // namespace

class TestDeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void versionExchangeAnswersTheDevice();
    void readyDeviceGetsNoReply();
    void wrongAnswerToTheExchangeFails();
    void genericReceiveChecksTheName_data();
    void genericReceiveChecksTheName();
    void processMessageNeedsItsExactNameAndDictionary_data();
    void processMessageNeedsItsExactNameAndDictionary();
    void processMessagesGoOutAndComeBack();
    void disconnectSendsItsReason_data();
    void disconnectSendsItsReason();

private:
    QTemporaryDir m_dir;
};

void TestDeviceLink::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestDeviceLink::cleanup()
{
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

void TestDeviceLink::versionExchangeAnswersTheDevice()
{
    ServicePeer peer;
    QByteArray reply;
    peer.run([&](ServicePeer &p) {
        CFType exchange = CFType::newArray();
        exchange.append(CFType::fromString(QStringLiteral("DLMessageVersionExchange")))
            .append(CFType::fromNumber(qint64(300)))
            .append(CFType::fromNumber(qint64(0)));
        p.sendFrame(CFType::toPlistBytes(exchange, CFType::BinaryFormat));
        reply = p.receiveFrame();
        p.sendFrame(dlMessage({ "DLMessageDeviceReady" }));
    });
    mobiledevice_link_version_exchange(peer.programSocket());
    peer.join();
    QVERIFY(reply.startsWith("<?xml"));
    QCOMPARE(itemsOf(reply), QStringList({ "DLMessageVersionExchange", "DLVersionsOk" }));
}

void TestDeviceLink::readyDeviceGetsNoReply()
{
    ServicePeer peer;
    QByteArray unexpected;
    peer.run([&](ServicePeer &p) {
        p.sendFrame(dlMessage({ "DLMessageDeviceReady" }));
        unexpected = p.receiveFrame(300);
    });
    mobiledevice_link_version_exchange(peer.programSocket());
    peer.join();
    QVERIFY(unexpected.isNull());
}

void TestDeviceLink::wrongAnswerToTheExchangeFails()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) {
        p.sendFrame(dlMessage({ "DLMessageVersionExchange" }));
        p.receiveFrame();
        p.sendFrame(dlMessage({ "DLMessageDisconnect", "no" }));
    });
    const QString text
        = devicetest::errorOf([&] { mobiledevice_link_version_exchange(peer.programSocket()); });
    QVERIFY(text.startsWith("invalid feedback after send DLMessageVersionExchange.\n<?xml"));
    QVERIFY(text.contains("<string>DLMessageDisconnect</string>"));
}

void TestDeviceLink::genericReceiveChecksTheName_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("name");
    QTest::newRow("device link name") << dlMessage({ "DLMessagePing", "x" }) << "DLMessagePing";
    QTest::newRow("lower case passes") << dlMessage({ "dlmessagefoo" }) << "dlmessagefoo";
    QTest::newRow("sync name") << dlMessage({ "SDMessageSyncDataClassWithDevice" }) << QString();
    QTest::newRow("empty array") << dlMessage({}) << QString();
    QTest::newRow("dictionary") << QByteArray(
        "<plist version=\"1.0\"><dict><key>DLMessagePing</key><true/></dict></plist>")
                                << QString();
    QTest::newRow("number first") << QByteArray(
        "<plist version=\"1.0\"><array><integer>1</integer></array></plist>")
                                  << QString();
    QTest::newRow("no property list") << QByteArray("garbage") << QString();
}

void TestDeviceLink::genericReceiveChecksTheName()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, name);
    ServicePeer peer;
    peer.run([body](ServicePeer &p) { p.sendFrame(body); });
    CFType message;
    QString received;
    const QString text = devicetest::errorOf([&] {
        mobiledevice_link_sc_recv_dlmessaeg(peer.programSocket(), message, received, CFType());
    });
    if (name.isEmpty()) {
        QCOMPARE(text, QStringLiteral("Did not receive a DL* message as expected."));
        QVERIFY(message.isNull());
    } else {
        QVERIFY(text.isEmpty());
        QCOMPARE(received, name);
        QCOMPARE(message.at(0).toString(), name);
    }
}

void TestDeviceLink::processMessageNeedsItsExactNameAndDictionary_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    const QString wrong = QStringLiteral("Did not receive DLMessageProcessMessage as expected.");
    QTest::newRow("lower case name") << dlMessage({ "dlmessageprocessmessage" }) << wrong;
    QTest::newRow("other message") << dlMessage({ "DLMessageDisconnect", "bye" }) << wrong;
    QTest::newRow("without its dictionary") << dlMessage({ "DLMessageProcessMessage" }) << wrong;
    QTest::newRow("text instead of dictionary")
        << dlMessage({ "DLMessageProcessMessage", "x" }) << wrong;
    QTest::newRow("not device link")
        << dlMessage({ "Hello" }) << QStringLiteral("Did not receive a DL* message as expected.");
}

void TestDeviceLink::processMessageNeedsItsExactNameAndDictionary()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    ServicePeer peer;
    peer.run([body](ServicePeer &p) { p.sendFrame(body); });
    QCOMPARE(devicetest::errorOf([&] {
        mobiledevice_link_sc_recv_process_message(peer.programSocket(), CFType());
    }),
        error);
}

void TestDeviceLink::processMessagesGoOutAndComeBack()
{
    ServicePeer peer;
    peer.run([](ServicePeer &p) { p.sendFrame(p.receiveFrame()); });
    CFType dictionary = CFType::newDictionary();
    dictionary.setValue(CFType::fromString(QStringLiteral("MessageName")),
        CFType::fromString(QStringLiteral("Hello")));
    const CFType sent = mobiledevice_link_send_process_message(peer.programSocket(), dictionary);
    QCOMPARE(sent.arrayCount(), CFIndex(2));
    QCOMPARE(sent.at(0).toString(), QStringLiteral("DLMessageProcessMessage"));
    CFType whole;
    const CFType answer
        = mobiledevice_link_sc_recv_process_message(peer.programSocket(), sent, &whole);
    QCOMPARE(answer.value(QStringLiteral("MessageName")).toString(), QStringLiteral("Hello"));
    QVERIFY(MOBILEDEVICE_CF(CFEqual)(whole.ref(), sent.ref()));
    // A copy: independent of the received array.
    QVERIFY(answer.ref() != whole.at(1).ref());
}

void TestDeviceLink::disconnectSendsItsReason_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("sent");
    QTest::newRow("empty") << QString() << "___EmptyParameterString___";
    QTest::newRow("given") << "All done, thanks for the memories"
                           << "All done, thanks for the memories";
}

void TestDeviceLink::disconnectSendsItsReason()
{
    QFETCH(QString, reason);
    QFETCH(QString, sent);
    ServicePeer peer;
    QByteArray body;
    peer.run([&](ServicePeer &p) { body = p.receiveFrame(); });
    mobiledevice_link_disconnect(peer.programSocket(), reason);
    peer.join();
    QVERIFY(body.startsWith("bplist00"));
    QCOMPARE(itemsOf(body), QStringList({ "DLMessageDisconnect", sent }));
}

QTEST_GUILESS_MAIN(TestDeviceLink)
#include "tst_devicelink.moc"
