#include "operations/rowcopier.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <memory>
#include <new>

namespace {

// Rows of numbers handed to SQLite as the table-valued function qm_number_feed(?), the pointer
// to the feed bound to its argument.
const char kFeedName[] = "qm_number_feed";
const int kFeedColumns = 4;

struct Feed
{
    const qint64 *values;
    int width;
    int rows;
};

struct FeedCursor : sqlite3_vtab_cursor
{
    const Feed *feed = nullptr;
    int row = 0;
};

int feedConnect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **table, char **)
{
    const int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(c0, c1, c2, c3, feed HIDDEN)");
    if (rc != SQLITE_OK)
        return rc;
    *table = static_cast<sqlite3_vtab *>(sqlite3_malloc(sizeof(sqlite3_vtab)));
    if (!*table)
        return SQLITE_NOMEM;
    **table = sqlite3_vtab();
    return SQLITE_OK;
}

int feedDisconnect(sqlite3_vtab *table)
{
    sqlite3_free(table);
    return SQLITE_OK;
}

// Usable only with its feed given.
int feedBestIndex(sqlite3_vtab *, sqlite3_index_info *info)
{
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto &c = info->aConstraint[i];
        if (c.iColumn != kFeedColumns || c.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        if (!c.usable)
            return SQLITE_CONSTRAINT;
        info->aConstraintUsage[i].argvIndex = 1;
        info->aConstraintUsage[i].omit = 1;
        info->estimatedCost = 1;
        return SQLITE_OK;
    }
    return SQLITE_CONSTRAINT;
}

int feedOpen(sqlite3_vtab *, sqlite3_vtab_cursor **cursor)
{
    void *memory = sqlite3_malloc(sizeof(FeedCursor));
    if (!memory)
        return SQLITE_NOMEM;
    *cursor = new (memory) FeedCursor();
    return SQLITE_OK;
}

int feedClose(sqlite3_vtab_cursor *cursor)
{
    static_cast<FeedCursor *>(cursor)->~FeedCursor();
    sqlite3_free(cursor);
    return SQLITE_OK;
}

int feedFilter(sqlite3_vtab_cursor *cursor, int, const char *, int argc, sqlite3_value **argv)
{
    auto *c = static_cast<FeedCursor *>(cursor);
    c->feed = argc == 1 ? static_cast<const Feed *>(sqlite3_value_pointer(argv[0], kFeedName))
                        : nullptr;
    c->row = 0;
    return SQLITE_OK;
}

int feedNext(sqlite3_vtab_cursor *cursor)
{
    ++static_cast<FeedCursor *>(cursor)->row;
    return SQLITE_OK;
}

int feedEof(sqlite3_vtab_cursor *cursor)
{
    const auto *c = static_cast<FeedCursor *>(cursor);
    return !c->feed || c->row >= c->feed->rows;
}

int feedColumn(sqlite3_vtab_cursor *cursor, sqlite3_context *context, int column)
{
    const auto *c = static_cast<FeedCursor *>(cursor);
    if (column < c->feed->width)
        sqlite3_result_int64(context, c->feed->values[qsizetype(c->row) * c->feed->width + column]);
    else
        sqlite3_result_null(context);
    return SQLITE_OK;
}

int feedRowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid)
{
    *rowid = static_cast<FeedCursor *>(cursor)->row;
    return SQLITE_OK;
}

// Only ever used as a table-valued function: no xCreate, nothing to write.
sqlite3_module feedModule()
{
    sqlite3_module module {};
    module.xConnect = feedConnect;
    module.xBestIndex = feedBestIndex;
    module.xDisconnect = feedDisconnect;
    module.xOpen = feedOpen;
    module.xClose = feedClose;
    module.xFilter = feedFilter;
    module.xNext = feedNext;
    module.xEof = feedEof;
    module.xColumn = feedColumn;
    module.xRowid = feedRowid;
    return module;
}

const sqlite3_module kFeedModule = feedModule();

[[noreturn]] void failWith(sqlite3 *db)
{
    throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(db)), sqlite3_extended_errcode(db));
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

const char RowCopier::kNumberRows[] = "qm_number_feed(?)";

int RowCopier::executeWithNumbers(
    Sqlite3DB &db, const QString &sql, const QVector<qint64> &values, int width)
{
    if (width < 1 || width > kFeedColumns || values.size() % width != 0)
        throw Sqlite3Exception(QStringLiteral("rows of %1 numbers do not fit %2 columns")
                                   .arg(values.size())
                                   .arg(width));
    sqlite3 *handle = db.handle();
    if (sqlite3_create_module_v2(handle, kFeedName, &kFeedModule, nullptr, nullptr) != SQLITE_OK)
        failWith(handle);
    const QByteArray utf8 = sql.toUtf8();
    sqlite3_stmt *prepared = nullptr;
    if (sqlite3_prepare_v2(handle, utf8.constData(), -1, &prepared, nullptr) != SQLITE_OK)
        failWith(handle);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> statement(
        prepared, sqlite3_finalize);
    const Feed feed { values.constData(), width, values.size() / width };
    if (sqlite3_bind_pointer(statement.get(), 1, const_cast<Feed *>(&feed), kFeedName, nullptr)
            != SQLITE_OK
        || sqlite3_step(statement.get()) != SQLITE_DONE)
        failWith(handle);
    return sqlite3_changes(handle);
}

int RowCopier::replaceNumbers(
    Sqlite3DB &db, const QString &table, const QStringList &columns, const QVector<qint64> &values)
{
    const int width = columns.size();
    if (width < 1 || width > kFeedColumns || values.size() % width != 0)
        throw Sqlite3Exception(QStringLiteral("rows of %1 numbers do not fit the columns of %2")
                                   .arg(values.size())
                                   .arg(table));
    if (values.isEmpty())
        return 0;
    QStringList names;
    QStringList fed;
    for (int i = 0; i < width; ++i) {
        names.append(quotedIdentifier(columns.at(i)));
        fed.append(QStringLiteral("c%1").arg(i));
    }
    executeWithNumbers(db,
        QStringLiteral("REPLACE INTO main.%1(%2) SELECT %3 FROM %4")
            .arg(quotedIdentifier(table), names.join(QLatin1Char(',')), fed.join(QLatin1Char(',')),
                QLatin1String(kNumberRows)),
        values, width);
    return values.size() / width;
}
