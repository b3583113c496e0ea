#include "records/absdb.h"

#include "platform/durablefile/durablefile.h"

#include <QDir>
#include <QFileInfo>

#include <cstring>

AbsDb::~AbsDb() = default;

void AbsDb::beginTransaction()
{
    open();
    if (!beginTran())
        throw Sqlite3Exception(lastError());
    inTransaction = true;
}

bool AbsDb::endTransaction(bool commit)
{
    if (!inTransaction)
        return false;
    open();
    if (commit) {
        if (!commitTran()) {
            // Leave no half-finished transaction behind the error.
            const QString error = lastError();
            if (isOpen() && !sqlite3_get_autocommit(handle()))
                rollbackTran();
            inTransaction = false;
            throw Sqlite3Exception(error);
        }
    } else if (!rollbackTran()) {
        const QString error = lastError();
        const bool stillOpen = isOpen() && !sqlite3_get_autocommit(handle());
        inTransaction = false;
        // A rollback refused because SQLite already ended the transaction loses nothing.
        if (stillOpen)
            throw Sqlite3Exception(error);
    }
    inTransaction = false;
    return true;
}

bool AbsDb::beginSavepoint()
{
    const bool outermost = sqlite3_get_autocommit(handle()) != 0;
    executeThrow(Sqlite3Sql("SAVEPOINT qm_atomic"));
    return outermost;
}

void AbsDb::releaseSavepoint()
{
    executeThrow(Sqlite3Sql("RELEASE qm_atomic"));
}

void AbsDb::rollbackSavepoint(bool outermost) noexcept
{
    // SQLite may have ended the transaction itself after an I/O error; then there is
    // nothing left to undo.
    if (!isOpen() || sqlite3_get_autocommit(handle()))
        return;
    QString error;
    if (outermost)
        exec(QStringLiteral("ROLLBACK"), error);
    else
        exec(QStringLiteral("ROLLBACK TO qm_atomic; RELEASE qm_atomic"), error);
}

qint64 AbsDb::insertRow(const Sqlite3Row &row, const QString &table, const QSet<QString> &exclude)
{
    open();
    executeThrow(row.insertSql(table, exclude));
    return lastInsertId();
}

QList<Sqlite3Row> AbsDb::selectAll(const QString &table)
{
    open();
    QList<Sqlite3Row> rows;
    Sqlite3Cursor cursor
        = queryThrow(Sqlite3Sql(QStringLiteral("select * from %1").arg(quotedIdentifier(table))));
    while (cursor.moveNext())
        rows.append(cursor.getRow());
    return rows;
}

void AbsDb::openForOneThread(const QString &path, int flags)
{
    // Neither a memory map nor a larger page cache: the loaders read their tables in stored
    // order, one page after another, where mapping the file measured slower and a larger
    // cache would only hold more pages that are read once.
    openThrow(path, flags | SQLITE_OPEN_NOMUTEX);
}

AbsMessageDb::~AbsMessageDb() = default;

AbsIOSMessageDb::~AbsIOSMessageDb() = default;

int AbsIOSMessageDb::smsDbVersion(const QString &path)
{
    QSet<QString> tables;
    {
        Sqlite3DB db;
        db.openThrow(path, 2);
        {
            Sqlite3Cursor cursor
                = db.queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
            while (cursor.moveNext())
                tables.insert(cursor.getText(QStringLiteral("name")));
        }
        db.close();
    }
    static const char *const required[]
        = { "chat", "handle", "chat_handle_join", "message", "chat_message_join" };
    for (const char *name : required) {
        if (!tables.contains(QLatin1String(name)))
            return 5;
    }
    return 6;
}

void AbsIOSMessageDb::loadTableSql()
{
    tableSql.clear();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
    const int name = cursor.columnIndex(QStringLiteral("name"));
    const int sql = cursor.columnIndex(QStringLiteral("sql"));
    while (cursor.moveNext())
        tableSql.insert(cursor.getText(name), cursor.getText(sql));
}

bool AbsIOSMessageDb::tableHas(
    const QString &table, const QString &probe, Qt::CaseSensitivity cs) const
{
    const auto it = tableSql.constFind(table);
    return it != tableSql.constEnd() && it->contains(probe, cs);
}

bool createDatabaseFile(const QString &path, const QString &script, QString &error)
{
    const QFileInfo target(path);
    if (!QDir().mkpath(target.absolutePath())) {
        error = QStringLiteral("can not create folder %1").arg(target.absolutePath());
        return false;
    }
    // Filled under a partial name, closed, and only then given its own: SMB renames no open
    // file, and a killed run's partial goes with the next writer there.
    QString partial;
    if (const int code = durable::makePartial(target.absoluteFilePath(), false, &partial)) {
        error = QStringLiteral("%1: %2").arg(
            target.absoluteFilePath(), QString::fromLocal8Bit(std::strerror(code)));
        return false;
    }
    // A partial needs no journal of its own: all of it goes if anything fails.
    bool made = false;
    try {
        Sqlite3DB db;
        db.openThrow(partial, Sqlite3DB::ReadWrite);
        made = db.exec(QStringLiteral("PRAGMA journal_mode=MEMORY"), error) && db.beginTran()
            && db.exec(script, error) && db.commitTran();
        if (!made && error.isEmpty())
            error = db.lastError();
        db.close();
    } catch (const std::exception &e) {
        error = QString::fromUtf8(e.what());
    }
    const int code = made ? durable::renameNew(partial, target.absoluteFilePath()) : 0;
    if (code != 0)
        error = QStringLiteral("can not move %1 to %2: %3")
                    .arg(partial, target.absoluteFilePath(),
                        QString::fromLocal8Bit(std::strerror(code)));
    if (!made || code != 0) {
        QFile::remove(partial);
        return false;
    }
    return true;
}
