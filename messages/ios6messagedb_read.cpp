#include "messages/ios6messagedb.h"
#include "records/attributedbody.h"
#include "records/msgidentity.h"
#include "records/relaypath.h"

#include <QDebug>
#include <QFileInfo>
#include <QVector>

#include <memory>

namespace {

// Marks a column that holds a time, stored in seconds or in nanoseconds since 2001.
struct StoredTime
{
};

// One column of a result and the record field it fills.
template <typename Record> struct Field
{
    Field(const char *c, qint32 Record::*f)
        : column(c)
        , i32(f)
    {
    }
    Field(const char *c, qint32 Record::*f, StoredTime)
        : column(c)
        , time(f)
    {
    }
    Field(const char *c, qint64 Record::*f)
        : column(c)
        , i64(f)
    {
    }
    Field(const char *c, QString Record::*f)
        : column(c)
        , text(f)
    {
    }
    Field(const char *c, QByteArray Record::*f)
        : column(c)
        , bytes(f)
    {
    }

    const char *column;
    qint32 Record::*i32 = nullptr;
    qint32 Record::*time = nullptr;
    qint64 Record::*i64 = nullptr;
    QString Record::*text = nullptr;
    QByteArray Record::*bytes = nullptr;
};

// Fills records from a cursor with the column positions looked up once per query. A column
// the result lacks reads as 0 or empty, replacing the record's default.
template <typename Record> class RowReader
{
public:
    RowReader(const Sqlite3Cursor &cursor, const QVector<Field<Record>> &fields)
        : m_fields(fields)
    {
        m_index.reserve(fields.size());
        for (const Field<Record> &f : fields)
            m_index.append(cursor.columnIndex(QLatin1String(f.column)));
    }

    void read(const Sqlite3Cursor &c, Record &r) const
    {
        for (int i = 0; i < m_fields.size(); ++i) {
            const Field<Record> &f = m_fields.at(i);
            const int index = m_index.at(i);
            if (f.i32)
                r.*f.i32 = c.getInt(index);
            else if (f.time)
                r.*f.time = recordDateFromStored(c.getInt64(index));
            else if (f.i64)
                r.*f.i64 = c.getInt64(index);
            else if (f.text)
                r.*f.text = c.getText(index);
            else
                r.*f.bytes = c.getBlob(index);
        }
    }

private:
    const QVector<Field<Record>> &m_fields;
    QVector<int> m_index;
};

const QVector<Field<_MsgChat>> &chatFields()
{
    using C = _MsgChat;
    static const QVector<Field<C>> fields = {
        { "rowid", &C::rowid },
        { "guid", &C::guid },
        { "style", &C::style },
        { "state", &C::state },
        { "account_id", &C::account_id },
        { "properties", &C::properties },
        { "chat_identifier", &C::chat_identifier },
        { "service_name", &C::service_name },
        { "room_name", &C::room_name },
        { "account_login", &C::account_login },
        { "is_archived", &C::is_archived },
        { "last_addressed_handle", &C::last_addressed_handle },
        { "display_name", &C::display_name },
        { "_last", &C::last, StoredTime() },
        { "group_id", &C::group_id },
    };
    return fields;
}

const QVector<Field<_MsgHandle>> &handleFields()
{
    using H = _MsgHandle;
    static const QVector<Field<H>> fields = {
        { "rowid", &H::rowid },
        { "id", &H::id },
        { "country", &H::country },
        { "service", &H::service },
        { "uncanonicalized_id", &H::uncanonicalized_id },
        { "_ct_name", &H::contactName },
        { "_photo", &H::photo },
    };
    return fields;
}

const QVector<Field<_MsgMessage>> &messageFields()
{
    using M = _MsgMessage;
    static const QVector<Field<M>> fields = {
        { "rowid", &M::rowid },
        { "guid", &M::guid },
        { "text", &M::text },
        { "replace", &M::replace },
        { "service_center", &M::service_center },
        { "handle_id", &M::handle_id },
        { "subject", &M::subject },
        { "country", &M::country },
        { "attributedBody", &M::attributedBody },
        { "version", &M::version },
        { "type", &M::type },
        { "service", &M::service },
        { "account", &M::account },
        { "account_guid", &M::account_guid },
        { "error", &M::error },
        { "date", &M::date, StoredTime() },
        { "date_read", &M::date_read, StoredTime() },
        { "date_delivered", &M::date_delivered, StoredTime() },
        { "is_delivered", &M::is_delivered },
        { "is_finished", &M::is_finished },
        { "is_emote", &M::is_emote },
        { "is_from_me", &M::is_from_me },
        { "is_empty", &M::is_empty },
        { "is_delayed", &M::is_delayed },
        { "is_auto_reply", &M::is_auto_reply },
        { "is_prepared", &M::is_prepared },
        { "is_read", &M::is_read },
        { "is_system_message", &M::is_system_message },
        { "is_sent", &M::is_sent },
        { "has_dd_results", &M::has_dd_results },
        { "is_service_message", &M::is_service_message },
        { "is_forward", &M::is_forward },
        { "was_downgraded", &M::was_downgraded },
        { "is_archive", &M::is_archive },
        { "cache_has_attachments", &M::cache_has_attachments },
        { "cache_roomnames", &M::cache_roomnames },
        { "was_data_detected", &M::was_data_detected },
        { "was_deduplicated", &M::was_deduplicated },
        { "is_audio_message", &M::is_audio_message },
        { "is_played", &M::is_played },
        { "date_played", &M::date_played, StoredTime() },
        { "item_type", &M::item_type },
        { "other_handle", &M::other_handle },
        { "group_title", &M::group_title },
        { "group_action_type", &M::group_action_type },
        { "share_status", &M::share_status },
        { "share_direction", &M::share_direction },
        { "is_expirable", &M::is_expirable },
        { "expire_state", &M::expire_state },
        { "message_action_type", &M::message_action_type },
    };
    return fields;
}

const QVector<Field<_MsgAttachment>> &attachmentFields()
{
    using A = _MsgAttachment;
    static const QVector<Field<A>> fields = {
        { "rowid", &A::rowid },
        { "guid", &A::guid },
        { "created_date", &A::created_date, StoredTime() },
        { "start_date", &A::start_date, StoredTime() },
        { "filename", &A::filename },
        { "uti", &A::uti },
        { "mime_type", &A::mime_type },
        { "transfer_state", &A::transfer_state },
        { "is_outgoing", &A::is_outgoing },
        { "user_info", &A::user_info },
        { "transfer_name", &A::transfer_name },
        { "total_bytes", &A::total_bytes },
    };
    return fields;
}

qint64 firstRowid(Sqlite3DB &db, const Sqlite3Sql &sql)
{
    Sqlite3Cursor cursor = db.queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(0) : 0;
}

} // namespace

void IOS6MessageDb::normalizeHandle(_MsgHandle &handle, QHash<QString, _CountryInfo> &countries)
{
    _CountryInfo info;
    if (handle.country.isEmpty()) {
        info = country.currentCountry();
        handle.country = info.sn.toLower();
    } else {
        auto it = countries.find(handle.country);
        if (it == countries.end())
            it = countries.insert(handle.country, country.countryBySn(handle.country));
        info = *it;
    }
    handle.id = CountryLibDb::normalizeNumber(info, handle.id);
}

void IOS6MessageDb::chats(QSharedPointer<MsgMessageSet> &set)
{
    open();
    try {
        contacts.open();
    } catch (...) {
        // Without an address book the names simply stay as stored.
    }
    if (!set)
        MsgMessageSet::create(set);
    MsgMessageSet &s = *set;

    bool added = false;
    {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from chat"));
        const RowReader<_MsgChat> reader(c, chatFields());
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            if (s.chatMap.contains(rowid))
                continue;
            auto chat = std::make_unique<_MsgChat>();
            reader.read(c, *chat);
            s.chatMap.insert(rowid, chat.release());
            added = true;
        }
    }

    // The newest dates of chats already in the set were derived when they were added; the
    // query reads every message, so it runs only when a chat is new (messages() calls this
    // once per chat shown).
    if (added
        && !tableHas(
            QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive)) {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql(
            "select chat_id, max(date) as last from ( select cm.chat_id, m.date from "
            "chat_message_join as cm inner join message as m on cm.message_id=m.rowid ) as "
            "tmp group by chat_id"));
        const int chatIdColumn = c.columnIndex(QStringLiteral("chat_id"));
        const int lastColumn = c.columnIndex(QStringLiteral("last"));
        while (c.moveNext()) {
            if (_MsgChat *chat = s.chatMap.value(c.getInt64(chatIdColumn)))
                chat->last = recordDateFromStored(c.getInt64(lastColumn));
        }
    }

    QHash<QString, _CountryInfo> countries;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select j.chat_id, h.* from chat_handle_join as j "
                                            "inner join handle as h on j.handle_id = h.rowid"));
    const RowReader<_MsgHandle> reader(c, handleFields());
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    const int chatIdColumn = c.columnIndex(QStringLiteral("chat_id"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(rowidColumn);
        _MsgHandle *handle = s.handleMap.value(rowid);
        if (!handle) {
            auto owned = std::make_unique<_MsgHandle>();
            reader.read(c, *owned);
            handle = owned.get();
            s.handleMap.insert(rowid, owned.release());
            normalizeHandle(*handle, countries);
            contacts.applyContact(*handle, "IOS6MessageDb::chats");
        }
        if (_MsgChat *chat = s.chatMap.value(c.getInt64(chatIdColumn)))
            chat->handles.insert(QString::number(rowid), handle);
    }
}

void IOS6MessageDb::messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId)
{
    open();
    chats(set);
    MsgMessageSet &s = *set;

    {
        Sqlite3Sql sql("select j.chat_id, m.* from chat_message_join as j inner join message as m "
                       "on j.message_id = m.rowid");
        if (hasItemTypeColumn())
            sql.appendSql(QStringLiteral(" and m.item_type <> 4"));
        if (chatId > 0)
            sql.appendSql(QStringLiteral(" and j.chat_id=%1").arg(chatId));
        Sqlite3Cursor c = queryThrow(sql);
        const RowReader<_MsgMessage> reader(c, messageFields());
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        const int chatIdColumn = c.columnIndex(QStringLiteral("chat_id"));
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            _MsgMessage *message = s.messageMap.value(rowid);
            if (!message) {
                auto owned = std::make_unique<_MsgMessage>();
                reader.read(c, *owned);
                owned->srcRowid = rowid;
                // Phones since iOS 16 leave text empty and keep the words only here.
                if (owned->text.isEmpty() && !owned->attributedBody.isEmpty())
                    owned->text = attributedBodyText(owned->attributedBody);
                message = owned.get();
                s.messageMap.insert(rowid, owned.release());
            }
            if (_MsgHandle *handle = s.handleMap.value(message->handle_id)) {
                message->handle = handle;
                if (message->country.isEmpty())
                    message->country = handle->country;
            }
            if (message->other_handle > 0) {
                if (_MsgHandle *other = s.handleMap.value(message->other_handle))
                    message->otherHandle = other;
            }
            if (_MsgChat *chat = s.chatMap.value(c.getInt64(chatIdColumn))) {
                message->chat = chat;
                chat->messages.insert(QString::number(rowid), message);
            }
        }
    }

    Sqlite3Sql sql("select ma.message_id, ma.attachment_id, cm.chat_id, a.* from "
                   "message_attachment_join as ma inner join attachment as a on "
                   "ma.attachment_id=a.rowid inner join chat_message_join as cm on "
                   "ma.message_id=cm.message_id");
    if (chatId > 0)
        sql.appendSql(QStringLiteral(" and cm.chat_id=%1").arg(chatId));
    Sqlite3Cursor c = queryThrow(sql);
    const RowReader<_MsgAttachment> reader(c, attachmentFields());
    const int attachmentIdColumn = c.columnIndex(QStringLiteral("attachment_id"));
    const int messageIdColumn = c.columnIndex(QStringLiteral("message_id"));
    while (c.moveNext()) {
        const qint64 attachmentId = c.getInt64(attachmentIdColumn);
        _MsgAttachment *attachment = s.attachmentMap.value(attachmentId);
        if (!attachment) {
            auto owned = std::make_unique<_MsgAttachment>();
            reader.read(c, *owned);
            attachment = owned.get();
            s.attachmentMap.insert(attachmentId, owned.release());
        }
        if (!attachment->filename.isEmpty())
            attachment->localPath = attachmentLocalPath(attachment->filename);
        if (_MsgMessage *message = s.messageMap.value(c.getInt64(messageIdColumn)))
            message->attachments.insert(QString::number(attachmentId), attachment);
    }
}

QString IOS6MessageDb::attachmentLocalPath(const QString &filename) const
{
    return relayFilePath(fileRelayDir, filename, RelayBackslash::Keep);
}

qint64 IOS6MessageDb::messageRowidByGuid(const QString &guid)
{
    open();
    return firstRowid(
        *this, Sqlite3Sql("select rowid from message where guid=?").addTextParam(guid));
}

qint64 IOS6MessageDb::chatRowidByGuid(const QString &guid)
{
    open();
    return firstRowid(*this, Sqlite3Sql("select rowid from chat where guid=?").addTextParam(guid));
}

qint64 IOS6MessageDb::attachmentRowidByGuid(const _MsgAttachment &attachment)
{
    open();
    return firstRowid(*this,
        Sqlite3Sql("select rowid from attachment where guid=?").addTextParam(attachment.guid));
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle &handle)
{
    open();
    return firstRowid(*this,
        Sqlite3Sql("select rowid from handle where id=? and service=?")
            .addTextParam(handle.id)
            .addTextParam(handle.service));
}

bool IOS6MessageDb::hasChatHandleJoin(qint64 chatId, qint64 handleId)
{
    open();
    Sqlite3Cursor cursor
        = queryThrow(Sqlite3Sql("select 1 from chat_handle_join where chat_id=? and handle_id=?")
                         .addInt64Param(chatId)
                         .addInt64Param(handleId));
    return cursor.moveNext();
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage &message)
{
    open();
    if (!tableHas(QStringLiteral("message"), QStringLiteral("logic_hash"), Qt::CaseSensitive))
        return 0;
    return firstRowid(*this,
        Sqlite3Sql("select rowid from message where logic_hash=?")
            .addTextParam(message.logicHash()));
}

qint64 IOS6MessageDb::messageCount()
{
    open();
    Sqlite3Sql sql("select count(*) from chat_message_join as j inner join message as m on "
                   "j.message_id = m.rowid");
    if (hasItemTypeColumn())
        sql.appendSql(QStringLiteral(" and m.item_type <> 4"));
    return firstRowid(*this, sql);
}
