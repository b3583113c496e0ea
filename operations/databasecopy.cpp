#include "operations/databasecopy.h"

#include "platform/sqlite_qt/sqlite_qt.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

// SQLite's own copy, page by page, which takes in what the -wal file holds.
void copyPages(Sqlite3DB &from, const QString &target)
{
    Sqlite3DB to;
    to.openThrow(target, Sqlite3DB::ReadWrite | Sqlite3DB::Create);
    // A new file that nobody reads until the copy is complete: a sync adds nothing.
    to.executeThrow(Sqlite3Sql("PRAGMA synchronous=OFF"));
    sqlite3_backup *backup = sqlite3_backup_init(to.handle(), "main", from.handle(), "main");
    if (!backup)
        throwRuntimeError(QString::fromUtf8(sqlite3_errmsg(to.handle())));
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK)
        throwRuntimeError(
            QString::fromUtf8(sqlite3_errstr(stepped != SQLITE_DONE ? stepped : finished)));
    to.close();
}

// The file's bytes in large pieces, read through the connection's own handle: a second
// handle of this process on the file would drop the connection's locks when closed.
void copyBytes(Sqlite3DB &from, const QString &target)
{
    sqlite3_file *file = nullptr;
    if (sqlite3_file_control(from.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK
        || !file || !file->pMethods)
        throwRuntimeError(QStringLiteral("can not read %1.").arg(from.path()));
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        throwRuntimeError(QStringLiteral("can not read %1.").arg(from.path()));
    QFile to(target);
    if (!to.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throwRuntimeError(to.errorString());
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (sqlite3_int64 offset = 0; offset < size;) {
        const int piece = int(qMin<sqlite3_int64>(buffer.size(), size - offset));
        if (file->pMethods->xRead(file, buffer.data(), piece, offset) != SQLITE_OK)
            throwRuntimeError(QStringLiteral("can not read %1.").arg(from.path()));
        if (to.write(buffer.constData(), piece) != piece)
            throwRuntimeError(to.errorString());
        offset += piece;
    }
    to.close();
    if (to.error() != QFileDevice::NoError)
        throwRuntimeError(to.errorString());
}

} // namespace

void copyDatabaseFile(const QString &source, const QString &target)
{
    if (!QFileInfo(source).isFile())
        throwRuntimeError(QStringLiteral("%1 does not exist.").arg(source));
    if (QFileInfo::exists(target))
        throwRuntimeError(QStringLiteral("%1 exists already.").arg(target));
    try {
        Sqlite3DB from;
        from.openThrow(source, Sqlite3DB::ReadWrite);
        // A read transaction holds off every writer of a file with a rollback journal and
        // first rolls back what a killed writer left half done: the file alone is then whole.
        from.executeThrow(Sqlite3Sql("BEGIN"));
        from.executeThrow(Sqlite3Sql("SELECT count(*) FROM sqlite_master"));
        if (usesWriteAheadLog(from))
            copyPages(from, target);
        else
            copyBytes(from, target);
        from.executeThrow(Sqlite3Sql("COMMIT"));
        from.close();
    } catch (...) {
        removeDatabaseFiles(target);
        throw;
    }
}

bool usesWriteAheadLog(Sqlite3DB &db)
{
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("PRAGMA main.journal_mode"));
    return c.moveNext() && c.getText(0).compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
}

void removeDatabaseFiles(const QString &path)
{
    if (path.isEmpty())
        return;
    for (const char *suffix : { "", "-wal", "-shm", "-journal" })
        QFile::remove(path + QLatin1String(suffix));
}
