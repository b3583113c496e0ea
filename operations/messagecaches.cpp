#include "operations/messagecaches.h"

#include "operations/rowcopier.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QRegularExpression>

namespace {

// A phone keeps a cache only while a trigger on inserts into the join sets it: older layouts
// have the column but leave it to whoever writes the row.
bool keptByInsertTrigger(Sqlite3DB &db, const QString &join, const QString &column)
{
    if (!db.hasColumn(QStringLiteral("message"), column))
        return false;
    static const QRegularExpression afterInsert(
        QStringLiteral("\\bAFTER\\s+INSERT\\s+ON\\b"), QRegularExpression::CaseInsensitiveOption);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select sql from main.sqlite_master where "
                                               "type='trigger' and tbl_name=? collate nocase")
                                        .addTextParam(join));
    while (c.moveNext()) {
        const QString sql = c.getText(0);
        if (sql.contains(afterInsert) && sql.contains(column, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

void MessageCaches::write(Sqlite3DB &db) const
{
    if (inserted.isEmpty() && attached.isEmpty())
        return;
    const QLatin1String rows(RowCopier::kNumberRows);
    if (keptByInsertTrigger(
            db, QStringLiteral("message_attachment_join"), QStringLiteral("cache_has_attachments")))
        RowCopier::executeWithNumbers(db,
            QStringLiteral("UPDATE main.message SET cache_has_attachments=1 WHERE rowid IN "
                           "(SELECT message_id FROM main.message_attachment_join WHERE "
                           "message_id IN (SELECT c0 FROM %1))")
                .arg(rows),
            inserted + attached, 1);
    // Found rows get no chat join from the writer. group_concat takes the names in whatever
    // order SQLite's plan reads the joins, and the plan follows the file's indexes: for more
    // than one join this is the phone's trigger query, with the message as fixed in it as
    // NEW.message_id is, so SQLite plans it alike on the same file. It may scan the join for
    // each message, so one join, where the order cannot matter, takes the grouped name. The
    // trigger text comes from the file and is not run.
    if (!inserted.isEmpty()
        && keptByInsertTrigger(
            db, QStringLiteral("chat_message_join"), QStringLiteral("cache_roomnames")))
        RowCopier::executeWithNumbers(db,
            QStringLiteral("UPDATE main.message SET cache_roomnames=CASE WHEN r.joins=1 THEN "
                           "r.names ELSE (SELECT group_concat(c.room_name) FROM main.chat c "
                           "INNER JOIN main.chat_message_join j ON c.ROWID = j.chat_id WHERE "
                           "j.message_id = message.ROWID) END FROM (SELECT j.message_id, "
                           "count(*) AS joins, group_concat(c.room_name) AS names FROM "
                           "main.chat_message_join AS j LEFT JOIN main.chat AS c ON "
                           "c.rowid=j.chat_id WHERE j.message_id IN (SELECT c0 FROM %1) GROUP BY "
                           "j.message_id) AS r WHERE message.rowid=r.message_id")
                .arg(rows),
            inserted, 1);
}
