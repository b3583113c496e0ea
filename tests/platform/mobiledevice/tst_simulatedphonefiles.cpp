// The files of simulated phones reach the disk before they are relied on: a phone's values
// set through our mobile-device library and the sample phones written into a devices folder.
#include "platform/mobiledevice/amdevice.h"

#include "platform/samplephones/samplephones.h"
#include "platform/samplephones/simulateddevicefolder.h"
#include "support/corefoundationtext.h"
#include "support/syncrecorder.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// True when something whose path holds `inside` was synced, and `folder` after it, so that
// its name survives a power loss as well as its content. A new file is synced before it has
// a name, so only the folder it is written in shows.
bool syncedThenFolder(const QStringList &synced, const QString &inside, const QString &folder)
{
    int last = -1;
    for (int i = 0; i < synced.size(); ++i) {
        if (synced.at(i).contains(inside))
            last = i;
    }
    return last >= 0 && synced.indexOf(canonical(folder), last) > last;
}

} // namespace

class TestSimulatedPhoneFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
    }
    void valuesSetOnAPhoneReachTheDisk();
    void samplePhonesReachTheDisk();

private:
    QTemporaryDir m_home;
};

void TestSimulatedPhoneFiles::valuesSetOnAPhoneReachTheDisk()
{
    SimulatedDeviceFolder folder(m_home.filePath(QStringLiteral("attached/setter")));
    folder.setIdentity(
        QStringLiteral("udid-setter"), QStringLiteral("setter"), QStringLiteral("9.3.5"));
    QVERIFY(folder.write());
    const AMDeviceRef device = QMDAttachDeviceFolder(QFile::encodeName(folder.path()).constData());
    QVERIFY(device);
    QCOMPARE(AMDeviceConnect(device), kAMDSuccess);
    QCOMPARE(AMDeviceValidatePairing(device), kAMDSuccess);
    QCOMPARE(AMDeviceStartSession(device), kAMDSuccess);
    CFStringRef key = cfString("Calendars");
    SyncRecorder recorder;
    QCOMPARE(AMDeviceSetValue(device, nullptr, key, kCFBooleanFalse), kAMDSuccess);
    const QStringList synced = recorder.synced();
    CFRelease(key);
    AMDeviceStopSession(device);
    AMDeviceDisconnect(device);
    QMDDetachDevice(device);

    QVERIFY2(syncedThenFolder(synced, canonical(folder.path()) + QLatin1Char('/'), folder.path()),
        qPrintable(synced.join(QLatin1Char('\n'))));
    QCOMPARE(folder.readValues().value(QStringLiteral("Calendars")), QVariant(false));
}

void TestSimulatedPhoneFiles::samplePhonesReachTheDisk()
{
    const QString devices = m_home.filePath(QStringLiteral("devices"));
    SyncRecorder recorder;
    samplephones::write(devices);
    const QStringList synced = recorder.synced();
    const QList<samplephones::PhoneSummary> phones = samplephones::phones();
    QVERIFY(!phones.isEmpty());
    for (const samplephones::PhoneSummary &phone : phones) {
        const QString folder = QDir(devices).filePath(phone.folder);
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/values.plist")));
        // Each phone is built aside and moved into the devices folder whole.
        QVERIFY2(
            syncedThenFolder(synced, QLatin1Char('/') + phone.folder + QLatin1Char('/'), devices),
            qPrintable(synced.join(QLatin1Char('\n'))));
    }
}

QTEST_MAIN(TestSimulatedPhoneFiles)
#include "tst_simulatedphonefiles.moc"
