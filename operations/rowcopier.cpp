#include "operations/rowcopier.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QStringList>

namespace {

[[noreturn]] void throwError(Sqlite3DB &db, int code)
{
    throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(db.handle())), code);
}

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

RowCopier::RowCopier(Sqlite3DB &db, const QString &from, const QString &table)
    : db(db)
{
    const QList<_SqliteCol> columns = columnsOf(db, table);
    const int alias = rowidAlias(columns);
    QStringList names;
    for (int i = 0; i < columns.size(); ++i) {
        if (i != alias)
            names.append(quotedIdentifier(columns.at(i).name));
    }
    const QString list = names.join(QLatin1Char(','));
    const QByteArray sql
        = QStringLiteral("INSERT INTO main.%1(%2) SELECT %2 FROM %3.%1 WHERE rowid=?")
              .arg(quotedIdentifier(table), list, quotedIdentifier(from))
              .toUtf8();
    const int rc
        = sqlite3_prepare_v2(db.handle(), sql.constData(), sql.size(), &statement, nullptr);
    if (rc != SQLITE_OK)
        throwError(db, rc);
}

RowCopier::~RowCopier()
{
    sqlite3_finalize(statement);
}

qint64 RowCopier::copy(qint64 rowid)
{
    sqlite3_reset(statement);
    sqlite3_bind_int64(statement, 1, rowid);
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) {
        sqlite3_reset(statement);
        throwError(db, rc);
    }
    return sqlite3_changes(db.handle()) > 0 ? sqlite3_last_insert_rowid(db.handle()) : 0;
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
