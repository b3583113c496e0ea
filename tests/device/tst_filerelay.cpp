#include "device/filerelay.h"
#include "device/iosdevice.h"
#include "device/iosloadfilerelaythread.h"
#include "shell/datafolder.h"
#include "support/attachedphone.h"
#include "support/backuptoolinstall.h"
#include "support/devicelibraries.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"
#include "support/recordingprogressform.h"
#include "support/servicepeer.h"
#include "support/simulatedphone.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <cerrno>
#include <cstring>

namespace {

QVariantMap entry(const QString &name, const QString &type, const QByteArray &data = QByteArray(),
    const QString &target = QString())
{
    return { { "Name", name }, { "Type", type }, { "Data", data }, { "Target", target } };
}

} // namespace

class TestFileRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestNeedsAnAcknowledgement_data();
    void requestNeedsAnAcknowledgement();
    void loadsTheDatabasesIntoFileRelay();
    void replacesTheEarlierTreeWhole();
    void namesLoseForbiddenCharacters();
    void hostileEntriesStayInside();
    void brokenTransfersKeepTheEarlierTree_data();
    void brokenTransfersKeepTheEarlierTree();
    void cancelEndsQuietlyAndSoon_data();
    void cancelEndsQuietlyAndSoon();
    void refusedReplyIsShownAsText();
    void fullDiskKeepsTheEarlierTreeAndNoArchive_data();
    void fullDiskKeepsTheEarlierTreeAndNoArchive();
    void servicesEndingLateStayOutOfTheTestLog();

private:
    SimulatedPhone makePhone(const QString &udid);
    int load(IOSDevice &device, RecordingProgressForm &form, int stallMs = 60000,
        const std::function<void()> &during = {});
    // A complete earlier load in the device's cache folder.
    void plantEarlierTree(const IOSDevice &device);
    void verifyEarlierTreeKept(const IOSDevice &device);

    QTemporaryDir m_home;
    QTranslator m_translator;
    QString m_devices;
};

void TestFileRelay::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    m_devices = devicetest::useDevicesFolder(m_home.path());
}

void TestFileRelay::init()
{
    QDir(dataFolder().filePath(QStringLiteral("ios_cache"))).removeRecursively();
}

SimulatedPhone TestFileRelay::makePhone(const QString &udid)
{
    SimulatedPhone phone(
        m_devices, udid, QStringLiteral("Relay"), QStringLiteral("6.1.3"), SimulatedPhone::Ios6);
    phone.addChat(QStringLiteral("+12015550100"), { QStringLiteral("one"), QStringLiteral("two") });
    phone.addAttachmentFiles(2, 300000);
    phone.device().addFile(QStringLiteral("var/mobile/Library/AddressBook/AddressBook.sqlitedb"),
        QByteArray("contacts"));
    phone.device().addFile(QStringLiteral("var/mobile/Media/DCIM/100APPLE/IMG_1.JPG"), "photo");
    return phone;
}

int TestFileRelay::load(IOSDevice &device, RecordingProgressForm &form, int stallMs,
    const std::function<void()> &during)
{
    IOSLoadFileRelayThread worker(&device, &form);
    worker.setStallTimeout(stallMs);
    if (during)
        QTimer::singleShot(300, &form, during);
    return form.run(worker);
}

void TestFileRelay::plantEarlierTree(const IOSDevice &device)
{
    const QDir cache = device.cacheDir();
    QVERIFY(QDir().mkpath(cache.filePath("file-relay/var/mobile/Library/SMS")));
    QFile earlier(cache.filePath("file-relay/var/mobile/Library/SMS/sms.db"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier load");
}

void TestFileRelay::verifyEarlierTreeKept(const IOSDevice &device)
{
    const QDir cache = device.cacheDir();
    QCOMPARE(fileBytes(cache.filePath("file-relay/var/mobile/Library/SMS/sms.db")),
        QByteArray("earlier load"));
    QCOMPARE(cache.entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList { "file-relay" });
}

void TestFileRelay::requestNeedsAnAcknowledgement_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    const auto status = [](const char *text) {
        return QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Status</key>"
                          "<string>")
            + text + "</string></dict></plist>";
    };
    QTest::newRow("as the device writes it") << status("Acknowledged") << true;
    QTest::newRow("lower case") << status("acknowledged") << true;
    QTest::newRow("other status") << status("Denied") << false;
    QTest::newRow("error instead") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                                 "<dict><key>Error</key><string>StagingEmpty"
                                                 "</string></dict></plist>")
                                   << false;
    QTest::newRow("not a dictionary") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                                    "<string>Acknowledged</string></plist>")
                                      << false;
}

void TestFileRelay::requestNeedsAnAcknowledgement()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    ServicePeer peer;
    QVERIFY(peer.isValid());
    QByteArray request;
    peer.run([&](ServicePeer &p) {
        request = p.receiveFrame();
        p.sendFrame(reply);
    });
    const QString error = devicetest::errorOf([&] {
        mobiledevice_file_relay_request(peer.programSocket(), { QStringLiteral("UserDatabases") });
    });
    peer.join();
    QVERIFY(request.contains("<key>Sources</key>"));
    QVERIFY(request.contains("<string>UserDatabases</string>"));
    if (accepted) {
        QCOMPARE(error, QString());
    } else {
        QVERIFY2(error.startsWith(QLatin1String("invalid feedback.\n<?xml")), qPrintable(error));
        QVERIFY(error.endsWith(QLatin1String("</plist>\n")));
    }
}

void TestFileRelay::loadsTheDatabasesIntoFileRelay()
{
    SimulatedPhone phone = makePhone(QStringLiteral("relay-plain"));
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    QVERIFY(device.handle);
    RecordingProgressForm form;
    QCOMPARE(load(device, form), 1);
    QVERIFY(form.errors.isEmpty());
    QVERIFY(form.infos.isEmpty());

    const QDir cache = device.cacheDir();
    const QString sms = cache.filePath("file-relay/" + SimulatedPhone::smsDbRelativePath());
    const QString original = phone.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    QCOMPARE(fileBytes(sms), fileBytes(original));
    QCOMPARE(QFileInfo(sms).lastModified().toSecsSinceEpoch(),
        QFileInfo(original).lastModified().toSecsSinceEpoch());
    QCOMPARE(
        fileBytes(cache.filePath("file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb")),
        QByteArray("contacts"));
    QCOMPARE(QFileInfo(
                 cache.filePath("file-relay/var/mobile/Library/SMS/Attachments/01/01/IMG_0001.JPG"))
                 .size(),
        300000);
    // Only the message and address-book folders travel.
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay/var/mobile/Media")));
    QVERIFY(!QFileInfo::exists(cache.filePath("file-relay.cpio")));

    QCOMPARE(form.statuses.first(), QStringLiteral("Loading messages from iPhone..."));
    QVERIFY(form.statuses.contains(QStringLiteral("Extracting sms.db")));
    QVERIFY(form.texts.filter(QRegularExpression("^Received:\\d[\\d,]*KB$")).size() >= 1);
    QVERIFY(form.texts.contains(QStringLiteral("Extracted: 0KB / 300,000KB")));
}

void TestFileRelay::replacesTheEarlierTreeWhole()
{
    SimulatedPhone phone = makePhone(QStringLiteral("relay-again"));
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    plantEarlierTree(device);
    const QDir cache = device.cacheDir();
    QFile stale(cache.filePath("file-relay/var/mobile/Library/SMS/gone.db"));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    QFile index(cache.filePath("manifest.db"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.close();

    RecordingProgressForm form;
    QCOMPARE(load(device, form), 1);
    QVERIFY(!stale.exists());
    // The backup road's copy index described the tree that is gone.
    QVERIFY(!index.exists());
    QCOMPARE(cache.entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList { "file-relay" });
}

void TestFileRelay::namesLoseForbiddenCharacters()
{
    SimulatedPhone phone = makePhone(QStringLiteral("relay-names"));
    phone.setFaults("FileRelay",
        { { "Entries",
            QVariantList {
                entry("./var/mobile/Library/SMS/a:b?c*<d>|\"e.txt", "file", "named") } } });
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    RecordingProgressForm form;
    QCOMPARE(load(device, form), 1);
    QCOMPARE(fileBytes(device.cacheDir().filePath("file-relay/var/mobile/Library/SMS/abcde.txt")),
        QByteArray("named"));
    QVERIFY(form.statuses.contains(QStringLiteral("Extracting abcde.txt")));
}

void TestFileRelay::hostileEntriesStayInside()
{
    const QString outside = m_home.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    SimulatedPhone phone = makePhone(QStringLiteral("relay-hostile"));
    phone.setFaults("FileRelay",
        { { "Entries",
            QVariantList { entry("../../../../escaped-up.txt", "file", "x"),
                entry(outside + "/escaped-absolute.txt", "file", "x"),
                entry("./var/mobile/../../../../../escaped-middle.txt", "file", "x"),
                entry("./var/mobile/Library/SMS/link", "symlink", {}, outside),
                entry("./var/mobile/Library/SMS/link/through-link.txt", "file", "inside"),
                entry("./var/mobile/Library/SMS/hard", "hardlink", {}, "/etc/hostname"),
                entry("./var/mobile/Library/SMS/pipe", "fifo"),
                entry("./var/mobile/Library/SMS/socket", "socket"),
                entry("./var/mobile/Library/SMS/device", "chardev"),
                entry("./var/mobile/Library/SMS/after.txt", "file", "after") } } });
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    RecordingProgressForm form;
    QCOMPARE(load(device, form), 1);

    const QDir relay(device.cacheDir().filePath("file-relay/var/mobile/Library/SMS"));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QDirIterator escaped(m_home.path(), { "escaped-*" }, QDir::AllEntries | QDir::System,
        QDirIterator::Subdirectories);
    QVERIFY2(!escaped.hasNext(), qPrintable(escaped.hasNext() ? escaped.next() : QString()));
    // Only regular files and folders are made.
    QVERIFY(!QFileInfo(relay.filePath("link")).isSymLink());
    QCOMPARE(fileBytes(relay.filePath("link/through-link.txt")), QByteArray("inside"));
    for (const char *name : { "pipe", "socket", "device" })
        QVERIFY2(!QFileInfo::exists(relay.filePath(name)), name);
    // A link to a file elsewhere comes, at most, as an empty file of its own.
    QCOMPARE(fileBytes(relay.filePath("hard")), QByteArray());
    QVERIFY(!QFileInfo(relay.filePath("hard")).isSymLink());
    QCOMPARE(fileBytes(relay.filePath("after.txt")), QByteArray("after"));
}

void TestFileRelay::brokenTransfersKeepTheEarlierTree_data()
{
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<int>("trailerCut"); // bytes cut off the end of the whole archive
    QTest::addColumn<QString>("said");
    QTest::newRow("refused") << QVariantMap { { "Error", "StagingEmpty" } } << 0
                             << "invalid feedback.<br/>";
    QTest::newRow("not acknowledged")
        << QVariantMap { { "Status", "Busy" } } << 0 << "invalid feedback.<br/>";
    QTest::newRow("cut in the middle") << QVariantMap { { "CutAfter", 40000 } } << 0 << "error";
    QTest::newRow("cut before the end") << QVariantMap() << 4 << "error";
    QTest::newRow("cut at once") << QVariantMap { { "CutAfter", 0 } } << 0 << "error";
    // A phone sends a gzip-compressed cpio archive: other kinds are not read at all.
    QTest::newRow("tar") << QVariantMap { { "Format", "tar" } } << 0
                         << "file-relay.cpio(-30) error.";
    QTest::newRow("zip") << QVariantMap { { "Format", "zip" } } << 0
                         << "file-relay.cpio(-30) error.";
    QTest::newRow("uncompressed cpio")
        << QVariantMap { { "Format", "cpio" } } << 0 << "sent an uncompressed";
    QTest::newRow("stalled") << QVariantMap { { "StallAfter", 40000 } } << 0
                             << "The iPhone stopped sending its databases";
    QTest::newRow("unplugged") << QVariantMap { { "StallAfter", 40000 } } << -1
                               << "The iPhone was disconnected.";
    // The connection closes with nothing of the archive sent: no empty tree replaces the last.
    QTest::newRow("unplugged before the archive")
        << QVariantMap { { "StallAfter", 0 } } << -1 << "The iPhone was disconnected.";
}

void TestFileRelay::brokenTransfersKeepTheEarlierTree()
{
    QFETCH(QVariantMap, faults);
    QFETCH(int, trailerCut);
    QFETCH(QString, said);
    const QString udid
        = QStringLiteral("relay-broken-") + QString(QTest::currentDataTag()).replace(' ', '-');
    SimulatedPhone phone = makePhone(udid);
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    if (trailerCut > 0) {
        // The whole archive's length comes from a load that succeeds.
        RecordingProgressForm whole;
        QCOMPARE(load(device, whole), 1);
        const QStringList sent = devicetest::callLog(device.handle)
                                     .filter(QRegularExpression("file_relay: sent \\d+ bytes"));
        QCOMPARE(sent.size(), 1);
        const qint64 length = sent.first().section(' ', -2, -2).toLongLong();
        faults.insert("CutAfter", length - trailerCut);
    }
    phone.setFaults("FileRelay", faults);
    QVERIFY(phone.write());
    plantEarlierTree(device);

    RecordingProgressForm form;
    std::function<void()> unplug;
    if (trailerCut < 0)
        unplug = [&] { devicetest::detach(device.handle); };
    QCOMPARE(load(device, form, 1000, unplug), 0);
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(
        form.errors.first().contains(said, Qt::CaseInsensitive), qPrintable(form.errors.first()));
    verifyEarlierTreeKept(device);
}

void TestFileRelay::cancelEndsQuietlyAndSoon_data()
{
    QTest::addColumn<bool>("unanswered");
    QTest::addColumn<qint64>("archived"); // bytes of the archive left behind
    QTest::newRow("during the transfer") << false << qint64(40000);
    // The phone has not acknowledged the request yet.
    QTest::newRow("before the phone answers") << true << qint64(0);
}

void TestFileRelay::cancelEndsQuietlyAndSoon()
{
    QFETCH(bool, unanswered);
    QFETCH(qint64, archived);
    SimulatedPhone phone
        = makePhone(QStringLiteral("relay-cancel-") + (unanswered ? "ack" : "data"));
    if (unanswered)
        phone.device().setReplyDelay(QStringLiteral("com.apple.mobile.file_relay"), 120000);
    else
        phone.setFaults("FileRelay", { { "StallAfter", 40000 } });
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    plantEarlierTree(device);
    RecordingProgressForm form;
    QElapsedTimer timer;
    timer.start();
    // Once what the phone sends has arrived: a slow run (sanitizers, a busy machine) may not
    // have it all within the first moment.
    const QString received = device.cacheDir().filePath("file-relay.cpio");
    std::function<void()> cancel = [&] {
        if (QFileInfo(received).size() >= archived || timer.elapsed() > 5000)
            form.cancel();
        else
            QTimer::singleShot(50, &form, cancel);
    };
    QCOMPARE(load(device, form, 60000, cancel), 0);
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(form.errors.isEmpty());
    QVERIFY(form.infos.isEmpty());
    verifyEarlierTreeKept(device);
    QCOMPARE(QFileInfo(device.cacheDir().filePath("file-relay.cpio")).size(), archived);
}

void TestFileRelay::refusedReplyIsShownAsText()
{
    SimulatedPhone phone = makePhone(QStringLiteral("relay-busy"));
    phone.setFaults("FileRelay", { { "Status", "Busy" } });
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    RecordingProgressForm form;
    QCOMPARE(load(device, form), 0);
    QCOMPARE(form.errors.size(), 1);
    // The box renders markup: the reply must come through it as written.
    QTextDocument shown;
    shown.setHtml(form.errors.first());
    QVERIFY2(shown.toPlainText().contains("<key>Status</key>"), qPrintable(shown.toPlainText()));
    QVERIFY(shown.toPlainText().contains("<string>Busy</string>"));
}

void TestFileRelay::fullDiskKeepsTheEarlierTreeAndNoArchive_data()
{
    QTest::addColumn<bool>("smallFiles");
    QTest::addColumn<int>("room"); // bytes a file may grow to
    // Files that fit the buffer reach the disk only when closed.
    QTest::newRow("extracted small files") << true << 10000;
    QTest::newRow("received archive") << false << 100000;
}

void TestFileRelay::fullDiskKeepsTheEarlierTreeAndNoArchive()
{
    QFETCH(bool, smallFiles);
    QFETCH(int, room);
    const QString udid = QStringLiteral("relay-full-") + (smallFiles ? "small" : "archive");
    SimulatedPhone phone(m_devices, udid, QStringLiteral("Relay"), QStringLiteral("6.1.3"),
        SimulatedPhone::NoDatabase);
    // Small files that compress well: the archive fits, each file does not.
    for (int i = 0; smallFiles && i < 30; ++i)
        phone.device().addFile(QStringLiteral("var/mobile/Library/SMS/Parts/%1.txt").arg(i),
            QByteArray(12000, char('a' + i % 26)));
    if (!smallFiles)
        phone.addAttachmentFiles(2, 300000);
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    plantEarlierTree(device);
    RecordingProgressForm form;
    {
        FileSizeLimit full(room);
        QCOMPARE(load(device, form), 0);
    }
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains("write"), qPrintable(form.errors.first()));
    // The system's reason, not Qt's "Unknown error" for a write the disk took only part of.
    QVERIFY2(form.errors.first().contains(QString::fromLocal8Bit(strerror(EFBIG))),
        qPrintable(form.errors.first()));
    verifyEarlierTreeKept(device);
    QVERIFY(!QFileInfo::exists(device.cacheDir().filePath("file-relay.cpio")));
}

void TestFileRelay::servicesEndingLateStayOutOfTheTestLog()
{
    // Qt Test frees a row's name when the row ends, unlocked: a service that is still closing
    // then must not log through its handler.
    static QStringList seen;
    seen.clear();
    const QtMessageHandler testHandler = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &line) { seen << line; });
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    SimulatedPhone phone = makePhone(QStringLiteral("relay-late"));
    // Refused: the phone goes on to send its archive into a closed connection.
    phone.setFaults("FileRelay", { { "Status", "Busy" } });
    IOSDevice device = devicetest::attachPhone(phone, "6.1.3");
    RecordingProgressForm form;
    const int result = load(device, form);
    QTRY_VERIFY(!devicetest::callLog(device.handle).filter("file_relay: stopped after").isEmpty());
    qDebug("from the test");
    qInstallMessageHandler(testHandler);
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    QCOMPARE(result, 0);
    QVERIFY2(seen.filter("file_relay:").isEmpty(), qPrintable(seen.join('\n')));
    QVERIFY(seen.contains("from the test"));
}

QTEST_MAIN(TestFileRelay)
#include "tst_filerelay.moc"
