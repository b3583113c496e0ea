#include "messages/ios5messagedb.h"

#include "backup/plistvalue.h"
#include "records/msgidentity.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <limits>
#include <memory>

namespace {

// Device triggers call read(); it turns any value into a flag.
void readFlag(sqlite3_context *context, int, sqlite3_value **argv)
{
    sqlite3_result_int(context, sqlite3_value_int64(argv[0]) != 0 ? 1 : 0);
}

// The largest MMS part row id whose clone key still fits in 64 bits.
constexpr qint64 kMaxClonedPieceRowid
    = IOS5MessageDb::CloneKeyBase - std::numeric_limits<qint64>::min();

qint64 floorMod(qint64 value, qint64 modulus)
{
    const qint64 r = value % modulus;
    return r < 0 ? r + modulus : r;
}

// The last component of a name stored by the device, usable as a file name.
QString storedFileName(const QString &name)
{
    const int slash = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const QString last = name.mid(slash + 1);
    if (last == QLatin1String(".") || last == QLatin1String(".."))
        return QString();
    return last;
}

// The suffix of a part's content location, reduced to characters safe in a file name.
QString partSuffix(const QString &contentLoc)
{
    const QString name = storedFileName(contentLoc);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    QString suffix;
    if (dot < 0)
        return suffix;
    for (const QChar ch : name.mid(dot + 1)) {
        if (ch.isLetterOrNumber() || ch == QLatin1Char('-') || ch == QLatin1Char('_'))
            suffix.append(ch);
    }
    return suffix;
}

} // namespace

IOS5MessageDb::IOS5MessageDb(const QDir &dataFolder, const QString &countryCode)
    : fileRelayDir(QDir(dataFolder.absolutePath()).filePath(QStringLiteral("file-relay")))
    , contacts(dataFolder, countryCode)
    , recycle(dataFolder.filePath(QStringLiteral("recycle.db")))
    , country(countryCode)
    , dbPath(fileRelayDir.filePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
{
}

IOS5MessageDb::~IOS5MessageDb() = default;

void IOS5MessageDb::open()
{
    if (isOpen())
        return;
    try {
        openForOneThread(dbPath, ReadWrite);
        if (sqlite3_create_function_v2(
                handle(), "read", 1, SQLITE_ANY, nullptr, readFlag, nullptr, nullptr, nullptr)
            != SQLITE_OK)
            throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(handle())));
        loadTableSql();
    } catch (...) {
        close();
        tableSql.clear();
        throw;
    }
}

_CountryInfo IOS5MessageDb::countryOf(const QString &sn)
{
    auto it = countriesBySn.constFind(sn);
    if (it == countriesBySn.constEnd())
        it = countriesBySn.insert(sn, country.countryBySn(sn));
    return *it;
}

_MsgHandle *IOS5MessageDb::newIMessageHandle(MsgMessageSet &set, const QString &id)
{
    // Counted keys stay apart from the positive SMS ones; skip any taken by another loader.
    qint64 key = -(static_cast<qint64>(set.handleMap.size()) + 1);
    while (set.handleMap.contains(key))
        --key;
    auto handle = std::make_unique<_MsgHandle>();
    handle->rowid = key;
    handle->service = QStringLiteral("iMessage");
    handle->id = id;
    contacts.applyContact(*handle, "IOS5MessageDb::chats");
    _MsgHandle *h = handle.get();
    set.handleMap.insert(key, handle.release());
    return h;
}

void IOS5MessageDb::chats(QSharedPointer<MsgMessageSet> &set)
{
    open();
    try {
        contacts.open();
    } catch (const std::exception &) {
        // Without a usable address book the chats simply carry no names.
    }
    if (!set)
        MsgMessageSet::create(set);
    MsgMessageSet &s = *set;
    loadSmsChats(s);
    loadSmsMembers(s);
    if (hasTable(QStringLiteral("madrid_chat")))
        loadIMessageChats(s);
}

void IOS5MessageDb::loadSmsChats(MsgMessageSet &s)
{
    // A group whose newest_message is stale still holds messages: keep it, dated by them.
    Sqlite3Cursor c = queryThrow(Sqlite3Sql(
        "select g.*,coalesce(m.date,(select max(e.date) from message as e where "
        "e.group_id=g.rowid))-978307200 as last_date from msg_group as g left join message as "
        "m on g.newest_message=m.rowid where m.rowid is not null or exists (select 1 from "
        "message as e where e.group_id=g.rowid)"));
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    const int lastColumn = c.columnIndex(QStringLiteral("last_date"));
    const int hashColumn = c.columnIndex(QStringLiteral("hash"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(rowidColumn);
        // Negative keys belong to iMessage chats.
        if (rowid <= 0 || s.chatMap.contains(rowid))
            continue;
        auto chat = std::make_unique<_MsgChat>();
        chat->rowid = rowid;
        chat->last = c.getInt(lastColumn);
        chat->style = 45;
        chat->state = 3;
        chat->guid = QStringLiteral("SMS;-;") + QString::number(c.getInt64(hashColumn));
        chat->chat_identifier = QStringLiteral("unknown");
        chat->service_name = QStringLiteral("SMS");
        chat->account_login = QStringLiteral("E:");
        s.chatMap.insert(rowid, chat.release());
    }
}

void IOS5MessageDb::loadSmsMembers(MsgMessageSet &s)
{
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from group_member"));
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    const int groupColumn = c.columnIndex(QStringLiteral("group_id"));
    const int addressColumn = c.columnIndex(QStringLiteral("address"));
    const int countryColumn = c.columnIndex(QStringLiteral("country"));
    while (c.moveNext()) {
        const qint64 groupId = c.getInt64(groupColumn);
        _MsgChat *chat = groupId > 0 ? s.chatMap.value(groupId) : nullptr;
        const qint64 rowid = c.getInt64(rowidColumn);
        if (!chat || rowid <= 0)
            continue;
        _MsgHandle *handle = s.handleMap.value(rowid);
        if (!handle) {
            auto owned = std::make_unique<_MsgHandle>();
            owned->rowid = rowid;
            owned->country = c.getText(countryColumn);
            owned->service = QStringLiteral("SMS");
            owned->id = CountryLibDb::normalizeNumber(
                countryOf(owned->country), c.getText(addressColumn));
            contacts.applyContact(*owned, "IOS5MessageDb::chats");
            handle = owned.get();
            s.handleMap.insert(rowid, owned.release());
        }
        if (chat->handles.contains(handle->id))
            continue;
        if (chat->handles.isEmpty()) {
            chat->chat_identifier = handle->id;
            chat->guid = QStringLiteral("SMS;-;") + handle->id;
            chat->style = 45;
        } else if (chat->handles.size() == 1) {
            chat->chat_identifier = makeGroupChatIdentifier(chat->guid);
            chat->guid = QStringLiteral("SMS;+;") + chat->chat_identifier;
            chat->room_name = chat->chat_identifier;
            chat->style = 43;
            chat->account_id = makeGuidFromData(chat->guid.toUtf8());
        }
        chat->handles.insert(handle->id, handle);
    }
}

void IOS5MessageDb::loadIMessageChats(MsgMessageSet &s)
{
    const _CountryInfo current = country.currentCountry();
    QHash<QString, _MsgChat *> byIdentifier;
    {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from madrid_chat"));
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            if (rowid <= 0 || s.chatMap.contains(-rowid))
                continue;
            const qint64 key = -rowid;
            // Anything but an array of strings (or no property list at all) gives no members.
            const PlistValue participants
                = PlistValue::fromData(c.getBlob(QStringLiteral("participants")), true);
            const int n = participants.arraySize();

            auto owned = std::make_unique<_MsgChat>();
            _MsgChat *chat = owned.get();
            chat->rowid = key;
            chat->chat_identifier = CountryLibDb::normalizeNumber(
                current, c.getText(QStringLiteral("chat_identifier")));
            chat->guid = (n < 2 ? QStringLiteral("iMessage;-;") : QStringLiteral("iMessage;+;"))
                + chat->chat_identifier;
            chat->style = c.getInt(QStringLiteral("style"));
            chat->state = c.getInt(QStringLiteral("state"));
            chat->account_id = c.getText(QStringLiteral("account_id"));
            chat->service_name = QStringLiteral("iMessage");
            chat->account_login = c.getText(QStringLiteral("account_login"));
            chat->last = 0;
            s.chatMap.insert(key, owned.release());
            byIdentifier.insert(chat->chat_identifier, chat);

            for (int i = 0; i < n; ++i) {
                const QString id
                    = CountryLibDb::normalizeNumber(current, participants.arrayItem(i).toString());
                if (id.isEmpty() || chat->handles.contains(id))
                    continue;
                chat->handles.insert(id, newIMessageHandle(s, id));
            }
        }
    }

    // The room name, then the handle, names the chat of an iMessage; the later query wins.
    static const char *const lastQueries[][2] = {
        { "madrid_roomname",
            "select madrid_roomname,max(date) as last_date from message group by madrid_roomname "
            "having madrid_roomname is not null and madrid_roomname <> ''" },
        { "madrid_handle",
            "select madrid_handle,max(date) as last_date from message group by madrid_handle "
            "having madrid_handle is not null and madrid_handle <> ''" },
    };
    for (const auto &query : lastQueries) {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql(query[1]));
        const int keyColumn = c.columnIndex(QLatin1String(query[0]));
        const int lastColumn = c.columnIndex(QStringLiteral("last_date"));
        while (c.moveNext()) {
            if (_MsgChat *chat = byIdentifier.value(c.getText(keyColumn)))
                chat->last = c.getInt(lastColumn);
        }
    }
}

void IOS5MessageDb::messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId)
{
    open();
    chats(set);
    MsgMessageSet &s = *set;

    Sqlite3Sql sql("select m.* from message as m");
    if (chatId < 0) {
        // Other negative ids (recovered chats) name no madrid_chat row.
        if (!hasTable(QStringLiteral("madrid_chat"))
            || chatId == std::numeric_limits<qint64>::min())
            return;
        sql.appendSql(QStringLiteral(" inner join madrid_chat as c on "
                                     "(m.madrid_roomname=c.chat_identifier or "
                                     "m.madrid_handle=c.chat_identifier) and c.rowid=%1")
                          .arg(-chatId));
    } else if (chatId > 0) {
        sql.appendSql(QStringLiteral(" where m.group_id=%1").arg(chatId));
    }

    // iMessage rows look their chat up by identifier; an iMessage chat wins over an SMS chat
    // of the same correspondent.
    QHash<QString, _MsgChat *> chatsByIdentifier;
    for (_MsgChat *chat : qAsConst(s.chatMap)) {
        if (chat->rowid > 0)
            chatsByIdentifier.insert(chat->chat_identifier, chat);
    }
    for (_MsgChat *chat : qAsConst(s.chatMap)) {
        if (chat->rowid < 0)
            chatsByIdentifier.insert(chat->chat_identifier, chat);
    }

    QSet<qint64> created;
    RelayPathResolver paths(fileRelayDir, RelayBackslash::Remove);
    Sqlite3Cursor c = queryThrow(sql);
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(rowidColumn);
        // Negative keys belong to clones and recovered messages.
        if (rowid <= 0 || s.messageMap.contains(rowid))
            continue;
        auto owned = std::make_unique<_MsgMessage>();
        _MsgMessage &m = *owned;
        m.rowid = rowid;
        m.srcRowid = rowid;
        m.text = c.getText(QStringLiteral("text"));
        m.replace = 0;
        m.service_center = c.getText(QStringLiteral("svc_center"));
        m.subject = c.getText(QStringLiteral("subject"));
        m.country = c.getText(QStringLiteral("country"));
        m.version = 10;
        setIos5MessageFlags(m);
        s.messageMap.insert(rowid, owned.release());
        created.insert(rowid);

        if (c.getInt64(QStringLiteral("is_madrid")) != 0)
            readIMessage(s, c, m, chatsByIdentifier, paths);
        else
            readSms(s, c, m);
    }

    if (chatId >= 0 && hasTable(QStringLiteral("msg_pieces")))
        readPieces(s, chatId, created, paths);
}

void IOS5MessageDb::readIMessage(MsgMessageSet &s, const Sqlite3Cursor &c, _MsgMessage &m,
    const QHash<QString, _MsgChat *> &chatsById, RelayPathResolver &paths)
{
    m.guid = c.getText(QStringLiteral("madrid_guid"));
    m.service = QStringLiteral("iMessage");
    m.account = c.getText(QStringLiteral("madrid_account"));
    m.account_guid = c.getText(QStringLiteral("madrid_account_guid"));
    m.error = c.getInt(QStringLiteral("madrid_error"));
    m.date = c.getInt(QStringLiteral("date"));
    m.date_read = c.getInt(QStringLiteral("madrid_date_read"));
    m.date_delivered = c.getInt(QStringLiteral("madrid_date_delivered"));
    m.is_from_me = m.date_delivered > 0 ? 1 : 0;

    const QString roomName = c.getText(QStringLiteral("madrid_roomname"));
    const QString handleId = CountryLibDb::normalizeNumber(
        country.currentCountry(), c.getText(QStringLiteral("madrid_handle")));
    if (_MsgChat *chat = chatsById.value(roomName.isEmpty() ? handleId : roomName)) {
        m.chat = chat;
        chat->messages.insert(QString::number(m.rowid), &m);
        if (chat->handles.size() == 1)
            m.handle = chat->handles.first();
        else if (chat->handles.size() > 1 && !m.is_from_me)
            m.handle = chat->handles.value(handleId);
    }

    if (!hasTable(QStringLiteral("madrid_attachment")))
        return;
    readIMessageAttachments(s, c.getBlob(QStringLiteral("madrid_attachmentInfo")), m, paths);
    if (m.attachments.size() == 1)
        m.attributedBody = makeAttributedBody(m.attachments.first()->guid);
    else if (!m.attachments.isEmpty())
        m.attributedBody = c.getBlob(QStringLiteral("madrid_attributedBody"));
}

void IOS5MessageDb::readIMessageAttachments(
    MsgMessageSet &s, const QByteArray &info, _MsgMessage &m, RelayPathResolver &paths)
{
    QByteArray bytes = info;
    for (char &ch : bytes) {
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')
            || (ch >= '0' && ch <= '9') || ch == '-';
        if (!keep)
            ch = ' ';
    }
    static const QRegularExpression guidPattern(QStringLiteral(
        "[a-zA-Z0-9]{8}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{12}"));
    QRegularExpressionMatchIterator it = guidPattern.globalMatch(QString::fromLatin1(bytes));
    while (it.hasNext()) {
        const QString guid = it.next().captured(0);
        if (m.attachments.contains(guid))
            continue;
        Sqlite3Cursor c
            = queryThrow(Sqlite3Sql("select * from madrid_attachment where attachment_guid=?")
                             .addTextParam(guid));
        if (!c.moveNext())
            continue;
        const qint64 rowid = c.getInt64(QStringLiteral("rowid"));
        if (rowid <= 0)
            continue;
        const qint64 key = -rowid;
        _MsgAttachment *attachment = s.attachmentMap.value(key);
        if (!attachment) {
            auto owned = std::make_unique<_MsgAttachment>();
            _MsgAttachment &a = *owned;
            a.rowid = key;
            a.guid = c.getText(QStringLiteral("attachment_guid"));
            a.created_date = c.getInt(QStringLiteral("created_date"));
            a.start_date = c.getInt(QStringLiteral("start_date"));
            a.filename = c.getText(QStringLiteral("filename"));
            if (a.filename.startsWith(QLatin1String("/var/mobile/")))
                a.filename.replace(0, 12, QStringLiteral("~/"));
            a.uti = c.getText(QStringLiteral("uti_type"));
            a.mime_type = c.getText(QStringLiteral("mime_type"));
            a.transfer_state = c.getInt(QStringLiteral("transfer_state"));
            a.is_outgoing = c.getInt64(QStringLiteral("is_incoming")) == 0 ? 1 : 0;
            if (!a.filename.isEmpty())
                a.localPath = paths.path(a.filename);
            attachment = owned.get();
            s.attachmentMap.insert(key, owned.release());
        }
        m.attachments.insert(attachment->guid, attachment);
    }
}

void IOS5MessageDb::readSms(MsgMessageSet &s, const Sqlite3Cursor &c, _MsgMessage &m)
{
    m.guid = makeGuid();
    m.service = QStringLiteral("SMS");
    m.account = QStringLiteral("e:");
    m.error = 0;
    m.date = static_cast<qint32>(c.getInt64(QStringLiteral("date")) - RecordEpochOffset);
    m.date_read = m.date;
    m.date_delivered = m.date;
    m.is_from_me = c.getInt64(QStringLiteral("flags")) == 3 ? 1 : 0;

    const qint64 groupId = c.getInt64(QStringLiteral("group_id"));
    _MsgChat *chat = groupId > 0 ? s.chatMap.value(groupId) : nullptr;
    if (!chat)
        return;
    m.chat = chat;
    chat->messages.insert(QString::number(m.rowid), &m);
    if (chat->handles.size() == 1) {
        m.handle = chat->handles.first();
    } else if (chat->handles.size() > 1 && !m.is_from_me) {
        const QString id = CountryLibDb::normalizeNumber(
            countryOf(m.country), c.getText(QStringLiteral("address")));
        m.handle = chat->handles.value(id);
    }
}

void IOS5MessageDb::readPieces(
    MsgMessageSet &s, qint64 chatId, const QSet<qint64> &newMessages, RelayPathResolver &paths)
{
    Sqlite3Sql sql("select p.*,m.group_id,m.flags as msg_flags from msg_pieces as p inner join "
                   "message as m on p.message_id=m.rowid");
    if (chatId > 0)
        sql.appendSql(QStringLiteral(" and m.group_id=%1").arg(chatId));
    Sqlite3Cursor c = queryThrow(sql);
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    const int messageColumn = c.columnIndex(QStringLiteral("message_id"));
    const int typeColumn = c.columnIndex(QStringLiteral("content_type"));
    const int locColumn = c.columnIndex(QStringLiteral("content_loc"));
    const int partColumn = c.columnIndex(QStringLiteral("part_id"));
    const int dataColumn = c.columnIndex(QStringLiteral("data"));
    const int groupColumn = c.columnIndex(QStringLiteral("group_id"));
    const int flagsColumn = c.columnIndex(QStringLiteral("msg_flags"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(rowidColumn);
        const qint64 messageId = c.getInt64(messageColumn);
        // Parts of messages loaded by an earlier call are in the set already; reading them
        // again would repeat their text.
        if (rowid <= 0 || s.attachmentMap.contains(rowid) || !newMessages.contains(messageId))
            continue;
        _MsgMessage *message = s.messageMap.value(messageId);
        if (!message)
            continue;
        const QString contentType = c.getText(typeColumn);
        if (contentType.isEmpty()
            || contentType.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
            continue;
        if (contentType.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
            message->text
                = (message->text + QLatin1Char('\n') + QString::fromUtf8(c.getBlob(dataColumn)))
                      .trimmed();
            continue;
        }
        const QString contentLoc = c.getText(locColumn);
        if (contentLoc.isEmpty())
            continue;

        const QString relative
            = QStringLiteral("var/mobile/Library/SMS/Parts/%1/%2/%3-%4.%5")
                  .arg(floorMod(c.getInt64(groupColumn), 256), 2, 16, QLatin1Char('0'))
                  .arg(floorMod(messageId, 16), 2, 10, QLatin1Char('0'))
                  .arg(messageId)
                  .arg(c.getInt64(partColumn))
                  .arg(partSuffix(contentLoc));
        auto owned = std::make_unique<_MsgAttachment>();
        _MsgAttachment &a = *owned;
        a.localPath = paths.path(relative);
        const QByteArray data = c.getBlob(dataColumn);
        if (!data.isEmpty() && !a.localPath.isEmpty()) {
            // A failed write still leaves the record; the file is simply missing.
            QDir().mkpath(QFileInfo(a.localPath).absolutePath());
            QSaveFile file(a.localPath);
            if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size())
                file.commit();
        }
        a.rowid = rowid;
        a.guid = makeGuidFromData(relative.toUtf8());
        a.created_date
            = static_cast<qint32>(QDateTime::currentSecsSinceEpoch() - RecordEpochOffset);
        a.start_date = 0;
        a.filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                         .arg(a.guid.mid(0, 2).toLower(), a.guid.mid(2, 2).toLower(), a.guid,
                             storedFileName(contentLoc));
        a.mime_type = contentType;
        const int slash = contentType.indexOf(QLatin1Char('/'));
        a.uti = QStringLiteral("public.") + (slash >= 0 ? contentType.mid(slash + 1) : QString());
        a.transfer_state = 5;
        a.is_outgoing = c.getInt64(flagsColumn) == 3 ? 1 : 0;
        a.transfer_name = contentLoc;
        _MsgAttachment *attachment = owned.get();
        s.attachmentMap.insert(rowid, owned.release());

        if (message->attachments.isEmpty()) {
            message->attachments.insert(attachment->guid, attachment);
            message->text.append(QChar(0xFFFC));
            message->attributedBody = makeAttributedBody(attachment->guid);
            continue;
        }

        // One attachment per message record: further parts become messages of their own.
        qDebug("IOS5MessageDb::messages, clone attachment message.");
        if (rowid > kMaxClonedPieceRowid || s.messageMap.contains(CloneKeyBase - rowid))
            continue;
        auto clone = std::make_unique<_MsgMessage>(*message);
        clone->rowid = CloneKeyBase - rowid;
        clone->guid = makeGuidFromData(QStringLiteral("%1(%2)")
                                           .arg(attachment->guid, QString::number(message->rowid))
                                           .toUtf8());
        clone->text = QString(QChar(0xFFFC));
        clone->attachments.clear();
        clone->attachments.insert(attachment->guid, attachment);
        clone->attributedBody = makeAttributedBody(attachment->guid);
        const qint64 cloneKey = clone->rowid;
        s.messageMap.insert(cloneKey, clone.release());
    }
}

void IOS5MessageDb::recycledChats(QSharedPointer<MsgMessageSet> &set)
{
    open();
    if (!set)
        MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, recycle.loadMessages());
}

qint64 IOS5MessageDb::messageCount()
{
    open();
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select count(*) from message"));
    return c.moveNext() ? c.getInt64(0) : 0;
}
