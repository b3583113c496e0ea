#include "operations/rowcopier.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QStringList>

namespace {

QList<_SqliteCol> columnsOf(Sqlite3DB &db, const QString &table)
{
    const QList<_SqliteCol> columns = db.tbInfo(table);
    if (columns.isEmpty())
        throw Sqlite3Exception(QStringLiteral("no such table: %1").arg(table));
    return columns;
}

// The column that stands for the row id: a lone INTEGER PRIMARY KEY; -1 when none does.
int rowidAlias(const QList<_SqliteCol> &columns)
{
    int found = -1;
    for (int i = 0; i < columns.size(); ++i) {
        if (!columns.at(i).primaryKey)
            continue;
        if (found >= 0)
            return -1;
        found = i;
    }
    if (found >= 0
        && columns.at(found).type.compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) != 0)
        return -1;
    return found;
}

} // namespace

int RowCopier::copyRenumbered(
    Sqlite3DB &db, const QString &from, const QString &table, const QVector<Run> &runs)
{
    const QList<_SqliteCol> columns = columnsOf(db, table);
    const int alias = rowidAlias(columns);
    QStringList names;
    QStringList values;
    for (int i = 0; i < columns.size(); ++i) {
        if (i == alias)
            continue;
        names.append(quotedIdentifier(columns.at(i).name));
        values.append(QStringLiteral("s.") + names.last());
    }
    // The runs go in through a table of their own, so that one statement copies them all.
    db.executeThrow(Sqlite3Sql("CREATE TEMP TABLE copy_runs(first_new INTEGER PRIMARY KEY, "
                               "first_old INTEGER, last_old INTEGER)"));
    try {
        for (const Run &run : runs)
            db.executeThrow(Sqlite3Sql("INSERT INTO temp.copy_runs VALUES(?,?,?)")
                                .addInt64Param(run.firstNew)
                                .addInt64Param(run.firstOld)
                                .addInt64Param(run.lastOld));
        // The runs lead, so that the rows go in by rising row ids, each run read in one range.
        const int copied = db.executeThrow(
            QStringLiteral("INSERT INTO main.%1(rowid,%2) SELECT r.first_new + s.rowid - "
                           "r.first_old,%3 FROM temp.copy_runs AS r CROSS JOIN %4.%1 AS s WHERE "
                           "s.rowid BETWEEN r.first_old AND r.last_old")
                .arg(quotedIdentifier(table), names.join(QLatin1Char(',')),
                    values.join(QLatin1Char(',')), quotedIdentifier(from)));
        db.executeThrow(Sqlite3Sql("DROP TABLE temp.copy_runs"));
        return copied;
    } catch (...) {
        try {
            db.executeThrow(Sqlite3Sql("DROP TABLE temp.copy_runs"));
        } catch (const Sqlite3Exception &) {
            // The connection is failing already: the first error is the one to report.
        }
        throw;
    }
}

int RowCopier::copyAll(
    Sqlite3DB &db, const QString &from, const QString &table, const QString &nulled)
{
    const QList<_SqliteCol> columns = columnsOf(db, table);
    // A table without a row id alias keeps its row ids too.
    QStringList names;
    QStringList values;
    if (rowidAlias(columns) < 0) {
        names.append(QStringLiteral("rowid"));
        values.append(QStringLiteral("rowid"));
    }
    for (const _SqliteCol &c : columns) {
        names.append(quotedIdentifier(c.name));
        values.append(c.name.compare(nulled, Qt::CaseInsensitive) == 0 ? QStringLiteral("NULL")
                                                                       : quotedIdentifier(c.name));
    }
    return db.executeThrow(QStringLiteral("INSERT INTO main.%1(%2) SELECT %3 FROM %4.%1")
                               .arg(quotedIdentifier(table), names.join(QLatin1Char(',')),
                                   values.join(QLatin1Char(',')), quotedIdentifier(from)));
}
