// The sync service client against our simulated phone (a data class read over several
// batches, changes applied and remapped, clear all, finish, the tethered setting) and
// against a scripted service that sends too much or the wrong thing.
#include "device/devicelink.h"
#include "device/mobilesync.h"
#include "device/servicesocket.h"
#include "support/attacheddevices.h"
#include "support/servicepeer.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>

namespace {

const char contacts[] = "com.apple.Contacts";

QVariantMap contact(const QString &name)
{
    return { { "com.apple.syncservices.RecordEntityName", "com.apple.contacts.Contact" },
        { "first name", name } };
}

QByteArray plistOf(const QByteArray &inner)
{
    return "<plist version=\"1.0\">" + inner + "</plist>";
}

QByteArray message(const QStringList &items, const QByteArray &extraXml = QByteArray())
{
    QByteArray xml = "<array>";
    for (const QString &item : items)
        xml += "<string>" + item.toUtf8() + "</string>";
    return plistOf(xml + extraXml + "</array>");
}

// A QVariantMap as a property-list dictionary the client can send.
CFType dictionaryOf(const QVariantMap &map)
{
    return CFType::fromPlistBytes(SimulatedDeviceFolder::toXmlPlist(map));
}

QVariantMap mapOf(const CFType &dictionary)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("x.plist"));
    file.open(QIODevice::WriteOnly);
    file.write(CFType::toPlistBytes(dictionary, CFType::XmlFormat));
    file.close();
    return SimulatedDeviceFolder::fromPlistFile(file.fileName()).toMap();
}

} // namespace

class TestMobileSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void readsADataClassOverSeveralBatches();
    void changesAreAppliedAndRemapped();
    void clearAllAndFinish();
    void pingFollowsTheSessionStart();
    void tetheredSyncIsSwitchedInTheValues();
    void deviceFaultsAreErrors_data();
    void deviceFaultsAreErrors();

    void emptyClassIsNotAcknowledged();
    void batchesWithoutRecordsAreAcknowledgedOnly();
    void repliesOfTheWrongKindFail_data();
    void repliesOfTheWrongKindFail();
    void endlessBatchesAreBounded();
    void changesMustBeDictionaries();

private:
    AMDeviceRef attach(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp = {});
    int startSession(AMDeviceRef device, bool ping = false);

    QTemporaryDir m_dir;
    AttachedDevices m_devices { m_dir.path() };
};

void TestMobileSync::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestMobileSync::cleanup()
{
    m_devices.release();
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

AMDeviceRef TestMobileSync::attach(
    const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp)
{
    return m_devices.attach(name, [&](SimulatedDeviceFolder &f) {
        f.setValue("com.apple.mobilesync", "RecordsPerBatch", 10);
        QVariantMap records;
        for (int i = 1; i <= 25; ++i)
            records.insert(QString::number(i), contact(QString("Person %1").arg(i)));
        f.setSyncRecords(contacts, records);
        if (setUp)
            setUp(f);
    });
}

int TestMobileSync::startSession(AMDeviceRef device, bool ping)
{
    int socket = -1;
    mobilesync_start_session(
        device, MobileSyncAnchors(contacts, "", "computer-anchor"), socket, ping);
    m_devices.keepSocket(socket);
    return socket;
}

void TestMobileSync::readsADataClassOverSeveralBatches()
{
    const AMDeviceRef device = attach("batches");
    const int socket = startSession(device);
    const QList<CFType> batches = mobilesync_get_all_records(socket, contacts);
    QCOMPARE(batches.size(), 3);
    QVariantMap all;
    for (const CFType &batch : batches) {
        QVERIFY(batch.dictionaryCount() <= 10);
        const QVariantMap records = mapOf(batch);
        for (auto it = records.begin(); it != records.end(); ++it)
            all.insert(it.key(), it.value());
    }
    QCOMPARE(all, m_devices.folder().syncRecords(contacts));
    QVERIFY(
        devicetest::callLog(device).contains("com.apple.mobilesync: sent 25 records in 3 batches"));
}

void TestMobileSync::changesAreAppliedAndRemapped()
{
    const AMDeviceRef device = attach("changes");
    const int socket = startSession(device);
    const QVariantMap changes { { "3", contact("Changed") }, { "computer-1", contact("New One") },
        { "computer-2", contact("New Two") } };
    const CFType remap
        = mobilesync_send_changes(socket, dictionaryOf(changes), contacts, CFType::newDictionary());
    const QVariantMap mapped = mapOf(remap);
    QCOMPARE(mapped.size(), 2);
    const QStringList ids { mapped.value("computer-1").toString(),
        mapped.value("computer-2").toString() };
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()), QSet<QString>({ "26", "27" }));

    const QVariantMap records = m_devices.folder().syncRecords(contacts);
    QCOMPARE(records.size(), 27);
    QCOMPARE(records.value("3"), QVariant(contact("Changed")));
    QCOMPARE(records.value(mapped.value("computer-1").toString()), QVariant(contact("New One")));
    QCOMPARE(records.value("4"), QVariant(contact("Person 4")));
    // What the device holds now is what a new read gives.
    QCOMPARE(mobilesync_get_all_records(socket, contacts).size(), 3);
}

void TestMobileSync::clearAllAndFinish()
{
    const AMDeviceRef device = attach("clear");
    const int socket = startSession(device);
    mobilesync_clear_all_records(socket, contacts);
    QVERIFY(m_devices.folder().syncRecords(contacts).isEmpty());
    const CFType remap = mobilesync_send_changes(
        socket, dictionaryOf({ { "c", contact("Only") } }), contacts, CFType::newDictionary());
    QCOMPARE(mapOf(remap), QVariantMap({ { "c", "1" } }));
    mobilesync_finish_session(socket, contacts);
    mobiledevice_link_disconnect(socket, "All done");
    QTRY_VERIFY(devicetest::callLog(device).contains("com.apple.mobilesync: disconnected"));
    QCOMPARE(m_devices.folder().syncRecords(contacts), QVariantMap({ { "1", contact("Only") } }));
    QVERIFY(devicetest::callLog(device).contains("com.apple.mobilesync: session finished"));
}

void TestMobileSync::pingFollowsTheSessionStart()
{
    const AMDeviceRef device = attach("ping");
    const int socket = startSession(device, true);
    QCOMPARE(mobilesync_get_all_records(socket, contacts).size(), 3);
    const QStringList log = devicetest::callLog(device);
    const int session = log.indexOf("com.apple.mobilesync: session for com.apple.Contacts");
    const int ping = log.indexOf("com.apple.mobilesync: ping: Preparing to get changes for device");
    QVERIFY(session >= 0);
    QVERIFY(ping > session);
}

void TestMobileSync::tetheredSyncIsSwitchedInTheValues()
{
    const AMDeviceRef device = attach("tethered");
    QCOMPARE(mobilesync_set_disable_tethered(device, contacts, true), 0);
    QCOMPARE(m_devices.folder()
                 .readValues()
                 .value("Domains")
                 .toMap()
                 .value("com.apple.mobile.tethered_sync")
                 .toMap()
                 .value(contacts),
        QVariant(QVariantMap { { "DisableTethered", true } }));
    devicetest::detach(device);
    // The library's code comes back as it is, and a lost session throws.
    QVERIFY(!devicetest::errorOf([&] {
        mobilesync_set_disable_tethered(device, contacts, false);
    }).isEmpty());
}

void TestMobileSync::deviceFaultsAreErrors_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("error");
    // The device sends its version exchange, "DLMessageDeviceReady", its session answer,
    // then the first batch, and after the acknowledgement the second.
    QTest::newRow("session refused")
        << "ErrorStatus" << 2 << "invalid feedback after send SDMessageSyncDataClassWithDevice.\n";
    QTest::newRow("batch cut short")
        << "CutShort" << 4 << "mobiledevice_recmsg(msg) error, received length: ";
    QTest::newRow("closed mid-batch")
        << "CloseMidReply" << 3 << "mobiledevice_recmsg(msg-length) error, received length: 2.";
}

void TestMobileSync::deviceFaultsAreErrors()
{
    QFETCH(QString, fault);
    QFETCH(int, after);
    QFETCH(QString, error);
    const AMDeviceRef device = attach(QString("faulty-") + QTest::currentDataTag(),
        [&](SimulatedDeviceFolder &f) { f.setReplyFault("com.apple.mobilesync", fault, after); });
    int socket = -1;
    const QString text = devicetest::errorOf([&] {
        mobilesync_start_session(device, MobileSyncAnchors(contacts), socket, false);
        mobilesync_get_all_records(socket, contacts);
    });
    m_devices.keepSocket(socket);
    QVERIFY2(text.startsWith(error), qPrintable(text));
}

void TestMobileSync::emptyClassIsNotAcknowledged()
{
    ServicePeer peer;
    QByteArray request;
    QByteArray more;
    peer.run([&](ServicePeer &p) {
        request = p.receiveFrame();
        p.sendFrame(message({ "SDMessageDeviceReadyToReceiveChanges" }));
        more = p.receiveFrame(300);
    });
    QVERIFY(mobilesync_get_all_records(peer.programSocket(), contacts).isEmpty());
    peer.join();
    QVERIFY(request.startsWith("<?xml"));
    QCOMPARE(CFType::fromPlistBytes(request).at(1).toString(), QString(contacts));
    QVERIFY(more.isNull());
}

void TestMobileSync::batchesWithoutRecordsAreAcknowledgedOnly()
{
    ServicePeer peer;
    QList<QByteArray> acknowledgements;
    peer.run([&](ServicePeer &p) {
        p.receiveFrame();
        const QList<QByteArray> batches {
            message({ "SDMessageProcessChanges", contacts, "not records" }),
            message({ "SDMessageProcessChanges" }),
            message({ "SDMessageProcessChanges", contacts },
                "<dict><key>1</key><dict><key>a</key><string>b</string></dict></dict>"),
        };
        for (const QByteArray &batch : batches) {
            p.sendFrame(batch);
            acknowledgements << p.receiveFrame();
        }
        p.sendFrame(message({ "SDMessageDeviceReadyToReceiveChanges" }));
    });
    const QList<CFType> records = mobilesync_get_all_records(peer.programSocket(), contacts);
    peer.join();
    QCOMPARE(records.size(), 1);
    QCOMPARE(
        records[0].value(QStringLiteral("1")).value(QStringLiteral("a")).toString(), QString("b"));
    QCOMPARE(acknowledgements.size(), 3);
    for (const QByteArray &ack : acknowledgements) {
        const CFType sent = CFType::fromPlistBytes(ack);
        QCOMPARE(sent.at(0).toString(), QString("SDMessageAcknowledgeChangesFromDevice"));
        QCOMPARE(sent.at(1).toString(), QString(contacts));
    }
}

void TestMobileSync::repliesOfTheWrongKindFail_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");
    const QString changes = "invalid feedback after send SDMessageProcessChanges.\n<?xml";
    QTest::newRow("remap without its dictionary")
        << 0 << message({ "SDMessageRemapRecordIdentifiers", contacts }) << changes;
    QTest::newRow("cancelled changes")
        << 0 << message({ "SDMessageCancelSession", contacts, "no" }) << changes;
    QTest::newRow("dictionary for changes") << 0 << plistOf("<dict/>") << changes;
    QTest::newRow("no property list")
        << 0 << QByteArray("junk") << "invalid feedback after send SDMessageProcessChanges.\n";
    QTest::newRow("clear answered wrongly")
        << 1 << message({ "SDMessageDeviceReadyToReceiveChanges" })
        << "invalid feedback after send SDMessageClearAllRecordsOnDevice.\n<?xml";
    QTest::newRow("records answered wrongly")
        << 2 << message({ "SDMessageRemapRecordIdentifiers" })
        << "invalid feedback after send SDMessageGetAllRecordsFromDevice.\n<?xml";
    QTest::newRow("number for a name")
        << 2 << plistOf("<array><integer>3</integer></array>")
        << "invalid feedback after send SDMessageGetAllRecordsFromDevice.\n<?xml";
}

void TestMobileSync::repliesOfTheWrongKindFail()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    ServicePeer peer;
    peer.run([&](ServicePeer &p) {
        p.receiveFrame();
        p.sendFrame(reply);
    });
    const int socket = peer.programSocket();
    const QString text = devicetest::errorOf([&] {
        if (operation == 0)
            mobilesync_send_changes(
                socket, CFType::newDictionary(), contacts, CFType::newDictionary());
        else if (operation == 1)
            mobilesync_clear_all_records(socket, contacts);
        else
            mobilesync_get_all_records(socket, contacts);
    });
    QVERIFY2(text.startsWith(error), qPrintable(text));
}

void TestMobileSync::endlessBatchesAreBounded()
{
    ServicePeer peer;
    int sent = 0;
    peer.run([&](ServicePeer &p) {
        p.receiveFrame();
        const QByteArray batch
            = ServicePeer::frame(message({ "SDMessageProcessChanges", contacts }));
        // Until the client stops acknowledging.
        while (p.sendRaw(batch) && !p.receiveFrame(2000).isNull())
            ++sent;
    });
    const QString text
        = devicetest::errorOf([&] { mobilesync_get_all_records(peer.programSocket(), contacts); });
    QCOMPARE(text,
        QString("mobilesync_get_all_records: more than %1 batches from the device.")
            .arg(mobilesync_max_batches));
    // The peer, waiting for one more acknowledgement, sees the end instead.
    ::shutdown(peer.programSocket(), SHUT_WR);
    peer.join();
    QCOMPARE(sent, mobilesync_max_batches);
}

void TestMobileSync::changesMustBeDictionaries()
{
    ServicePeer peer;
    QByteArray unexpected;
    peer.run([&](ServicePeer &p) { unexpected = p.receiveFrame(300); });
    QCOMPARE(devicetest::errorOf([&] {
        mobilesync_send_changes(peer.programSocket(), CFType(), contacts, CFType::newDictionary());
    }),
        QString("mobilesync_send_changes: records and actions must be dictionaries."));
    peer.join();
    QVERIFY(unexpected.isNull());
}

QTEST_GUILESS_MAIN(TestMobileSync)
#include "tst_mobilesync.moc"
