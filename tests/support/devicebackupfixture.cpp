#include "support/devicebackupfixture.h"

#include "platform/sqlite_qt/sqlite_qt.h"
#include "support/backupwriter.h"

#include <QFile>

#include <stdexcept>

namespace {

void execOrThrow(Sqlite3DB &db, const QString &sql)
{
    QString error;
    if (!db.exec(sql, error))
        throw std::runtime_error(error.toStdString());
}

} // namespace

DeviceBackupFixture::DeviceBackupFixture(
    const QString &cacheFolder, const QString &backupFolder, IOS6SmsDbFixture::Layout layout)
    : m_cacheFolder(cacheFolder)
    , m_backupFolder(backupFolder)
    , m_device(std::make_unique<IOS6SmsDbFixture>(cacheFolder, layout))
{
}

DeviceBackupFixture::~DeviceBackupFixture() = default;

void DeviceBackupFixture::addPhoneTrigger()
{
    execOrThrow(m_device->db(),
        QStringLiteral("CREATE TRIGGER after_delete_on_message AFTER DELETE ON message BEGIN "
                       "SELECT purge_message_parts(OLD.ROWID, OLD.guid); END;"));
}

void DeviceBackupFixture::useNanosecondDates()
{
    execOrThrow(m_device->db(),
        QStringLiteral("UPDATE message SET date = date * 1000000000, date_read = date_read * "
                       "1000000000, date_delivered = date_delivered * 1000000000"));
}

void DeviceBackupFixture::writeBackup(bool withDatabaseRecord)
{
    m_device->close();
    QFile file(m_device->path());
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("can not read the device database");
    BackupWriter backup(m_backupFolder);
    backup.addFolder(QStringLiteral("HomeDomain"), QString());
    backup.addFolder(QStringLiteral("HomeDomain"), QStringLiteral("Library"));
    backup.addFolder(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS"));
    backup.addFolder(QStringLiteral("MediaDomain"), QStringLiteral("Library"));
    backup.addFolder(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS"));
    if (withDatabaseRecord)
        backup.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
            file.readAll());
    backup.write();
}

QString DeviceBackupFixture::databaseFileId()
{
    return BackupWriter::fileId(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
}
