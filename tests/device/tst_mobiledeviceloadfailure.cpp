// Loading that fails. The library objects are process-wide and a successful load sticks,
// so these cases run in this order in a process of their own.
#include "device/mobiledevice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

class HitCounter : public QObject
{
    Q_OBJECT

public:
    int hits = 0;

public slots:
    void hit(void *) { ++hits; }
};

class TestMobileDeviceLoadFailure : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void missingRegistryValuesFallBackToCommonFiles();
    void failingMobileDeviceLeavesCoreFoundationUnloaded();
    void failingCoreFoundationLeavesFrameworksUnloaded();
    void subscribeThrowsTheLoaderError();
    void callbackSkipsIncompleteTargets();

private:
    void writeRegistry(const QString &mobileDeviceDir, const QString &coreFoundationDir);

    QTemporaryDir m_dir;
    const QString m_basePath = QStringLiteral("/usr/bin:/bin");
};

void TestMobileDeviceLoadFailure::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("QUILLMARROW_REGISTRY", QFile::encodeName(m_dir.filePath("registry.conf")));
    qputenv("QUILLMARROW_COMMON_FILES", QFile::encodeName(m_dir.filePath("common")));
    qunsetenv("LD_LIBRARY_PATH");

    // A CoreFoundation that would load if it were tried after a failed mobile-device load.
    const QString supportDir = m_dir.filePath("common/Apple/Apple Application Support");
    QVERIFY(QDir().mkpath(supportDir));
    QVERIFY(QFile::copy(QStringLiteral(FAKE_CF_FILE), supportDir + "/libCoreFoundation.so"));
    QVERIFY(QDir().mkpath(m_dir.filePath("empty")));
}

void TestMobileDeviceLoadFailure::init()
{
    qputenv("PATH", m_basePath.toLocal8Bit());
}

void TestMobileDeviceLoadFailure::writeRegistry(
    const QString &mobileDeviceDir, const QString &coreFoundationDir)
{
    QFile file(m_dir.filePath("registry.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[SOFTWARE\\Apple Inc.\\Apple Mobile Device Support]\nInstallDir="
        + mobileDeviceDir.toUtf8()
        + "\n[SOFTWARE\\Apple Inc.\\Apple Application Support]\nInstallDir="
        + coreFoundationDir.toUtf8() + "\n");
}

void TestMobileDeviceLoadFailure::missingRegistryValuesFallBackToCommonFiles()
{
    QString error;
    QVERIFY(!mobiledevice_load_frameworks(error));
    QCOMPARE(qEnvironmentVariable("PATH"),
        m_dir.filePath("common/Apple/Mobile Device Support") + ':'
            + m_dir.filePath("common/Apple/Apple Application Support") + ':' + m_basePath);
    QCOMPARE(error, QStringLiteral("Failed to load (Mobile Device) framework."));
}

void TestMobileDeviceLoadFailure::failingMobileDeviceLeavesCoreFoundationUnloaded()
{
    QString error;
    QVERIFY(!mobiledevice_load_frameworks(error));
    QVERIFY(!mobiledevice_frameworks_loaded());
    QVERIFY(!mobiledevice_resolve_cf("CFRelease"));
    QVERIFY(!mobiledevice_resolve_md("AMDeviceNotificationSubscribe"));
}

void TestMobileDeviceLoadFailure::failingCoreFoundationLeavesFrameworksUnloaded()
{
    writeRegistry(QStringLiteral(FAKE_MD_DIR), m_dir.filePath("empty"));
    QString error;
    QVERIFY(!mobiledevice_load_frameworks(error));
    QCOMPARE(error, QStringLiteral("Failed to load (CoreFoundation) framework."));
    QVERIFY(mobiledevice_resolve_md("AMDeviceNotificationSubscribe"));
    QVERIFY(!mobiledevice_resolve_cf("CFRelease"));
    QVERIFY(!mobiledevice_frameworks_loaded());
}

void TestMobileDeviceLoadFailure::subscribeThrowsTheLoaderError()
{
    DeviceNotifyTarget target(this, "connected", "disconnected");
    try {
        mobiledevice_subscribe(&target);
        QFAIL("subscribe succeeded without CoreFoundation");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
            QStringLiteral("Failed to load (CoreFoundation) framework."));
    }
    // The failed subscription ran the loader again, prefixing PATH once more.
    QVERIFY(qEnvironmentVariable("PATH").startsWith(
        QStringLiteral(FAKE_MD_DIR) + ':' + m_dir.filePath("empty") + ':'));
}

void TestMobileDeviceLoadFailure::callbackSkipsIncompleteTargets()
{
    HitCounter counter;
    int device = 0;
    struct
    {
        void *device;
        quint32 message;
    } record { &device, 1 };

    DeviceNotifyTarget noReceiver(nullptr, "hit", "hit");
    mobiledevice_notification_callback(&record, &noReceiver);
    DeviceNotifyTarget noSlot(&counter, "", "");
    mobiledevice_notification_callback(&record, &noSlot);
    DeviceNotifyTarget complete(&counter, "hit", "hit");
    mobiledevice_notification_callback(nullptr, &complete);
    mobiledevice_notification_callback(&record, nullptr);
    QCOMPARE(counter.hits, 0);

    // From the receiver's own thread the slot runs at once.
    mobiledevice_notification_callback(&record, &complete);
    QCOMPARE(counter.hits, 1);
}

QTEST_GUILESS_MAIN(TestMobileDeviceLoadFailure)
#include "tst_mobiledeviceloadfailure.moc"
