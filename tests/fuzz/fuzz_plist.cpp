// Feeds arbitrary bytes to the property-list parser as Manifest.plist reaches it, and reads
// the keys the backup reader reads.
#include "backup/plistvalue.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const PlistValue root = PlistValue::fromData(bytes);
    const PlistValue lockdown = root.item(QStringLiteral("Lockdown"));
    lockdown.item(QStringLiteral("UniqueDeviceID")).toString();
    lockdown.item(QStringLiteral("DeviceName")).toString();
    root.item(QStringLiteral("Date")).toDateTime();
    root.item(QStringLiteral("IsEncrypted")).toBool();
    root.item(QStringLiteral("BackupKeyBag")).toByteArray();
    const QMap<QString, PlistValue> map = root.toMap();
    for (const PlistValue &value : map)
        value.toString();
    return 0;
}
