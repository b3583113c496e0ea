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

// Loads the libraries when needed and subscribes to device notifications for `target`
// (a DeviceNotifyTarget living as long as the process). Returns the library's result
// code; throws std::runtime_error when the libraries cannot be loaded.
int mobiledevice_subscribe(void *target);

// The library's notification callback: `info` points at a record whose first word is the
// device handle and whose second word is the message code (1 arrival, 2 removal).
void mobiledevice_notification_callback(void *info, void *target);
