#include "operations/databasecopy.h"

#include "platform/sqlite_qt/sqlite_qt.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

void copyDatabaseFile(const QString &source, const QString &target)
{
    if (!QFileInfo(source).isFile())
        throwRuntimeError(QStringLiteral("%1 does not exist.").arg(source));
    if (QFileInfo::exists(target))
        throwRuntimeError(QStringLiteral("%1 exists already.").arg(target));
    try {
        Sqlite3DB from;
        from.openThrow(source, Sqlite3DB::ReadWrite);
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
        from.close();
    } catch (...) {
        removeDatabaseFiles(target);
        throw;
    }
}

void removeDatabaseFiles(const QString &path)
{
    if (path.isEmpty())
        return;
    for (const char *suffix : { "", "-wal", "-shm", "-journal" })
        QFile::remove(path + QLatin1String(suffix));
}
