// The phone the backup tool works on: its folder among the simulated devices, found by its
// identifier, with its values, its file system and the faults that make it misbehave.
#pragma once

#include "toolplist.h"

#include <QDir>
#include <QString>

class PhoneFolder
{
public:
    // Throws std::runtime_error when no device with this identifier is connected.
    static PhoneFolder find(const QString &udid);

    QString udid() const { return m_udid; }
    // Where the device lies in the devices folder: gone once it is unplugged.
    QString folder() const { return m_folder; }
    QDir fileSystem() const;
    // A value of the device itself ("DeviceName") or of a domain's dictionary.
    QString value(const char *key) const;
    plist_t domain(const char *name) const;
    // Throws std::runtime_error when the device refuses to start its backup service.
    void startBackupService() const;
    // The "BackupTool" dictionary of the faults file; null when there is none.
    plist_t toolFaults() const { return dictItem(m_faults.get(), "BackupTool"); }

    // Backups are encrypted when the device says so and has a backup password.
    bool encrypts() const;
    QByteArray backupPassword() const;

private:
    QString m_folder;
    QString m_udid;
    PlistPtr m_values;
    PlistPtr m_faults;
};
