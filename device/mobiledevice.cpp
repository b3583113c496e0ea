#include "mobiledevice.h"

#include "shell/runtimeerror.h"

#include "platform/win/winplatform.h"

#include <QDir>
#include <QLibrary>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>

#include <stdexcept>

DeviceNotifyTarget g_deviceNotifyTarget;

namespace {

// Process-wide and never unloaded: resolved addresses stay valid until exit. The
// mobile-device library comes first so that it is destroyed last.
QLibrary g_mobileDeviceLibrary;
QLibrary g_coreFoundationLibrary;

// Held while a notification reads a receiver and while a destroyed receiver is cleared,
// so that the library's thread never posts to a window that is gone.
QMutex g_receiverMutex;

const char mobileDeviceKey[] = "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
const char applicationSupportKey[] = "SOFTWARE\\Apple Inc.\\Apple Application Support";
const char installDirValue[] = "InstallDir";

// What the library hands to the callback: the device handle, then the message code.
struct NotificationRecord
{
    void *device;
    quint32 message;
};

enum : quint32 { DeviceConnected = 1, DeviceDisconnected = 2 };

using NotificationCallback = void (*)(void *info, void *target);
using SubscribeFunction = int (*)(NotificationCallback callback, unsigned int unused1,
    unsigned int unused2, void *target, void **subscription);

QString commonFilesSubfolder(const QString &relative)
{
    return QDir::toNativeSeparators(
        winplatform::commonProgramFilesFolder() + QLatin1Char('/') + relative);
}

bool loadLibraryFromPath(QLibrary &library, const QString &name)
{
    if (library.isLoaded())
        return true;
    // dlopen does not search PATH, so the file is looked up there first.
    library.setFileName(winplatform::findLibraryOnPath(name));
    return library.load();
}

void *resolveIn(QLibrary &library, const char *name)
{
    if (!name || !library.isLoaded())
        return nullptr;
    return reinterpret_cast<void *>(library.resolve(name));
}

void *requireIn(QLibrary &library, const char *name)
{
    void *address = resolveIn(library, name);
    if (!address)
        throw std::runtime_error(std::string("missing symbol: ") + (name ? name : "(null)"));
    return address;
}

} // namespace

QString mobiledevice_read_registry_string(const QString &keyPath, const QString &valueName)
{
    return winplatform::readRegistryString(keyPath, valueName);
}

bool mobiledevice_load_frameworks(QString &error)
{
    QString mobileDeviceFolder = mobiledevice_read_registry_string(
        QLatin1String(mobileDeviceKey), QLatin1String(installDirValue));
    QString coreFoundationFolder = mobiledevice_read_registry_string(
        QLatin1String(applicationSupportKey), QLatin1String(installDirValue));
    if (mobileDeviceFolder.isEmpty())
        mobileDeviceFolder = commonFilesSubfolder(QStringLiteral("Apple/Mobile Device Support"));
    if (coreFoundationFolder.isEmpty())
        coreFoundationFolder
            = commonFilesSubfolder(QStringLiteral("Apple/Apple Application Support"));

    const QChar separator = winplatform::pathListSeparator();
    const QString oldPath = winplatform::environmentPath();
    QString newPath = mobileDeviceFolder + separator + coreFoundationFolder;
    // A trailing empty entry would put the working folder on the search path.
    if (!oldPath.isEmpty())
        newPath += separator + oldPath;
    if (!winplatform::setEnvironmentPath(newPath)) {
        error = QStringLiteral("SetEnvironmentVariable(PATH=%1) failed.").arg(newPath);
        return false;
    }

    if (!loadLibraryFromPath(g_mobileDeviceLibrary, QStringLiteral("iTunesMobileDevice"))) {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    if (!loadLibraryFromPath(g_coreFoundationLibrary, QStringLiteral("CoreFoundation"))) {
        error = QStringLiteral("Failed to load (CoreFoundation) framework.");
        return false;
    }
    return true;
}

bool mobiledevice_frameworks_loaded()
{
    return g_mobileDeviceLibrary.isLoaded() && g_coreFoundationLibrary.isLoaded();
}

void *mobiledevice_resolve_md(const char *name)
{
    return resolveIn(g_mobileDeviceLibrary, name);
}

void *mobiledevice_resolve_cf(const char *name)
{
    return resolveIn(g_coreFoundationLibrary, name);
}

void *mobiledevice_require_md(const char *name)
{
    return requireIn(g_mobileDeviceLibrary, name);
}

void *mobiledevice_require_cf(const char *name)
{
    return requireIn(g_coreFoundationLibrary, name);
}

int mobiledevice_subscribe(void *target)
{
    if (!mobiledevice_frameworks_loaded()) {
        QString error;
        if (!mobiledevice_load_frameworks(error))
            throwRuntimeError(error);
    }
    const auto subscribe = mobiledevice_md<SubscribeFunction>("AMDeviceNotificationSubscribe");
    auto *notifyTarget = static_cast<DeviceNotifyTarget *>(target);
    if (notifyTarget && notifyTarget->receiver) {
        QObject::connect(notifyTarget->receiver, &QObject::destroyed, [notifyTarget] {
            QMutexLocker locker(&g_receiverMutex);
            notifyTarget->receiver = nullptr;
        });
    }
    // The subscription lasts as long as the process; its handle is never needed again.
    void *subscription = nullptr;
    return subscribe(&mobiledevice_notification_callback, 0, 0, target, &subscription);
}

void mobiledevice_notification_callback(void *info, void *target)
{
    if (!info || !target)
        return;
    const auto *record = static_cast<const NotificationRecord *>(info);
    const auto *notifyTarget = static_cast<const DeviceNotifyTarget *>(target);

    const char *slot = nullptr;
    if (record->message == DeviceConnected)
        slot = notifyTarget->connectedSlot;
    else if (record->message == DeviceDisconnected)
        slot = notifyTarget->disconnectedSlot;
    QMutexLocker locker(&g_receiverMutex);
    if (!slot || !*slot || !notifyTarget->receiver)
        return;

    // Runs on the library's thread: the receiver's thread gets a queued call.
    QMetaObject::invokeMethod(
        notifyTarget->receiver, slot, Qt::AutoConnection, Q_ARG(void *, record->device));
}
