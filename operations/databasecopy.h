// Copies of SQLite database files that include what is still in their -wal file.
#pragma once

#include <QString>

// Copies the database at `source` into a new file at `target` through SQLite's backup
// interface. Throws a std::runtime_error with SQLite's text; no target is left then.
void copyDatabaseFile(const QString &source, const QString &target);
// Removes a database file with its -wal, -shm and -journal companions.
void removeDatabaseFiles(const QString &path);
