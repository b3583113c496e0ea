#include "support/legacymmsdbfixture.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>

LegacyMmsDbFixture::LegacyMmsDbFixture(const QString &folder)
    : m_folder(folder)
    , m_file(QDir(folder).filePath(QStringLiteral("mms.db")))
{
    m_file.recreate();
    m_file.exec(QStringLiteral(
        "CREATE TABLE handle (rowid INTEGER PRIMARY KEY, address TEXT, person TEXT);"
        "CREATE TABLE message (rowid INTEGER PRIMARY KEY, handle_id INTEGER, body TEXT, "
        "subject TEXT, date INTEGER, is_send INTEGER);"
        "CREATE TABLE attachment (rowid INTEGER PRIMARY KEY, filename TEXT, mime_type TEXT);"
        "CREATE TABLE message_attachment (message_id INTEGER, attachment_id INTEGER);"));
}

qint64 LegacyMmsDbFixture::addHandle(const QString &address, const QString &person)
{
    m_file.db().executeThrow(Sqlite3Sql("insert into handle(address, person) values(?,?)")
                                 .addTextParam(address)
                                 .addTextParam(person));
    return m_file.db().lastInsertId();
}

qint64 LegacyMmsDbFixture::addMessage(
    qint64 handle, const QString &body, qint64 unixDate, bool sent, const QString &subject)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into message(handle_id, body, subject, date, is_send) values(?,?,?,?,?)")
            .addInt64Param(handle)
            .addTextParam(body)
            .addTextParam(subject)
            .addInt64Param(unixDate)
            .addIntParam(sent ? 1 : 0));
    return m_file.db().lastInsertId();
}

qint64 LegacyMmsDbFixture::addAttachment(
    qint64 message, const QString &filename, const QString &mimeType, const QByteArray &content)
{
    Sqlite3DB &db = m_file.db();
    db.executeThrow(Sqlite3Sql("insert into attachment(filename, mime_type) values(?,?)")
                        .addTextParam(filename)
                        .addTextParam(mimeType));
    const qint64 attachment = db.lastInsertId();
    db.executeThrow(
        Sqlite3Sql("insert into message_attachment(message_id, attachment_id) values(?,?)")
            .addInt64Param(message)
            .addInt64Param(attachment));
    if (!content.isNull())
        writeFixtureFile(
            QDir(m_folder).filePath(QStringLiteral("attachments/") + filename), content);
    return attachment;
}
