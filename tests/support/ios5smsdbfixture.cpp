#include "support/ios5smsdbfixture.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <cstdlib>
#include <stdexcept>

namespace {

const char kMessageTable[]
    = "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date "
      "INTEGER, text TEXT, flags INTEGER, replace INTEGER, svc_center TEXT, group_id INTEGER, "
      "association_id INTEGER, height INTEGER, UIFlags INTEGER, version INTEGER, subject TEXT, "
      "country TEXT, headers BLOB, recipients BLOB, read INTEGER, madrid_attributedBody BLOB, "
      "madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT, madrid_type INTEGER, "
      "madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, madrid_account_guid "
      "TEXT, madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error "
      "INTEGER, is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER);"
      "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, "
      "newest_message INTEGER, unread_count INTEGER, hash INTEGER);"
      "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, "
      "address TEXT, country TEXT);"
      // The device's triggers call read(); the reader must register it to use the file.
      "CREATE TRIGGER update_unread AFTER UPDATE OF flags ON message WHEN read(new.flags) "
      "BEGIN UPDATE msg_group SET unread_count = 0 WHERE ROWID = new.group_id; END;";
const char kPiecesTable[]
    = "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, "
      "data BLOB, part_id INTEGER, preview_part INTEGER, content_type TEXT, height INTEGER, "
      "version INTEGER, flags INTEGER, content_id TEXT, content_loc TEXT, headers BLOB);";
const char kMadridChatTable[]
    = "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, style INTEGER, "
      "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name "
      "TEXT, guid TEXT, room_name TEXT, account_login TEXT, participants BLOB);";
const char kMadridAttachmentTable[]
    = "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
      "attachment_guid TEXT, created_date INTEGER, start_date INTEGER, filename TEXT, uti_type "
      "TEXT, mime_type TEXT, transfer_state INTEGER, is_incoming INTEGER, message_id INTEGER);";

} // namespace

IOS5SmsDbFixture::IOS5SmsDbFixture(const QString &dataFolder, int tables)
    : m_dataFolder(dataFolder)
    , m_file(smsDbPath(dataFolder))
{
    m_file.recreate();
    QString ddl = QLatin1String(kMessageTable);
    if (tables & MsgPieces)
        ddl += QLatin1String(kPiecesTable);
    if (tables & MadridChat)
        ddl += QLatin1String(kMadridChatTable);
    if (tables & MadridAttachment)
        ddl += QLatin1String(kMadridAttachmentTable);
    m_file.exec(ddl);
}

IOS5SmsDbFixture::~IOS5SmsDbFixture() = default;

QString IOS5SmsDbFixture::smsDbPath(const QString &dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}

QString IOS5SmsDbFixture::path() const
{
    return smsDbPath(m_dataFolder);
}

QString IOS5SmsDbFixture::relayFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("file-relay"));
}

Sqlite3DB &IOS5SmsDbFixture::db()
{
    return m_file.db();
}

void IOS5SmsDbFixture::close()
{
    m_file.close();
}

qint64 IOS5SmsDbFixture::addGroup(qint64 hash)
{
    m_file.db().executeThrow(Sqlite3Sql("insert into msg_group(type, newest_message, unread_count, "
                                        "hash) values(0,0,0,?)")
                                 .addInt64Param(hash));
    return m_file.db().lastInsertId();
}

qint64 IOS5SmsDbFixture::addMember(qint64 group, const QString &address, const QString &country)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into group_member(group_id, address, country) values(?,?,?)")
            .addInt64Param(group)
            .addTextParam(address)
            .addTextParam(country));
    return m_file.db().lastInsertId();
}

qint64 IOS5SmsDbFixture::addSms(const Sms &sms)
{
    m_file.db().executeThrow(Sqlite3Sql("insert into message(address, date, text, flags, replace, "
                                        "group_id, version, subject, country, read, is_madrid) "
                                        "values(?,?,?,?,0,?,0,?,?,1,0)")
                                 .addTextParam(sms.address)
                                 .addInt64Param(sms.date)
                                 .addTextParam(sms.text)
                                 .addIntParam(sms.flags)
                                 .addInt64Param(sms.group)
                                 .addTextParam(sms.subject)
                                 .addTextParam(sms.country));
    const qint64 rowid = m_file.db().lastInsertId();
    if (sms.group != 0)
        setNewestMessage(sms.group, rowid);
    return rowid;
}

void IOS5SmsDbFixture::setNewestMessage(qint64 group, qint64 message)
{
    m_file.db().executeThrow(Sqlite3Sql("update msg_group set newest_message=? where rowid=?")
                                 .addInt64Param(message)
                                 .addInt64Param(group));
}

qint64 IOS5SmsDbFixture::addPiece(qint64 message, int partId, const QString &contentType,
    const QString &contentLoc, const QByteArray &data)
{
    Sqlite3Sql sql("insert into msg_pieces(message_id, data, part_id, content_type, "
                   "content_loc) values(?,?,?,?,?)");
    sql.addInt64Param(message);
    if (data.isNull())
        sql.addNullParam();
    else
        sql.addBlobParam(data);
    sql.addIntParam(partId).addTextParam(contentType).addTextParam(contentLoc);
    m_file.db().executeThrow(sql);
    return m_file.db().lastInsertId();
}

QByteArray IOS5SmsDbFixture::participantsPlist(const QStringList &addresses, bool binary)
{
    plist_t array = plist_new_array();
    for (const QString &address : addresses)
        plist_array_append_item(array, plist_new_string(address.toUtf8().constData()));
    char *bytes = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(array, &bytes, &length);
    else
        plist_to_xml(array, &bytes, &length);
    plist_free(array);
    const QByteArray result(bytes, static_cast<int>(length));
    std::free(bytes);
    return result;
}

qint64 IOS5SmsDbFixture::addMadridChat(const QString &identifier, const QByteArray &participants,
    int style, int state, const QString &accountId, const QString &accountLogin)
{
    m_file.db().executeThrow(Sqlite3Sql("insert into madrid_chat(style, state, account_id, "
                                        "chat_identifier, service_name, guid, account_login, "
                                        "participants) values(?,?,?,?,'Madrid',?,?,?)")
                                 .addIntParam(style)
                                 .addIntParam(state)
                                 .addTextParam(accountId)
                                 .addTextParam(identifier)
                                 .addTextParam(QStringLiteral("iMessage;-;") + identifier)
                                 .addTextParam(accountLogin)
                                 .addBlobParam(participants));
    return m_file.db().lastInsertId();
}

qint64 IOS5SmsDbFixture::addIMessage(const IMessage &m)
{
    Sqlite3Sql sql("insert into message(date, text, flags, group_id, madrid_guid, madrid_handle, "
                   "madrid_roomname, madrid_account, madrid_account_guid, madrid_error, "
                   "madrid_date_read, madrid_date_delivered, madrid_attachmentInfo, "
                   "madrid_attributedBody, is_madrid) values(?,?,0,0,?,?,?,?,?,?,?,?,?,?,1)");
    sql.addIntParam(m.date).addTextParam(m.text).addTextParam(m.guid).addTextParam(m.handle);
    if (m.roomName.isEmpty())
        sql.addNullParam();
    else
        sql.addTextParam(m.roomName);
    sql.addTextParam(m.account)
        .addTextParam(m.accountGuid)
        .addIntParam(m.error)
        .addIntParam(m.dateRead)
        .addIntParam(m.dateDelivered)
        .addBlobParam(m.attachmentInfo)
        .addBlobParam(m.attributedBody);
    m_file.db().executeThrow(sql);
    return m_file.db().lastInsertId();
}

qint64 IOS5SmsDbFixture::addMadridAttachment(
    const QString &guid, const QString &filename, const QString &mimeType, int isIncoming)
{
    m_file.db().executeThrow(
        Sqlite3Sql("insert into madrid_attachment(attachment_guid, created_date, "
                   "start_date, filename, uti_type, mime_type, transfer_state, "
                   "is_incoming) values(?,1000,0,?,'public.jpeg',?,5,?)")
            .addTextParam(guid)
            .addTextParam(filename)
            .addTextParam(mimeType)
            .addIntParam(isIncoming));
    return m_file.db().lastInsertId();
}

void IOS5SmsDbFixture::writeFile(const QString &relativePath, const QByteArray &content) const
{
    writeFixtureFile(QDir(relayFolder()).filePath(relativePath), content);
}
