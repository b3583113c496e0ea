// Times a simulated phone's arrival road by road, step by step as the window takes them: the
// file-relay road (iOS 6) and the backup road (iOS 9, then a second arrival over the kept
// backup), from plug-in to chats listed, beside `cp -a` of the phone's files.
// Usage: bench_deviceroads [WORK_FOLDER] [MESSAGES=100000] [FILES=2000] [MB=200]
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "device/iosdevice.h"
#include "device/iosdevicevalues.h"
#include "device/iosloadfilerelaythread.h"
#include "device/iosmobilebackupthread.h"
#include "messages/ios6messagedb.h"
#include "shell/messagebox.h"
#include "support/backuptoolinstall.h"
#include "support/devicelibraries.h"
#include "support/recordingprogressform.h"
#include "support/simulatedphone.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

QTextStream out(stdout);

class Road
{
public:
    explicit Road(const QString &title) { out << title << "\n"; }
    ~Road()
    {
        out << QStringLiteral("  %1 %2 s\n")
                   .arg(QStringLiteral("plug-in to chats listed"), -36)
                   .arg(m_total, 8, 'f', 2);
        out.flush();
    }

    // Runs one step and prints its time; false when it failed.
    bool step(const QString &name, const std::function<bool()> &work)
    {
        QElapsedTimer clock;
        clock.start();
        const bool ok = work();
        const double seconds = clock.elapsed() / 1000.0;
        m_total += seconds;
        out << QStringLiteral("  %1 %2 s%3\n")
                   .arg(name, -36)
                   .arg(seconds, 8, 'f', 2)
                   .arg(ok ? "" : "  FAILED");
        out.flush();
        return ok;
    }

    double total() const { return m_total; }

private:
    double m_total = 0;
};

bool listChats(const IOSDevice &device)
{
    QSharedPointer<AbsMessageDb> db(
        new IOS6MessageDb(device.cacheDir(), device.countryCode, false));
    QSharedPointer<MsgMessageSet> set(new MsgMessageSet);
    db->chats(set);
    return !set->chats().isEmpty();
}

// Plug-in: the phone's folder is attached and its values read, as on arrival.
bool plugIn(Road &road, const QString &folder, IOSDevice &device)
{
    return road.step(QStringLiteral("plug-in and device values"), [&] {
        device = IOSDevice();
        device.handle = devicetest::attach(folder);
        if (!device.handle)
            return false;
        readIOSDeviceValues(device);
        return !device.udid.isEmpty();
    });
}

double relayRoad(const QString &folder)
{
    Road road(QStringLiteral("file-relay road (iOS 6)"));
    IOSDevice device;
    if (!plugIn(road, folder, device))
        return -1;
    const bool ok = road.step(QStringLiteral("file relay: transfer and unpacking"), [&] {
        RecordingProgressForm form;
        IOSLoadFileRelayThread worker(&device, &form);
        return form.run(worker) == 1 && !form.failed;
    }) && road.step(QStringLiteral("opening the copy, listing its chats"), [&] {
        return listChats(device);
    });
    return ok ? road.total() : -1;
}

double backupRoad(const QString &title, const QString &folder)
{
    Road road(title);
    IOSDevice device;
    if (!plugIn(road, folder, device))
        return -1;
    QDir root;
    bool ok = road.step(QStringLiteral("backup settings and backup tool"), [&] {
        if (!device.checkBackupSettings(true, false))
            return false;
        RecordingProgressForm form;
        IOSMobileBackupThread worker(&device, &form);
        const bool backedUp = form.run(worker) == 1 && !form.failed;
        root = worker.backupDir();
        return backedUp;
    });
    BackupManifest manifest(root.absoluteFilePath(device.udid));
    ok = ok && road.step(QStringLiteral("opening the backup and its index"), [&] {
        manifest.loadManifestPlist();
        manifest.loadFileTree();
        return manifest.smsDb() != nullptr;
    });
    ok = ok && road.step(QStringLiteral("caching messages and contacts"), [&] {
        RecordingProgressForm form;
        ITunesCacheSMSThread worker(&manifest, device.cacheDir().absolutePath(), &form);
        return form.run(worker) == 1 && !form.failed;
    });
    ok = ok && road.step(QStringLiteral("opening the copy, listing its chats"), [&] {
        return listChats(device);
    });
    devicetest::detach(device.handle);
    return ok ? road.total() : -1;
}

double copySeconds(const QString &from, const QString &to)
{
    QElapsedTimer clock;
    clock.start();
    QProcess::execute(QStringLiteral("cp"), { QStringLiteral("-a"), from, to });
    return clock.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir scratch;
    const QString work = args.size() > 1 ? QDir(args.at(1)).absolutePath() : scratch.path();
    const int messages = args.size() > 2 ? args.at(2).toInt() : 100000;
    const int files = args.size() > 3 ? args.at(3).toInt() : 2000;
    const int megabytes = args.size() > 4 ? args.at(4).toInt() : 200;
    if (messages <= 0 || files <= 0 || megabytes <= 0) {
        std::fprintf(stderr, "usage: bench_deviceroads [WORK_FOLDER] [MESSAGES] [FILES] [MB]\n");
        return 2;
    }

    QDir().mkpath(work + QStringLiteral("/home"));
    qputenv("HOME", QFile::encodeName(work + QStringLiteral("/home")));
    if (!devicetest::loadLibraries(work) || !devicetest::installBackupTool(work)) {
        std::fprintf(stderr, "cannot load the device libraries or install the backup tool\n");
        return 1;
    }
    const QString devices = devicetest::useDevicesFolder(work);
    if (devicetest::useBackupVolume(work).isEmpty())
        return 1;
    setMessageBoxHook([](QMessageBox &box) {
        std::fprintf(stderr, "box: %s\n", qPrintable(box.text()));
        return QMessageBox::Ok;
    });

    // One phone's content, and a copy of it that takes the backup road.
    QElapsedTimer clock;
    clock.start();
    const int chats = 500;
    SimulatedPhone relayPhone(devices, QStringLiteral("bench-relay"), QStringLiteral("Relay"),
        QStringLiteral("6.1.3"), SimulatedPhone::Ios6);
    for (int c = 0; c < chats; ++c) {
        QStringList texts;
        for (int m = c; m < messages; m += chats)
            texts << QStringLiteral("Message %1 of a long conversation about nothing much").arg(m);
        relayPhone.addChat(QStringLiteral("+1201555%1").arg(c, 4, 10, QLatin1Char('0')), texts);
    }
    relayPhone.addAttachmentFiles(files, int(qint64(megabytes) * 1024 * 1024 / files));
    if (!relayPhone.write())
        return 1;
    const QString backupFolder = devices + QStringLiteral("/bench-backup");
    QProcess::execute(
        QStringLiteral("cp"), { QStringLiteral("-a"), relayPhone.path(), backupFolder });
    SimulatedDeviceFolder backupPhone(backupFolder);
    backupPhone.setIdentity(
        QStringLiteral("bench-backup"), QStringLiteral("Backup"), QStringLiteral("9.3"));
    const qlonglong capacity = qlonglong(16) << 30;
    backupPhone.setValue(
        QStringLiteral("com.apple.disk_usage"), QStringLiteral("TotalDataCapacity"), capacity);
    backupPhone.setValue(QStringLiteral("com.apple.disk_usage"),
        QStringLiteral("AmountDataAvailable"), capacity - qlonglong(megabytes + 50) * 1024 * 1024);
    backupPhone.setValue(
        QStringLiteral("com.apple.mobile.backup"), QStringLiteral("CloudBackupEnabled"), false);
    if (!backupPhone.write())
        return 1;
    QProcess::execute(QStringLiteral("sync"), {});
    out << QStringLiteral(
        "phone of %1 messages in %2 chats and %3 attachment files (%4 MB), made in %5 s\n")
               .arg(messages)
               .arg(chats)
               .arg(files)
               .arg(megabytes)
               .arg(clock.elapsed() / 1000.0, 0, 'f', 1);
    const double cpSeconds
        = copySeconds(relayPhone.fileSystemPath(QString()), work + QStringLiteral("/cp-copy"));
    out << QStringLiteral("cp -a of the phone's files: %1 s\n").arg(cpSeconds, 0, 'f', 2);
    // The roads run inside this process: the program's start and the window are left out,
    // the stand-in phone's and backup tool's processes are in.
    out << QStringLiteral("roads timed inside this process from plug-in (the program's start "
                          "left out); cp -a as a whole process\n\n");
    out.flush();

    const double relay = relayRoad(relayPhone.path());
    const double first
        = backupRoad(QStringLiteral("backup road (iOS 9), first arrival"), backupFolder);
    const double second
        = backupRoad(QStringLiteral("backup road (iOS 9), second arrival"), backupFolder);
    if (relay < 0 || first < 0 || second < 0)
        return 1;
    out << QStringLiteral("\nbackup road / cp -a: %1 (first arrival), %2 (second)\n")
               .arg(first / cpSeconds, 0, 'f', 1)
               .arg(second / cpSeconds, 0, 'f', 1);
    out << QStringLiteral("file-relay road / cp -a: %1\n").arg(relay / cpSeconds, 0, 'f', 1);
    out.flush();
    setMessageBoxHook(nullptr);
    return 0;
}
