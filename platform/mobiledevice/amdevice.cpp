// The exported functions: each finds the device behind the handle and lets it answer.
#include "amdevice.h"

#include "devicesfolder.h"
#include "devicewatcher.h"
#include "simulateddevice.h"

namespace {

CFStringRef createString(const std::string &text)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text.data()),
        static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

template <typename Call> int onDevice(AMDeviceRef handle, Call call)
{
    SimulatedDevice *device = SimulatedDevice::find(handle);
    return device ? call(*device) : kQMDErrorNoSuchDevice;
}

} // namespace

extern "C" {

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int, unsigned int,
    void *user, void **subscription)
{
    if (!callback)
        return kQMDErrorInvalidArgument;
    void *handle = DeviceWatcher::instance().subscribe(callback, user);
    if (subscription)
        *subscription = handle;
    return kAMDSuccess;
}

int AMDeviceConnect(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.connect(); });
}

int AMDeviceIsPaired(AMDeviceRef device)
{
    SimulatedDevice *found = SimulatedDevice::find(device);
    return found ? found->isPaired() : 0;
}

int AMDevicePair(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.pair(); });
}

int AMDeviceValidatePairing(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.validatePairing(); });
}

int AMDeviceStartSession(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.startSession(); });
}

int AMDeviceStopSession(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.stopSession(); });
}

int AMDeviceDisconnect(AMDeviceRef device)
{
    return onDevice(device, [](SimulatedDevice &d) { return d.disconnect(); });
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key)
{
    SimulatedDevice *found = SimulatedDevice::find(device);
    return found ? found->copyValue(domain, key) : nullptr;
}

int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    return onDevice(device, [&](SimulatedDevice &d) { return d.setValue(domain, key, value); });
}

int AMDeviceStartService(AMDeviceRef device, CFStringRef service, int *socket, void *)
{
    return onDevice(device, [&](SimulatedDevice &d) { return d.startService(service, socket); });
}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device)
{
    SimulatedDevice *found = SimulatedDevice::find(device);
    return found ? found->copyDeviceIdentifier() : nullptr;
}

AMDeviceRef QMDAttachDeviceFolder(const char *folderUtf8)
{
    if (!folderUtf8 || !*folderUtf8)
        return nullptr;
    SimulatedDevice *device = DeviceWatcher::instance().attach(folderUtf8);
    return device ? device->handle() : nullptr;
}

int QMDDetachDevice(AMDeviceRef device)
{
    SimulatedDevice *found = SimulatedDevice::find(device);
    if (!found)
        return kQMDErrorNoSuchDevice;
    return DeviceWatcher::instance().detach(found) ? kAMDSuccess : kQMDErrorDeviceRemoved;
}

CFArrayRef QMDCopyCallLog(AMDeviceRef device)
{
    SimulatedDevice *found = SimulatedDevice::find(device);
    if (!found)
        return nullptr;
    CFMutableArrayRef lines = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const std::string &line : found->callLog()) {
        CFStringRef text = createString(line);
        CFArrayAppendValue(lines, text);
        CFRelease(text);
    }
    return lines;
}

void QMDClearCallLog(AMDeviceRef device)
{
    if (SimulatedDevice *found = SimulatedDevice::find(device))
        found->clearCallLog();
}

CFStringRef QMDCopyDevicesFolder(void)
{
    return createString(DevicesFolder::path());
}
}
