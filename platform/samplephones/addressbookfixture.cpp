#include "platform/samplephones/addressbookfixture.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>

namespace {

const char personTable[] = "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                           "First TEXT, Last TEXT, Middle TEXT, Organization TEXT, Note TEXT, "
                           "Kind INTEGER, CreationDate INTEGER, ModificationDate INTEGER)";
const char valueTable[] = "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
                          "property INTEGER, identifier INTEGER, label INTEGER, value TEXT)";
const char thumbnailTable[] = "CREATE TABLE ABThumbnailImage (record_id INTEGER, format INTEGER, "
                              "derived_from_format INTEGER, width INTEGER, height INTEGER, "
                              "data BLOB, UNIQUE(record_id, format))";

void removeDatabase(const QString &path)
{
    for (const char *suffix : { "", "-wal", "-shm", "-journal" })
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

AddressBookFixture::AddressBookFixture(const QString &deviceFolder)
    : m_deviceFolder(deviceFolder)
{
}

void AddressBookFixture::addPerson(qint64 rowid, const QString &first, const QString &middle,
    const QString &last, const QStringList &numbers, const QByteArray &thumbnail)
{
    m_people.append({ rowid, first, middle, last, thumbnail });
    for (const QString &number : numbers)
        addValue(rowid, PhoneProperty, number);
}

void AddressBookFixture::addValue(qint64 rowid, int property, const QString &value)
{
    m_values.append({ rowid, property, value });
}

QString AddressBookFixture::folder() const
{
    return QDir(m_deviceFolder)
        .filePath(QStringLiteral("file-relay/var/mobile/Library/AddressBook"));
}

QString AddressBookFixture::addressBookPath() const
{
    return folder() + QStringLiteral("/AddressBook.sqlitedb");
}

QString AddressBookFixture::walPath() const
{
    return addressBookPath() + QStringLiteral("-wal");
}

QString AddressBookFixture::imagesPath() const
{
    return folder() + QStringLiteral("/AddressBookImages.sqlitedb");
}

void AddressBookFixture::write() const
{
    QDir().mkpath(folder());
    removeDatabase(addressBookPath());
    Sqlite3DB db;
    db.openThrow(addressBookPath(), 6);
    fill(db);
    db.close();
    writeImages();
}

void AddressBookFixture::writeWithWal() const
{
    // Built elsewhere and copied while the connection still holds every change in its
    // log, so the copied main file has the layout only and the "-wal" file the rows.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw std::runtime_error("no temporary folder");
    const QString staging = QDir(scratch.path()).filePath(QStringLiteral("AddressBook.sqlitedb"));
    Sqlite3DB db;
    db.openThrow(staging, 6);
    QString error;
    if (!db.exec(QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"), error))
        throw std::runtime_error(error.toStdString());
    fill(db);

    QDir().mkpath(folder());
    removeDatabase(addressBookPath());
    if (!QFile::copy(staging, addressBookPath())
        || !QFile::copy(staging + QStringLiteral("-wal"), walPath()))
        throw std::runtime_error("can not copy the address book");
    db.close();
    writeImages();
}

void AddressBookFixture::fill(Sqlite3DB &db) const
{
    db.executeThrow(Sqlite3Sql(personTable));
    if (m_withValues)
        db.executeThrow(Sqlite3Sql(valueTable));
    db.beginTran();
    for (const Person &p : m_people) {
        Sqlite3Sql sql("insert into ABPerson(ROWID, First, Middle, Last, Kind) values(?,?,?,?,0)");
        sql.addInt64Param(p.rowid);
        for (const QString &name : { p.first, p.middle, p.last }) {
            if (name.isNull())
                sql.addNullParam();
            else
                sql.addTextParam(name);
        }
        db.executeThrow(sql);
    }
    int identifier = 0;
    for (const Value &v : m_values) {
        if (!m_withValues)
            break;
        Sqlite3Sql sql("insert into ABMultiValue(record_id, property, identifier, label, value) "
                       "values(?,?,?,1,?)");
        sql.addInt64Param(v.rowid)
            .addIntParam(v.property)
            .addIntParam(identifier++)
            .addTextParam(v.value);
        db.executeThrow(sql);
    }
    if (!db.commitTran())
        throw std::runtime_error(db.lastError().toStdString());
}

void AddressBookFixture::setWithoutValueTable(bool without)
{
    m_withValues = !without;
}

void AddressBookFixture::writeImages() const
{
    removeDatabase(imagesPath());
    bool any = false;
    for (const Person &p : m_people)
        any = any || !p.thumbnail.isEmpty();
    if (!any)
        return;
    Sqlite3DB db;
    db.openThrow(imagesPath(), 6);
    db.executeThrow(Sqlite3Sql(thumbnailTable));
    for (const Person &p : m_people) {
        if (p.thumbnail.isEmpty())
            continue;
        Sqlite3Sql sql("insert into ABThumbnailImage(record_id, format, derived_from_format, "
                       "width, height, data) values(?,0,0,64,64,?)");
        sql.addInt64Param(p.rowid).addBlobParam(p.thumbnail);
        db.executeThrow(sql);
    }
    db.close();
}
