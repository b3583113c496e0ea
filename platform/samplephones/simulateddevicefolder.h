// Builds the folder of a simulated iPhone for our mobile-device library: its values by
// domain ("values.plist"), its file system ("filesystem/") and its faults ("faults.plist").
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class SimulatedDeviceFolder
{
public:
    // Creates the folder and its file system; `path` need not exist yet.
    explicit SimulatedDeviceFolder(const QString &path);

    // The device's own values the program reads on arrival.
    SimulatedDeviceFolder &setIdentity(const QString &udid, const QString &name,
        const QString &productVersion, const QString &productType = QStringLiteral("iPhone5,2"),
        const QString &countryCode = QStringLiteral("310"));
    // An empty domain is the device's own values.
    SimulatedDeviceFolder &setValue(
        const QString &domain, const QString &key, const QVariant &value);
    SimulatedDeviceFolder &removeValue(const QString &domain, const QString &key);
    // A call that fails with `code`, e.g. "AMDeviceStartSession".
    SimulatedDeviceFolder &setFault(const QString &call, int code);
    SimulatedDeviceFolder &setServiceFault(const QString &service, int code);
    SimulatedDeviceFolder &setPaired(bool paired);
    // What a phone tells before a backup of it is made: its data volume's size and free
    // space, and that it backs up to no cloud.
    SimulatedDeviceFolder &setBackupReady(qlonglong capacity, qlonglong available);
    SimulatedDeviceFolder &addFile(const QString &relativePath, const QByteArray &bytes);
    // Moves the files of a tree built elsewhere (such as the "var" folder a database builder
    // made beneath its data folder's "file-relay" folder) to `relativePath` in the file
    // system; false when one cannot be moved.
    bool moveIntoFileSystem(const QString &builtTree, const QString &relativePath);
    // A service's broken reply after `after` whole messages: "CutShort", "CloseMidReply",
    // "WrongMagic" or "ErrorStatus" (with `code`).
    SimulatedDeviceFolder &setReplyFault(
        const QString &service, const QString &fault, int after = 0, int code = 1);
    // A service's reply held back for `delayMs` after `after` whole messages.
    SimulatedDeviceFolder &setReplyDelay(const QString &service, int delayMs, int after = 0);
    // The records of a sync data class, by identifier, kept in the device folder.
    SimulatedDeviceFolder &setSyncRecords(const QString &dataClass, const QVariantMap &records);
    QVariantMap syncRecords(const QString &dataClass) const;

    // The container folder of an installed application, relative to the file system.
    static QString appContainer(const QString &identifier);

    // Writes values.plist and, when there are faults, faults.plist.
    bool write() const;

    QString path() const { return m_path; }
    QString fileSystemPath() const;
    // The values file as it stands on disk, read back (domains under "Domains").
    QVariantMap readValues() const;

    // A property list in XML of a map, list or scalar (QDateTime as a date, QByteArray as
    // data, qlonglong/int as integer).
    static QByteArray toXmlPlist(const QVariant &value);
    static QByteArray toBinaryPlist(const QVariant &value);
    static QVariant fromPlistFile(const QString &path);

private:
    SimulatedDeviceFolder &setReply(const QString &service, const QVariantMap &fault);

    QString m_path;
    QVariantMap m_values;
    QVariantMap m_domains;
    QVariantMap m_faults;
};
