#include "shell/datafolder.h"
#include "device/iosdevice.h"

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
    void createsCacheFolderUnderDataFolder();
    void keepsCacheFolderInsideIosCache_data();
    void keepsCacheFolderInsideIosCache();

private:
    QTemporaryDir m_home;
};

void TestIOSDevice::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
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

QTEST_GUILESS_MAIN(TestIOSDevice)
#include "tst_iosdevice.moc"
