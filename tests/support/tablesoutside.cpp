#include "support/tablesoutside.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <stdexcept>

namespace {

QStringList lines(Sqlite3DB &db, const QString &prefix, const QString &sql)
{
    QStringList out;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    while (c.moveNext()) {
        QStringList values;
        for (int i = 0; i < c.count(); ++i)
            values.append(c.getText(i));
        out.append(prefix + values.join(QLatin1Char('|')));
    }
    return out;
}

} // namespace

QStringList rowsOutsideTables(const QString &databasePath, const QStringList &tables)
{
    Sqlite3DB db;
    db.openThrow(databasePath, Sqlite3DB::ReadOnly);
    QStringList out = lines(db, QStringLiteral("schema|"),
        QStringLiteral("select type, name, tbl_name, sql from sqlite_master where name not like "
                       "'sqlite_autoindex%' order by type, name"));
    QStringList kept;
    {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
            "select name from sqlite_master where type='table' and name<>'sqlite_sequence'"));
        while (c.moveNext()) {
            if (!tables.contains(c.getText(0), Qt::CaseInsensitive))
                kept.append(c.getText(0));
        }
    }
    for (const QString &table : qAsConst(kept)) {
        QStringList quoted;
        QStringList order;
        for (const _SqliteCol &column : db.tbInfo(table)) {
            quoted.append(QStringLiteral("quote(%1)").arg(quotedIdentifier(column.name)));
            order.append(QString::number(order.size() + 1));
        }
        out += lines(db, table + QLatin1Char('|'),
            QStringLiteral("select %1 from %2 order by %3")
                .arg(quoted.join(QLatin1Char(',')), quotedIdentifier(table),
                    order.join(QLatin1Char(','))));
    }
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
        "select count(*) from sqlite_master where type='table' and name='sqlite_sequence'"));
    if (c.moveNext() && c.getInt64(0) > 0) {
        for (const QString &line : lines(db, QStringLiteral("sequence|"),
                 QStringLiteral("select name, seq from sqlite_sequence order by name"))) {
            if (!tables.contains(line.section(QLatin1Char('|'), 1, 1), Qt::CaseInsensitive))
                out.append(line);
        }
    }
    return out;
}

void addIos6PhoneTriggers(Sqlite3DB &db)
{
    static const char *const statements[] = {
        "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))",
        "INSERT INTO _SqliteDatabaseProperties VALUES('_ClientVersion', '8004')",
        "INSERT INTO _SqliteDatabaseProperties VALUES('counter_in_all', '6')",
        "CREATE TRIGGER after_delete_on_chat_message_join AFTER DELETE ON chat_message_join "
        "BEGIN DELETE FROM message WHERE ROWID = OLD.message_id AND (SELECT 1 FROM "
        "chat_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL; END",
        "CREATE TRIGGER after_delete_on_message_attachment_join AFTER DELETE ON "
        "message_attachment_join BEGIN DELETE FROM attachment WHERE attachment.ROWID = "
        "OLD.attachment_id AND (SELECT 1 FROM message_attachment_join WHERE attachment_id = "
        "OLD.attachment_id LIMIT 1) IS NULL; END",
        "CREATE TRIGGER after_delete_on_chat_handle_join AFTER DELETE ON chat_handle_join BEGIN "
        "DELETE FROM handle WHERE handle.ROWID = OLD.handle_id AND (SELECT 1 FROM "
        "chat_handle_join WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL AND (SELECT 1 FROM "
        "message WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL; END",
    };
    for (const char *sql : statements)
        db.executeThrow(Sqlite3Sql(sql));
}
