#include "devicearrival.h"

#include "app/backupsteps.h"
#include "app/itemmodelmain.h"
#include "app/nodeloader.h"
#include "app/phonecountry.h"
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/passcodedlg.h"
#include "device/devicesession.h"
#include "device/iosdevice.h"
#include "device/iosdevicevalues.h"
#include "device/iosloadfilerelaythread.h"
#include "device/iosmobilebackupthread.h"
#include "messages/ios5messagedb.h"
#include "messages/ios6messagedb.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"
#include "view/countryselform.h"

#include <QFileInfo>

#include <stdexcept>

namespace {

DeviceArrival::DialogHook &dialogHook()
{
    static DeviceArrival::DialogHook hook;
    return hook;
}

// The device's name, or empty when it cannot be read now.
QString deviceName(void *handle)
{
    try {
        return mobiledevice_copy_values(handle, { QStringLiteral("DeviceName") }, QString())
            .value(0)
            .toString();
    } catch (const std::exception &) {
        return QString();
    }
}

void logUnplugged(const QString &name)
{
    qDebug("%s was unplugged before it was loaded.", qPrintable(name));
}

} // namespace

DeviceArrivalHost::~DeviceArrivalHost() = default;

DeviceArrival::DeviceArrival(DeviceArrivalHost &host, QObject *parent)
    : QObject(parent)
    , m_host(host)
{
}

void DeviceArrival::setDialogHook(DialogHook hook)
{
    dialogHook() = std::move(hook);
}

int DeviceArrival::execDialog(QDialog &dialog)
{
    if (dialogHook())
        return dialogHook()(dialog);
    return dialog.exec();
}

bool DeviceArrival::runWorker(ProgressForm &form, QThread &worker)
{
    worker.start(QThread::InheritPriority);
    const bool ok = form.exec() == 1 && !form.failed;
    worker.wait();
    return ok;
}

DeviceArrival::Hold::Hold(DeviceArrival &arrival)
    : m_arrival(arrival)
{
    ++m_arrival.m_holds;
}

DeviceArrival::Hold::~Hold()
{
    // Queued: the held work's caller finishes before an arrival's boxes come up.
    if (--m_arrival.m_holds == 0 && !m_arrival.m_waiting.isEmpty())
        QMetaObject::invokeMethod(&m_arrival, &DeviceArrival::arriveAll, Qt::QueuedConnection);
}

void DeviceArrival::connected(void *handle)
{
    m_waiting.append({ handle, deviceName(handle) });
    arriveAll();
}

void DeviceArrival::arriveAll()
{
    if (m_running || m_holds > 0)
        return;
    m_running = true;
    while (!m_waiting.isEmpty() && m_holds == 0)
        arrive(m_waiting.takeFirst());
    m_running = false;
}

void DeviceArrival::arrive(const Arrival &arrival)
{
    // A removal delivered while this runs (its boxes and dialogs run the event loop) is
    // noted, so that no node is added for a phone that is gone.
    m_current = arrival.handle;
    m_currentGone = false;
    showInfo(QStringLiteral("<p><b>Notes:</b> If your iPhone is protected with a passcode, "
                            "please enter your passcode on iPhone first.</p>"));
    IOSDevice device;
    device.handle = arrival.handle;
    device.name = arrival.name;
    try {
        readIOSDeviceValues(device);
        settleCountry(device);
        const bool loaded = device.usesFileRelay() ? loadByFileRelay(device) : loadByBackup(device);
        if (loaded && !isGone(device.handle))
            openCopy(device);
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        if (!isGone(device.handle))
            showError(QString::fromUtf8(e.what()));
    }
    if (isGone(device.handle))
        logUnplugged(device.name);
    m_current = nullptr;
    m_currentGone = false;
}

void DeviceArrival::settleCountry(IOSDevice &device)
{
    device.countryCode
        = PhoneCountry::settle(device.countryCode, device.name, [this](QString *code) {
              CountrySelForm form(m_host.dialogParent());
              if (execDialog(form) != 1)
                  return false;
              *code = form.chosenMmc;
              return true;
          });
}

bool DeviceArrival::loadByFileRelay(IOSDevice &device)
{
    ProgressForm form(QString(), m_host.dialogParent());
    IOSLoadFileRelayThread worker(&device, &form, m_host.dialogParent());
    return runWorker(form, worker);
}

bool DeviceArrival::loadByBackup(IOSDevice &device)
{
    if (!device.checkBackupSettings(true, false))
        return false;
    ProgressForm backupForm(QString(), m_host.dialogParent());
    IOSMobileBackupThread backup(&device, &backupForm, m_host.dialogParent());
    if (!runWorker(backupForm, backup) || isGone(device.handle))
        return false;

    ProgressForm cacheForm(QString(), m_host.dialogParent());
    BackupManifest manifest(
        backup.backupDir().absoluteFilePath(device.udid), m_host.dialogParent());
    try {
        manifest.loadManifestPlist();
        if (manifest.deviceInfo().IsEncrypted) {
            PasscodeDlg passcode(&manifest, m_host.dialogParent());
            if (execDialog(passcode) != 1 || isGone(device.handle))
                return false;
        }
        manifest.loadFileTree();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return false;
    }
    ITunesCacheSMSThread cache(
        &manifest, device.cacheDir().absolutePath(), &cacheForm, m_host.dialogParent());
    return runWorker(cacheForm, cache);
}

DbOpener DeviceArrival::openCopyDatabase(
    const IOSDevice &device, QSharedPointer<AbsMessageDb> *database)
{
    const QDir cache = device.cacheDir();
    const QString path = cachedSmsDbPath(cache);
    const QString country = device.countryCode;
    QSharedPointer<AbsMessageDb> db;
    DbOpener opener;
    if (QFileInfo(path).isFile()) {
        const int version = AbsIOSMessageDb::smsDbVersion(path);
        if (version == 6) {
            db.reset(new IOS6MessageDb(cache, country, false));
            opener = ios6Opener(cache, country, false);
        } else if (version == 5) {
            // Without the iOS 6 tables the file must still have the iOS 5 ones.
            auto *ios5 = new IOS5MessageDb(cache, country);
            db.reset(ios5);
            ios5->open();
            if (!ios5->hasTable(QStringLiteral("message"))
                || !ios5->hasTable(QStringLiteral("msg_group")))
                db.reset();
            opener = [cache, country] {
                return QSharedPointer<AbsMessageDb>(new IOS5MessageDb(cache, country));
            };
        }
    }
    if (!db)
        throw std::runtime_error("invalid IOS db.");
    *database = db;
    return opener;
}

void DeviceArrival::openCopy(const IOSDevice &device)
{
    QSharedPointer<AbsMessageDb> db;
    const DbOpener opener = openCopyDatabase(device, &db);
    NodeLoader::Content content;
    if (!m_host.nodeLoader().load(opener, NodeLoader::Scope::Chats, false, &content)
        || isGone(device.handle))
        return;
    _IOSDeviceItemNode *node = m_host.treeModel()->addDevice(db, device, opener);
    node->messageSet = content.set;
    m_host.treeModel()->refreshChatSessions(node);
    m_host.selectNode(node);
}

void DeviceArrival::disconnected(void *handle)
{
    if (handle == m_current)
        m_currentGone = true;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->handle != handle) {
            ++it;
            continue;
        }
        logUnplugged(it->name);
        it = m_waiting.erase(it);
    }
    if (_IOSDeviceItemNode *node = m_host.treeModel()->deviceNodeOf(handle)) {
        m_host.releaseViewOf(node);
        m_host.treeModel()->removeNode(node);
    }
}
