#include "platform/samplephones/fixturedb.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

FixtureDb::FixtureDb(const QString &path, std::function<void(Sqlite3DB &)> onOpen)
    : m_path(path)
    , m_onOpen(std::move(onOpen))
{
}

FixtureDb::~FixtureDb() = default;

Sqlite3DB &FixtureDb::db()
{
    if (!m_db) {
        m_db = std::make_unique<Sqlite3DB>();
        m_db->openThrow(m_path, 6);
        QString error;
        m_db->exec(QStringLiteral("PRAGMA synchronous=OFF"), error);
        if (m_onOpen)
            m_onOpen(*m_db);
    }
    return *m_db;
}

void FixtureDb::close()
{
    m_db.reset();
}

void FixtureDb::recreate()
{
    close();
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QFile::remove(m_path);
}

void FixtureDb::exec(const QString &sql)
{
    QString error;
    throwFixtureError(!db().exec(sql, error), error);
}

void throwFixtureError(bool failed, const QString &what)
{
    if (failed)
        throw std::runtime_error(what.toStdString());
}

void writeFixtureFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    throwFixtureError(!out.open(QIODevice::WriteOnly) || out.write(content) != content.size(),
        QStringLiteral("cannot write %1").arg(path));
}

qint64 firstInt64(Sqlite3DB &db, const QString &sql)
{
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    return c.moveNext() ? c.getInt64(0) : -1;
}

QVariant firstValue(Sqlite3DB &db, const QString &sql)
{
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    return c.moveNext() ? c.getValue(0) : QVariant();
}
