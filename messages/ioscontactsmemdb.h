// Contact names and photos by normalised phone number, from a small cache "ct-phone.db"
// that is rebuilt from the device's copied address book whenever that is newer, or when the
// cache was built under another country code.
#pragma once

#include "records/absdb.h"

#include <QByteArray>
#include <QDir>
#include <QString>

struct ContactInfo
{
    QString first;
    QString middle;
    QString last;
    QByteArray photo;
};

class IOSContactsMemDb : public AbsDb
{
public:
    // folder: the device's data folder, which holds "ct-phone.db" and the "file-relay" tree.
    IOSContactsMemDb(const QDir &folder, const QString &countryCode);
    ~IOSContactsMemDb() override;

    // Rebuilds the cache when the address book (or its -wal file) is newer or the cache was
    // built under another country code, then opens it read-only. Without an address book
    // nothing is opened. A rebuild holds the cache's lock in the program's records and puts
    // the cache in place only when complete and synced: one window at a time, and whole
    // through a kill. Throws "can not lock %1." when another window's rebuild holds the lock
    // longer than the wait.
    void open() override;
    // The longest open() waits for another window's rebuild: a few minutes.
    static void setLockWait(int milliseconds);

    // Empty when no person has the number.
    ContactInfo findByNumber(const QString &number);
    // Gives the handle the name and photo of its id when the cache is open. A failed lookup
    // is logged as a warning "<caller>, IOSContactsMemDb error. <text>" and changes nothing.
    void applyContact(_MsgHandle &handle, const char *caller);

    static QString displayName(const ContactInfo &contact);
    // Seconds since 1970-01-01 UTC; 0 when the file cannot be examined.
    static qint32 fileModifiedTime(const QString &path);
    // True when the cache's numbers were normalised under this country code.
    static bool builtFor(const QString &cachePath, const QString &countryCode);

private:
    void rebuild(const QString &cachePath, qint32 sourceTime);
    void fill(const QString &addressBookPath, const QString &imagesPath);

    QDir m_folder;
    QString m_countryCode;
};
