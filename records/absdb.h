// Base classes of the program's SQLite databases and the message database interface that
// tree nodes and workers use. Every operation opens the file lazily through open().
#pragma once

#include "records/msgrecords.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <type_traits>

// Creates a database file at `path` by running `script` into a temporary file beside it and
// renaming that into place, so that a failure leaves no file behind. False with the reason
// in `error`.
bool createDatabaseFile(const QString &path, const QString &script, QString &error);

class AbsDb : public Sqlite3DB
{
public:
    AbsDb() = default;
    ~AbsDb() override;

    // Opens the file and registers the class's SQL functions; returns at once when open.
    virtual void open() = 0;

    // Throws the wrapper's error text when the transaction cannot begin.
    void beginTransaction();
    // Commits or rolls back the transaction begun here; false when none was begun. A
    // commit that fails is rolled back and thrown with the wrapper's error text.
    bool endTransaction(bool commit);

    // Runs work so that all of its changes land or none do, also when the process dies
    // part-way: inside a savepoint, which nests in a caller's transaction as well. An
    // exception undoes the savepoint's changes and goes on to the caller.
    template <typename Work> auto atomically(Work work) -> decltype(work());

    qint64 insertRow(const Sqlite3Row &row, const QString &table,
        const QSet<QString> &exclude = QSet<QString>());
    QList<Sqlite3Row> selectAll(const QString &table);

    // openThrow without SQLite's lock around every call, for the message databases: an
    // object is used by one thread at a time, and the lock costs a sixth of loading a file.
    void openForOneThread(const QString &path, int flags);

    bool inTransaction = false;

private:
    // True when the savepoint began a transaction of its own.
    bool beginSavepoint();
    void releaseSavepoint();
    void rollbackSavepoint(bool outermost) noexcept;
};

template <typename Work> auto AbsDb::atomically(Work work) -> decltype(work())
{
    open();
    const bool outermost = beginSavepoint();
    try {
        if constexpr (std::is_void<decltype(work())>::value) {
            work();
            releaseSavepoint();
        } else {
            auto result = work();
            releaseSavepoint();
            return result;
        }
    } catch (...) {
        rollbackSavepoint(outermost);
        throw;
    }
}

class AbsMessageDb : public AbsDb
{
public:
    ~AbsMessageDb() override;

    // Loads all chats with their handles and contact names into the set.
    virtual void chats(QSharedPointer<MsgMessageSet> &set) = 0;
    // Loads the messages of one chat, or of all chats for 0, with their attachments.
    virtual void messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId) = 0;
};

class AbsIOSMessageDb : public AbsMessageDb
{
public:
    ~AbsIOSMessageDb() override;

    // The sms.db generation the class handles: 5 or 6.
    virtual int version() = 0;

    // 6 when the file has the iOS 6+ tables, else 5; throws when it cannot be read.
    static int smsDbVersion(const QString &path);

    bool hasTable(const QString &table) const { return tableSql.contains(table); }
    // True when the cached CREATE statement of `table` contains `probe`: optional columns
    // of a device layout are told apart this way.
    bool tableHas(const QString &table, const QString &probe, Qt::CaseSensitivity cs) const;
    // The CREATE statement of a table as cached by open(); empty when absent.
    QString createSql(const QString &table) const { return tableSql.value(table); }

protected:
    // Caches the CREATE statement of every table; open() calls it.
    void loadTableSql();

    QHash<QString, QString> tableSql;
};
