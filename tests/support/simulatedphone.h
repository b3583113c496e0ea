// A simulated iPhone with messages, for the device roads: a device folder (see
// SimulatedDeviceFolder) whose file system holds an sms.db of a chosen layout with chats,
// attachment files, and the faults of its file-relay service and backup tool.
#pragma once

#include "platform/samplephones/simulateddevicefolder.h"

#include <QList>
#include <QStringList>
#include <QVariantMap>

class SimulatedPhone
{
public:
    // Current: the iOS 6+ layout as phones of recent years write it. Neither: an SQLite
    // file without message tables. NoDatabase: no sms.db at all.
    enum Layout { Ios5, Ios6, Current, Neither, NoDatabase };

    // The folder is named after the identifier, inside `devicesFolder`; nothing is written yet.
    SimulatedPhone(const QString &devicesFolder, const QString &udid, const QString &name,
        const QString &productVersion, Layout layout);

    SimulatedDeviceFolder &device() { return m_device; }
    QString path() const { return m_device.path(); }
    QString udid() const { return m_udid; }
    // Below the phone's file system, e.g. "var/mobile/Library/SMS/sms.db".
    QString fileSystemPath(const QString &relative) const;
    static QString smsDbRelativePath();

    // One chat with one correspondent; its messages a minute apart.
    SimulatedPhone &addChat(const QString &address, const QStringList &texts);
    // Files of `bytes` each below "Library/SMS/Attachments", without database rows.
    SimulatedPhone &addAttachmentFiles(int count, int bytes);
    // Backups of the phone are encrypted under this password.
    SimulatedPhone &setBackupPassword(const QString &password);
    // A dictionary of the faults file: "FileRelay" or "BackupTool".
    SimulatedPhone &setFaults(const QString &key, const QVariantMap &faults);

    // Writes the values, the faults and the file system; false when something failed.
    bool write();

private:
    void writeDatabase(const QString &dataFolder) const;

    SimulatedDeviceFolder m_device;
    QString m_udid;
    Layout m_layout;
    struct Chat
    {
        QString address;
        QStringList texts;
    };
    QList<Chat> m_chats;
    QVariantMap m_extraFaults;
};
