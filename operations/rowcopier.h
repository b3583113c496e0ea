// Copies rows of one table from an attached database into the same table of the main
// database of a connection, column by column as the main table declares them, without
// handing the values through the program.
#pragma once

#include <QString>

class Sqlite3DB;
struct sqlite3_stmt;

class RowCopier
{
public:
    // Prepares the copy of single rows of `table` from schema `from`, leaving out the
    // table's integer primary key, so that each copy gets a new row id. Throws the wrapper's
    // exception.
    RowCopier(Sqlite3DB &db, const QString &from, const QString &table);
    ~RowCopier();
    RowCopier(const RowCopier &) = delete;
    RowCopier &operator=(const RowCopier &) = delete;

    // Copies the row with this row id; returns the new row id, or 0 when there is no such row.
    qint64 copy(qint64 rowid);

    // Copies every row of `table` from schema `from`, row ids included; the columns named in
    // `nulled` are left NULL. Returns the number of rows copied.
    static int copyAll(Sqlite3DB &db, const QString &from, const QString &table,
        const QString &nulled = QString());

private:
    Sqlite3DB &db;
    sqlite3_stmt *statement = nullptr;
};
