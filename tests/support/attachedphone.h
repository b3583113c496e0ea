// A simulated phone written, attached through our library's test hook and described as the
// window describes a phone on arrival.
#pragma once

#include "device/iosdevice.h"
#include "support/devicelibraries.h"
#include "support/simulatedphone.h"

namespace devicetest {

// A device without a handle when the phone could not be written or attached.
inline IOSDevice attachPhone(SimulatedPhone &phone, const QString &productVersion)
{
    IOSDevice device;
    if (!phone.write())
        return device;
    device.handle = attach(phone.path());
    device.udid = phone.udid();
    device.productVersion = productVersion;
    return device;
}

} // namespace devicetest
