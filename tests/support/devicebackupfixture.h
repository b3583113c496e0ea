// The backup folder that a device's message database came from, written from that database
// as the backup cache holds it: the starting point of a merge into a device database.
#pragma once

#include <QString>

class DeviceBackupFixture
{
public:
    // The device's sms.db lies at its usual place below `cacheFolder` (see
    // IOS6SmsDbFixture::smsDbPath), made by any of the device fixtures.
    DeviceBackupFixture(const QString &cacheFolder, const QString &backupFolder);

    QString cacheFolder() const { return m_cacheFolder; }
    // Before writeBackup: the device named in Manifest.plist, and encryption of the backup.
    void setDevice(const QString &udid, const QString &name);
    void setPassword(const QByteArray &password) { m_password = password; }
    QString backupFolder() const { return m_backupFolder; }
    QString cachedDatabase() const;
    // The stored copy of the message database in the backup folder.
    QString storedDatabase() const;
    QString indexPath() const;

    // Writes the backup folder (Manifest.plist, Manifest.mbdb, the folders and the sms.db
    // as the cache holds it now, with the address book when the cache has one; close the
    // fixtures' connections first). Without the record, the index lacks the message database.
    void writeBackup(bool withDatabaseRecord = true) const;

    // File id of the message database in a backup.
    static QString databaseFileId();

private:
    QString m_cacheFolder;
    QString m_backupFolder;
    QString m_udid;
    QString m_deviceName;
    QByteArray m_password;
};
