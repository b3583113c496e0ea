// The C interface of our mobile-device library. A device is a folder (see
// simulateddevice.h); sessions, values and services behave as the program expects of a
// phone, and every call is logged so that tests can see what the program did.
#pragma once

#include "platform/corefoundation/corefoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QM_MOBILEDEVICE_BUILD)
#define QMD_EXPORT __attribute__((visibility("default")))
#else
#define QMD_EXPORT
#endif

typedef void *AMDeviceRef;

// What the notification callback receives: the device, then the message code.
typedef struct
{
    AMDeviceRef device;
    unsigned int message;
    void *subscription;
} AMDeviceNotificationInfo;

typedef void (*AMDeviceNotificationCallback)(AMDeviceNotificationInfo *info, void *user);

enum { kAMDeviceArrived = 1, kAMDeviceRemoved = 2 };

#define kAMDSuccess 0
#define kQMDErrorNoSuchDevice ((int)0xE8000101)
#define kQMDErrorDeviceRemoved ((int)0xE8000102)
#define kQMDErrorNotConnected ((int)0xE8000103)
#define kQMDErrorAlreadyConnected ((int)0xE8000104)
#define kQMDErrorNotPaired ((int)0xE8000105)
#define kQMDErrorPairingNotValidated ((int)0xE8000106)
#define kQMDErrorNoSession ((int)0xE8000107)
#define kQMDErrorSessionActive ((int)0xE8000108)
#define kQMDErrorInvalidArgument ((int)0xE8000109)
#define kQMDErrorServiceNotFound ((int)0xE800010A)
#define kQMDErrorServiceFailed ((int)0xE800010B)
#define kQMDErrorWriteFailed ((int)0xE800010C)

QMD_EXPORT int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback,
    unsigned int unused0, unsigned int unused1, void *user, void **subscription);
QMD_EXPORT int AMDeviceConnect(AMDeviceRef device);
QMD_EXPORT int AMDeviceIsPaired(AMDeviceRef device);
QMD_EXPORT int AMDevicePair(AMDeviceRef device);
QMD_EXPORT int AMDeviceValidatePairing(AMDeviceRef device);
QMD_EXPORT int AMDeviceStartSession(AMDeviceRef device);
QMD_EXPORT int AMDeviceStopSession(AMDeviceRef device);
QMD_EXPORT int AMDeviceDisconnect(AMDeviceRef device);
// A null domain is the device's own values; a null key gives the whole domain.
QMD_EXPORT CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
QMD_EXPORT int AMDeviceSetValue(
    AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value);
QMD_EXPORT int AMDeviceStartService(
    AMDeviceRef device, CFStringRef service, int *socket, void *unused);
QMD_EXPORT CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);

// Test hooks. Attaching a device folder delivers its arrival to every subscriber, from
// the library's thread, and returns once delivered; detaching delivers its removal.
QMD_EXPORT AMDeviceRef QMDAttachDeviceFolder(const char *folderUtf8);
QMD_EXPORT int QMDDetachDevice(AMDeviceRef device);
// The device's calls so far, one string each ("AMDeviceConnect(udid) = 0").
QMD_EXPORT CFArrayRef QMDCopyCallLog(AMDeviceRef device);
QMD_EXPORT void QMDClearCallLog(AMDeviceRef device);
// The folder whose device folders arrive and leave by themselves.
QMD_EXPORT CFStringRef QMDCopyDevicesFolder(void);

#ifdef __cplusplus
}
#endif
