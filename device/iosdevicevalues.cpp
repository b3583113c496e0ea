#include "iosdevicevalues.h"

#include "devicesession.h"
#include "iosdevice.h"

void readIOSDeviceValues(IOSDevice &device)
{
    const QList<CFType> values = mobiledevice_copy_values(device.handle,
        { QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
            QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
            QStringLiteral("ProductType") },
        QString());
    device.udid = values.value(0).toString();
    device.name = values.value(1).toString();
    device.countryCode = values.value(2).toString();
    device.productVersion = values.value(3).toString();
    device.productType = values.value(4).toString();
}
