// Loading from the registry's folders, name lookup, and device notifications delivered
// by the fake library from a thread of its own.
#include "device/cftype.h"
#include "device/devicesession.h"
#include "device/mobiledevice.h"
#include "support/devicelibraries.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdint>

class DeviceReceiver : public QObject
{
    Q_OBJECT

public:
    QList<void *> connected;
    QList<void *> disconnected;
    QList<QThread *> threads;

public slots:
    void iosDeviceConnected(void *device)
    {
        connected.append(device);
        threads.append(QThread::currentThread());
    }
    void iosDeviceDisconnected(void *device)
    {
        disconnected.append(device);
        threads.append(QThread::currentThread());
    }
};

class TestMobileDeviceNotification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void registryFoldersGoFirstOnPath();
    void resolvesNamesInTheRightLibrary();
    void subscribeHandsCallbackAndTargetToLibrary();
    void notificationReachesSlotQueued_data();
    void notificationReachesSlotQueued();
    void twoArrivalsInvokeTwice();
    void missingNamesThrowInsteadOfBeingCalled();

private:
    bool fire(void *device, std::uint32_t message);

    QTemporaryDir m_dir;
    DeviceReceiver m_receiver;
    const QString m_basePath = QStringLiteral("/usr/bin:/bin");
};

void TestMobileDeviceNotification::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("QUILLMARROW_REGISTRY", QFile::encodeName(m_dir.filePath("registry.conf")));
    qputenv("QUILLMARROW_COMMON_FILES", QFile::encodeName(m_dir.filePath("common")));
    qputenv("PATH", m_basePath.toLocal8Bit());

    QFile file(m_dir.filePath("registry.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[SOFTWARE\\Apple Inc.\\Apple Mobile Device Support]\n"
               "InstallDir=" FAKE_MD_DIR "\n"
               "[SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
               "InstallDir=" FAKE_CF_DIR "\n");
}

void TestMobileDeviceNotification::cleanupTestCase()
{
    g_deviceNotifyTarget.receiver = nullptr;
}

void TestMobileDeviceNotification::init()
{
    m_receiver.connected.clear();
    m_receiver.disconnected.clear();
    m_receiver.threads.clear();
}

bool TestMobileDeviceNotification::fire(void *device, std::uint32_t message)
{
    using Fire = int (*)(void *, std::uint32_t);
    const auto fireFunction = reinterpret_cast<Fire>(mobiledevice_resolve_md("fake_md_fire"));
    return fireFunction && fireFunction(device, message) == 1;
}

void TestMobileDeviceNotification::registryFoldersGoFirstOnPath()
{
    QVERIFY(!mobiledevice_frameworks_loaded());
    QString error = QStringLiteral("untouched");
    QVERIFY(mobiledevice_load_frameworks(error));
    QCOMPARE(error, QStringLiteral("untouched"));
    QVERIFY(mobiledevice_frameworks_loaded());
    const QString path = qEnvironmentVariable("PATH");
    QCOMPARE(path, QStringLiteral(FAKE_MD_DIR ":" FAKE_CF_DIR ":") + m_basePath);
    QVERIFY(!path.contains(m_dir.filePath("common")));
}

void TestMobileDeviceNotification::resolvesNamesInTheRightLibrary()
{
    QVERIFY(mobiledevice_resolve_md("AMDeviceNotificationSubscribe"));
    QVERIFY(mobiledevice_resolve_cf("CFRelease"));
    QVERIFY(mobiledevice_resolve_cf("kCFBooleanTrue"));
    QVERIFY(!mobiledevice_resolve_md("CFRelease"));
    QVERIFY(!mobiledevice_resolve_cf("AMDeviceNotificationSubscribe"));
    QVERIFY(!mobiledevice_resolve_md("AMDeviceNoSuchFunction"));
    QVERIFY(!mobiledevice_resolve_md(nullptr));
}

void TestMobileDeviceNotification::subscribeHandsCallbackAndTargetToLibrary()
{
    g_deviceNotifyTarget.receiver = &m_receiver;
    g_deviceNotifyTarget.connectedSlot = "iosDeviceConnected";
    g_deviceNotifyTarget.disconnectedSlot = "iosDeviceDisconnected";
    const QByteArray pathBefore = qgetenv("PATH");
    QCOMPARE(mobiledevice_subscribe(&g_deviceNotifyTarget), 0);
    // Already loaded: nothing is loaded again and PATH stays as it was.
    QCOMPARE(qgetenv("PATH"), pathBefore);

    using Query = int (*)(void **, unsigned int *, unsigned int *, void **, int *);
    const auto query = reinterpret_cast<Query>(mobiledevice_resolve_md("fake_md_subscription"));
    QVERIFY(query);
    void *callback = nullptr;
    void *target = nullptr;
    unsigned int unused1 = 99;
    unsigned int unused2 = 99;
    int hadHandleOut = 0;
    QCOMPARE(query(&callback, &unused1, &unused2, &target, &hadHandleOut), 1);
    QCOMPARE(callback, reinterpret_cast<void *>(&mobiledevice_notification_callback));
    QCOMPARE(unused1, 0u);
    QCOMPARE(unused2, 0u);
    QCOMPARE(target, static_cast<void *>(&g_deviceNotifyTarget));
    QVERIFY(hadHandleOut);
}

void TestMobileDeviceNotification::notificationReachesSlotQueued_data()
{
    QTest::addColumn<quint32>("message");
    QTest::addColumn<int>("connectedCount");
    QTest::addColumn<int>("disconnectedCount");

    QTest::newRow("arrival") << 1u << 1 << 0;
    QTest::newRow("removal") << 2u << 0 << 1;
    QTest::newRow("code 3 ignored") << 3u << 0 << 0;
    QTest::newRow("code 0 ignored") << 0u << 0 << 0;
    QTest::newRow("high code ignored") << 0x80000001u << 0 << 0;
}

void TestMobileDeviceNotification::notificationReachesSlotQueued()
{
    QFETCH(quint32, message);
    QFETCH(int, connectedCount);
    QFETCH(int, disconnectedCount);

    int device = 0;
    QVERIFY(fire(&device, message));
    // The library's thread has finished; the call waits in this thread's event queue.
    QVERIFY(m_receiver.threads.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(m_receiver.connected.size(), connectedCount);
    QCOMPARE(m_receiver.disconnected.size(), disconnectedCount);
    for (void *handle : m_receiver.connected + m_receiver.disconnected)
        QCOMPARE(handle, static_cast<void *>(&device));
    for (QThread *thread : m_receiver.threads)
        QCOMPARE(thread, m_receiver.thread());
}

void TestMobileDeviceNotification::twoArrivalsInvokeTwice()
{
    int device = 0;
    QVERIFY(fire(&device, 1));
    QVERIFY(fire(&device, 1));
    QCoreApplication::processEvents();
    QCOMPARE(m_receiver.connected, (QList<void *> { &device, &device }));
    QVERIFY(m_receiver.disconnected.isEmpty());
}

void TestMobileDeviceNotification::missingNamesThrowInsteadOfBeingCalled()
{
    // The stand-ins here export next to nothing: every other name is missing.
    QCOMPARE(devicetest::errorOf([] { CFType::fromString(QStringLiteral("x")); }),
        QStringLiteral("missing symbol: CFStringCreateWithBytes"));
    QCOMPARE(devicetest::errorOf([] { CFType().typeId(); }),
        QStringLiteral("missing symbol: CFNullGetTypeID"));
    int device = 0;
    QCOMPARE(devicetest::errorOf([&] {
        mobiledevice_copy_values(&device, { QStringLiteral("DeviceName") }, QString());
    }),
        QStringLiteral("missing symbol: AMDeviceConnect"));
    QCOMPARE(devicetest::errorOf([] { mobiledevice_require_md(nullptr); }),
        QStringLiteral("missing symbol: (null)"));
    // What needs no call stays quiet: the null value, and the release of an owned object.
    QVERIFY(!CFType().isString());
    QCOMPARE(CFType().toInt(3), 3);
    static int object = 0;
    {
        const CFType owned(&object, true);
    }
}

QTEST_GUILESS_MAIN(TestMobileDeviceNotification)
#include "tst_mobiledevicenotification.moc"
