// sqlite_qt: a small Qt-flavoured wrapper over SQLite 3. Connections, statements with
// positional parameters, cursors with case-insensitive column access by name, and rows
// that build their own INSERT statement. Operations ending in Throw throw
// Sqlite3Exception carrying SQLite's error text.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <sqlite3.h>

#include <stdexcept>

// The wrapper's interface generation; the program refuses to run with any other.
int sqlite_qt_version();

// An identifier (table, column, index or trigger name) quoted so that it can only ever
// name one thing.
QString quotedIdentifier(const QString &name);

class Sqlite3Exception : public std::runtime_error
{
public:
    explicit Sqlite3Exception(const QString &text, int code = 0);
    int code() const { return m_code; }
    // True when SQLite found a file damaged or not a database at all.
    bool isDamage() const;

private:
    int m_code;
};

// SQL text with "?" placeholders and the values bound to them, in the order added.
class Sqlite3Sql
{
public:
    Sqlite3Sql() = default;
    Sqlite3Sql(const QString &sql);
    Sqlite3Sql(const char *sql);

    Sqlite3Sql &appendSql(const QString &sql);
    Sqlite3Sql &addTextParam(const QString &value);
    Sqlite3Sql &addIntParam(int value);
    Sqlite3Sql &addInt64Param(qint64 value);
    Sqlite3Sql &addDoubleParam(double value);
    Sqlite3Sql &addBlobParam(const QByteArray &value);
    Sqlite3Sql &addNullParam();
    // Binds by the QVariant's type: null, integer, floating point, byte array or text.
    Sqlite3Sql &addParam(const QVariant &value);

    const QString &sql() const { return m_sql; }
    const QVector<QVariant> &params() const { return m_params; }

private:
    QString m_sql;
    QVector<QVariant> m_params;
};

// One row as ordered column name -> value pairs. Lookup by name ignores case.
class Sqlite3Row
{
public:
    bool contains(const QString &column) const;
    QVariant value(const QString &column) const;
    // Replaces the value of an existing column (any case) or appends a new column.
    void setValue(const QString &column, const QVariant &value);
    void remove(const QString &column);
    QStringList columns() const;
    int count() const { return m_columns.size(); }
    bool isEmpty() const { return m_columns.isEmpty(); }
    QVariant valueAt(int index) const { return m_values.value(index); }

    // NULL and missing columns read as 0 or empty.
    int getInt(const QString &column) const;
    qint64 getInt64(const QString &column) const;
    double getDouble(const QString &column) const;
    QString getText(const QString &column) const;
    QByteArray getBlob(const QString &column) const;

    // "insert into <table>(<columns>) values(?,...)" with every column except those
    // named in `exclude` (compared without case); values bound in column order.
    Sqlite3Sql insertSql(const QString &table, const QSet<QString> &exclude = {}) const;

private:
    friend class Sqlite3Cursor; // fills rows without a lookup per column
    int indexOf(const QString &column) const;

    QStringList m_columns;
    QVector<QVariant> m_values;
};

// A column description: name, declared type and three flags. The type tests follow
// SQLite's column affinity rules on the declared type.
class _SqliteCol
{
public:
    _SqliteCol() = default;
    _SqliteCol(const QString &name, const QString &type, bool notNull = false,
        bool hasDefault = false, bool primaryKey = false);

    QString name;
    QString type;
    bool notNull = false;
    bool hasDefault = false;
    bool primaryKey = false;

    bool isInteger() const;
    bool isText() const;
    bool isBlob() const;
    bool isReal() const;
    bool isNumeric() const;
};

namespace sqlite_qt_detail {
struct Connection;
struct Statement;
}

// A result set. Copies share one prepared statement; the first moveNext() moves to the
// first row. Column access by name ignores case; NULL or an unknown column reads as 0
// or empty.
class Sqlite3Cursor
{
public:
    Sqlite3Cursor() = default;

    bool moveNext();
    int count() const; // number of columns
    QString columnName(int index) const;
    int columnIndex(const QString &name) const; // -1 when absent
    bool isNull(const QString &name) const;

    int getInt(const QString &name) const;
    qint64 getInt64(const QString &name) const;
    double getDouble(const QString &name) const;
    QString getText(const QString &name) const;
    QByteArray getBlob(const QString &name) const;
    QVariant getValue(const QString &name) const;

    int getInt(int index) const;
    qint64 getInt64(int index) const;
    QString getText(int index) const;
    QByteArray getBlob(int index) const;
    QVariant getValue(int index) const;
    // A column's bytes as SQLite holds them for this row (text as UTF-8), valid until the
    // cursor moves: no copy is made. Null, with size 0, for NULL or an unknown column.
    const char *textBytes(int index, int &size) const;
    const char *blobBytes(int index, int &size) const;

    Sqlite3Row getRow() const;

private:
    friend class Sqlite3DB;
    explicit Sqlite3Cursor(QSharedPointer<sqlite_qt_detail::Statement> stmt);
    bool onRow() const;
    // On a row that has a column `index`.
    bool hasColumn(int index) const;

    QSharedPointer<sqlite_qt_detail::Statement> m_stmt;
};

class Sqlite3DB
{
public:
    enum OpenFlag {
        ReadOnly = SQLITE_OPEN_READONLY,
        ReadWrite = SQLITE_OPEN_READWRITE,
        Create = SQLITE_OPEN_CREATE
    };

    Sqlite3DB();
    virtual ~Sqlite3DB();
    Sqlite3DB(const Sqlite3DB &) = delete;
    Sqlite3DB &operator=(const Sqlite3DB &) = delete;

    // flags: 1 read-only, 2 read-write, 6 read-write and create. Closes any open
    // connection first.
    void openThrow(const QString &path, int flags);
    void close();
    bool isOpen() const;
    QString path() const { return m_path; }

    // Transaction control; false (with lastError()) when SQLite refuses.
    bool beginTran();
    bool commitTran();
    bool rollbackTran();

    Sqlite3Cursor queryThrow(const Sqlite3Sql &sql);
    // Runs a statement to completion; returns the number of rows changed.
    int executeThrow(const Sqlite3Sql &sql);
    // Runs SQL text (several statements allowed); false with the error in `error`.
    bool exec(const QString &sql, QString &error);

    qint64 lastInsertId() const;
    int changes() const;
    QString lastError() const;

    // Columns of a table from "pragma table_info", in table order; empty when absent.
    QList<_SqliteCol> tbInfo(const QString &table);
    // True when the table has the column, its name compared without regard to case.
    bool hasColumn(const QString &table, const QString &column);
    // SQLite's quick check of every page of the main file: false when it finds damage or
    // SQLite refuses the file as damaged or not a database, never an exception for that.
    // Other failures (an I/O error) throw as queryThrow does.
    bool passesQuickCheck();

    sqlite3 *handle() const;

private:
    QSharedPointer<sqlite_qt_detail::Statement> prepareThrow(const Sqlite3Sql &sql);
    [[noreturn]] void throwError(int code, const Sqlite3Sql &sql);
    bool runSimple(const char *sql);

    QSharedPointer<sqlite_qt_detail::Connection> m_conn;
    QString m_path;
    QString m_lastError;
};
