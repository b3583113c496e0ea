// Copies rows of one table from an attached database into the same table of the main
// database of a connection, column by column as the main table declares them, without
// handing the values through the program; and rows of numbers the program gathered, in one
// statement.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class Sqlite3DB;

namespace RowCopier {

// Rows firstOld to lastOld (row ids) that become the rows from firstNew on.
struct Run
{
    qint64 firstOld;
    qint64 lastOld;
    qint64 firstNew;
};

// Copies the rows of every run from schema `from` into `table`, with the row ids the runs
// give them, in one statement. Returns the number of rows copied; throws the wrapper's
// exception.
int copyRenumbered(
    Sqlite3DB &db, const QString &from, const QString &table, const QVector<Run> &runs);

// Copies every row of `table` from schema `from`, row ids included; the columns named in
// `nulled` are left NULL. Returns the number of rows copied.
int copyAll(
    Sqlite3DB &db, const QString &from, const QString &table, const QString &nulled = QString());

// Writes rows of numbers into `columns` (at most four) of `table` in the main database with
// "replace into", row after row in their order, as as many single-row statements would, in
// one statement. `values` holds the rows one after another. Returns the number of rows;
// throws the wrapper's exception.
int replaceNumbers(
    Sqlite3DB &db, const QString &table, const QStringList &columns, const QVector<qint64> &values);

// The rows of numbers in a statement of executeWithNumbers: a table of the columns c0 to c3.
extern const char kNumberRows[];

// Runs `sql`, whose only parameter is the one in kNumberRows, once over `values` taken as rows
// of `width` numbers (at most four), one after another. Returns the number of rows the
// statement changed; throws the wrapper's exception.
int executeWithNumbers(Sqlite3DB &db, const QString &sql, const QVector<qint64> &values, int width);

} // namespace RowCopier
