// A device's sms.db as the backup cache holds it, and the backup folder it came from: the
// starting point of a merge into a device database.
#pragma once

#include "support/ios6smsdbfixture.h"

#include <QString>

#include <memory>

class DeviceBackupFixture
{
public:
    // The cache folder gets the device database (its sms.db under "file-relay"); the backup
    // folder is written by writeBackup().
    DeviceBackupFixture(const QString &cacheFolder, const QString &backupFolder,
        IOS6SmsDbFixture::Layout layout = IOS6SmsDbFixture::Ios8);
    ~DeviceBackupFixture();

    IOS6SmsDbFixture &device() { return *m_device; }
    QString cacheFolder() const { return m_cacheFolder; }
    QString backupFolder() const { return m_backupFolder; }

    // Adds a trigger that calls a function only the phone has whenever a message row goes,
    // as real device files do.
    void addPhoneTrigger();
    // Rewrites every stored time of the message table in nanoseconds, as iOS 11 and later do.
    void useNanosecondDates();
    // Writes the backup folder (Manifest.plist, Manifest.mbdb, the sms.db as it is now, and
    // its folders). Without the record, the index lacks the message database.
    void writeBackup(bool withDatabaseRecord = true);

    // File id of the message database in the backup.
    static QString databaseFileId();

private:
    QString m_cacheFolder;
    QString m_backupFolder;
    std::unique_ptr<IOS6SmsDbFixture> m_device;
};
