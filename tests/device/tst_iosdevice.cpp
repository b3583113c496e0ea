#include "device/devicesession.h"
#include "device/iosdevice.h"
#include "device/iosdevicevalues.h"
#include "platform/samplephones/simulateddevicefolder.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "support/devicelibraries.h"

#include <QTemporaryDir>
#include <QtTest>

class TestIOSDevice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startsEmpty();
    void copiesKeepTheHandle();
    void parsesVersionNumbers_data();
    void parsesVersionNumbers();
    void versionChoosesTheRoad_data();
    void versionChoosesTheRoad();
    void createsCacheFolderUnderDataFolder();
    void keepsCacheFolderInsideIosCache_data();
    void keepsCacheFolderInsideIosCache();
    void readsItsValuesFromADevice_data();
    void readsItsValuesFromADevice();
    void backupSettingsWarnOnce_data();
    void backupSettingsWarnOnce();
    void unreadableSettingsLetTheDeviceThrough();

private:
    AMDeviceRef attachDevice(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp);

    QTemporaryDir m_home;
};

void TestIOSDevice::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QVERIFY(devicetest::loadLibraries(m_home.path()));
}

AMDeviceRef TestIOSDevice::attachDevice(
    const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp)
{
    SimulatedDeviceFolder folder(m_home.filePath(QStringLiteral("devices/") + name));
    setUp(folder);
    return folder.write() ? devicetest::attach(folder.path()) : nullptr;
}

void TestIOSDevice::startsEmpty()
{
    const IOSDevice device;
    QVERIFY(device.name.isEmpty());
    QVERIFY(device.udid.isEmpty());
    QVERIFY(device.countryCode.isEmpty());
    QVERIFY(device.productVersion.isEmpty());
    QVERIFY(device.productType.isEmpty());
    QCOMPARE(device.handle, nullptr);
}

void TestIOSDevice::copiesKeepTheHandle()
{
    int token = 0;
    IOSDevice device;
    device.name = QStringLiteral("Jo's iPhone");
    device.udid = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    device.productVersion = QStringLiteral("6.1.3");
    device.handle = &token;
    const IOSDevice copy = device;
    QCOMPARE(copy.name, device.name);
    QCOMPARE(copy.udid, device.udid);
    QCOMPARE(copy.versionNumbers(), QList<int>({ 6, 1, 3 }));
    QCOMPARE(copy.handle, static_cast<void *>(&token));
}

void TestIOSDevice::parsesVersionNumbers_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QList<int>>("numbers");
    QTest::newRow("three parts") << QStringLiteral("7.1.2") << QList<int>({ 7, 1, 2 });
    QTest::newRow("two parts") << QStringLiteral("10.0") << QList<int>({ 10, 0 });
    QTest::newRow("empty") << QString() << QList<int>();
    QTest::newRow("no digits") << QStringLiteral("beta") << QList<int>();
    QTest::newRow("with words") << QStringLiteral("iOS 10") << QList<int>({ 10 });
    QTest::newRow("too long") << QStringLiteral("99999999999.4") << QList<int>({ 0, 4 });
}

void TestIOSDevice::parsesVersionNumbers()
{
    QFETCH(QString, version);
    QFETCH(QList<int>, numbers);
    IOSDevice device;
    device.productVersion = version;
    QCOMPARE(device.versionNumbers(), numbers);
}

void TestIOSDevice::versionChoosesTheRoad_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("fileRelay");
    QTest::newRow("4.3") << "4.3" << false;
    QTest::newRow("4.3.5") << "4.3.5" << false;
    QTest::newRow("5.0") << "5.0" << true;
    QTest::newRow("6.1.3") << "6.1.3" << true;
    QTest::newRow("7.1.2") << "7.1.2" << true;
    QTest::newRow("8.0") << "8.0" << false;
    QTest::newRow("10.3") << "10.3" << false;
    QTest::newRow("empty") << "" << true;
}

void TestIOSDevice::versionChoosesTheRoad()
{
    QFETCH(QString, version);
    QFETCH(bool, fileRelay);
    IOSDevice device;
    device.productVersion = version;
    QCOMPARE(device.usesFileRelay(), fileRelay);
}

void TestIOSDevice::createsCacheFolderUnderDataFolder()
{
    IOSDevice device;
    device.udid = QStringLiteral("a1b2c3d4e5f60718293a4b5c6d7e8f9012345678");
    const QString expected
        = dataFolder().absoluteFilePath(QStringLiteral("ios_cache/") + device.udid);
    QVERIFY(!QFileInfo::exists(expected));
    QCOMPARE(device.cacheDir().absolutePath(), expected);
    QVERIFY(QFileInfo(expected).isDir());
    QFile kept(expected + QStringLiteral("/kept"));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();
    QCOMPARE(device.cacheDir().absolutePath(), expected);
    QVERIFY(QFileInfo::exists(expected + QStringLiteral("/kept")));
}

void TestIOSDevice::keepsCacheFolderInsideIosCache_data()
{
    QTest::addColumn<QString>("udid");
    QTest::newRow("parent") << QStringLiteral("..");
    QTest::newRow("climbing") << QStringLiteral("../../escaped");
    QTest::newRow("empty") << QString();
    QTest::newRow("dot") << QStringLiteral(".");
}

void TestIOSDevice::keepsCacheFolderInsideIosCache()
{
    QFETCH(QString, udid);
    IOSDevice device;
    device.udid = udid;
    const QString root = dataFolder().absoluteFilePath(QStringLiteral("ios_cache"));
    const QDir dir = device.cacheDir();
    QVERIFY2(
        dir.absolutePath().startsWith(root + QLatin1Char('/')), qPrintable(dir.absolutePath()));
    QVERIFY(dir.exists());
    QVERIFY(!QFileInfo::exists(QDir(m_home.path()).absoluteFilePath(QStringLiteral("escaped"))));
}

void TestIOSDevice::readsItsValuesFromADevice_data()
{
    QTest::addColumn<QString>("udid");
    QTest::newRow("plain") << QStringLiteral("f00dfeedf00dfeedf00dfeedf00dfeedf00dfeed");
    QTest::newRow("climbing") << QStringLiteral("../../escaped");
    QTest::newRow("absolute") << QStringLiteral("/tmp/escaped");
    QTest::newRow("mixed") << QStringLiteral("a/../../../escaped");
}

void TestIOSDevice::readsItsValuesFromADevice()
{
    QFETCH(QString, udid);
    const AMDeviceRef handle = attachDevice(QTest::currentDataTag(), [&](SimulatedDeviceFolder &f) {
        f.setIdentity(udid, QStringLiteral("Jo\u2019s iPhone"), QStringLiteral("6.1.3"),
            QStringLiteral("iPhone5,2"), QStringLiteral("460"));
    });
    QVERIFY(handle);
    IOSDevice device;
    device.handle = handle;
    readIOSDeviceValues(device);
    QCOMPARE(device.udid, udid);
    QCOMPARE(device.name, QStringLiteral("Jo\u2019s iPhone"));
    QCOMPARE(device.countryCode, QStringLiteral("460"));
    QCOMPARE(device.productType, QStringLiteral("iPhone5,2"));
    QCOMPARE(device.versionNumbers(), QList<int>({ 6, 1, 3 }));
    const QString root = dataFolder().absoluteFilePath(QStringLiteral("ios_cache"));
    QVERIFY(device.cacheDir().absolutePath().startsWith(root + QLatin1Char('/')));
    QVERIFY(!QFileInfo::exists(QDir(m_home.path()).absoluteFilePath(QStringLiteral("escaped"))));
    devicetest::detach(handle);
}

void TestIOSDevice::backupSettingsWarnOnce_data()
{
    QTest::addColumn<bool>("cloud");
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<bool>("checkCloud");
    QTest::addColumn<bool>("checkEncrypt");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("box");
    const QString cloudBox
        = QStringLiteral("Failed to transfer data to device. Please turn off iCloud "
                         "backup on your iPhone to try again.<br/><br/><img "
                         "src=\":res/close_icloudbk.jpg\"/>");
    const QString encryptBox
        = QStringLiteral("Failed to transfer data to device. Your iTunes backup is "
                         "encrypted. Please run iTunes on computer and then uncheck "
                         "\"Encrypt iPhone backup\" option to try again.<br/><br/>"
                         "<img src=\":res/close_itunesbkenc.jpg\"/>");
    QTest::newRow("both on, both checked") << true << true << true << true << false << cloudBox;
    QTest::newRow("encryption only, iCloud checked")
        << false << true << true << false << true << QString();
    QTest::newRow("encryption only, both checked")
        << false << true << true << true << false << encryptBox;
    QTest::newRow("iCloud on, nothing checked")
        << true << false << false << false << true << QString();
    QTest::newRow("both off") << false << false << true << true << true << QString();
}

void TestIOSDevice::backupSettingsWarnOnce()
{
    QFETCH(bool, cloud);
    QFETCH(bool, encrypt);
    QFETCH(bool, checkCloud);
    QFETCH(bool, checkEncrypt);
    QFETCH(bool, result);
    QFETCH(QString, box);
    IOSDevice device;
    device.handle = attachDevice(QStringLiteral("settings"), [&](SimulatedDeviceFolder &f) {
        f.setIdentity(
            QStringLiteral("settings"), QStringLiteral("Settings"), QStringLiteral("9.0"));
        f.setValue(
            QStringLiteral("com.apple.mobile.backup"), QStringLiteral("CloudBackupEnabled"), cloud);
        f.setValue(
            QStringLiteral("com.apple.mobile.backup"), QStringLiteral("WillEncrypt"), encrypt);
    });
    QStringList boxes;
    setMessageBoxHook([&](QMessageBox &shown) {
        boxes << shown.text();
        return QMessageBox::Ok;
    });
    const bool allowed = device.checkBackupSettings(checkCloud, checkEncrypt);
    setMessageBoxHook(nullptr);
    devicetest::detach(device.handle);
    QCOMPARE(allowed, result);
    QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList { box });
    QVERIFY(QImage(QStringLiteral(":res/close_icloudbk.jpg")).width() > 0);
    QVERIFY(QImage(QStringLiteral(":res/close_itunesbkenc.jpg")).width() > 0);
}

void TestIOSDevice::unreadableSettingsLetTheDeviceThrough()
{
    IOSDevice device;
    device.handle = attachDevice(QStringLiteral("refusing"), [](SimulatedDeviceFolder &f) {
        f.setIdentity(
            QStringLiteral("refusing"), QStringLiteral("Refusing"), QStringLiteral("9.0"));
        f.setValue(
            QStringLiteral("com.apple.mobile.backup"), QStringLiteral("CloudBackupEnabled"), true);
        f.setFault(QStringLiteral("AMDeviceStartSession"), 0xe8000015);
    });
    int boxes = 0;
    setMessageBoxHook([&](QMessageBox &) {
        ++boxes;
        return QMessageBox::Ok;
    });
    QVERIFY(device.checkBackupSettings(true, true));
    // A setting that is not a boolean counts as off.
    SimulatedDeviceFolder folder(m_home.filePath(QStringLiteral("devices/refusing")));
    folder.setIdentity(
        QStringLiteral("refusing"), QStringLiteral("Refusing"), QStringLiteral("9.0"));
    folder.setValue(QStringLiteral("com.apple.mobile.backup"), QStringLiteral("CloudBackupEnabled"),
        QStringLiteral("yes"));
    QVERIFY(folder.write());
    QVERIFY(device.checkBackupSettings(true, true));
    setMessageBoxHook(nullptr);
    devicetest::detach(device.handle);
    QCOMPARE(boxes, 0);
}

QTEST_MAIN(TestIOSDevice)
#include "tst_iosdevice.moc"
