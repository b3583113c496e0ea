// Run-time loading of Apple's mobile-device and CoreFoundation libraries, name lookup in
// them, and the forwarding of device arrival and removal to a receiver's slots.
#pragma once

#include <QString>

class QObject;

// Where device notifications go: slots of `receiver` invoked by name with the device
// handle as "void*". Written once by the main window before it subscribes.
struct DeviceNotifyTarget
{
    QObject *receiver;
    const char *connectedSlot;
    const char *disconnectedSlot;

    DeviceNotifyTarget()
        : receiver(nullptr)
        , connectedSlot("")
        , disconnectedSlot("")
    {
    }
    DeviceNotifyTarget(QObject *receiver, const char *connectedSlot, const char *disconnectedSlot)
        : receiver(receiver)
        , connectedSlot(connectedSlot)
        , disconnectedSlot(disconnectedSlot)
    {
    }
};

extern DeviceNotifyTarget g_deviceNotifyTarget;

// One text value of the machine registry; empty on any failure.
QString mobiledevice_read_registry_string(const QString &keyPath, const QString &valueName);

// Puts Apple's two install folders in front of PATH and loads both libraries. On failure
// returns false and sets `error`; never throws.
bool mobiledevice_load_frameworks(QString &error);
bool mobiledevice_frameworks_loaded();

// Addresses of exported functions or data; null when the name is missing.
void *mobiledevice_resolve_md(const char *name);
void *mobiledevice_resolve_cf(const char *name);

// The same, for callers about to use the address: a missing name throws
// std::runtime_error "missing symbol: <name>" instead of giving null to call.
void *mobiledevice_require_md(const char *name);
void *mobiledevice_require_cf(const char *name);

template <typename Function> Function mobiledevice_md(const char *name)
{
    return reinterpret_cast<Function>(mobiledevice_require_md(name));
}

template <typename Function> Function mobiledevice_cf(const char *name)
{
    return reinterpret_cast<Function>(mobiledevice_require_cf(name));
}

// A function of either library by its own name and type, e.g.
// MOBILEDEVICE_CF(CFRelease)(ref); throws when the library lacks it.
#define MOBILEDEVICE_MD(function) (mobiledevice_md<decltype(&::function)>(#function))
#define MOBILEDEVICE_CF(function) (mobiledevice_cf<decltype(&::function)>(#function))

// Loads the libraries when needed and subscribes to device notifications for `target`
// (a DeviceNotifyTarget living as long as the process). Returns the library's result
// code; throws std::runtime_error when the libraries cannot be loaded.
int mobiledevice_subscribe(void *target);

// The library's notification callback: `info` points at a record whose first word is the
// device handle and whose second word is the message code (1 arrival, 2 removal).
void mobiledevice_notification_callback(void *info, void *target);
