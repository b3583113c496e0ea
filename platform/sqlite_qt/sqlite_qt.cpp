#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <utility>

#include <sys/statvfs.h>

int sqlite_qt_version()
{
    return 5;
}

namespace {

const int kBusyTimeoutMs = 5000;
const int kMaxCachedStatements = 64;
const int kMaxSqlInMessage = 300;
// How long a failure's text may take to tell which of several files failed.
const int kCheckFilesMs = 2000;

QString notOpenText()
{
    return QStringLiteral("database is not open");
}

// SQLite's own text comes first so callers that show or match it are unaffected.
QString withSql(const QString &text, const QString &sql)
{
    if (sql.isEmpty())
        return text;
    QString shown = sql.simplified();
    if (shown.size() > kMaxSqlInMessage)
        shown = shown.left(kMaxSqlInMessage) + QStringLiteral("...");
    return QStringLiteral("%1 (SQL: %2)").arg(text, shown);
}

bool isDamageCode(int code)
{
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// The file of one of a connection's databases.
struct SchemaFile
{
    int index; // SQLite's number for the database: 0 for main, 2 and up for attached ones
    QByteArray schema; // empty for a file that an attach failed to add
    QString path;
};

// Main's file and each attached one's, in the connection's order; temporary and in-memory
// databases have none.
QVector<SchemaFile> schemaFiles(sqlite3 *db)
{
    QVector<SchemaFile> files;
    for (int i = 0;; ++i) {
        const char *schema = sqlite3_db_name(db, i);
        if (!schema)
            break;
        const char *file = sqlite3_db_filename(db, schema);
        if (file && *file)
            files.append({ i, QByteArray(schema), QString::fromUtf8(file) });
    }
    return files;
}

// What one statement's program reaches: the databases it begins a transaction on, by index,
// and whether it attaches a file. Nothing when the text does not compile on its own.
struct Reach
{
    QSet<int> schemas;
    bool attaches = false;
};

Reach reachOf(sqlite3 *db, const QString &sql)
{
    Reach reach;
    if (sql.isEmpty())
        return reach;
    const QByteArray text = QByteArrayLiteral("EXPLAIN ") + sql.toUtf8();
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, text.constData(), text.size(), &stmt, nullptr) == SQLITE_OK
        && stmt) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *op = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
            const auto *p4 = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 5));
            if (op && std::strcmp(op, "Transaction") == 0)
                reach.schemas.insert(sqlite3_column_int(stmt, 2));
            else if (p4 && std::strncmp(p4, "sqlite_attach(", 14) == 0)
                reach.attaches = true;
        }
    }
    sqlite3_finalize(stmt);
    return reach;
}

enum class Check { Sound, Damaged, Unfinished };

// SQLite's quick check of one database's pages, up to `deadline`. Unfinished where SQLite
// could not finish it for another reason than damage; its error is then the connection's.
Check quickCheck(sqlite3 *db, const QByteArray &schema,
    QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever))
{
    const QByteArray sql = QByteArrayLiteral("pragma ")
        + quotedIdentifier(QString::fromUtf8(schema)).toUtf8() + QByteArrayLiteral(".quick_check");
    const bool bounded = !deadline.isForever();
    if (bounded) {
        sqlite3_progress_handler(
            db, 1000,
            [](void *timer) { return int(static_cast<QDeadlineTimer *>(timer)->hasExpired()); },
            &deadline);
    }
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.constData(), sql.size(), &stmt, nullptr);
    Check result = Check::Unfinished;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        // SQLite gives the one row "ok" only when it finds nothing wrong.
        if (rc == SQLITE_ROW) {
            const auto *first = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
            result = first && std::strcmp(first, "ok") == 0 ? Check::Sound : Check::Damaged;
        }
    }
    // The finalize leaves a failure's text on the connection for the caller.
    rc = sqlite3_finalize(stmt) != SQLITE_OK ? sqlite3_extended_errcode(db) : rc;
    if (result == Check::Unfinished && isDamageCode(rc))
        result = Check::Damaged;
    if (bounded)
        sqlite3_progress_handler(db, 0, nullptr, nullptr);
    return result;
}

bool isFileFailure(int primary)
{
    return primary == SQLITE_FULL || primary == SQLITE_IOERR || primary == SQLITE_READONLY
        || primary == SQLITE_CANTOPEN || primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

int lastErrno(sqlite3 *db, const QByteArray &schema)
{
    int system = 0;
    if (schema.isEmpty()
        || sqlite3_file_control(db, schema.constData(), SQLITE_FCNTL_LAST_ERRNO, &system)
            != SQLITE_OK)
        return 0;
    return system;
}

// The files among `files` that `keep` holds for, or all of them when it holds for none.
template <typename Keep> QVector<SchemaFile> narrowed(const QVector<SchemaFile> &files, Keep keep)
{
    QVector<SchemaFile> kept;
    std::copy_if(files.cbegin(), files.cend(), std::back_inserter(kept), keep);
    return kept.isEmpty() ? files : kept;
}

// Whether the file system of `path` has less room left than a few pages of a database.
bool isNearlyFull(const QString &path)
{
    struct statvfs fs;
    return ::statvfs(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &fs) == 0
        && quint64(fs.f_bavail) * fs.f_frsize < 256 * 1024;
}

// The files that a failure of `sql` (one statement, or empty for text of several) may have
// come from. SQLite does not say which file failed: with several attached, the files the
// statement reaches are narrowed by what each one shows of the failure, where it shows
// something within a bound on the time taken. `attaching` is the file named by the
// statement's first parameter, where it has one.
QVector<SchemaFile> failedFiles(sqlite3 *db, int code, const QString &sql, const QString &attaching)
{
    QVector<SchemaFile> files = schemaFiles(db);
    if (files.size() < 2 && attaching.isEmpty())
        return files;
    const Reach reach = reachOf(db, sql);
    // A failed attach leaves nothing attached: the file it names is the one that failed.
    if (reach.attaches)
        return attaching.isEmpty() ? QVector<SchemaFile>()
                                   : QVector<SchemaFile> { { -1, {}, attaching } };
    if (!reach.schemas.isEmpty()) {
        files.erase(
            std::remove_if(files.begin(), files.end(),
                [&reach](const SchemaFile &file) { return !reach.schemas.contains(file.index); }),
            files.end());
    }
    if (files.size() < 2)
        return files;
    const int primary = code & 0xff;
    if (isDamageCode(code)) {
        QDeadlineTimer deadline(kCheckFilesMs);
        return narrowed(files, [db, &deadline](const SchemaFile &file) {
            return quickCheck(db, file.schema, deadline) == Check::Damaged;
        });
    }
    if (primary == SQLITE_READONLY) {
        return narrowed(files, [db](const SchemaFile &file) {
            return sqlite3_db_readonly(db, file.schema.constData()) == 1;
        });
    }
    // A file keeps the error number of its last failed system call.
    return narrowed(
        files, [db](const SchemaFile &file) { return lastErrno(db, file.schema) != 0; });
}

// A failure of the file itself (a full disk, an I/O error, a file that may not be written or
// is damaged) names the file, or the files it may have come from, and what the system said
// where it said something, after SQLite's own text.
QString withFile(sqlite3 *db, const QString &text, int code, const QString &sql = QString(),
    const QString &attaching = QString())
{
    const int primary = code & 0xff;
    if (!db || !isFileFailure(primary))
        return text;
    // Read before anything else runs on the connection.
    int system = sqlite3_system_errno(db);
    const QVector<SchemaFile> files = failedFiles(db, code, sql, attaching);
    if (files.isEmpty())
        return text;
    QStringList paths;
    for (const SchemaFile &file : files)
        paths.append(QDir::toNativeSeparators(file.path));
    QString named = QStringLiteral("%1: %2").arg(text, paths.join(QStringLiteral(" or ")));
    // Only these come from a failed system call. The connection's errno is read after
    // SQLite's clean-up, which may have failed calls of its own; the file keeps its own.
    if (files.size() == 1) {
        if (const int own = lastErrno(db, files.first().schema))
            system = own;
    }
    // SQLite keeps no system error for a full disk: the disk says it, in the system's words.
    if (primary == SQLITE_FULL && files.size() == 1 && isNearlyFull(files.first().path))
        system = ENOSPC;
    else if (primary != SQLITE_IOERR && primary != SQLITE_CANTOPEN)
        system = 0;
    if (system != 0)
        named += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(system)));
    return named;
}

void appendQuoted(QString &out, const QString &name)
{
    out += QLatin1Char('"');
    if (name.contains(QLatin1Char('"'))) {
        QString doubled = name;
        out += doubled.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    } else {
        out += name;
    }
    out += QLatin1Char('"');
}

} // namespace

QString quotedIdentifier(const QString &name)
{
    QString quoted;
    quoted.reserve(name.size() + 2);
    appendQuoted(quoted, name);
    return quoted;
}

namespace sqlite_qt_detail {

// Column names of a prepared statement, looked up without regard to case. The first of
// several columns with the same name wins, as SQLite's own name lookup does.
struct ColumnIndex
{
    explicit ColumnIndex(sqlite3_stmt *stmt)
    {
        const int n = stmt ? sqlite3_column_count(stmt) : 0;
        raw.reserve(n);
        for (int i = 0; i < n; ++i) {
            const char *name = sqlite3_column_name(stmt, i);
            raw.append(QByteArray(name ? name : ""));
            const QString text = QString::fromUtf8(raw.last());
            names.append(text);
            if (!exact.contains(text))
                exact.insert(text, i);
            const QString folded = text.toCaseFolded();
            if (!foldedIndex.contains(folded))
                foldedIndex.insert(folded, i);
        }
    }

    // A statement is recompiled when the schema changes, which may change its columns.
    bool matches(sqlite3_stmt *stmt) const
    {
        const int n = stmt ? sqlite3_column_count(stmt) : 0;
        if (n != raw.size())
            return false;
        for (int i = 0; i < n; ++i) {
            const char *name = sqlite3_column_name(stmt, i);
            if (!name || std::strcmp(name, raw.at(i).constData()) != 0)
                return false;
        }
        return true;
    }

    int indexOf(const QString &name) const
    {
        // Callers mostly spell names as the schema does: try that before folding case.
        const auto it = exact.constFind(name);
        if (it != exact.constEnd())
            return it.value();
        return foldedIndex.value(name.toCaseFolded(), -1);
    }

    QVector<QByteArray> raw;
    QStringList names;
    QHash<QString, int> exact;
    QHash<QString, int> foldedIndex;
};

struct Statement;

struct Connection
{
    struct Cached
    {
        sqlite3_stmt *stmt = nullptr;
        QSharedPointer<const ColumnIndex> columns;
        std::list<QString>::iterator age; // its place in `ages`
    };

    explicit Connection(sqlite3 *handle)
        : db(handle)
    {
    }
    ~Connection() { closeNow(); }

    void closeNow();
    // Takes the cached statement for `sql` out of the cache; its stmt is null when none.
    Cached take(const QString &sql);
    void giveBack(const QString &sql, sqlite3_stmt *stmt, QSharedPointer<const ColumnIndex> cols);

    sqlite3 *db;
    QHash<QString, Cached> cache;
    // The texts of the cached statements, the one given back last first, so that the one to
    // drop when the cache is full is found without a search.
    std::list<QString> ages;
    QSet<Statement *> live;
};

// A prepared statement leased from its connection. While a cursor holds it no other
// query can use it; when the last holder lets go it goes back to the cache, reset.
struct Statement
{
    Statement(QSharedPointer<Connection> c, const QString &text, sqlite3_stmt *s,
        QSharedPointer<const ColumnIndex> cols)
        : conn(std::move(c))
        , sql(text)
        , stmt(s)
        , columns(std::move(cols))
    {
        conn->live.insert(this);
    }
    ~Statement()
    {
        if (stmt)
            conn->giveBack(sql, stmt, columns);
        conn->live.remove(this);
    }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    const ColumnIndex &index()
    {
        if (!columnsChecked) {
            if (!columns || !columns->matches(stmt))
                columns = QSharedPointer<const ColumnIndex>::create(stmt);
            columnsChecked = true;
        }
        return *columns;
    }

    QSharedPointer<Connection> conn;
    QString sql;
    sqlite3_stmt *stmt;
    QSharedPointer<const ColumnIndex> columns;
    bool columnsChecked = false;
    bool stepped = false;
    bool onRow = false;
    bool done = false;
};

void Connection::closeNow()
{
    if (!db)
        return;
    for (Statement *s : qAsConst(live)) {
        if (s->stmt)
            sqlite3_finalize(s->stmt);
        s->stmt = nullptr;
        s->onRow = false;
        s->done = true;
    }
    for (const Cached &c : qAsConst(cache))
        sqlite3_finalize(c.stmt);
    cache.clear();
    ages.clear();
    sqlite3_close_v2(db);
    db = nullptr;
}

Connection::Cached Connection::take(const QString &sql)
{
    const auto it = cache.find(sql);
    if (it == cache.end())
        return Cached();
    const Cached c = it.value();
    ages.erase(c.age);
    cache.erase(it);
    return c;
}

void Connection::giveBack(
    const QString &sql, sqlite3_stmt *stmt, QSharedPointer<const ColumnIndex> cols)
{
    // The reset also ends the statement's read transaction.
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (!db || cache.contains(sql)) {
        sqlite3_finalize(stmt);
        return;
    }
    if (cache.size() >= kMaxCachedStatements) {
        const auto oldest = cache.find(ages.back());
        sqlite3_finalize(oldest->stmt);
        cache.erase(oldest);
        ages.pop_back();
    }
    Cached c;
    c.stmt = stmt;
    c.columns = std::move(cols);
    ages.push_front(sql);
    c.age = ages.begin();
    cache.insert(sql, c);
}

} // namespace sqlite_qt_detail

using sqlite_qt_detail::Connection;
using sqlite_qt_detail::Statement;

// Sqlite3Exception

Sqlite3Exception::Sqlite3Exception(const QString &text, int code)
    : std::runtime_error(text.toUtf8().toStdString())
    , m_code(code)
{
}

bool Sqlite3Exception::isDamage() const
{
    return isDamageCode(m_code);
}

// Sqlite3Sql

Sqlite3Sql::Sqlite3Sql(const QString &sql)
    : m_sql(sql)
{
}

Sqlite3Sql::Sqlite3Sql(const char *sql)
    : m_sql(QString::fromUtf8(sql))
{
}

Sqlite3Sql &Sqlite3Sql::appendSql(const QString &sql)
{
    m_sql += sql;
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addTextParam(const QString &value)
{
    // A null QString is still text: NOT NULL text columns take an empty string.
    m_params.append(QVariant(value.isNull() ? QString(QLatin1String("")) : value));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addIntParam(int value)
{
    m_params.append(QVariant(qlonglong(value)));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addInt64Param(qint64 value)
{
    m_params.append(QVariant(qlonglong(value)));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addDoubleParam(double value)
{
    m_params.append(QVariant(value));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addBlobParam(const QByteArray &value)
{
    m_params.append(QVariant(value.isNull() ? QByteArray("") : value));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addNullParam()
{
    m_params.append(QVariant());
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addParam(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return addNullParam();
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return addInt64Param(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return addDoubleParam(value.toDouble());
    case QMetaType::QByteArray:
        return addBlobParam(value.toByteArray());
    default:
        return addTextParam(value.toString());
    }
}

// Sqlite3Row

int Sqlite3Row::indexOf(const QString &column) const
{
    // Case folding keeps the length of a name: only names of the same length can match.
    for (int i = 0; i < m_columns.size(); ++i) {
        const QString &name = m_columns.at(i);
        if (name.size() == column.size() && name.compare(column, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

bool Sqlite3Row::contains(const QString &column) const
{
    return indexOf(column) >= 0;
}

QVariant Sqlite3Row::value(const QString &column) const
{
    return m_values.value(indexOf(column));
}

void Sqlite3Row::setValue(const QString &column, const QVariant &value)
{
    const int i = indexOf(column);
    if (i >= 0) {
        m_values[i] = value;
        return;
    }
    m_columns.append(column);
    m_values.append(value);
}

void Sqlite3Row::remove(const QString &column)
{
    const int i = indexOf(column);
    if (i < 0)
        return;
    m_columns.removeAt(i);
    m_values.remove(i);
}

QStringList Sqlite3Row::columns() const
{
    return m_columns;
}

int Sqlite3Row::getInt(const QString &column) const
{
    return value(column).toInt();
}

qint64 Sqlite3Row::getInt64(const QString &column) const
{
    return value(column).toLongLong();
}

double Sqlite3Row::getDouble(const QString &column) const
{
    return value(column).toDouble();
}

QString Sqlite3Row::getText(const QString &column) const
{
    return value(column).toString();
}

QByteArray Sqlite3Row::getBlob(const QString &column) const
{
    return value(column).toByteArray();
}

Sqlite3Sql Sqlite3Row::insertSql(const QString &table, const QSet<QString> &exclude) const
{
    QSet<QString> skip;
    for (const QString &name : exclude)
        skip.insert(name.toCaseFolded());

    QString text = QStringLiteral("insert into ");
    appendQuoted(text, table);
    QVector<int> kept;
    kept.reserve(m_columns.size());
    for (int i = 0; i < m_columns.size(); ++i) {
        if (!skip.isEmpty() && skip.contains(m_columns.at(i).toCaseFolded()))
            continue;
        text += kept.isEmpty() ? QLatin1Char('(') : QLatin1Char(',');
        appendQuoted(text, m_columns.at(i));
        kept.append(i);
    }

    if (kept.isEmpty())
        return Sqlite3Sql(text + QStringLiteral(" default values"));

    text += QStringLiteral(") values(?");
    for (int i = 1; i < kept.size(); ++i)
        text += QStringLiteral(",?");
    text += QLatin1Char(')');
    Sqlite3Sql sql(text);
    for (int i : qAsConst(kept))
        sql.addParam(m_values.at(i));
    return sql;
}

// _SqliteCol

namespace {

enum class Affinity { Integer, Text, Blob, Real, Numeric };

// SQLite's rules for the affinity of a declared column type, in their order.
Affinity affinityOf(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")))
        return Affinity::Integer;
    if (t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB"))
        || t.contains(QLatin1String("TEXT")))
        return Affinity::Text;
    if (t.contains(QLatin1String("BLOB")) || t.trimmed().isEmpty())
        return Affinity::Blob;
    if (t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA"))
        || t.contains(QLatin1String("DOUB")))
        return Affinity::Real;
    return Affinity::Numeric;
}

} // namespace

_SqliteCol::_SqliteCol(
    const QString &name, const QString &type, bool notNull, bool hasDefault, bool primaryKey)
    : name(name)
    , type(type)
    , notNull(notNull)
    , hasDefault(hasDefault)
    , primaryKey(primaryKey)
{
}

bool _SqliteCol::isInteger() const
{
    return affinityOf(type) == Affinity::Integer;
}

bool _SqliteCol::isText() const
{
    return affinityOf(type) == Affinity::Text;
}

bool _SqliteCol::isBlob() const
{
    return affinityOf(type) == Affinity::Blob;
}

bool _SqliteCol::isReal() const
{
    return affinityOf(type) == Affinity::Real;
}

bool _SqliteCol::isNumeric() const
{
    return affinityOf(type) == Affinity::Numeric;
}

// Sqlite3Cursor

Sqlite3Cursor::Sqlite3Cursor(QSharedPointer<Statement> stmt)
    : m_stmt(std::move(stmt))
{
}

bool Sqlite3Cursor::onRow() const
{
    return m_stmt && m_stmt->stmt && m_stmt->onRow;
}

bool Sqlite3Cursor::hasColumn(int index) const
{
    // Asked of SQLite for every value read: the count it keeps costs nothing to read, where
    // the names of the columns would have to be looked up.
    return onRow() && index >= 0 && index < sqlite3_column_count(m_stmt->stmt);
}

bool Sqlite3Cursor::moveNext()
{
    if (!m_stmt || !m_stmt->stmt || m_stmt->done)
        return false;
    // Stepping past the end would make SQLite start the query over.
    const int rc = sqlite3_step(m_stmt->stmt);
    if (!m_stmt->stepped) {
        m_stmt->stepped = true;
        m_stmt->columnsChecked = false;
    }
    if (rc == SQLITE_ROW) {
        m_stmt->onRow = true;
        return true;
    }
    m_stmt->onRow = false;
    m_stmt->done = true;
    if (rc == SQLITE_DONE)
        return false;
    sqlite3 *db = m_stmt->conn->db;
    const int code = sqlite3_extended_errcode(db);
    const QString text = withFile(db, QString::fromUtf8(sqlite3_errmsg(db)), code, m_stmt->sql);
    throw Sqlite3Exception(withSql(text, m_stmt->sql), code);
}

int Sqlite3Cursor::count() const
{
    return m_stmt && m_stmt->stmt ? m_stmt->index().names.size() : 0;
}

QString Sqlite3Cursor::columnName(int index) const
{
    return m_stmt && m_stmt->stmt ? m_stmt->index().names.value(index) : QString();
}

int Sqlite3Cursor::columnIndex(const QString &name) const
{
    return m_stmt && m_stmt->stmt ? m_stmt->index().indexOf(name) : -1;
}

bool Sqlite3Cursor::isNull(const QString &name) const
{
    const int i = columnIndex(name);
    return !onRow() || i < 0 || sqlite3_column_type(m_stmt->stmt, i) == SQLITE_NULL;
}

int Sqlite3Cursor::getInt(const QString &name) const
{
    return getInt(columnIndex(name));
}

qint64 Sqlite3Cursor::getInt64(const QString &name) const
{
    return getInt64(columnIndex(name));
}

double Sqlite3Cursor::getDouble(const QString &name) const
{
    const int i = columnIndex(name);
    if (!onRow() || i < 0)
        return 0.0;
    return sqlite3_column_double(m_stmt->stmt, i);
}

QString Sqlite3Cursor::getText(const QString &name) const
{
    return getText(columnIndex(name));
}

QByteArray Sqlite3Cursor::getBlob(const QString &name) const
{
    return getBlob(columnIndex(name));
}

QVariant Sqlite3Cursor::getValue(const QString &name) const
{
    return getValue(columnIndex(name));
}

int Sqlite3Cursor::getInt(int index) const
{
    if (!hasColumn(index))
        return 0;
    return sqlite3_column_int(m_stmt->stmt, index);
}

qint64 Sqlite3Cursor::getInt64(int index) const
{
    if (!hasColumn(index))
        return 0;
    return sqlite3_column_int64(m_stmt->stmt, index);
}

QString Sqlite3Cursor::getText(int index) const
{
    if (!hasColumn(index))
        return QString();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt->stmt, index));
    const int bytes = sqlite3_column_bytes(m_stmt->stmt, index);
    return text ? QString::fromUtf8(text, bytes) : QString();
}

QByteArray Sqlite3Cursor::getBlob(int index) const
{
    if (!hasColumn(index))
        return QByteArray();
    const auto *data = static_cast<const char *>(sqlite3_column_blob(m_stmt->stmt, index));
    const int bytes = sqlite3_column_bytes(m_stmt->stmt, index);
    return data ? QByteArray(data, bytes) : QByteArray();
}

const char *Sqlite3Cursor::textBytes(int index, int &size) const
{
    size = 0;
    if (!hasColumn(index))
        return nullptr;
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt->stmt, index));
    size = text ? sqlite3_column_bytes(m_stmt->stmt, index) : 0;
    return text;
}

const char *Sqlite3Cursor::blobBytes(int index, int &size) const
{
    size = 0;
    if (!hasColumn(index))
        return nullptr;
    const auto *data = static_cast<const char *>(sqlite3_column_blob(m_stmt->stmt, index));
    size = data ? sqlite3_column_bytes(m_stmt->stmt, index) : 0;
    return data;
}

QVariant Sqlite3Cursor::getValue(int index) const
{
    if (!hasColumn(index))
        return QVariant();
    switch (sqlite3_column_type(m_stmt->stmt, index)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(m_stmt->stmt, index)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(m_stmt->stmt, index));
    case SQLITE_TEXT:
        return QVariant(getText(index));
    case SQLITE_BLOB: {
        // A zero-length blob stays a blob, not a NULL.
        const QByteArray bytes = getBlob(index);
        return QVariant(bytes.isNull() ? QByteArray("") : bytes);
    }
    default:
        return QVariant();
    }
}

Sqlite3Row Sqlite3Cursor::getRow() const
{
    Sqlite3Row row;
    if (!onRow())
        return row;
    const sqlite_qt_detail::ColumnIndex &cols = m_stmt->index();
    const int n = cols.names.size();
    row.m_columns.reserve(n);
    row.m_values.reserve(n);
    for (int i = 0; i < n; ++i) {
        // A join may repeat a name; the row keeps the first, as lookups by name do.
        if (cols.indexOf(cols.names.at(i)) != i)
            continue;
        row.m_columns.append(cols.names.at(i));
        row.m_values.append(getValue(i));
    }
    return row;
}

// Sqlite3DB

Sqlite3DB::Sqlite3DB() = default;

Sqlite3DB::~Sqlite3DB()
{
    close();
}

void Sqlite3DB::openThrow(const QString &path, int flags)
{
    close();
    const int mode = flags & (SQLITE_OPEN_READONLY | SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (mode != SQLITE_OPEN_READONLY && mode != SQLITE_OPEN_READWRITE
        && mode != (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
        m_lastError = withSql(QString::fromUtf8(sqlite3_errstr(SQLITE_MISUSE)),
            QStringLiteral("open flags %1").arg(flags));
        throw Sqlite3Exception(m_lastError, SQLITE_MISUSE);
    }

    // Before SQLite's first use: without it every allocation of every connection takes one
    // lock for the sake of statistics no one reads, and readers on threads of their own
    // wait on each other. A no-op where SQLite was started already.
    static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    Q_UNUSED(configured);

    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const QString text = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        sqlite3_close_v2(db);
        m_lastError = QStringLiteral("%1: %2").arg(text, path);
        throw Sqlite3Exception(m_lastError, code);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    m_conn = QSharedPointer<Connection>::create(db);
    m_path = path;
    m_lastError.clear();
}

void Sqlite3DB::close()
{
    if (m_conn) {
        m_conn->closeNow();
        m_conn.reset();
    }
    m_path.clear();
}

bool Sqlite3DB::isOpen() const
{
    return m_conn && m_conn->db;
}

sqlite3 *Sqlite3DB::handle() const
{
    return m_conn ? m_conn->db : nullptr;
}

void Sqlite3DB::throwError(int code, const Sqlite3Sql &sql)
{
    QString text = notOpenText();
    if (isOpen()) {
        code = sqlite3_extended_errcode(m_conn->db);
        // An attach names its file in its first parameter, where it is not in the SQL text.
        const QVariant first = sql.params().value(0);
        const QString attaching
            = first.userType() == QMetaType::QString ? first.toString() : QString();
        text = withFile(
            m_conn->db, QString::fromUtf8(sqlite3_errmsg(m_conn->db)), code, sql.sql(), attaching);
    }
    m_lastError = text;
    throw Sqlite3Exception(withSql(text, sql.sql()), code);
}

bool Sqlite3DB::runSimple(const char *sql)
{
    QString error;
    return exec(QString::fromLatin1(sql), error);
}

bool Sqlite3DB::beginTran()
{
    return runSimple("begin");
}

bool Sqlite3DB::commitTran()
{
    return runSimple("commit");
}

bool Sqlite3DB::rollbackTran()
{
    return runSimple("rollback");
}

QSharedPointer<Statement> Sqlite3DB::prepareThrow(const Sqlite3Sql &sql)
{
    if (!isOpen())
        throwError(SQLITE_MISUSE, sql);

    Connection::Cached cached = m_conn->take(sql.sql());
    if (!cached.stmt) {
        const QByteArray text = sql.sql().toUtf8();
        const char *tail = nullptr;
        const int rc = sqlite3_prepare_v2(
            m_conn->db, text.constData(), text.size() + 1, &cached.stmt, &tail);
        if (rc != SQLITE_OK)
            throwError(rc, sql);
        // Anything after the first statement would be silently ignored: refuse it.
        if (tail && *tail) {
            sqlite3_stmt *next = nullptr;
            const int rc2 = sqlite3_prepare_v2(m_conn->db, tail, -1, &next, nullptr);
            sqlite3_finalize(next);
            if (rc2 != SQLITE_OK || next) {
                sqlite3_finalize(cached.stmt);
                m_lastError = QStringLiteral("only one statement can be run at a time");
                throw Sqlite3Exception(withSql(m_lastError, sql.sql()), SQLITE_MISUSE);
            }
        }
    }

    auto stmt = QSharedPointer<Statement>::create(m_conn, sql.sql(), cached.stmt, cached.columns);
    if (!stmt->stmt)
        return stmt; // blank SQL or only a comment: nothing to run

    const QVector<QVariant> &params = sql.params();
    for (int i = 0; i < params.size(); ++i) {
        const QVariant &v = params.at(i);
        const int pos = i + 1;
        int rc;
        switch (v.userType()) {
        case QMetaType::UnknownType:
            rc = sqlite3_bind_null(stmt->stmt, pos);
            break;
        case QMetaType::LongLong:
            rc = sqlite3_bind_int64(stmt->stmt, pos, v.toLongLong());
            break;
        case QMetaType::Double:
            rc = sqlite3_bind_double(stmt->stmt, pos, v.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = v.toByteArray();
            rc = sqlite3_bind_blob64(
                stmt->stmt, pos, bytes.constData(), quint64(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray utf8 = v.toString().toUtf8();
            rc = sqlite3_bind_text64(stmt->stmt, pos, utf8.constData(), quint64(utf8.size()),
                SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        }
        if (rc != SQLITE_OK)
            throwError(rc, sql);
    }
    return stmt;
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql &sql)
{
    return Sqlite3Cursor(prepareThrow(sql));
}

int Sqlite3DB::executeThrow(const Sqlite3Sql &sql)
{
    QSharedPointer<Statement> stmt = prepareThrow(sql);
    if (!stmt->stmt)
        return 0;
    const int before = sqlite3_total_changes(m_conn->db);
    int rc;
    do {
        rc = sqlite3_step(stmt->stmt);
    } while (rc == SQLITE_ROW);
    if (rc != SQLITE_DONE)
        throwError(rc, sql);
    // sqlite3_changes() keeps the count of the last insert/update/delete; other
    // statements changed nothing.
    return sqlite3_total_changes(m_conn->db) != before ? sqlite3_changes(m_conn->db) : 0;
}

bool Sqlite3DB::exec(const QString &sql, QString &error)
{
    error.clear();
    if (!isOpen()) {
        error = notOpenText();
        m_lastError = error;
        return false;
    }
    char *message = nullptr;
    const int rc = sqlite3_exec(m_conn->db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = withFile(m_conn->db, QString::fromUtf8(message ? message : sqlite3_errstr(rc)),
            sqlite3_extended_errcode(m_conn->db));
        m_lastError = error;
    }
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

qint64 Sqlite3DB::lastInsertId() const
{
    return isOpen() ? sqlite3_last_insert_rowid(m_conn->db) : 0;
}

int Sqlite3DB::changes() const
{
    return isOpen() ? sqlite3_changes(m_conn->db) : 0;
}

QString Sqlite3DB::lastError() const
{
    return m_lastError;
}

QList<_SqliteCol> Sqlite3DB::tbInfo(const QString &table)
{
    QList<_SqliteCol> cols;
    try {
        Sqlite3Cursor c
            = queryThrow(QStringLiteral("pragma table_info(%1)").arg(quotedIdentifier(table)));
        while (c.moveNext()) {
            cols.append(_SqliteCol(c.getText(QStringLiteral("name")),
                c.getText(QStringLiteral("type")), c.getInt(QStringLiteral("notnull")) != 0,
                !c.isNull(QStringLiteral("dflt_value")), c.getInt(QStringLiteral("pk")) > 0));
        }
    } catch (const Sqlite3Exception &) {
        // The text is in lastError(); an unreadable table has no columns to report.
        cols.clear();
    }
    return cols;
}

bool Sqlite3DB::hasColumn(const QString &table, const QString &column)
{
    const QList<_SqliteCol> cols = tbInfo(table);
    return std::any_of(cols.begin(), cols.end(), [&column](const _SqliteCol &c) {
        return c.name.compare(column, Qt::CaseInsensitive) == 0;
    });
}

bool Sqlite3DB::passesQuickCheck()
{
    const Sqlite3Sql sql("pragma main.quick_check");
    if (!isOpen())
        throwError(SQLITE_MISUSE, sql);
    const Check check = quickCheck(m_conn->db, QByteArrayLiteral("main"));
    if (check == Check::Unfinished)
        throwError(SQLITE_ERROR, sql);
    return check == Check::Sound;
}
