// The lock that lets one writer at a time, in any window, change a local message database,
// held from lock() until unlock() or destruction. It lives in the program's own records, never
// in or beside the database's folder.
#pragma once

#include "platform/durablefile/targetlock.h"

#include <QDir>
#include <QString>

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

    // A file, kept with the lock, for the holder's notes on what it is making in the
    // database; empty where the program keeps no records.
    QString notesPath() const { return held.notesPath(); }

private:
    QDir folder;
    TargetLock held;
};
