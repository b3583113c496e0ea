#include "operations/temporaryindexes.h"

#include "operations/rowcopier.h"
#include "platform/sqlite_qt/sqlite_qt.h"

namespace {

bool indexLeadsWith(Sqlite3DB &db, const QString &table, const QString &column)
{
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql("select 1 from pragma_index_list(?) as l, pragma_index_info(l.name) as i "
                   "where i.seqno=0 and i.name=? collate nocase")
            .addTextParam(table)
            .addTextParam(column));
    return c.moveNext();
}

} // namespace

void TemporaryIndexes::create(Sqlite3DB &db, const QString &table, const QString &column)
{
    if (!db.hasColumn(table, column) || indexLeadsWith(db, table, column))
        return;
    const QString name = QStringLiteral("qm_transient_%1_%2").arg(table, column);
    db.executeThrow(
        QStringLiteral("CREATE INDEX %1 ON %2(%3)")
            .arg(quotedIdentifier(name), quotedIdentifier(table), quotedIdentifier(column)));
    made.append(name);
}

void TemporaryIndexes::dropAll(Sqlite3DB &db)
{
    while (!made.isEmpty())
        db.executeThrow(QStringLiteral("DROP INDEX %1").arg(quotedIdentifier(made.takeLast())));
}
