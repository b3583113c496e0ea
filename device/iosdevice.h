// One attached device as the program knows it: name, identifier, SIM country, iOS version,
// model and the device library's handle. A plain value, copied member-wise.
#pragma once

#include <QDir>
#include <QList>
#include <QString>

class IOSDevice
{
public:
    IOSDevice();
    virtual ~IOSDevice();
    IOSDevice(const IOSDevice &) = default;
    IOSDevice &operator=(const IOSDevice &) = default;

    // "ios_cache/" + udid in the data folder, created when missing. An identifier that
    // would lead outside "ios_cache" is replaced by its MD5 there.
    QDir cacheDir() const;
    // The numbers of productVersion in order: "7.1.2" gives 7, 1, 2; none gives an empty list.
    QList<int> versionNumbers() const;
    // The road of its messages: the file-relay service for iOS 5 to 7 and for no version,
    // a device backup for any other.
    bool usesFileRelay() const;
    // False, after a warning box, when the device backs up to iCloud (checkICloud) or
    // encrypts its backups (checkEncrypt); true when its settings cannot be read.
    bool checkBackupSettings(bool checkICloud, bool checkEncrypt) const;

    QString name;
    QString udid;
    QString countryCode;
    QString productVersion;
    QString productType;
    // The device library's handle; never owned, so copies and destruction leave it alone.
    void *handle;
};
