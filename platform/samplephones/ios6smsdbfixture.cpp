#include "platform/samplephones/ios6smsdbfixture.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

const char kMessageColumnsIos8[]
    = ", is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER "
      "DEFAULT 0, item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title "
      "TEXT, group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, "
      "share_direction INTEGER DEFAULT 0, is_expirable INTEGER DEFAULT 0, expire_state "
      "INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0";
const char kChatColumns[]
    = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
      "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name "
      "TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0, "
      "last_addressed_handle TEXT";
const char kChatColumnsIos8[] = ", display_name TEXT, group_id TEXT";
const char kAttachmentColumns[]
    = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, created_date "
      "INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type "
      "TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0";
const char kAttachmentColumnsIos8[]
    = ", user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0";
const char kRest[]
    = "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT "
      "NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, "
      "service));"
      "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, "
      "UNIQUE(chat_id, handle_id));"
      "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY "
      "(chat_id, message_id));"
      "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON "
      "DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, "
      "UNIQUE(message_id, attachment_id));"
      "CREATE INDEX message_idx_handle ON message(handle_id, date);"
      "CREATE TRIGGER after_delete_on_attachment AFTER DELETE ON attachment BEGIN SELECT "
      "delete_attachment_path(OLD.filename); END;";

} // namespace

const char *const IOS6SmsDbFixture::messageColumns
    = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, replace "
      "INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, "
      "country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, "
      "service TEXT, account TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, "
      "date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, is_finished "
      "INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_empty "
      "INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0, "
      "is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, is_system_message INTEGER "
      "DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
      "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded "
      "INTEGER DEFAULT 0, is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT "
      "0, cache_roomnames TEXT, was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER "
      "DEFAULT 0";

IOS6SmsDbFixture::IOS6SmsDbFixture(const QString &dataFolder, Layout layout)
    : m_dataFolder(dataFolder)
    , m_layout(layout)
    , m_file(smsDbPath(dataFolder))
{
    m_file.recreate();
    const bool ios8 = layout == Ios8;
    const QString ddl
        = QStringLiteral("CREATE TABLE message (%1%2);"
                         "CREATE TABLE chat (%3%4);"
                         "CREATE TABLE attachment (%5%6);%7")
              .arg(QLatin1String(messageColumns), QLatin1String(ios8 ? kMessageColumnsIos8 : ""),
                  QLatin1String(kChatColumns), QLatin1String(ios8 ? kChatColumnsIos8 : ""),
                  QLatin1String(kAttachmentColumns),
                  QLatin1String(ios8 ? kAttachmentColumnsIos8 : ""), QLatin1String(kRest));
    m_file.exec(ddl);
}

IOS6SmsDbFixture::~IOS6SmsDbFixture() = default;

QString IOS6SmsDbFixture::smsDbPath(const QString &dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}

QString IOS6SmsDbFixture::path() const
{
    return smsDbPath(m_dataFolder);
}

Sqlite3DB &IOS6SmsDbFixture::db()
{
    return m_file.db();
}

void IOS6SmsDbFixture::close()
{
    m_file.close();
}

qint64 IOS6SmsDbFixture::addHandle(
    const QString &id, const QString &service, const QString &country)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into handle(id, country, service, uncanonicalized_id) values(?,?,?,?)")
            .addTextParam(id)
            .addTextParam(country)
            .addTextParam(service)
            .addTextParam(id));
    return m_file.db().lastInsertId();
}

qint64 IOS6SmsDbFixture::addChat(const QString &guid, const QString &identifier,
    const QString &service, int style, const QString &displayName)
{
    Sqlite3Row row;
    row.setValue(QStringLiteral("guid"), guid);
    row.setValue(QStringLiteral("style"), style);
    row.setValue(QStringLiteral("state"), 3);
    row.setValue(QStringLiteral("chat_identifier"), identifier);
    row.setValue(QStringLiteral("service_name"), service);
    row.setValue(QStringLiteral("account_login"), QStringLiteral("E:"));
    if (m_layout == Ios8 && !displayName.isEmpty())
        row.setValue(QStringLiteral("display_name"), displayName);
    m_file.db().executeThrow(row.insertSql(QStringLiteral("chat")));
    return m_file.db().lastInsertId();
}

void IOS6SmsDbFixture::joinChatHandle(qint64 chat, qint64 handle)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into chat_handle_join(chat_id, handle_id) values(?,?)")
            .addInt64Param(chat)
            .addInt64Param(handle));
}

qint64 IOS6SmsDbFixture::addMessage(const Message &m)
{
    Sqlite3Sql sql;
    if (m_layout == Ios8) {
        sql = Sqlite3Sql("insert into message(guid, text, handle_id, date, is_from_me, service, "
                         "version, item_type, other_handle, group_title) "
                         "values(?,?,?,?,?,?,10,?,?,?)");
    } else {
        sql = Sqlite3Sql("insert into message(guid, text, handle_id, date, is_from_me, service, "
                         "version) values(?,?,?,?,?,?,10)");
    }
    sql.addTextParam(m.guid)
        .addTextParam(m.text)
        .addInt64Param(m.handle)
        .addIntParam(m.date)
        .addIntParam(m.isFromMe)
        .addTextParam(m.service);
    if (m_layout == Ios8)
        sql.addIntParam(m.itemType).addInt64Param(m.otherHandle).addTextParam(m.groupTitle);
    m_file.db().executeThrow(sql);
    return m_file.db().lastInsertId();
}

void IOS6SmsDbFixture::joinChatMessage(qint64 chat, qint64 message)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into chat_message_join(chat_id, message_id) values(?,?)")
            .addInt64Param(chat)
            .addInt64Param(message));
}

qint64 IOS6SmsDbFixture::addAttachment(
    const QString &guid, const QString &filename, const QString &mimeType)
{
    m_file.db().executeThrow(Sqlite3Sql("insert into attachment(guid, filename, mime_type, "
                                        "transfer_state) values(?,?,?,5)")
                                 .addTextParam(guid)
                                 .addTextParam(filename)
                                 .addTextParam(mimeType));
    return m_file.db().lastInsertId();
}

void IOS6SmsDbFixture::joinMessageAttachment(qint64 message, qint64 attachment)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into message_attachment_join(message_id, attachment_id) values(?,?)")
            .addInt64Param(message)
            .addInt64Param(attachment));
}

void IOS6SmsDbFixture::writeFile(const QString &relativePath, const QByteArray &content) const
{
    writeFixtureFile(
        QDir(m_dataFolder).filePath(QStringLiteral("file-relay/") + relativePath), content);
}
