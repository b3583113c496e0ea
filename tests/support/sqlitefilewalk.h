// Drives every reader of Sqlite3File over a whole file, as the deleted-row scans would and
// more: for tests of damaged files and for the fuzz target.
#pragma once

#include <QString>

struct SqliteFileWalk
{
    bool opened = false;
    int pages = 0;
    int cells = 0;
    int rows = 0; // decoded and carved
};

SqliteFileWalk walkSqliteFile(const QString &path);
