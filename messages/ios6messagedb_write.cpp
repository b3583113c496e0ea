#include "messages/ios6messagedb.h"

#include "records/msgidentity.h"

#include <stdexcept>

qint64 IOS6MessageDb::insertHandle(const _MsgHandle &handle)
{
    open();
    Sqlite3Row row;
    row.setValue(QStringLiteral("id"), handle.id);
    row.setValue(QStringLiteral("service"), handle.service);
    if (!handle.country.isEmpty())
        row.setValue(QStringLiteral("country"), handle.country);
    if (!handle.uncanonicalized_id.isEmpty())
        row.setValue(QStringLiteral("uncanonicalized_id"), handle.uncanonicalized_id);
    const QString table = QStringLiteral("handle");
    if (tableHas(table, QStringLiteral("_ct_name TEXT"), Qt::CaseInsensitive))
        row.setValue(QStringLiteral("_ct_name"), handle.contactName);
    if (tableHas(table, QStringLiteral("_photo BLOB"), Qt::CaseInsensitive))
        row.setValue(QStringLiteral("_photo"), handle.photo);
    return insertRow(row, table);
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage &m, qint64 handleRowid,
    qint64 otherHandleRowid, const QString &logicHash, qint64 rowid)
{
    open();
    Sqlite3Row row;
    if (rowid > 0)
        row.setValue(QStringLiteral("rowid"), rowid);
    auto set = [&row](const char *column, const QVariant &value) {
        row.setValue(QLatin1String(column), value);
    };
    auto setText = [&set](const char *column, const QString &value) {
        if (!value.isEmpty())
            set(column, value);
    };
    const QString table = QStringLiteral("message");
    auto has = [this, &table](const char *column) {
        return tableHas(table, QLatin1String(column), Qt::CaseSensitive);
    };

    set("guid", m.guid);
    set("text", m.text);
    set("replace", m.replace);
    set("handle_id", handleRowid);
    setText("service_center", m.service_center);
    setText("subject", m.subject);
    setText("country", m.country);
    if (!m.attributedBody.isEmpty())
        set("attributedBody", m.attributedBody);
    set("version", m.version);
    set("type", m.type);
    set("service", m.service);
    set("account", m.account);
    set("account_guid", m.account_guid);
    set("error", m.error);
    set("date", storedTime(m.date));
    set("date_read", storedTime(m.date_read));
    set("date_delivered", storedTime(m.date_delivered));
    set("is_delivered", m.is_delivered);
    set("is_finished", m.is_finished);
    set("is_emote", m.is_emote);
    set("is_from_me", m.is_from_me);
    set("is_empty", m.is_empty);
    set("is_delayed", m.is_delayed);
    set("is_auto_reply", m.is_auto_reply);
    set("is_prepared", m.is_prepared);
    set("is_read", m.is_read);
    set("is_system_message", m.is_system_message);
    set("is_sent", m.is_sent);
    set("has_dd_results", m.has_dd_results);
    set("is_service_message", m.is_service_message);
    set("is_forward", m.is_forward);
    set("was_downgraded", m.was_downgraded);
    set("is_archive", m.is_archive);
    set("cache_has_attachments", m.cache_has_attachments);
    set("cache_roomnames", m.cache_roomnames);
    set("was_data_detected", m.was_data_detected);
    set("was_deduplicated", m.was_deduplicated);

    const struct
    {
        const char *column;
        qint64 value;
    } optional[] = {
        { "is_audio_message", m.is_audio_message },
        { "is_played", m.is_played },
        { "date_played", storedTime(m.date_played) },
        { "item_type", m.item_type },
        { "group_action_type", m.group_action_type },
        { "share_status", m.share_status },
        { "share_direction", m.share_direction },
        { "is_expirable", m.is_expirable },
        { "expire_state", m.expire_state },
        { "message_action_type", m.message_action_type },
    };
    for (const auto &column : optional) {
        if (has(column.column))
            set(column.column, column.value);
    }
    if (has("other_handle") && otherHandleRowid > 0)
        set("other_handle", otherHandleRowid);
    if (has("group_title") && !m.group_title.isEmpty())
        set("group_title", m.group_title);
    if (has("logic_hash"))
        set("logic_hash", logicHash.isEmpty() ? m.logicHash() : logicHash);
    return insertRow(row, table);
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment &a)
{
    open();
    Sqlite3Row row;
    row.setValue(QStringLiteral("guid"), a.guid);
    row.setValue(QStringLiteral("created_date"), storedAttachmentTime(a.created_date));
    row.setValue(QStringLiteral("start_date"), storedAttachmentTime(a.start_date));
    row.setValue(QStringLiteral("filename"), a.filename);
    row.setValue(QStringLiteral("uti"), a.uti);
    row.setValue(QStringLiteral("mime_type"), a.mime_type);
    row.setValue(QStringLiteral("transfer_state"), a.transfer_state);
    row.setValue(QStringLiteral("is_outgoing"), a.is_outgoing);
    const QString table = QStringLiteral("attachment");
    if (tableHas(table, QStringLiteral("user_info"), Qt::CaseSensitive) && !a.user_info.isEmpty())
        row.setValue(QStringLiteral("user_info"), a.user_info);
    if (tableHas(table, QStringLiteral("transfer_name"), Qt::CaseSensitive)
        && !a.transfer_name.isEmpty())
        row.setValue(QStringLiteral("transfer_name"), a.transfer_name);
    if (tableHas(table, QStringLiteral("total_bytes"), Qt::CaseSensitive))
        row.setValue(QStringLiteral("total_bytes"), a.total_bytes);
    // Current phones declare original_guid UNIQUE NOT NULL: without it no row goes in.
    if (tableHas(table, QStringLiteral("original_guid"), Qt::CaseSensitive))
        row.setValue(QStringLiteral("original_guid"), a.guid);
    return insertRow(row, table);
}

qint64 IOS6MessageDb::insertChat(const _MsgChat &chat)
{
    if (chat.service_name != QLatin1String("SMS") && chat.service_name != QLatin1String("iMessage"))
        throw std::runtime_error(
            QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:%1")
                .arg(chat.service_name)
                .toStdString());
    // The chat, its handles and its joins go in together or not at all.
    return atomically([&] {
        const QString table = QStringLiteral("chat");
        Sqlite3Row row;
        row.setValue(QStringLiteral("guid"), chat.guid);
        row.setValue(QStringLiteral("style"), chat.style);
        row.setValue(QStringLiteral("state"), chat.state);
        if (!chat.account_id.isEmpty())
            row.setValue(QStringLiteral("account_id"), chat.account_id);
        row.setValue(QStringLiteral("chat_identifier"), chat.chat_identifier);
        row.setValue(QStringLiteral("service_name"), chat.service_name);
        if (!chat.room_name.isEmpty())
            row.setValue(QStringLiteral("room_name"), chat.room_name);
        row.setValue(QStringLiteral("account_login"), chat.account_login);
        row.setValue(QStringLiteral("is_archived"), chat.is_archived);
        if (tableHas(table, QStringLiteral("display_name"), Qt::CaseSensitive)
            && !chat.display_name.isEmpty())
            row.setValue(QStringLiteral("display_name"), chat.display_name);
        if (tableHas(table, QStringLiteral("group_id"), Qt::CaseSensitive))
            row.setValue(QStringLiteral("group_id"),
                chat.group_id.isEmpty() ? makeGuidFromData(chat.guid.toUtf8()) : chat.group_id);
        const qint64 chatRowid = insertRow(row, table);

        for (const _MsgHandle *handle : chat.handles) {
            if (!handle)
                continue;
            qint64 handleRowid = this->handleRowid(*handle);
            if (handleRowid == 0)
                handleRowid = insertHandle(*handle);
            addChatHandleJoin(chatRowid, handleRowid);
        }
        return chatRowid;
    });
}

void IOS6MessageDb::addChatHandleJoin(qint64 chatId, qint64 handleId)
{
    open();
    executeThrow(Sqlite3Sql("replace into chat_handle_join(chat_id,handle_id) values(?,?)")
                     .addInt64Param(chatId)
                     .addInt64Param(handleId));
}

void IOS6MessageDb::addChatMessageJoin(qint64 chatId, qint64 messageId)
{
    open();
    executeThrow(Sqlite3Sql("replace into chat_message_join(chat_id,message_id) values(?,?)")
                     .addInt64Param(chatId)
                     .addInt64Param(messageId));
}

void IOS6MessageDb::addMessageAttachmentJoin(qint64 messageId, qint64 attachmentId)
{
    open();
    executeThrow(
        Sqlite3Sql("replace into message_attachment_join(message_id,attachment_id) values(?,?)")
            .addInt64Param(messageId)
            .addInt64Param(attachmentId));
}

void IOS6MessageDb::setLastAddressedHandle(qint64 chatId, const QString &handleId)
{
    open();
    executeThrow(Sqlite3Sql("update chat set last_addressed_handle=? where rowid=?")
                     .addTextParam(handleId)
                     .addInt64Param(chatId));
}

void IOS6MessageDb::updateChatLast(qint64 chatId, qint32 date)
{
    open();
    if (!tableHas(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive))
        return;
    const qint64 stored = storedTime(date);
    executeThrow(Sqlite3Sql("update chat set _last=? where rowid=? and _last < ?")
                     .addInt64Param(stored)
                     .addInt64Param(chatId)
                     .addInt64Param(stored));
}

void IOS6MessageDb::deleteMessage(const _MsgMessage &message)
{
    // A half-done delete would leave joins to a missing message or a chat without messages.
    atomically([&] {
        const qint64 rowid = message.rowid;
        executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(rowid));
        executeThrow(
            Sqlite3Sql("DELETE FROM chat_message_join where message_id=?").addInt64Param(rowid));
        executeThrow(Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?")
                         .addInt64Param(rowid));
        if (!message.chat)
            return;
        const qint64 chatId = message.chat->rowid;
        const int removed = executeThrow(Sqlite3Sql("DELETE FROM chat WHERE rowid=? and (SELECT 1 "
                                                    "from chat_message_join WHERE chat_id=? "
                                                    "LIMIT 1) IS NULL")
                                             .addInt64Param(chatId)
                                             .addInt64Param(chatId));
        // A removed chat takes its handle joins along, as the join's ON DELETE CASCADE means, so
        // that the triggers can drop handles (with their contact names and photos) nothing uses.
        if (removed > 0)
            executeThrow(Sqlite3Sql("DELETE FROM chat_handle_join WHERE chat_id=?")
                             .addInt64Param(chatId));
    });
}
