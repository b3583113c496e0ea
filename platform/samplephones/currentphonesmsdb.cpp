#include "platform/samplephones/currentphonesmsdb.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

// The tables as a phone of recent years declares them; most columns are never read.
const char kLayout[]
    = "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
      "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
      "NULL, text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER "
      "DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, "
      "type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, error INTEGER "
      "DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered "
      "INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
      "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT "
      "0, is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER "
      "DEFAULT 0, is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, "
      "has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0, is_forward "
      "INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, is_archive INTEGER DEFAULT 0, "
      "cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, was_data_detected "
      "INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, is_audio_message INTEGER "
      "DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER, item_type INTEGER "
      "DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT, group_action_type "
      "INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction INTEGER DEFAULT "
      "0, is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, "
      "message_action_type INTEGER DEFAULT 0, message_source INTEGER DEFAULT 0, "
      "associated_message_guid TEXT DEFAULT NULL, associated_message_type INTEGER DEFAULT "
      "0, balloon_bundle_id TEXT DEFAULT NULL, payload_data BLOB, "
      "expressive_send_style_id TEXT DEFAULT NULL, associated_message_range_location "
      "INTEGER DEFAULT 0, associated_message_range_length INTEGER DEFAULT 0, "
      "time_expressive_send_played INTEGER DEFAULT 0, message_summary_info BLOB DEFAULT "
      "NULL, ck_sync_state INTEGER DEFAULT 0, ck_record_id TEXT DEFAULT NULL, "
      "ck_record_change_tag TEXT DEFAULT NULL, destination_caller_id TEXT DEFAULT NULL, "
      "is_corrupt INTEGER DEFAULT 0, reply_to_guid TEXT DEFAULT NULL, sort_id INTEGER "
      "DEFAULT 0, is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0, "
      "thread_originator_guid TEXT DEFAULT NULL, thread_originator_part TEXT DEFAULT NULL, "
      "syndication_ranges TEXT DEFAULT NULL, synced_syndication_ranges TEXT DEFAULT NULL, "
      "was_delivered_quietly INTEGER DEFAULT 0, did_notify_recipient INTEGER DEFAULT 0, "
      "date_retracted INTEGER DEFAULT 0, date_edited INTEGER DEFAULT 0, was_detonated "
      "INTEGER DEFAULT 0, part_count INTEGER, is_stewie INTEGER DEFAULT 0, is_kt_verified "
      "INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, is_critical INTEGER DEFAULT 0, "
      "bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL);"
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT "
      "NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, "
      "person_centric_id TEXT, UNIQUE (id, service));"
      "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
      "NULL, style INTEGER, state INTEGER, account_id TEXT, properties BLOB, "
      "chat_identifier TEXT, service_name TEXT, room_name TEXT, account_login TEXT, "
      "is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
      "group_id TEXT, is_filtered INTEGER DEFAULT 0, successful_query INTEGER, engram_id "
      "TEXT, server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id "
      "TEXT, last_read_message_timestamp INTEGER DEFAULT 0, cloudkit_record_id TEXT, "
      "last_addressed_sim_id TEXT, is_blackholed INTEGER DEFAULT 0, syndication_date "
      "INTEGER DEFAULT 0, syndication_type INTEGER DEFAULT 0, is_recovered INTEGER DEFAULT "
      "0, is_deleting_incoming_messages INTEGER DEFAULT 0);"
      "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE "
      "NOT NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename "
      "TEXT, uti TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing "
      "INTEGER DEFAULT 0, user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT "
      "0, is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, attribution_info BLOB, "
      "hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0, "
      "ck_server_change_token_blob BLOB, ck_record_id TEXT, original_guid TEXT UNIQUE NOT "
      "NULL, is_commsafety_sensitive INTEGER DEFAULT 0);"
      "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, "
      "UNIQUE(chat_id, handle_id));"
      "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
      "message_date INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id));"
      "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) "
      "ON DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE "
      "CASCADE, UNIQUE(message_id, attachment_id));"
      "CREATE TABLE deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid "
      "TEXT NOT NULL);"
      "CREATE TABLE kvtable (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, key TEXT "
      "UNIQUE NOT NULL, value BLOB NOT NULL);"
      "CREATE TABLE sync_deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, "
      "guid TEXT NOT NULL, recordID TEXT);"
      "CREATE TABLE sync_deleted_attachments (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, "
      "guid TEXT NOT NULL, recordID TEXT);"
      "CREATE INDEX message_idx_handle ON message(handle_id, date);"
      "CREATE INDEX message_idx_is_read ON message(is_read, is_from_me, is_finished);"
      "CREATE INDEX chat_message_join_idx_message_date_id_chat_id ON "
      "chat_message_join(chat_id, message_date, message_id);"
      "CREATE INDEX message_idx_associated_message ON message(associated_message_guid);"
      // The phone's own functions: a database that calls them cannot be changed unless the
      // program defines stand-ins.
      "CREATE TRIGGER before_delete_on_attachment BEFORE DELETE ON attachment BEGIN SELECT "
      "before_delete_attachment_path(OLD.ROWID, OLD.guid); END;"
      "CREATE TRIGGER after_delete_on_attachment AFTER DELETE ON attachment BEGIN SELECT "
      "delete_attachment_path(OLD.filename); END;"
      "CREATE TRIGGER after_delete_on_message_attachment_join AFTER DELETE ON "
      "message_attachment_join BEGIN DELETE FROM attachment WHERE attachment.ROWID = "
      "OLD.attachment_id AND (SELECT 1 FROM message_attachment_join WHERE attachment_id = "
      "OLD.attachment_id LIMIT 1) IS NULL; END;"
      "CREATE TRIGGER after_delete_on_chat_message_join AFTER DELETE ON chat_message_join "
      "BEGIN DELETE FROM message WHERE ROWID = OLD.message_id AND (SELECT 1 FROM "
      "chat_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL; END;"
      "CREATE TRIGGER add_to_deleted_messages AFTER DELETE ON message BEGIN INSERT INTO "
      "deleted_messages (guid) VALUES (OLD.guid); END;"
      // What a syncing phone hands on as deletions.
      "CREATE TRIGGER add_to_sync_deleted_messages AFTER DELETE ON message BEGIN INSERT INTO "
      "sync_deleted_messages (guid, recordID) VALUES (OLD.guid, OLD.ck_record_id); END;"
      "CREATE TRIGGER add_to_sync_deleted_attachments AFTER DELETE ON attachment BEGIN INSERT "
      "INTO sync_deleted_attachments (guid, recordID) VALUES (OLD.guid, OLD.ck_record_id); "
      "END;"
      "CREATE TRIGGER delete_associated_messages_after_delete_on_message AFTER DELETE ON "
      "message BEGIN DELETE FROM message WHERE (OLD.ROWID IS NOT NULL AND "
      "associated_message_guid IS NOT NULL AND associated_message_guid = OLD.guid); END;"
      "CREATE TRIGGER after_delete_on_chat AFTER DELETE ON chat BEGIN DELETE FROM "
      "chat_message_join WHERE chat_id = OLD.ROWID; END;"
      "CREATE TRIGGER after_delete_on_chat_handle_join AFTER DELETE ON chat_handle_join BEGIN "
      "DELETE FROM handle WHERE handle.ROWID = OLD.handle_id AND (SELECT 1 FROM "
      "chat_handle_join WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL AND (SELECT 1 FROM "
      "message WHERE handle_id = OLD.handle_id LIMIT 1) IS NULL AND (SELECT 1 FROM message "
      "WHERE other_handle = OLD.handle_id LIMIT 1) IS NULL; END;"
      "INSERT INTO _SqliteDatabaseProperties VALUES('_ClientVersion', '17100');";

void returnZero(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

void definePhoneFunctions(Sqlite3DB &db)
{
    const struct
    {
        const char *name;
        int arguments;
    } functions[] = { { "delete_attachment_path", 1 }, { "before_delete_attachment_path", 2 } };
    for (const auto &f : functions) {
        sqlite3_create_function_v2(db.handle(), f.name, f.arguments, SQLITE_ANY, nullptr,
            returnZero, nullptr, nullptr, nullptr);
    }
}

// A typed-stream integer: one byte, or a tag and 2 or 4 little-endian bytes.
QByteArray typedInt(qint64 value)
{
    QByteArray out;
    int width = 0;
    if (value >= 0 && value < 0x80) {
        out.append(char(value));
        return out;
    }
    if (value >= -0x8000 && value < 0x8000) {
        out.append(char(0x81));
        width = 2;
    } else {
        out.append(char(0x82));
        width = 4;
    }
    for (int i = 0; i < width; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

QByteArray className(const char *name)
{
    return QByteArray(1, char(qstrlen(name))) + name;
}

} // namespace

CurrentPhoneSmsDb::CurrentPhoneSmsDb(const QString &dataFolder)
    : m_dataFolder(dataFolder)
    , m_file(smsDbPath(dataFolder), definePhoneFunctions)
{
    m_file.recreate();
    m_file.exec(QLatin1String(kLayout));
}

CurrentPhoneSmsDb::~CurrentPhoneSmsDb() = default;

QString CurrentPhoneSmsDb::smsDbPath(const QString &dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}

Sqlite3DB &CurrentPhoneSmsDb::db()
{
    return m_file.db();
}

void CurrentPhoneSmsDb::close()
{
    m_file.close();
}

qint64 CurrentPhoneSmsDb::addHandle(
    const QString &id, const QString &service, const QString &country)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into handle(id, country, service, uncanonicalized_id, "
                   "person_centric_id) values(?,?,?,?,?)")
            .addTextParam(id)
            .addTextParam(country)
            .addTextParam(service)
            .addTextParam(id)
            .addTextParam(QStringLiteral("pc-") + id));
    return m_file.db().lastInsertId();
}

qint64 CurrentPhoneSmsDb::addChat(const QString &identifier, const QList<qint64> &handles,
    const QString &service, const QString &displayName)
{
    const bool group = handles.size() > 1;
    const QString guid
        = service + (group ? QLatin1String(";+;") : QLatin1String(";-;")) + identifier;
    m_file.db().executeThrow(
        Sqlite3Sql("insert into chat(guid, style, state, account_id, "
                   "chat_identifier, service_name, account_login, display_name, "
                   "group_id, last_read_message_timestamp) "
                   "values(?,?,3,?,?,?,'E:',?,?,?)")
            .addTextParam(guid)
            .addIntParam(group ? 43 : 45)
            .addTextParam(QStringLiteral("ACCOUNT-") + identifier)
            .addTextParam(identifier)
            .addTextParam(service)
            .addTextParam(displayName)
            .addTextParam(QStringLiteral("GROUP-") + identifier)
            .addInt64Param(storedDate(1)));
    const qint64 chat = m_file.db().lastInsertId();
    for (qint64 handle : handles) {
        m_file.db().executeThrow(
            Sqlite3Sql("insert into chat_handle_join(chat_id, handle_id) values(?,?)")
                .addInt64Param(chat)
                .addInt64Param(handle));
    }
    return chat;
}

qint64 CurrentPhoneSmsDb::addMessage(qint64 chat, const Message &m)
{
    const QString guid = m.guid.isEmpty()
        ? QStringLiteral("A0000000-0000-4000-8000-%1").arg(++m_guidCounter, 12, 10, QChar('0'))
        : m.guid;
    const qint64 date = storedDate(m.date);
    Sqlite3Sql sql("insert into message(guid, text, handle_id, attributedBody, version, type, "
                   "service, account, account_guid, date, date_read, date_delivered, "
                   "is_delivered, is_finished, is_from_me, is_read, is_sent, "
                   "destination_caller_id, sort_id, part_count) "
                   "values(?,?,?,?,10,0,?,'e:owner@example.com','ACC-1',?,?,?,1,1,?,?,?,"
                   "'+15550000000',0,1)");
    sql.addTextParam(guid);
    if (m.textInBodyOnly)
        sql.addNullParam();
    else
        sql.addTextParam(m.text);
    sql.addInt64Param(m.handle)
        .addBlobParam(attributedBody(m.text))
        .addTextParam(m.service)
        .addInt64Param(date)
        .addInt64Param(m.fromMe ? 0 : date + 5000000000)
        .addInt64Param(m.fromMe ? date + 2000000000 : 0)
        .addIntParam(m.fromMe ? 1 : 0)
        .addIntParam(m.fromMe ? 0 : 1)
        .addIntParam(m.fromMe ? 1 : 0);
    m_file.db().executeThrow(sql);
    const qint64 message = m_file.db().lastInsertId();
    m_file.db().executeThrow(Sqlite3Sql("insert into chat_message_join(chat_id, message_id, "
                                        "message_date) values(?,?,?)")
                                 .addInt64Param(chat)
                                 .addInt64Param(message)
                                 .addInt64Param(date));
    return message;
}

qint64 CurrentPhoneSmsDb::addAttachment(qint64 message, const QString &name,
    const QString &mimeType, const QByteArray &content, qint32 createdDate)
{
    const QString guid = QStringLiteral("at_%1_%2").arg(message).arg(++m_guidCounter);
    const QString relative = QStringLiteral("Library/SMS/Attachments/%1/%2").arg(guid, name);
    m_file.db().executeThrow(Sqlite3Sql("insert into attachment(guid, created_date, start_date, "
                                        "filename, uti, mime_type, transfer_state, is_outgoing, "
                                        "transfer_name, total_bytes, original_guid) "
                                        "values(?,?,0,?,'public.data',?,5,0,?,?,?)")
                                 .addTextParam(guid)
                                 .addInt64Param(createdDate) // phones keep these in seconds
                                 .addTextParam(QStringLiteral("~/") + relative)
                                 .addTextParam(mimeType)
                                 .addTextParam(name)
                                 .addInt64Param(content.size())
                                 .addTextParam(guid));
    const qint64 attachment = m_file.db().lastInsertId();
    m_file.db().executeThrow(
        Sqlite3Sql("insert into message_attachment_join(message_id, attachment_id) values(?,?)")
            .addInt64Param(message)
            .addInt64Param(attachment));
    m_file.db().executeThrow(Sqlite3Sql("update message set cache_has_attachments=1 where rowid=?")
                                 .addInt64Param(message));

    writeFixtureFile(
        QDir(m_dataFolder).filePath(QStringLiteral("file-relay/var/mobile/") + relative), content);
    return attachment;
}

QByteArray CurrentPhoneSmsDb::attributedBody(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out("\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84", 22);
    out += className("NSAttributedString") + '\0';
    out += QByteArray("\x84\x84", 2) + className("NSObject") + '\0';
    out += QByteArray("\x85\x92\x84\x84\x84", 5) + className("NSString") + '\x01';
    out += QByteArray("\x94\x84\x01+", 4) + typedInt(utf8.size()) + utf8;
    // One attribute run over the whole string: the message part number.
    out += QByteArray("\x86\x84\x02iI\x01", 6) + typedInt(text.size());
    out += QByteArray("\x92\x84\x84\x84", 4) + className("NSDictionary") + '\0';
    out += QByteArray("\x94\x84\x01i\x01\x92\x84\x96\x96", 9)
        + className("__kIMMessagePartAttributeName");
    out += QByteArray("\x86\x92\x84\x84\x84", 5) + className("NSNumber") + '\0';
    out += QByteArray("\x84\x84", 2) + className("NSValue") + '\0';
    out += QByteArray("\x94\x84\x01*\x84\x99\x99\x00\x86\x86\x86", 11);
    return out;
}

qint64 CurrentPhoneSmsDb::storedDate(qint32 date)
{
    return date == 0 ? 0 : qint64(date) * 1000000000 + 123456789;
}
