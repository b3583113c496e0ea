#include "support/devicebackupfixture.h"

#include "platform/samplephones/ios6smsdbfixture.h"
#include "support/backupwriter.h"

#include <QDir>
#include <QFile>

#include <stdexcept>

DeviceBackupFixture::DeviceBackupFixture(const QString &cacheFolder, const QString &backupFolder)
    : m_cacheFolder(cacheFolder)
    , m_backupFolder(backupFolder)
{
}

void DeviceBackupFixture::setDevice(const QString &udid, const QString &name)
{
    m_udid = udid;
    m_deviceName = name;
}

QString DeviceBackupFixture::cachedDatabase() const
{
    return IOS6SmsDbFixture::smsDbPath(m_cacheFolder);
}

QString DeviceBackupFixture::storedDatabase() const
{
    return QDir(m_backupFolder).filePath(databaseFileId());
}

QString DeviceBackupFixture::indexPath() const
{
    return QDir(m_backupFolder).filePath(QStringLiteral("Manifest.mbdb"));
}

void DeviceBackupFixture::writeBackup(bool withDatabaseRecord) const
{
    QFile file(cachedDatabase());
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("can not read the device database");
    BackupWriter backup(m_backupFolder);
    if (!m_udid.isEmpty())
        backup.setDevice(m_udid, m_deviceName);
    if (!m_password.isEmpty())
        backup.setEncrypted(m_password);
    for (const char *domain : { "HomeDomain", "MediaDomain" }) {
        backup.addFolder(QLatin1String(domain), QString());
        backup.addFolder(QLatin1String(domain), QStringLiteral("Library"));
        backup.addFolder(QLatin1String(domain), QStringLiteral("Library/SMS"));
    }
    if (withDatabaseRecord)
        backup.addFile(
            QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), file.readAll());
    // The address book goes in too when the device has one.
    const QDir book(
        QDir(m_cacheFolder).filePath(QStringLiteral("file-relay/var/mobile/Library/AddressBook")));
    bool bookFolder = false;
    for (const char *name : { "AddressBook.sqlitedb", "AddressBookImages.sqlitedb" }) {
        QFile part(book.filePath(QLatin1String(name)));
        if (!part.open(QIODevice::ReadOnly))
            continue;
        if (!bookFolder)
            backup.addFolder(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook"));
        bookFolder = true;
        backup.addFile(QStringLiteral("HomeDomain"),
            QStringLiteral("Library/AddressBook/") + QLatin1String(name), part.readAll());
    }
    backup.write();
}

QString DeviceBackupFixture::databaseFileId()
{
    return BackupWriter::fileId(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
}
