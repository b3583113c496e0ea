#include "device/backup2tool.h"
#include "device/backupdrives.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "shell/datafolder.h"
#include "support/attachedphone.h"
#include "support/backuptoolinstall.h"
#include "support/devicelibraries.h"
#include "support/foldersnapshot.h"
#include "support/recordingprogressform.h"
#include "support/simulatedphone.h"

#include <QMutex>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

namespace {

// Volumes as a test describes them: root, fixed, writable, free bytes.
struct FakeVolume
{
    QString root;
    bool fixed;
    bool writable;
    qint64 free;
};

class FakeDrives : public BackupDrives
{
public:
    FakeDrives(const QList<FakeVolume> &volumes, const QString &system)
        : m_volumes(volumes)
        , m_system(system)
    {
    }
    QStringList roots() const override
    {
        QStringList list;
        for (const FakeVolume &v : m_volumes)
            list << v.root;
        return list;
    }
    bool isFixed(const QString &root) const override { return volume(root).fixed; }
    bool isWritable(const QString &root) const override { return volume(root).writable; }
    qint64 freeSpace(const QString &root) const override { return volume(root).free; }
    QString systemRoot() const override { return m_system; }

private:
    FakeVolume volume(const QString &root) const
    {
        for (const FakeVolume &v : m_volumes) {
            if (v.root == root)
                return v;
        }
        return { root, true, true, 0 };
    }

    QList<FakeVolume> m_volumes;
    QString m_system;
};

// The drive list over a given mount table, recording the folders it probes or measures;
// the roots a test names read as not writable.
class RecordingDrives : public BackupDrives
{
public:
    RecordingDrives(const QByteArray &mountinfo, const QString &unwritable)
        : BackupDrives(mountinfo)
        , m_unwritable(unwritable)
    {
    }
    bool isWritable(const QString &root) const override
    {
        asked << root;
        return root != m_unwritable && BackupDrives::isWritable(root);
    }
    qint64 freeSpace(const QString &root) const override
    {
        asked << root;
        return BackupDrives::freeSpace(root);
    }
    QString systemRoot() const override { return QStringLiteral("/system"); }

    mutable QStringList asked;

private:
    QString m_unwritable;
};

QString markerPath()
{
    return dataFolder().filePath(QStringLiteral("__quillmarrow_iosbk_temp.path"));
}

void writeMarker(const QByteArray &text)
{
    QFile marker(markerPath());
    QVERIFY(marker.open(QIODevice::WriteOnly | QIODevice::Truncate));
    marker.write(text);
}

QString snapshotState(const QDir &folder)
{
    return SimulatedDeviceFolder::fromPlistFile(folder.filePath("Status.plist"))
        .toMap()
        .value("SnapshotState")
        .toString();
}

// What was logged, from any thread, while recordMessage was the message handler.
QMutex loggedMutex;
QStringList logged;
QList<QThread *> loggedThreads; // the thread of each logged line

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    QMutexLocker locker(&loggedMutex);
    logged << text;
    loggedThreads << QThread::currentThread();
}

void clearLogged()
{
    QMutexLocker locker(&loggedMutex);
    logged.clear();
    loggedThreads.clear();
}

// The threads that logged lines holding `words`, in order.
QList<QThread *> threadsThatLogged(const QString &words)
{
    QMutexLocker locker(&loggedMutex);
    QList<QThread *> threads;
    for (int i = 0; i < logged.size(); ++i) {
        if (logged[i].contains(words))
            threads << loggedThreads[i];
    }
    return threads;
}

} // namespace

Q_DECLARE_METATYPE(QList<FakeVolume>)

class TestDeviceBackup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void expectsDurationFromUsedSpace_data();
    void expectsDurationFromUsedSpace();
    void progressStopsAt99();
    void buildsTheToolsCommandLines();
    void findsTheToolInCommonFiles();

    void remembersTheBackupRoot_data();
    void remembersTheBackupRoot();
    void choosesTheFixedWritableVolumeWithMostSpace_data();
    void choosesTheFixedWritableVolumeWithMostSpace();
    void neverTouchesRemoteMounts_data();
    void neverTouchesRemoteMounts();
    void clearingRemovesFolderAndMarker();

    void backupMakesAFinishedBackup();
    void backupRootIsChosenInTheWorkerNotWhenItIsMade();
    void backupLogsTheToolsWordsButNotItsProgress();
    void toolOutputDecidesFailure_data();
    void toolOutputDecidesFailure();
    void toolOutputIsUtf8ElseLatin1_data();
    void toolOutputIsUtf8ElseLatin1();
    void errorTextKeepsItsLinesInTheBox_data();
    void errorTextKeepsItsLinesInTheBox();
    void finishedBackupOfTheSameVersionIsKept_data();
    void finishedBackupOfTheSameVersionIsKept();
    void toolFailuresAreErrors_data();
    void toolFailuresAreErrors();
    void cancelledBackupNeverReadsAsFinished();
    void cancelBeforeTheToolRunsStartsNothing();
    void hostileIdentifierIsRefused();

    void restoreMessages_data();
    void restoreMessages();
    void restoreWritesThePhone();
    void restoreToAnUnpluggedPhoneSaysSo();

private:
    SimulatedPhone makePhone(const QString &udid);
    int backUp(IOSDevice &device, RecordingProgressForm &form, QDir *root = nullptr,
        const std::function<void()> &during = {});

    QTemporaryDir m_home;
    QTranslator m_translator;
    QString m_devices;
    QString m_backupRoot;
};

void TestDeviceBackup::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(devicetest::loadLibraries(m_home.path()));
    QVERIFY(devicetest::installBackupTool(m_home.path()));
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    m_devices = devicetest::useDevicesFolder(m_home.path());
    m_backupRoot = m_home.filePath(QStringLiteral("volume"));
    QVERIFY(QDir().mkpath(m_backupRoot));
    // No block device of this machine's may make a test's disk removable.
    qputenv("QUILLMARROW_SYS_BLOCK", QFile::encodeName(m_home.filePath("no-sys")));
}

void TestDeviceBackup::init()
{
    writeMarker(m_backupRoot.toUtf8());
}

SimulatedPhone TestDeviceBackup::makePhone(const QString &udid)
{
    SimulatedPhone phone(
        m_devices, udid, QStringLiteral("Backed"), QStringLiteral("9.3"), SimulatedPhone::Current);
    phone.addChat(QStringLiteral("+12015550100"), { QStringLiteral("hi") });
    phone.addAttachmentFiles(3, 1000);
    return phone;
}

int TestDeviceBackup::backUp(
    IOSDevice &device, RecordingProgressForm &form, QDir *root, const std::function<void()> &during)
{
    IOSMobileBackupThread worker(&device, &form);
    if (during)
        QTimer::singleShot(400, &form, during);
    const int result = form.run(worker);
    if (root)
        *root = worker.backupDir();
    return result;
}

void TestDeviceBackup::expectsDurationFromUsedSpace_data()
{
    QTest::addColumn<qint64>("used");
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("10 GB") << (qint64(10240) << 20) << qint64(307);
    QTest::newRow("nothing") << qint64(0) << qint64(60);
    QTest::newRow("less than nothing") << qint64(-5) << qint64(60);
    QTest::newRow("under a megabyte") << qint64(1000000) << qint64(60);
    // Almost nothing used must not make a duration of 0 to divide by.
    QTest::newRow("one megabyte") << (qint64(1) << 20) << qint64(1);
    QTest::newRow("33 megabytes") << (qint64(33) << 20) << qint64(1);
    QTest::newRow("34 megabytes") << (qint64(34) << 20) << qint64(1);
}

void TestDeviceBackup::expectsDurationFromUsedSpace()
{
    QFETCH(qint64, used);
    QFETCH(qint64, seconds);
    QCOMPARE(backup2tool::expectedSeconds(used), seconds);
}

void TestDeviceBackup::progressStopsAt99()
{
    QCOMPARE(backup2tool::progressAfter(0, 307), 0.0);
    QCOMPARE(backup2tool::progressAfter(307, 307), 99.0);
    QCOMPARE(backup2tool::progressAfter(5000, 307), 99.0);
    QCOMPARE(backup2tool::progressAfter(1, 0), 99.0);
    QVERIFY(qAbs(backup2tool::progressAfter(100, 200) - 49.5) < 1e-9);
}

void TestDeviceBackup::buildsTheToolsCommandLines()
{
    const QString root = m_home.filePath("r");
    const backup2tool tool(nullptr, QStringLiteral("U"), QDir(root));
    QCOMPARE(tool.arguments(backup2tool_op(0)),
        QStringList({ "-u", "U", "--backup", "--target", "U", "--root", root }));
    QCOMPARE(tool.arguments(backup2tool_op(1)),
        QStringList({ "-u", "U", "--restore", "--target", "U", "--root", root, "--source", "U" }));
    QCOMPARE(devicetest::errorOf([&] { tool.arguments(backup2tool_op(2)); }),
        QStringLiteral("unknown backup2tool_op."));
    const backup2tool_op op(1);
    QVERIFY(op.flags[0] && op.flags[4] && op.text.isEmpty());
}

void TestDeviceBackup::findsTheToolInCommonFiles()
{
    QCOMPARE(QFileInfo(backup2tool::toolPath()).canonicalFilePath(),
        QFileInfo(QStringLiteral(QM_BACKUP_TOOL)).canonicalFilePath());
    QVERIFY(backup2tool::toolPath().endsWith(
        QLatin1String("/Apple/Mobile Device Support/AppleMobileBackup.exe")));
}

void TestDeviceBackup::remembersTheBackupRoot_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<bool>("kept");
    QTest::newRow("usable folder") << m_backupRoot.toUtf8() << true;
    QTest::newRow("drive of another system") << QByteArray("e:/data") << false;
    QTest::newRow("missing folder") << m_home.filePath("gone").toUtf8() << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestDeviceBackup::remembersTheBackupRoot()
{
    QFETCH(QByteArray, marker);
    QFETCH(bool, kept);
    const QString other = m_home.filePath("other-volume");
    QVERIFY(QDir().mkpath(other));
    writeMarker(marker);
    const FakeDrives drives({ { other, true, true, 100 } }, m_home.path());
    const QString expected = kept ? m_backupRoot : other;
    QCOMPARE(tempBackupRoot(drives).absolutePath(), expected + "/__quillmarrow_iosbk_temp");
    QCOMPARE(fileBytes(markerPath()), expected.toUtf8());
}

void TestDeviceBackup::choosesTheFixedWritableVolumeWithMostSpace_data()
{
    QTest::addColumn<QList<FakeVolume>>("volumes");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("most space") << QList<FakeVolume> { { "/a", true, true, 10 },
        { "/b", true, true, 30 } }
                                << "/b";
    QTest::newRow("tie keeps the first")
        << QList<FakeVolume> { { "/a", true, true, 30 }, { "/b", true, true, 30 } } << "/a";
    QTest::newRow("read-only root passed over") << QList<FakeVolume> { { "/", true, false, 900 },
        { "/home/me", true, true, 20 } } << "/home/me";
    QTest::newRow("removable passed over")
        << QList<FakeVolume> { { "/media/stick", false, true, 900 }, { "/a", true, true, 1 } }
        << "/a";
    QTest::newRow("no space, no choice")
        << QList<FakeVolume> { { "/a", true, true, 0 }, { "/b", true, true, -1 } } << "/system";
    QTest::newRow("nothing writable")
        << QList<FakeVolume> { { "/a", true, false, 5 } } << "/system";
}

void TestDeviceBackup::choosesTheFixedWritableVolumeWithMostSpace()
{
    QFETCH(QList<FakeVolume>, volumes);
    QFETCH(QString, chosen);
    QVERIFY(QFile::remove(markerPath()));
    const FakeDrives drives(volumes, "/system");
    QCOMPARE(tempBackupRoot(drives).absolutePath(),
        chosen + (chosen.endsWith('/') ? "" : "/") + "__quillmarrow_iosbk_temp");
    QCOMPARE(fileBytes(markerPath()), chosen.toUtf8());
}

void TestDeviceBackup::neverTouchesRemoteMounts_data()
{
    QTest::addColumn<QByteArray>("fixedMount");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<QString>("unwritable");
    QTest::addColumn<QString>("chosen");

    const QByteArray fixed = "30 1 8:17 / $/fixed rw - ext4 /dev/sdb1 rw\n";
    const QByteArray belowNfs = "30 20 8:17 / $/remote/nfs/disk rw - ext4 /dev/sdb1 rw\n";
    const QByteArray belowUsb = "30 24 8:17 / $/remote/usb/disk rw - ext4 /dev/sdb1 rw\n";
    const QString none;
    const QString fixedRoot = QStringLiteral("fixed");
    QTest::newRow("fixed drive beside remote ones") << fixed << none << none << none << fixedRoot;
    QTest::newRow("remembered root on a remote mount")
        << fixed << none << QStringLiteral("remote/nfs") << none << fixedRoot;
    QTest::newRow("home on a remote mount")
        << fixed << QStringLiteral("remote/nfs/me") << none << none << fixedRoot;
    QTest::newRow("home stands for its fixed volume")
        << fixed << QStringLiteral("fixed/me") << none << fixedRoot << QStringLiteral("fixed/me");
    QTest::newRow("fixed drive below a remote mount")
        << belowNfs << none << none << none << QStringLiteral("/system");
    QTest::newRow("remembered root on a fuseblk mount")
        << fixed << none << QStringLiteral("remote/usb") << none << fixedRoot;
    QTest::newRow("home on a fuseblk mount")
        << fixed << QStringLiteral("remote/ntfs/me") << none << none << fixedRoot;
    QTest::newRow("fixed drive below a fuseblk mount")
        << belowUsb << none << none << none << QStringLiteral("/system");
}

void TestDeviceBackup::neverTouchesRemoteMounts()
{
    QFETCH(QByteArray, fixedMount);
    QFETCH(QString, home);
    QFETCH(QString, marker);
    QFETCH(QString, unwritable);
    QFETCH(QString, chosen);

    QTemporaryDir drives;
    QVERIFY(drives.isValid());
    const QDir base(drives.path());
    const QStringList remote { "remote/nfs", "remote/cifs", "remote/ssh", "remote/fuse",
        "remote/usb", "remote/ntfs", "remote/nfs/disk", "remote/usb/disk", "remote/ntfs/me" };
    // Real folders, where a probe that went through would succeed.
    for (const QString &folder : remote + QStringList { "fixed/me" })
        QVERIFY(base.mkpath(folder));
    const QByteArray table = QByteArray("1 0 8:1 / / ro,relatime - ext4 /dev/sda1 ro\n"
                                        "20 1 0:40 / $/remote/nfs rw - nfs4 server:/export rw\n"
                                        "21 1 0:41 / $/remote/cifs rw - cifs //server/share rw\n"
                                        "22 1 0:42 / $/remote/ssh rw - fuse.sshfs me@host: rw\n"
                                        "23 1 0:43 / $/remote/fuse rw - fuse fuse rw\n"
                                        // USB disks that exfat-fuse and ntfs-3g serve.
                                        "24 1 8:33 / $/remote/usb rw - fuseblk /dev/sdc1 rw\n"
                                        "25 1 8:49 / $/remote/ntfs rw - fuseblk /dev/sdd1 rw\n")
        + fixedMount;
    const RecordingDrives recording(QByteArray(table).replace('$', QFile::encodeName(base.path())),
        unwritable.isEmpty() ? QString() : base.filePath(unwritable));

    const QByteArray savedHome = qgetenv("HOME");
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", savedHome); });
    if (!home.isEmpty())
        qputenv("HOME", QFile::encodeName(base.filePath(home)));
    if (marker.isEmpty())
        QVERIFY(QFile::remove(markerPath()));
    else
        writeMarker(base.filePath(marker).toUtf8());

    const QString root = chosen.startsWith('/') ? chosen : base.filePath(chosen);
    QCOMPARE(tempBackupRoot(recording).absolutePath(), root + "/__quillmarrow_iosbk_temp");
    for (const QString &asked : recording.asked)
        QVERIFY2(!asked.startsWith(base.filePath("remote")), qPrintable(asked));
    for (const QString &folder : remote) {
        const QString path = base.filePath(folder);
        QVERIFY(!recording.BackupDrives::isWritable(path));
        QCOMPARE(recording.BackupDrives::freeSpace(path), qint64(-1));
    }
}

void TestDeviceBackup::clearingRemovesFolderAndMarker()
{
    const QString folder = m_backupRoot + "/__quillmarrow_iosbk_temp/some-phone";
    QVERIFY(QDir().mkpath(folder));
    clearTempBackupRoot();
    QVERIFY(!QFileInfo::exists(m_backupRoot + "/__quillmarrow_iosbk_temp"));
    QVERIFY(!QFileInfo::exists(markerPath()));
    QVERIFY(QFileInfo::exists(m_backupRoot));
}

void TestDeviceBackup::backupMakesAFinishedBackup()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-plain"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    RecordingProgressForm form;
    QDir root;
    QCOMPARE(backUp(device, form, &root), 1);
    QVERIFY(form.errors.isEmpty());
    QVERIFY(form.infos.isEmpty());
    QCOMPARE(root.absolutePath(), m_backupRoot + "/__quillmarrow_iosbk_temp");
    QCOMPARE(form.statuses.first(), QStringLiteral("Backing up iPhone..."));
    QVERIFY(IOSMobileBackupThread::isFinishedBackup(QDir(root.filePath(device.udid)), "9.3"));
    QVERIFY(!IOSMobileBackupThread::isFinishedBackup(QDir(root.filePath(device.udid)), "9.2"));
}

void TestDeviceBackup::backupRootIsChosenInTheWorkerNotWhenItIsMade()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-chooses"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    RecordingProgressForm form;
    // The backup volume is the one drive to choose.
    const QString table = m_home.filePath("mountinfo");
    QFile file(table);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("1 0 8:1 / / ro - ext4 /dev/sda1 ro\n2 1 8:17 / " + m_backupRoot.toUtf8()
        + " rw - ext4 /dev/sdb1 rw\n");
    file.close();
    qputenv("QUILLMARROW_MOUNTINFO", QFile::encodeName(table));
    QVERIFY(QFile::remove(markerPath()));
    clearLogged();
    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    const auto restore = qScopeGuard([&] {
        qInstallMessageHandler(previous);
        qunsetenv("QUILLMARROW_MOUNTINFO");
    });
    IOSMobileBackupThread worker(&device, &form);
    // Making the worker scans no drive and remembers no choice.
    QVERIFY(!QFileInfo::exists(markerPath()));
    QVERIFY(threadsThatLogged("Device backups go to").isEmpty());
    QCOMPARE(form.run(worker), 1);
    const QList<QThread *> choosers = threadsThatLogged("Device backups go to");
    QCOMPARE(choosers.size(), 1);
    QVERIFY(choosers.first() != QThread::currentThread());
    QCOMPARE(fileBytes(markerPath()), m_backupRoot.toUtf8());
    QCOMPARE(worker.backupDir().absolutePath(), m_backupRoot + "/__quillmarrow_iosbk_temp");
    QVERIFY(IOSMobileBackupThread::isFinishedBackup(
        QDir(worker.backupDir().filePath(device.udid)), "9.3"));
}

void TestDeviceBackup::backupLogsTheToolsWordsButNotItsProgress()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-logged"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    RecordingProgressForm form;
    clearLogged();
    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    const int result = backUp(device, form);
    qInstallMessageHandler(previous);
    QCOMPARE(result, 1);
    QCOMPARE(logged.filter("Backup finished.").size(), 1);
    QVERIFY2(logged.filter("Backing up").isEmpty(), qPrintable(logged.join('\n')));
}

void TestDeviceBackup::toolOutputDecidesFailure_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("failure");
    QString progress;
    for (int percent = 1; percent <= 100; ++percent)
        progress += QStringLiteral("Backing up: %1% (%1 of 100 files)\n").arg(percent);
    QTest::newRow("progress and done") << progress + "Backup finished.\n" << false << 0 << "";
    QTest::newRow("error line amid progress")
        << "ERROR: Device locked\n\n" + progress << false << 1 << "ERROR: Device locked";
    QTest::newRow("lower case, exit 0")
        << "\nan error happened" << false << 0 << "an error happened";
    QTest::newRow("inside a word, exit 0")
        << "\n3 Terrors found" << false << 0 << "3 Terrors found";
    QTest::newRow("mixed case in stderr") << "eRrOr\n" << false << 0 << "eRrOr";
    QTest::newRow("silent exit code")
        << "\n"
        << false << 3 << "AppleMobileBackup process failed with exit code 3.";
    QTest::newRow("crash after progress")
        << "\n" + progress << true << 0 << "AppleMobileBackup process crashed.";
    QString many;
    for (int i = 1; i <= 30; ++i)
        many += QStringLiteral("ERROR: file %1 unreadable\n").arg(i);
    QString first20;
    for (int i = 1; i <= 20; ++i)
        first20 += QStringLiteral("ERROR: file %1 unreadable\n").arg(i);
    QTest::newRow("a screenful at most")
        << "note one\n" + many + "note two" << false << 1 << first20 + "(10 more lines)";
    QTest::newRow("long line cut")
        << "ERROR: " + QString(1000, 'x') << false << 1 << "ERROR: " + QString(293, 'x') + "...";
}

void TestDeviceBackup::toolOutputDecidesFailure()
{
    QFETCH(QString, output);
    QFETCH(bool, crashed);
    QFETCH(int, exitCode);
    QFETCH(QString, failure);
    QCOMPARE(backup2tool::failureText(output, crashed, exitCode), failure);
}

void TestDeviceBackup::toolOutputIsUtf8ElseLatin1_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("UTF-8") << QByteArray("refus\xC3\xA9\x65") << QStringLiteral("refus\u00E9e");
    QTest::newRow("Latin-1") << QByteArray("refus\xE9\x65") << QStringLiteral("refus\u00E9e");
    QTest::newRow("UTF-8 cut at the end")
        << QByteArray("refus\xC3") << QStringLiteral("refus\u00C3");
    QTest::newRow("up to NUL") << QByteArray("ok\0\xE9", 4) << QStringLiteral("ok");
    QTest::newRow("ASCII") << QByteArray("ERROR: x\n") << QStringLiteral("ERROR: x\n");
}

void TestDeviceBackup::toolOutputIsUtf8ElseLatin1()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(backup2tool::outputText(bytes), text);
}

void TestDeviceBackup::errorTextKeepsItsLinesInTheBox_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("shown");
    QTest::newRow("lines") << "one\ntwo\r\nthree"
                           << "one<br/>two<br/>three";
    QTest::newRow("markup") << "<b> & \"x\""
                            << "&lt;b&gt; &amp; &quot;x&quot;";
    QTest::newRow("accents") << "refus\u00E9e"
                             << "refus\u00E9e";
}

void TestDeviceBackup::errorTextKeepsItsLinesInTheBox()
{
    QFETCH(QString, what);
    QFETCH(QString, shown);
    QCOMPARE(backup2tool::escapedError(what.toUtf8().constData()), shown);
}

void TestDeviceBackup::finishedBackupOfTheSameVersionIsKept_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("kept");
    QTest::newRow("same version") << "9.3" << true;
    QTest::newRow("other version") << "9.2" << false;
}

void TestDeviceBackup::finishedBackupOfTheSameVersionIsKept()
{
    QFETCH(QString, version);
    QFETCH(bool, kept);
    SimulatedPhone phone = makePhone(QStringLiteral("worker-keep-") + version);
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    QDir root;
    {
        RecordingProgressForm form;
        QCOMPARE(backUp(device, form, &root), 1);
    }
    // The earlier backup was made under 9.3.
    const QDir folder(root.filePath(device.udid));
    QFile planted(folder.filePath("planted"));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.close();
    device.productVersion = version;
    RecordingProgressForm form;
    QCOMPARE(backUp(device, form), 1);
    QCOMPARE(planted.exists(), kept);
    QCOMPARE(snapshotState(folder), QStringLiteral("finished"));
}

void TestDeviceBackup::toolFailuresAreErrors_data()
{
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<QString>("said");
    QTest::newRow("error line") << QVariantMap { { "Error", "<Device> locked" } }
                                << "ERROR: &lt;Device&gt; locked";
    QTest::newRow("silent exit") << QVariantMap { { "ExitCode", 4 } }
                                 << "AppleMobileBackup process failed with exit code 4.";
    QTest::newRow("crash") << QVariantMap { { "Crash", true }, { "AfterFiles", 1 } }
                           << "AppleMobileBackup process crashed.";
    QTest::newRow("error after progress") << QVariantMap { { "Error", "Device locked" },
        { "AfterFiles", 3 } } << "ERROR: Device locked<br/><br/>Note";
    QTest::newRow("two lines in UTF-8")
        << QVariantMap { { "Error", "Sauvegarde refus\u00E9e\nT\u00E9l\u00E9phone & PC" } }
        << "ERROR: Sauvegarde refus\u00E9e<br/>T\u00E9l\u00E9phone &amp; PC<br/><br/>Note";
}

void TestDeviceBackup::toolFailuresAreErrors()
{
    QFETCH(QVariantMap, faults);
    QFETCH(QString, said);
    SimulatedPhone phone = makePhone(
        QStringLiteral("worker-fails-") + QString(QTest::currentDataTag()).replace(' ', '-'));
    phone.setFaults("BackupTool", faults);
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    RecordingProgressForm form;
    QDir root;
    QCOMPARE(backUp(device, form, &root), 0);
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains(said), qPrintable(form.errors.first()));
    QVERIFY(
        form.errors.first().contains("<br/><br/>Note: You can restart your device to try again."));
    // The tool's progress is no error.
    QVERIFY2(!form.errors.first().contains("Backing up"), qPrintable(form.errors.first()));
    QVERIFY(!QFileInfo::exists(root.filePath(device.udid)));
}

void TestDeviceBackup::cancelledBackupNeverReadsAsFinished()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-cancel"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    QDir root;
    {
        RecordingProgressForm form;
        QCOMPARE(backUp(device, form, &root), 1);
    }
    const QDir folder(root.filePath(device.udid));
    QVERIFY(IOSMobileBackupThread::isFinishedBackup(folder, "9.3"));
    // Slow enough that the cancel comes while the tool works over the finished backup.
    phone.setFaults("BackupTool", { { "FileDelayMs", 2000 } });
    QVERIFY(phone.write());
    RecordingProgressForm form;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(backUp(device, form, nullptr, [&] { form.cancel(); }), 0);
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(form.errors.isEmpty());
    QVERIFY(form.infos.isEmpty());
    QVERIFY(!IOSMobileBackupThread::isFinishedBackup(folder, "9.3"));
}

void TestDeviceBackup::cancelBeforeTheToolRunsStartsNothing()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-early-cancel"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    RecordingProgressForm form;
    form.failed = true;
    IOSMobileBackupThread worker(&device, &form);
    worker.start();
    QVERIFY(worker.wait(10000));
    QVERIFY(!QFileInfo::exists(worker.backupDir().filePath(device.udid + "/Manifest.plist")));
}

void TestDeviceBackup::hostileIdentifierIsRefused()
{
    IOSDevice device;
    device.udid = QStringLiteral("..");
    const QString sibling = m_backupRoot + "/keep-me";
    QVERIFY(QDir().mkpath(sibling));
    RecordingProgressForm form;
    QCOMPARE(backUp(device, form), 0);
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(QFileInfo::exists(sibling));
}

void TestDeviceBackup::restoreMessages_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("shown");
    QTest::newRow("find my iphone")
        << "ERROR: Find My iPhone must be disabled in order to restore."
        << "Please turn off \"Find my iPhone\" on your iPhone (Settings -&gt; iCloud -&gt; Find my "
           "iPhone), then restart your iPhone and try again.<br/><br/>";
    QTest::newRow("insufficient space") << "ERROR: Insufficient free disk space on device to "
                                           "restore (1073741824 bytes needed 5368709120)"
                                        << "5 GB free disk space on your device is required "
                                           "restore data.  Please remove some camera "
                                           "roll videos from your device to computer to free up "
                                           "disk space first and then try again.";
    QTest::newRow("fraction of a gigabyte")
        << "error: insufficient free disk space on device to restore (1 of 322122547)"
        << "0.3 GB free disk space on your device is required restore data.  Please remove some "
           "camera roll videos from your device to computer to free up disk space first and then "
           "try again.";
    QTest::newRow("twelve gigabytes")
        << "ERROR: Insufficient free disk space on device to restore (1 x 12884901888)"
        << "1e+01 GB free disk space on your device is required restore data.  Please remove some "
           "camera roll videos from your device to computer to free up disk space first and then "
           "try again.";
    QTest::newRow("other") << "ERROR: <b>odd</b>"
                           << "ERROR: &lt;b&gt;odd&lt;/b&gt;<br/><br/>Note: You can restart your "
                              "device to try again.";
}

void TestDeviceBackup::restoreMessages()
{
    QFETCH(QString, tool);
    QFETCH(QString, shown);
    QCOMPARE(IOSMobileRestoreThread::errorMessage(tool.toUtf8().constData()), shown);
}

void TestDeviceBackup::restoreWritesThePhone()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-restore"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    QDir root;
    {
        RecordingProgressForm form;
        QCOMPARE(backUp(device, form, &root), 1);
    }
    const QString sms = phone.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    const QByteArray original = fileBytes(sms);
    QFile changed(sms);
    QVERIFY(changed.open(QIODevice::WriteOnly | QIODevice::Truncate));
    changed.write("changed");
    changed.close();

    RecordingProgressForm form;
    IOSMobileRestoreThread worker(&device, root, &form);
    QCOMPARE(form.run(worker), 1);
    QCOMPARE(form.statuses.first(), QStringLiteral("Restoring iPhone..."));
    QVERIFY(form.errors.isEmpty());
    QCOMPARE(fileBytes(sms), original);
}

void TestDeviceBackup::restoreToAnUnpluggedPhoneSaysSo()
{
    SimulatedPhone phone = makePhone(QStringLiteral("worker-restore-unplugged"));
    IOSDevice device = devicetest::attachPhone(phone, "9.3");
    QDir root;
    {
        RecordingProgressForm form;
        QCOMPARE(backUp(device, form, &root), 1);
    }
    phone.setFaults("BackupTool",
        { { "Operation", "restore" }, { "AfterFiles", 1 }, { "UntilUnplugged", true } });
    QVERIFY(phone.write());

    RecordingProgressForm form;
    IOSMobileRestoreThread worker(&device, root, &form);
    QTimer::singleShot(400, &form, [&] {
        devicetest::detach(device.handle);
        QVERIFY(QDir().rename(phone.path(), phone.path() + QStringLiteral("-unplugged")));
    });
    QCOMPARE(form.run(worker), 0);
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains("The iPhone was disconnected.<br/><br/> Or"),
        qPrintable(form.errors.first()));
}

QTEST_MAIN(TestDeviceBackup)
#include "tst_devicebackup.moc"
