// The lock that lets one writer at a time, in any window, change a local message database:
// a lock file beside the database's folder, held from lock() until unlock() or destruction.
#pragma once

#include <QDir>
#include <QString>

#include <memory>

class QLockFile;

class LocalDbLock
{
public:
    explicit LocalDbLock(const QDir &folder);
    ~LocalDbLock();
    LocalDbLock(const LocalDbLock &) = delete;
    LocalDbLock &operator=(const LocalDbLock &) = delete;

    // Takes the lock at once, or throws, naming the database, when another writer holds it.
    void lock();
    void unlock();

    // "<parent>/.<name><suffix>": the place beside the database's folder for what its
    // writers keep out of it.
    static QString besideFolder(const QDir &folder, const QString &suffix);

private:
    QDir folder;
    std::unique_ptr<QLockFile> file;
};
