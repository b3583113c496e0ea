#include "itunescachemanifestdb.h"

#include <QFile>
#include <QFileInfo>
#include <stdexcept>

ITunesCacheManifestDb::ITunesCacheManifestDb(const QString &path)
    : m_path(path)
{
}

ITunesCacheManifestDb::~ITunesCacheManifestDb()
{
    commit();
}

void ITunesCacheManifestDb::open()
{
    if (m_db.isOpen())
        return;
    if (QFileInfo::exists(m_path))
        m_db.openThrow(m_path, Sqlite3DB::ReadWrite);
    else
        createSchema();
    m_db.beginTran();
}

void ITunesCacheManifestDb::createSchema()
{
    m_db.openThrow(m_path, Sqlite3DB::ReadWrite | Sqlite3DB::Create);
    QFile script(QStringLiteral(":res/cache_db.sql"));
    QString error;
    if (!script.open(QIODevice::ReadOnly))
        error = script.errorString();
    else if (!m_db.exec(QString::fromUtf8(script.readAll()), error) && error.isEmpty())
        error = m_db.lastError();
    if (error.isEmpty())
        return;
    // A file without the table would make every later look-up fail.
    m_db.close();
    QFile::remove(m_path);
    throw std::runtime_error(error.toUtf8().toStdString());
}

qint64 ITunesCacheManifestDb::lastDate(const QString &fileId, bool *found)
{
    if (found)
        *found = false;
    try {
        open();
        // File ids are hexadecimal: equality on the lower-case form is the case-blind match,
        // and unlike "like" it uses the key's index.
        Sqlite3Cursor c
            = m_db.queryThrow(Sqlite3Sql("select last_date from manifest where file_name=?")
                                  .addTextParam(fileId.toLower()));
        if (!c.moveNext())
            return 0;
        if (found)
            *found = true;
        return c.getInt64(0);
    } catch (const std::exception &) {
        return 0;
    }
}

void ITunesCacheManifestDb::setLastDate(const QString &fileId, qint64 date)
{
    bool found = false;
    const qint64 old = lastDate(fileId, &found);
    if (found && old == date)
        return;
    try {
        if (!found)
            m_db.executeThrow(Sqlite3Sql("insert into manifest(file_name,last_date) values(?,?)")
                                  .addTextParam(fileId.toLower())
                                  .addInt64Param(date));
        else
            m_db.executeThrow(Sqlite3Sql("update manifest set last_date=? where file_name=?")
                                  .addInt64Param(date)
                                  .addTextParam(fileId.toLower()));
    } catch (const std::exception &) {
    }
}

void ITunesCacheManifestDb::remove(const QString &fileId)
{
    try {
        open();
        m_db.executeThrow(
            Sqlite3Sql("delete from manifest where file_name=?").addTextParam(fileId.toLower()));
    } catch (const std::exception &) {
    }
}

void ITunesCacheManifestDb::commit()
{
    if (!m_db.isOpen())
        return;
    m_db.commitTran();
    m_db.close();
}

void ITunesCacheManifestDb::discard()
{
    if (!m_db.isOpen())
        return;
    m_db.rollbackTran();
    m_db.close();
}
