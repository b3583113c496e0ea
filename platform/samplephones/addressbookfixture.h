// Builds a synthetic device address book ("AddressBook.sqlitedb" and
// "AddressBookImages.sqlitedb") beneath a device data folder's "file-relay" tree.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class Sqlite3DB;

class AddressBookFixture
{
public:
    enum Property { PhoneProperty = 3, EmailProperty = 4 };

    explicit AddressBookFixture(const QString &deviceFolder);

    // Adds a person and its phone numbers (as written on the device).
    void addPerson(qint64 rowid, const QString &first, const QString &middle, const QString &last,
        const QStringList &numbers = {}, const QByteArray &thumbnail = {});
    // Adds one more multi-value (phone, e-mail, ...) of a person.
    void addValue(qint64 rowid, int property, const QString &value);

    // Leaves the ABMultiValue table out, so that reading the address book fails half-way.
    void setWithoutValueTable(bool without);

    // Writes both databases, replacing earlier ones; the images database only when some
    // person has a thumbnail. Throws the wrapper's exception on failure.
    void write() const;
    // Writes the address book in WAL mode with its rows still in the "-wal" file, as a
    // copy of a device's files taken while the address book was open would be.
    void writeWithWal() const;

    QString folder() const;
    QString addressBookPath() const;
    QString walPath() const;
    QString imagesPath() const;

private:
    struct Person
    {
        qint64 rowid;
        QString first, middle, last;
        QByteArray thumbnail;
    };
    struct Value
    {
        qint64 rowid;
        int property;
        QString value;
    };

    void fill(Sqlite3DB &db) const;
    void writeImages() const;

    QString m_deviceFolder;
    QList<Person> m_people;
    QList<Value> m_values;
    bool m_withValues = true;
};
