// Copies of SQLite database files that include what is still in their -wal file.
#pragma once

#include <QString>

class Sqlite3DB;

// Copies the database at `source`, as a reader of it sees it, into a new file at `target`.
// Throws a std::runtime_error with SQLite's text; no target is left then.
void copyDatabaseFile(const QString &source, const QString &target);
// True when the main file of the connection keeps a write-ahead log.
bool usesWriteAheadLog(Sqlite3DB &db);
// Removes a database file with its -wal, -shm and -journal companions.
void removeDatabaseFiles(const QString &path);
