// The file of a synthetic database that a builder makes: its connection opens (creating the
// file) on demand and skips syncs, since a made-up file need not survive a power cut.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class Sqlite3DB;

class FixtureDb
{
public:
    // onOpen runs on every new connection, e.g. to define SQL functions.
    explicit FixtureDb(const QString &path, std::function<void(Sqlite3DB &)> onOpen = {});
    ~FixtureDb();

    QString path() const { return m_path; }
    Sqlite3DB &db();
    void close();
    // Removes the file and creates its folder.
    void recreate();
    // Runs SQL text of several statements; throws SQLite's message.
    void exec(const QString &sql);

private:
    QString m_path;
    std::function<void(Sqlite3DB &)> m_onOpen;
    std::unique_ptr<Sqlite3DB> m_db;
};

// Throws the text when failed is set.
void throwFixtureError(bool failed, const QString &what);
// Writes a file, creating its folder; throws when it cannot.
void writeFixtureFile(const QString &path, const QByteArray &content);
// The first column of a query's first row: -1, or a null value, when there is no row.
qint64 firstInt64(Sqlite3DB &db, const QString &sql);
QVariant firstValue(Sqlite3DB &db, const QString &sql);
