#include "messages/ioscontactsmemdb.h"

#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/targetlock.h"
#include "records/countrylibdb.h"
#include "shell/datafolder.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <atomic>
#include <stdexcept>

namespace {

const char addressBookFolder[] = "file-relay/var/mobile/Library/AddressBook/";
const char cacheLayout[] = "CREATE TABLE person(  rowid INTEGER PRIMARY KEY,  first TEXT,  last "
                           "TEXT,  middle TEXT,  photo BLOB);CREATE TABLE tel(  person_id "
                           "INTEGER,  number TEXT,  UNIQUE(person_id, number));CREATE INDEX "
                           "index_tel_number on tel(number);";
// The country code the numbers of `tel` were normalised under: the same address book reads
// differently in another country.
const char builtForLayout[] = "CREATE TABLE built_for(country TEXT);";

// A rebuild takes seconds; a window whose rebuild hangs (a stuck disk) holds the next one
// back only this long.
std::atomic<int> lockWaitMs { 3 * 60 * 1000 };

bool setFileTimes(const QString &path, qint32 seconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    const bool ok = file.setFileTime(time, QFileDevice::FileAccessTime)
        && file.setFileTime(time, QFileDevice::FileModificationTime);
    file.close();
    return ok;
}

} // namespace

IOSContactsMemDb::IOSContactsMemDb(const QDir &folder, const QString &countryCode)
    : m_folder(folder)
    , m_countryCode(countryCode)
{
}

IOSContactsMemDb::~IOSContactsMemDb() = default;

void IOSContactsMemDb::setLockWait(int milliseconds)
{
    lockWaitMs = milliseconds;
}

void IOSContactsMemDb::open()
{
    if (isOpen())
        return;
    const QString addressBook
        = m_folder.filePath(QLatin1String(addressBookFolder) + "AddressBook.sqlitedb");
    if (!QFile::exists(addressBook))
        return;
    const QString wal = addressBook + QStringLiteral("-wal");
    const qint32 sourceTime = fileModifiedTime(QFile::exists(wal) ? wal : addressBook);
    const QString cachePath = m_folder.filePath(QStringLiteral("ct-phone.db"));
    const auto current = [&] {
        return sourceTime <= fileModifiedTime(cachePath) && builtFor(cachePath, m_countryCode);
    };
    if (!current()) {
        // One window rebuilds at a time; one that waited finds the cache current.
        dataFolder(); // where the locks are kept
        TargetLock lock;
        if (lock.lock(cachePath, lockWaitMs) != TargetLock::Held)
            throw std::runtime_error(
                QStringLiteral("can not lock %1.").arg(cachePath).toStdString());
        if (!current())
            rebuild(cachePath, sourceTime);
    }
    openThrow(cachePath, 1);
}

void IOSContactsMemDb::rebuild(const QString &cachePath, qint32 sourceTime)
{
    qDebug() << "rebuild IOSContactsMemDb.";
    // The cache is built under another name and takes its place only when complete: a
    // half-built cache carries a newer time than the address book and would be kept.
    if (QFile::exists(cachePath) && !QFile::remove(cachePath))
        throw std::runtime_error(QStringLiteral("can not remove %1.").arg(cachePath).toStdString());
    const QString tempPath = cachePath + QStringLiteral(".part");
    QFile::remove(tempPath);
    QFile::remove(tempPath + QStringLiteral("-journal"));

    const QString folder = m_folder.filePath(QLatin1String(addressBookFolder));
    try {
        openThrow(tempPath, 6);
        QString error;
        if (!exec(QLatin1String(cacheLayout), error) || !exec(QLatin1String(builtForLayout), error))
            throw std::runtime_error(
                QStringLiteral("create IOSContactsMemDb error. %1").arg(error).toStdString());
        Sqlite3Sql country("insert into built_for(country) values(?)");
        country.addTextParam(m_countryCode);
        executeThrow(country);
        fill(folder + QStringLiteral("AddressBook.sqlitedb"),
            folder + QStringLiteral("AddressBookImages.sqlitedb"));
        close();
        if (!setFileTimes(tempPath, sourceTime) || !durable::renameOver(tempPath, cachePath))
            throw std::runtime_error(
                QStringLiteral("can not create %1.").arg(cachePath).toStdString());
    } catch (...) {
        if (inTransaction) {
            try {
                endTransaction(false);
            } catch (...) {
            }
        }
        close();
        QFile::remove(tempPath);
        QFile::remove(tempPath + QStringLiteral("-journal"));
        throw;
    }
}

void IOSContactsMemDb::fill(const QString &addressBookPath, const QString &imagesPath)
{
    CountryLibDb countries(m_countryCode);
    const _CountryInfo country = countries.currentCountry();

    beginTransaction();
    {
        // Read-only: a read-write connection would checkpoint the copied -wal file into
        // the address book on close, change both times and force another rebuild.
        Sqlite3DB source;
        source.openThrow(addressBookPath, 1);
        Sqlite3Cursor people
            = source.queryThrow(Sqlite3Sql("select rowid, first, last, middle from ABPerson"));
        while (people.moveNext()) {
            Sqlite3Sql insert("insert into person(rowid, first, last, middle) values(?,?,?,?)");
            insert.addInt64Param(people.getInt64(QStringLiteral("rowid")))
                .addTextParam(people.getText(QStringLiteral("first")))
                .addTextParam(people.getText(QStringLiteral("last")))
                .addTextParam(people.getText(QStringLiteral("middle")));
            executeThrow(insert);
        }
        Sqlite3Cursor values = source.queryThrow(
            Sqlite3Sql("select record_id, value from ABMultiValue where property=3"));
        while (values.moveNext()) {
            const QString number
                = CountryLibDb::normalizeNumber(country, values.getText(QStringLiteral("value")));
            // An empty number would match every lookup of an empty address.
            if (number.isEmpty())
                continue;
            Sqlite3Sql insert("replace into tel(person_id, number) values(?,?)");
            insert.addInt64Param(values.getInt64(QStringLiteral("record_id"))).addTextParam(number);
            executeThrow(insert);
        }
        people = Sqlite3Cursor();
        values = Sqlite3Cursor();
        source.close();
    }
    if (QFile::exists(imagesPath)) {
        Sqlite3DB images;
        images.openThrow(imagesPath, 1);
        Sqlite3Cursor thumbnails
            = images.queryThrow(Sqlite3Sql("select record_id, data from ABThumbnailImage"));
        while (thumbnails.moveNext()) {
            Sqlite3Sql update("update person set photo=? where rowid=?");
            update.addBlobParam(thumbnails.getBlob(QStringLiteral("data")))
                .addInt64Param(thumbnails.getInt64(QStringLiteral("record_id")));
            executeThrow(update);
        }
        thumbnails = Sqlite3Cursor();
        images.close();
    }
    endTransaction(true);
}

bool IOSContactsMemDb::builtFor(const QString &cachePath, const QString &countryCode)
{
    if (!QFile::exists(cachePath))
        return false;
    try {
        Sqlite3DB cache;
        cache.openThrow(cachePath, Sqlite3DB::ReadOnly);
        Sqlite3Cursor built = cache.queryThrow(Sqlite3Sql("select country from built_for"));
        return built.moveNext() && built.getText(QStringLiteral("country")) == countryCode;
    } catch (const std::exception &) {
        // A cache of an older program names no country.
        return false;
    }
}

ContactInfo IOSContactsMemDb::findByNumber(const QString &number)
{
    open();
    ContactInfo contact;
    if (!isOpen())
        return contact;
    Sqlite3Sql sql("select p.* from person as p inner join tel as t on p.rowid=t.person_id and "
                   "t.number=?");
    sql.addTextParam(number);
    Sqlite3Cursor cursor = queryThrow(sql);
    if (cursor.moveNext()) {
        contact.first = cursor.getText(QStringLiteral("first"));
        contact.middle = cursor.getText(QStringLiteral("middle"));
        contact.last = cursor.getText(QStringLiteral("last"));
        contact.photo = cursor.getBlob(QStringLiteral("photo"));
    }
    return contact;
}

void IOSContactsMemDb::applyContact(_MsgHandle &handle, const char *caller)
{
    if (!isOpen())
        return;
    try {
        const ContactInfo contact = findByNumber(handle.id);
        handle.contactName = displayName(contact);
        handle.photo = contact.photo;
    } catch (const std::exception &e) {
        qWarning("%s",
            qUtf8Printable(QStringLiteral("%1, IOSContactsMemDb error. %2")
                               .arg(QLatin1String(caller), QString::fromUtf8(e.what()))));
    }
}

QString IOSContactsMemDb::displayName(const ContactInfo &contact)
{
    QString name = contact.first;
    const QString middle = contact.middle.trimmed();
    if (!middle.isEmpty())
        name += QLatin1Char(' ') + middle;
    const QString last = contact.last.trimmed();
    if (!last.isEmpty())
        name += QLatin1Char(' ') + last;
    return name.trimmed();
}

qint32 IOSContactsMemDb::fileModifiedTime(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    return static_cast<qint32>(info.lastModified().toSecsSinceEpoch());
}
