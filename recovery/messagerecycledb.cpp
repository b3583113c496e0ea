#include "recovery/messagerecycledb.h"

#include "records/absdb.h"
#include "records/msgidentity.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <limits>
#include <memory>
#include <stdexcept>

namespace {

const char *const kLayout
    = "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
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
      "INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, chat_identifier TEXT, handle "
      "TEXT, src_rowid INTEGER, is_skip INTEGER NOT NULL DEFAULT 0);"
      "CREATE INDEX message_idx_chat_identifier on message(is_skip, chat_identifier, date);"
      "CREATE INDEX message_idx_chat_date on message(date);"
      "CREATE INDEX message_idx_handle_id on message(handle_id);"
      "CREATE INDEX message_idx_src_rowid on message(src_rowid);"
      "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
      "style INTEGER, state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, "
      "service_name TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0, "
      "last_addressed_handle TEXT, display_name TEXT, src_rowid INTEGER);"
      "CREATE INDEX chat_idx_identifier ON chat(chat_identifier);"
      "CREATE INDEX chat_idx_src_rowid ON chat(src_rowid);"
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, "
      "country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, src_rowid INTEGER, "
      "UNIQUE (id, service));"
      "CREATE INDEX handle_idx_src_rowid ON handle(src_rowid);";

bool isGuid(const QString &text)
{
    static const QRegularExpression rx(QStringLiteral(
        "^[a-zA-Z0-9]{8}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{12}$"));
    return rx.match(text).hasMatch();
}

bool isIMessage(const QString &service)
{
    return service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

// -value - base. A carved handle_id may hold anything, so the key saturates instead of
// overflowing.
qint64 recycledKey(qint64 value, qint64 base)
{
    qint64 negated = 0;
    qint64 key = 0;
    if (__builtin_sub_overflow(qint64(0), value, &negated)
        || __builtin_sub_overflow(negated, base, &key))
        return value > 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    return key;
}

// Keys made for recovered conversations can coincide (two conversations with the same
// handle_id); the set owns one record per key, so a later record moves to the next free key
// below, which stays in the range that marks recovered chats.
qint64 freeChatKey(const MsgMessageSet &set, qint64 key)
{
    while ((set.chatMap.contains(key) || set.handleMap.contains(key))
        && key > std::numeric_limits<qint64>::min())
        --key;
    return key;
}

_MsgHandle *addHandle(
    MsgMessageSet &set, qint64 key, const QString &service, const QString &address)
{
    auto handle = std::make_unique<_MsgHandle>();
    handle->rowid = key;
    handle->service = service;
    handle->id = address;
    _MsgHandle *raw = handle.get();
    set.handleMap.insert(key, handle.release());
    return raw;
}

} // namespace

MessageRecycleDb::MessageRecycleDb(const QString &path)
    : m_path(path)
{
}

MessageRecycleDb::~MessageRecycleDb() = default;

void MessageRecycleDb::open()
{
    if (isOpen())
        return;
    if (!QFileInfo::exists(m_path)) {
        QString error;
        if (!createDatabaseFile(m_path, QString::fromLatin1(kLayout), error))
            throw std::runtime_error(
                QStringLiteral("create MessageRecycleDb error. %1").arg(error).toStdString());
    }
    openThrow(m_path, ReadWrite);
}

qint64 MessageRecycleDb::insertHandle(const _MsgHandle &handle, qint64 srcRowid)
{
    open();
    Sqlite3Row row;
    row.setValue(QStringLiteral("id"), handle.id);
    row.setValue(QStringLiteral("country"), handle.country);
    row.setValue(QStringLiteral("service"), handle.service);
    row.setValue(QStringLiteral("uncanonicalized_id"), handle.uncanonicalized_id);
    if (srcRowid > 0)
        row.setValue(QStringLiteral("src_rowid"), srcRowid);
    return insertRow(row, QStringLiteral("handle"));
}

qint64 MessageRecycleDb::findHandle(const _MsgHandle &handle)
{
    open();
    Sqlite3Sql sql("select rowid from handle where id=? and service=?");
    sql.addTextParam(handle.id).addTextParam(handle.service);
    Sqlite3Cursor cursor = queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(QStringLiteral("rowid")) : 0;
}

qint64 MessageRecycleDb::insertMessage(
    const _MsgMessage &m, const QString &chatIdentifier, const QString &handleText, qint64 srcRowid)
{
    open();
    // One statement text for every insert: the optional columns, which have no default, are
    // bound as NULL when empty, which is what leaving them out gives. Scans insert thousands
    // of rows, and the wrapper reuses the prepared statement of an equal text.
    static const char *const columns[] = { "guid", "text", "replace", "service_center",
        "handle_id", "subject", "country", "attributedBody", "version", "type", "service",
        "account", "account_guid", "error", "date", "date_read", "date_delivered",
        "is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty", "is_delayed",
        "is_auto_reply", "is_prepared", "is_read", "is_system_message", "is_sent",
        "has_dd_results", "is_service_message", "is_forward", "was_downgraded", "is_archive",
        "cache_has_attachments", "cache_roomnames", "was_data_detected", "was_deduplicated",
        "chat_identifier", "handle", "src_rowid" };
    static const QString text = [] {
        QStringList names;
        QStringList marks;
        for (const char *c : columns) {
            names.append(QLatin1String(c));
            marks.append(QStringLiteral("?"));
        }
        return QStringLiteral("insert into message(%1) values(%2)")
            .arg(names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    }();
    auto optionalText = [](const QString &value) {
        return value.isEmpty() ? QVariant() : QVariant(value);
    };

    Sqlite3Sql sql(text);
    sql.addTextParam(isGuid(m.guid) ? m.guid : makeGuid())
        .addTextParam(m.text)
        .addIntParam(m.replace)
        .addParam(optionalText(m.service_center))
        .addInt64Param(m.handle_id)
        .addParam(optionalText(m.subject))
        .addParam(optionalText(m.country))
        .addParam(m.attributedBody.isEmpty() ? QVariant() : QVariant(m.attributedBody))
        .addIntParam(m.version)
        .addIntParam(m.type)
        .addTextParam(m.service)
        .addTextParam(m.account)
        .addTextParam(m.account_guid)
        .addIntParam(m.error)
        .addIntParam(m.date)
        .addIntParam(m.date_read)
        .addIntParam(m.date_delivered);
    for (const qint32 flag : { m.is_delivered, m.is_finished, m.is_emote, m.is_from_me,
             m.is_empty, m.is_delayed, m.is_auto_reply, m.is_prepared, m.is_read,
             m.is_system_message, m.is_sent, m.has_dd_results, m.is_service_message,
             m.is_forward, m.was_downgraded, m.is_archive })
        sql.addIntParam(flag);
    sql.addIntParam(m.sortedAttachments().isEmpty() ? 0 : 1)
        .addTextParam(m.cache_roomnames)
        .addIntParam(m.was_data_detected)
        .addIntParam(m.was_deduplicated)
        .addTextParam(chatIdentifier)
        .addTextParam(handleText)
        .addParam(srcRowid > 0 ? QVariant(srcRowid) : QVariant());
    executeThrow(sql);
    return lastInsertId();
}

qint64 MessageRecycleDb::findMessage(const _MsgMessage &message)
{
    open();
    Sqlite3Sql sql(
        "select rowid from message where guid=? or (date=? and is_from_me=? and text=?)");
    sql.addTextParam(message.guid)
        .addIntParam(message.date)
        .addIntParam(message.is_from_me)
        .addTextParam(message.text);
    Sqlite3Cursor cursor = queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(QStringLiteral("rowid")) : 0;
}

void MessageRecycleDb::setMessageNumber(
    const _MsgMessage &message, const QString &chatIdentifier, const QString &handleText)
{
    const qint64 rowid = findMessage(message);
    if (rowid == 0)
        return;
    Sqlite3Sql sql("update message set chat_identifier=?, handle=? where rowid=?");
    sql.addTextParam(chatIdentifier).addTextParam(handleText).addInt64Param(rowid);
    executeThrow(sql);
}

_MsgHandle MessageRecycleDb::handleBySrcRowid(qint64 srcRowid)
{
    open();
    Sqlite3Cursor cursor
        = queryThrow(QStringLiteral("select * from handle where src_rowid=%1").arg(srcRowid));
    _MsgHandle handle;
    if (cursor.moveNext()) {
        handle.rowid = cursor.getInt64(QStringLiteral("src_rowid"));
        handle.id = cursor.getText(QStringLiteral("id"));
        handle.service = cursor.getText(QStringLiteral("service"));
        handle.uncanonicalized_id = cursor.getText(QStringLiteral("uncanonicalized_id"));
    }
    return handle;
}

QList<_MsgHandle> MessageRecycleDb::loadHandles()
{
    open();
    QList<_MsgHandle> handles;
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select * from handle"));
    const int rowid = cursor.columnIndex(QStringLiteral("rowid"));
    const int id = cursor.columnIndex(QStringLiteral("id"));
    const int service = cursor.columnIndex(QStringLiteral("service"));
    const int uncanonicalized = cursor.columnIndex(QStringLiteral("uncanonicalized_id"));
    while (cursor.moveNext()) {
        _MsgHandle handle;
        handle.rowid = cursor.getInt64(rowid);
        handle.id = cursor.getText(id);
        handle.service = cursor.getText(service);
        handle.uncanonicalized_id = cursor.getText(uncanonicalized);
        handles.append(handle);
    }
    return handles;
}

QList<ExtMsgRecord> MessageRecycleDb::loadMessages()
{
    open();
    QList<ExtMsgRecord> records;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from message where is_skip=0"));
    auto col = [&c](const char *name) { return c.columnIndex(QLatin1String(name)); };
    const int rowid = col("rowid"), guid = col("guid"), text = col("text"),
              replace = col("replace"), serviceCenter = col("service_center"),
              handleId = col("handle_id"), subject = col("subject"), country = col("country"),
              body = col("attributedBody"), version = col("version"), type = col("type"),
              service = col("service"), account = col("account"), accountGuid = col("account_guid"),
              error = col("error"), date = col("date"), dateRead = col("date_read"),
              dateDelivered = col("date_delivered"), roomnames = col("cache_roomnames"),
              dataDetected = col("was_data_detected"), deduplicated = col("was_deduplicated"),
              chatIdentifier = col("chat_identifier"), handle = col("handle");
    static const char *const flagNames[] = { "is_delivered", "is_finished", "is_emote",
        "is_from_me", "is_empty", "is_delayed", "is_auto_reply", "is_prepared", "is_read",
        "is_system_message", "is_sent", "has_dd_results", "is_service_message", "is_forward",
        "was_downgraded", "is_archive", "cache_has_attachments" };
    const int flagCount = int(sizeof(flagNames) / sizeof(flagNames[0]));
    int flags[flagCount];
    for (int i = 0; i < flagCount; ++i)
        flags[i] = col(flagNames[i]);

    while (c.moveNext()) {
        ExtMsgRecord r;
        _MsgMessage &m = r.message;
        m.rowid = recycledKey(c.getInt64(rowid), MessageKeyBase);
        m.guid = c.getText(guid);
        m.text = c.getText(text);
        m.replace = c.getInt(replace);
        m.service_center = c.getText(serviceCenter);
        m.handle_id = c.getInt64(handleId);
        m.subject = c.getText(subject);
        m.country = c.getText(country);
        m.attributedBody = c.getBlob(body);
        m.version = c.getInt(version);
        m.type = c.getInt(type);
        m.service = c.getText(service);
        m.account = c.getText(account);
        m.account_guid = c.getText(accountGuid);
        m.error = c.getInt(error);
        m.date = c.getInt(date);
        m.date_read = c.getInt(dateRead);
        m.date_delivered = c.getInt(dateDelivered);
        qint32 *const flagFields[] = { &m.is_delivered, &m.is_finished, &m.is_emote, &m.is_from_me,
            &m.is_empty, &m.is_delayed, &m.is_auto_reply, &m.is_prepared, &m.is_read,
            &m.is_system_message, &m.is_sent, &m.has_dd_results, &m.is_service_message,
            &m.is_forward, &m.was_downgraded, &m.is_archive, &m.cache_has_attachments };
        for (int i = 0; i < flagCount; ++i)
            *flagFields[i] = c.getInt(flags[i]);
        m.cache_roomnames = c.getText(roomnames);
        m.was_data_detected = c.getInt(dataDetected);
        m.was_deduplicated = c.getInt(deduplicated);
        m.isDeleted = true;
        r.chat_identifier = c.getText(chatIdentifier);
        r.handle = c.getText(handle);
        records.append(r);
    }
    return records;
}

_MsgChat *MessageRecycleDb::chatForHandle(
    const QSharedPointer<MsgMessageSet> &set, qint64 key, const QString &address)
{
    MsgMessageSet &s = *set;
    key = freeChatKey(s, key);
    auto chat = std::make_unique<_MsgChat>();
    chat->rowid = key;
    chat->last = 0;
    chat->style = 45;
    chat->state = 3;
    chat->guid = QStringLiteral("SMS;-;%1").arg(address);
    chat->chat_identifier = address;
    chat->service_name = QStringLiteral("SMS");
    chat->account_login = QStringLiteral("E:");
    _MsgChat *raw = chat.get();
    s.chatMap.insert(key, chat.release());
    raw->handles.insert(address, addHandle(s, key, QStringLiteral("SMS"), address));
    return raw;
}

void MessageRecycleDb::buildChats(
    const QSharedPointer<MsgMessageSet> &set, const QList<ExtMsgRecord> &records)
{
    MsgMessageSet &s = *set;
    QHash<QString, _MsgChat *> iMessageChats;
    QHash<QString, _MsgChat *> otherChats;
    for (_MsgChat *chat : qAsConst(s.chatMap)) {
        if (isIMessage(chat->service_name))
            iMessageChats.insert(chat->chat_identifier, chat);
        else
            otherChats.insert(chat->chat_identifier, chat);
    }

    for (const ExtMsgRecord &r : records) {
        const qint64 key = r.message.rowid;
        if (s.messageMap.contains(key))
            continue;
        auto owned = std::make_unique<_MsgMessage>(r.message);
        _MsgMessage *m = owned.get();
        m->srcRowid = recycledKey(key, 0);
        s.messageMap.insert(key, owned.release());

        const QString &address = r.chat_identifier;
        _MsgChat *chat = nullptr;
        if (!address.isEmpty()) {
            if (!isIMessage(m->service)) {
                chat = otherChats.value(address);
                if (!chat) {
                    chat = chatForHandle(set, recycledKey(m->handle_id, KnownChatKeyBase), address);
                    otherChats.insert(address, chat);
                }
            } else {
                chat = iMessageChats.value(address);
                if (!chat) {
                    const QString accountId = isGuid(m->account_guid)
                        ? m->account_guid
                        : makeGuidFromData(address.toUtf8());
                    const qint64 chatKey
                        = freeChatKey(s, recycledKey(m->handle_id, KnownChatKeyBase));
                    auto newChat = std::make_unique<_MsgChat>();
                    newChat->rowid = chatKey;
                    newChat->guid = QStringLiteral("iMessage;-;%1").arg(address);
                    newChat->style = 45;
                    newChat->state = 3;
                    newChat->last = 0;
                    newChat->chat_identifier = address;
                    newChat->service_name = QStringLiteral("iMessage");
                    newChat->account_id = accountId;
                    newChat->account_login = m->account;
                    chat = newChat.get();
                    s.chatMap.insert(chatKey, newChat.release());
                    chat->handles.insert(
                        address, addHandle(s, chatKey, QStringLiteral("iMessage"), address));
                    iMessageChats.insert(address, chat);
                }
            }
            if (chat->handles.size() == 1) {
                m->handle = chat->handles.first();
            } else if (chat->handles.size() > 1) {
                m->handle = chat->handles.value(r.handle);
                // Chats loaded from a database key their handles by row id.
                for (auto it = chat->handles.cbegin(); !m->handle && it != chat->handles.cend();
                     ++it) {
                    if ((*it)->id == r.handle)
                        m->handle = *it;
                }
            }
        } else {
            const QString unknown
                = QStringLiteral("%1%2").arg(QStringLiteral("unknown")).arg(m->handle_id);
            chat = otherChats.value(unknown);
            if (!chat) {
                chat = chatForHandle(set, recycledKey(m->handle_id, UnknownChatKeyBase), unknown);
                otherChats.insert(unknown, chat);
            }
            m->handle = chat->handles.isEmpty() ? nullptr : chat->handles.first();
        }

        m->chat = chat;
        if (chat) {
            if (m->date > chat->last)
                chat->last = m->date;
            chat->messages.insert(m->guid, m);
        }
    }
}
