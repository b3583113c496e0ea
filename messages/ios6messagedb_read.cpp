#include "messages/ios6messagedb.h"
#include "messages/joiningthreads.h"
#include "records/attributedbody.h"
#include "records/msgidentity.h"
#include "records/relaypath.h"

#include <QSet>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// Marks a column that holds a time, stored in seconds or in nanoseconds since 2001.
struct StoredTime
{
};

// Marks a text column whose few values repeat from row to row (service, account...).
struct Repeating
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
    Field(const char *c, QString Record::*f, Repeating)
        : column(c)
        , text(f)
        , repeating(true)
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
    bool repeating = false;
};

// The last few distinct texts of a column: rows that repeat one share a single copy, found
// by the column's bytes before any text is made of them.
class RecentTexts
{
public:
    QString share(const char *utf8, int size)
    {
        // NULL stays a null text and '' an empty one.
        if (!utf8 || size <= 0)
            return QString::fromUtf8(utf8, 0);
        for (Known &known : m_known) {
            if (known.utf8.size() == size && std::memcmp(known.utf8.constData(), utf8, size) == 0) {
                // Met again: from now on one text for the whole process, which no thread
                // counts references to.
                if (!known.lasting) {
                    known.text = lastingText(utf8, size);
                    known.lasting = true;
                }
                return known.text;
            }
        }
        Known &slot = m_known[m_next];
        slot.utf8 = QByteArray(utf8, size);
        slot.text = QString::fromUtf8(utf8, size);
        slot.lasting = false;
        m_next = (m_next + 1) % Size;
        return slot.text;
    }

private:
    struct Known
    {
        QByteArray utf8;
        QString text;
        bool lasting = false;
    };
    static const int Size = 4;
    Known m_known[Size];
    int m_next = 0;
};

// Fills records from a cursor with the column positions looked up once per query. A column
// the result lacks reads as 0 or empty, replacing the record's default.
template <typename Record> class RowReader
{
public:
    // With an arena, texts and bytes that do not repeat are kept in its blocks.
    RowReader(const Sqlite3Cursor &cursor, const QVector<Field<Record>> &fields,
        RecordArena *arena = nullptr)
        : m_fields(fields)
        , m_recent(fields.size())
        , m_arena(arena)
    {
        m_index.reserve(fields.size());
        for (const Field<Record> &f : fields)
            m_index.append(cursor.columnIndex(QLatin1String(f.column)));
    }

    void read(const Sqlite3Cursor &c, Record &r)
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
            else if (f.repeating)
                r.*f.text = recentText(c, i, index);
            else if (f.text)
                r.*f.text = m_arena ? arenaText(c, index) : c.getText(index);
            else
                r.*f.bytes = m_arena ? arenaBytes(c, index) : c.getBlob(index);
        }
    }

private:
    QString recentText(const Sqlite3Cursor &c, int field, int index)
    {
        int size = 0;
        const char *text = c.textBytes(index, size);
        return m_recent[field].share(text, size);
    }

    QString arenaText(const Sqlite3Cursor &c, int index)
    {
        int size = 0;
        const char *text = c.textBytes(index, size);
        return m_arena->utf8Text(text, size);
    }

    QByteArray arenaBytes(const Sqlite3Cursor &c, int index)
    {
        int size = 0;
        const char *data = c.blobBytes(index, size);
        return m_arena->bytes(data, size);
    }

    const QVector<Field<Record>> &m_fields;
    QVector<int> m_index;
    QVector<RecentTexts> m_recent;
    RecordArena *m_arena;
};

// The columns of the fields that the table has, after `alias` and a dot, for a select list:
// columns a device table holds beyond these (many, on current phones) are never read.
template <typename Record>
QString selectedColumns(
    Sqlite3DB &db, const QString &table, const QString &alias, const QVector<Field<Record>> &fields)
{
    QSet<QString> present;
    const QList<_SqliteCol> columns = db.tbInfo(table);
    for (const _SqliteCol &column : columns)
        present.insert(column.name.toCaseFolded());
    QStringList list;
    for (const Field<Record> &f : fields) {
        const QString name = QLatin1String(f.column);
        if (name == QLatin1String("rowid") || present.contains(name.toCaseFolded()))
            list.append(alias + QLatin1Char('.') + quotedIdentifier(name));
    }
    return list.join(QLatin1String(", "));
}

// The record under `key` in the map, or null with `slot` set to where it goes. Rows are read
// in falling key order: a map keeps its first node at hand, so a key below all others needs
// no search.
template <typename Record>
Record *findInSet(
    QMap<qint64, Record *> &map, qint64 key, typename QMap<qint64, Record *>::iterator &slot)
{
    if (map.isEmpty() || key < map.firstKey()) {
        slot = map.begin();
        return nullptr;
    }
    slot = map.lowerBound(key);
    return slot != map.end() && slot.key() == key ? slot.value() : nullptr;
}

// The decimal text of a row id, kept in the arena.
QString decimalKey(RecordArena &arena, qint64 rowid)
{
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, rowid);
    return arena.latin1Text(digits, int(end.ptr - digits));
}

// Inserts under a decimal key; a wrong hint only costs the search it would have saved.
template <typename Record>
void insertByText(QMap<QString, Record *> &map, const QString &key, Record *record)
{
    map.insert(map.constBegin(), key, record);
}

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
        { "service_name", &C::service_name, Repeating() },
        { "room_name", &C::room_name },
        { "account_login", &C::account_login, Repeating() },
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
        { "country", &H::country, Repeating() },
        { "service", &H::service, Repeating() },
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
        { "service_center", &M::service_center, Repeating() },
        { "handle_id", &M::handle_id },
        { "subject", &M::subject, Repeating() },
        { "country", &M::country, Repeating() },
        { "attributedBody", &M::attributedBody },
        { "version", &M::version },
        { "type", &M::type },
        { "service", &M::service, Repeating() },
        { "account", &M::account, Repeating() },
        { "account_guid", &M::account_guid, Repeating() },
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
        { "cache_roomnames", &M::cache_roomnames, Repeating() },
        { "was_data_detected", &M::was_data_detected },
        { "was_deduplicated", &M::was_deduplicated },
        { "is_audio_message", &M::is_audio_message },
        { "is_played", &M::is_played },
        { "date_played", &M::date_played, StoredTime() },
        { "item_type", &M::item_type },
        { "other_handle", &M::other_handle },
        { "group_title", &M::group_title, Repeating() },
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
        { "uti", &A::uti, Repeating() },
        { "mime_type", &A::mime_type, Repeating() },
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

// A message row id and a number that goes with it: a chat it is in, or its stored date.
struct OfMessage
{
    qint64 message;
    qint64 value;
    bool operator<(const OfMessage &o) const
    {
        return message != o.message ? message < o.message : value < o.value;
    }
};

// Sorts pairs by message and then by value. Joins that phones fill as messages arrive come
// sorted already; others (an index in chat order, the dates in handle order) are placed by
// counting where the row ids are dense, as phones number them, rather than compared.
void sortByMessage(QVector<OfMessage> &pairs)
{
    if (std::is_sorted(pairs.cbegin(), pairs.cend()))
        return;
    const auto [lowest, highest] = std::minmax_element(pairs.cbegin(), pairs.cend(),
        [](const OfMessage &a, const OfMessage &b) { return a.message < b.message; });
    const qint64 low = lowest->message;
    // Unsigned: row ids may lie nearly 2^64 apart.
    const quint64 gap = quint64(highest->message) - quint64(low);
    if (gap >= quint64(4 * qint64(pairs.size()) + 1024)) {
        std::sort(pairs.begin(), pairs.end());
        return;
    }
    std::vector<int> next(static_cast<size_t>(gap) + 2, 0);
    for (const OfMessage &pair : qAsConst(pairs))
        ++next[static_cast<size_t>(pair.message - low) + 1];
    std::partial_sum(next.begin(), next.end(), next.begin());
    QVector<OfMessage> placed(pairs.size());
    for (const OfMessage &pair : qAsConst(pairs))
        placed[next[static_cast<size_t>(pair.message - low)]++] = pair;
    // A message in several chats: its few pairs by chat.
    for (auto run = placed.begin(); run != placed.end();) {
        auto end = run + 1;
        while (end != placed.end() && end->message == run->message)
            ++end;
        if (end - run > 1)
            std::sort(run, end);
        run = end;
    }
    pairs.swap(placed);
}

// The first two columns of every row, sorted by the first.
QVector<OfMessage> sortedPairs(Sqlite3DB &db, const Sqlite3Sql &sql)
{
    // Phones number messages from 1 without large gaps: room for the largest row id (within
    // reason) spares copying a growing vector of a million pairs, and room left unused is
    // never touched.
    const qint64 expected = firstRowid(db, Sqlite3Sql("select max(rowid) from message"));
    QVector<OfMessage> pairs;
    pairs.reserve(int(qBound<qint64>(0, expected, 1 << 22)));
    Sqlite3Cursor c = db.queryThrow(sql);
    while (c.moveNext())
        pairs.append({ c.getInt64(0), c.getInt64(1) });
    sortByMessage(pairs);
    return pairs;
}

// A join of this many rows or more is read by up to this many threads side by side.
const qint64 JoinInParts = 20000;
const int MostJoinReaders = 3;

const char JoinPairsSql[]
    = "select message_id, chat_id from chat_message_join where message_id is not null";

// Opens a read-only connection of a thread of its own that reads its rows once, in order:
// pages it has passed are not wanted again, and a cache of SQLite's usual size would only
// be fresh memory to fault in.
void openReader(Sqlite3DB &db, const QString &path)
{
    db.openThrow(path, Sqlite3DB::ReadOnly | SQLITE_OPEN_NOMUTEX);
    db.executeThrow(Sqlite3Sql("pragma cache_size = -64"));
}

// The stored date of each message, found by its row id: placed at the row id where row ids
// are dense, as phones number them, which spares sorting pairs that an index gives in
// another order (and the fresh memory the sorting takes).
class MessageDates
{
public:
    // Rows of (row id, date).
    void read(Sqlite3DB &db, const Sqlite3Sql &sql)
    {
        const qint64 expected = firstRowid(db, Sqlite3Sql("select max(rowid) from message"));
        if (expected > 0 && expected <= (1 << 22)) {
            m_dates.resize(static_cast<size_t>(expected) + 1);
            m_present.resize(static_cast<size_t>(expected) + 1);
        }
        Sqlite3Cursor c = db.queryThrow(sql);
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(0);
            const qint64 date = c.getInt64(1);
            if (rowid >= 0 && rowid < qint64(m_dates.size())) {
                m_dates[static_cast<size_t>(rowid)] = date;
                m_present[static_cast<size_t>(rowid)] = true;
            } else {
                m_others.append({ rowid, date });
            }
        }
        sortByMessage(m_others);
    }

    // The date of the message, or null where the table has no such row.
    const qint64 *of(qint64 message) const
    {
        if (message >= 0 && message < qint64(m_dates.size()))
            return m_present[static_cast<size_t>(message)] ? &m_dates[static_cast<size_t>(message)]
                                                           : nullptr;
        const auto it = std::lower_bound(m_others.cbegin(), m_others.cend(),
            OfMessage { message, std::numeric_limits<qint64>::min() });
        return it != m_others.cend() && it->message == message ? &it->value : nullptr;
    }

private:
    std::vector<qint64> m_dates;
    std::vector<bool> m_present;
    QVector<OfMessage> m_others;
};

// MessageDates::read through a read-only connection of its own, for a thread of its own:
// `read` is cleared where it fails.
void readDatesAlongside(const QString &path, const Sqlite3Sql &sql, MessageDates &dates, bool &read)
{
    try {
        Sqlite3DB db;
        openReader(db, path);
        dates.read(db, sql);
    } catch (const std::exception &) {
        read = false;
    }
}

// What a connection can tell of changes to its file: another connection's commits change
// the data version, its own changes its count of changed rows.
struct FileState
{
    qint64 dataVersion;
    qint64 changes;

    static FileState of(Sqlite3DB &db)
    {
        return { firstRowid(db, Sqlite3Sql("pragma data_version")),
            qint64(sqlite3_total_changes64(db.handle())) };
    }
    bool operator==(const FileState &o) const
    {
        return dataVersion == o.dataVersion && changes == o.changes;
    }
};

// The pairs of the chat-message join in the rows from `from` up to `upTo`, in stored order,
// read through a read-only connection of a thread of its own.
struct JoinPart
{
    qint64 from = 0;
    qint64 upTo = 0;
    // About how many rows it holds.
    qint64 expected = 0;
    QVector<OfMessage> pairs;
    bool read = false;
};

void readJoinPart(const QString &path, JoinPart &part)
{
    try {
        Sqlite3DB db;
        openReader(db, path);
        Sqlite3Cursor c = db.queryThrow(
            Sqlite3Sql(QLatin1String(JoinPairsSql) + QLatin1String(" and rowid between ? and ?"))
                .addInt64Param(part.from)
                .addInt64Param(part.upTo));
        part.pairs.reserve(int(qBound<qint64>(0, part.expected, 1 << 22)));
        while (c.moveNext())
            part.pairs.append({ c.getInt64(0), c.getInt64(1) });
        part.read = true;
    } catch (const std::exception &) {
    }
}

// Every (message, chat) pair of the chat-message join, by message and then by chat. Stepping
// through a large join is much of listing the chats: it is read in parts of its rows side by
// side, each through a connection of its own, where those see what this one would: no
// transaction of this one open, and no other connection's commit between the first read
// and the last. The parts are read from the start on, while this connection may do more.
class JoinReading
{
public:
    JoinReading(Sqlite3DB &db, const QString &path)
        : m_before(FileState::of(db))
        , m_threads(MostJoinReaders)
    {
        const int readers = qBound(1, QThread::idealThreadCount() - 1, MostJoinReaders);
        if (readers < 2 || !sqlite3_get_autocommit(db.handle()))
            return;
        qint64 last = 0;
        try {
            last = firstRowid(db, Sqlite3Sql("select max(rowid) from chat_message_join"));
        } catch (const std::exception &) {
            // A join without row ids is read in one go.
        }
        if (last < JoinInParts)
            return;
        // The i-th of `readers` equal shares of the row ids up to the last, without passing
        // the largest number there is on the way.
        const auto bound
            = [last, readers](int i) { return last / readers * i + last % readers * i / readers; };
        m_parts.resize(static_cast<size_t>(readers));
        for (int i = 0; i < readers; ++i) {
            JoinPart &part = m_parts[static_cast<size_t>(i)];
            // A bound lies below the last row id: the number after it cannot pass the largest.
            part.from = i == 0 ? std::numeric_limits<qint64>::min() : bound(i) + 1;
            part.upTo = i + 1 == readers ? std::numeric_limits<qint64>::max() : bound(i + 1);
            part.expected = bound(i + 1) - bound(i);
        }
        try {
            for (JoinPart &part : m_parts)
                m_threads.start(readJoinPart, path, std::ref(part));
        } catch (const std::exception &) {
            // What did not start is read in one go.
        }
    }

    // The pairs, read in parts or, where that could not be, now in one go.
    QVector<OfMessage> finish(Sqlite3DB &db)
    {
        m_threads.join();
        const bool allRead = std::all_of(
            m_parts.cbegin(), m_parts.cend(), [](const JoinPart &part) { return part.read; });
        if (m_parts.empty() || !allRead || !(FileState::of(db) == m_before))
            return sortedPairs(db, Sqlite3Sql(QLatin1String(JoinPairsSql)));
        int size = 0;
        for (const JoinPart &part : m_parts)
            size += part.pairs.size();
        QVector<OfMessage> pairs;
        pairs.reserve(size);
        for (const JoinPart &part : m_parts)
            pairs += part.pairs;
        sortByMessage(pairs);
        return pairs;
    }

private:
    std::vector<JoinPart> m_parts;
    FileState m_before;
    // Declared last, so that its threads end before what they fill goes.
    JoiningThreads m_threads;
};

QVector<OfMessage> messagesInChats(Sqlite3DB &db, const QString &path)
{
    return JoinReading(db, path).finish(db);
}

bool joinedToChat(const QVector<OfMessage> &inChats, qint64 message)
{
    const auto it = std::lower_bound(inChats.cbegin(), inChats.cend(),
        OfMessage { message, std::numeric_limits<qint64>::min() });
    return it != inChats.cend() && it->message == message;
}

// The set's record of a message row, made by `make` where the set has none yet.
template <typename Make> _MsgMessage *messageInSet(MsgMessageSet &s, qint64 rowid, Make make)
{
    QMap<qint64, _MsgMessage *>::iterator slot;
    _MsgMessage *message = findInSet(s.messageMap, rowid, slot);
    if (!message) {
        message = make();
        s.messageMap.insert(slot, rowid, message);
    }
    return message;
}

// Points a message at its handles and at its chat: of `chatOfQuery` and those of the join's
// pairs [chatsFrom, chatsTo), the last that the set has (the greatest row id, with several).
// Reads the set only, so that readers on other threads may do it.
void pointMessage(const MsgMessageSet &s, _MsgMessage *message, const OfMessage *chatsFrom,
    const OfMessage *chatsTo, qint64 chatOfQuery)
{
    if (_MsgHandle *handle = s.handleMap.value(message->handle_id)) {
        message->handle = handle;
        if (message->country.isEmpty())
            message->country = handle->country;
    }
    if (message->other_handle > 0) {
        if (_MsgHandle *other = s.handleMap.value(message->other_handle))
            message->otherHandle = other;
    }
    if (chatOfQuery > 0) {
        if (_MsgChat *chat = s.chatMap.value(chatOfQuery))
            message->chat = chat;
    }
    for (const OfMessage *pair = chatsFrom; pair != chatsTo; ++pair) {
        if (_MsgChat *chat = s.chatMap.value(pair->value))
            message->chat = chat;
    }
}

// Lists a message under each of those chats that the set has, by `key`, its decimal row id
// (made here when null).
void listInChats(MsgMessageSet &s, _MsgMessage *message, qint64 rowid, QString key,
    const OfMessage *chatsFrom, const OfMessage *chatsTo, qint64 chatOfQuery)
{
    const auto list = [&](qint64 chatRowid) {
        if (_MsgChat *chat = s.chatMap.value(chatRowid)) {
            if (key.isNull())
                key = decimalKey(s.arena, rowid);
            insertByText(chat->messages, key, message);
        }
    };
    if (chatOfQuery > 0)
        list(chatOfQuery);
    for (const OfMessage *pair = chatsFrom; pair != chatsTo; ++pair)
        list(pair->value);
}

void linkMessage(MsgMessageSet &s, _MsgMessage *message, qint64 rowid, const OfMessage *chatsFrom,
    const OfMessage *chatsTo, qint64 chatOfQuery)
{
    pointMessage(s, message, chatsFrom, chatsTo, chatOfQuery);
    listInChats(s, message, rowid, QString(), chatsFrom, chatsTo, chatOfQuery);
}

// The join's pairs of each message as the messages come in falling row id order: a walk down
// the sorted pairs. A sound file gives its rows in strictly falling order; a row that breaks
// it marks the file damaged and is matched by a search instead, so that no later message
// loses its chats. A page of a cut file reads as zeros, and its rows as row id 0: a row id
// below 1, which phones never give but a file may hold, makes the file suspect.
class ChatPairs
{
public:
    explicit ChatPairs(const QVector<OfMessage> &inChats)
        : m_begin(inChats.cbegin())
        , m_end(inChats.cend())
        , m_pair(m_end)
    {
    }

    // [*from, *to) are the pairs of `rowid`, empty when it is in no chat.
    void of(qint64 rowid, const OfMessage **from, const OfMessage **to)
    {
        if (!m_first && rowid >= m_previous) {
            m_damaged = true;
            m_pair = std::upper_bound(
                m_begin, m_end, OfMessage { rowid, std::numeric_limits<qint64>::max() });
        }
        if (rowid <= 0)
            m_suspect = true;
        m_first = false;
        m_previous = rowid;
        const OfMessage *pair = m_pair;
        while (pair != m_begin && (pair - 1)->message > rowid)
            --pair;
        *to = pair;
        while (pair != m_begin && (pair - 1)->message == rowid)
            --pair;
        *from = pair;
        m_pair = pair;
    }

    bool damaged() const { return m_damaged; }
    bool suspect() const { return m_suspect; }

private:
    const OfMessage *m_begin;
    const OfMessage *m_end;
    const OfMessage *m_pair;
    qint64 m_previous = 0;
    bool m_first = true;
    bool m_damaged = false;
    bool m_suspect = false;
};

_MsgMessage *readMessage(
    RowReader<_MsgMessage> &reader, const Sqlite3Cursor &c, qint64 rowid, RecordArena &arena)
{
    _MsgMessage *read = arena.make<_MsgMessage>();
    reader.read(c, *read);
    read->srcRowid = rowid;
    // Phones since iOS 16 leave text empty and keep the words only here.
    if (read->text.isEmpty() && !read->attributedBody.isEmpty())
        read->text = attributedBodyText(read->attributedBody);
    return read;
}

QString allMessagesSql(IOS6MessageDb &db, const QString &range)
{
    const QString columns
        = selectedColumns(db, QStringLiteral("message"), QStringLiteral("m"), messageFields());
    QStringList conditions;
    if (!range.isEmpty())
        conditions.append(range);
    if (db.hasItemTypeColumn())
        conditions.append(QStringLiteral("m.item_type <> 4"));
    return QStringLiteral("select %1 from message as m%2 order by m.rowid desc")
        .arg(columns,
            conditions.isEmpty()
                ? QString()
                : QStringLiteral(" where ") + conditions.join(QLatin1String(" and ")));
}

// A message row read by a slice and pointed at its handles and chat there: the join's pairs
// of its chats and the key they list it under.
struct SliceRow
{
    qint64 rowid;
    _MsgMessage *record;
    const OfMessage *chatsFrom;
    const OfMessage *chatsTo;
    QString key;
};

// The rows of the message table with row ids in [from, to] that are in a chat, in falling
// row id order, read through a connection of their own. The query is bounded above only and
// the walk stops at the first row below `from`: a bound in the query would end the slice,
// unseen, at a damaged row read as row id 0. That row is `stop`, and the next slice down
// must begin with it.
struct MessageSlice
{
    qint64 from = 0;
    qint64 to = 0;
    int pairs = 0; // of the join in [from, to]: room for the rows taken at once
    std::vector<SliceRow> rows; // made in `arena`
    RecordArena arena;
    bool seenAny = false;
    qint64 first = 0; // the first row read
    bool stopped = false;
    qint64 stop = 0;
    bool damaged = false;
    bool failed = false;
};

void readSlice(const QString &path, const QString &sql, const QVector<OfMessage> &inChats,
    const MsgMessageSet &set, MessageSlice &slice)
{
    try {
        Sqlite3DB db;
        openReader(db, path);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql).addInt64Param(slice.to));
        RowReader<_MsgMessage> reader(c, messageFields(), &slice.arena);
        slice.rows.reserve(static_cast<size_t>(slice.pairs));
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        qint64 previous = 0;
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            if (!slice.seenAny) {
                slice.seenAny = true;
                slice.first = rowid;
            } else if (rowid >= previous) {
                slice.damaged = true;
            }
            previous = rowid;
            if (rowid < slice.from) {
                slice.stopped = true;
                slice.stop = rowid;
                break;
            }
            if (rowid <= 0 || rowid > slice.to)
                slice.damaged = true;
            const auto chats
                = std::equal_range(inChats.cbegin(), inChats.cend(), OfMessage { rowid, 0 },
                    [](const OfMessage &a, const OfMessage &b) { return a.message < b.message; });
            if (chats.first == chats.second)
                continue;
            _MsgMessage *message = readMessage(reader, c, rowid, slice.arena);
            pointMessage(set, message, chats.first, chats.second, 0);
            slice.rows.push_back(
                { rowid, message, chats.first, chats.second, decimalKey(slice.arena, rowid) });
        }
        slice.arena.trim();
    } catch (const std::exception &) {
        slice.failed = true;
    }
}

// True when the slices read the table whole: each in falling order, and each ending where
// the next one down begins.
bool slicesAreWhole(const std::vector<MessageSlice> &slices)
{
    for (size_t i = 0; i < slices.size(); ++i) {
        const MessageSlice &slice = slices[i];
        if (slice.failed || slice.damaged)
            return false;
        if (i == 0)
            continue;
        const MessageSlice &below = slices[i - 1];
        if (slice.stopped ? !below.seenAny || below.first != slice.stop : below.seenAny)
            return false;
    }
    return true;
}

// An attachment row of a loaded message, read before its message is in the set and linked
// to it after. `record` is null where the set had the attachment already (`known`, and
// `localPath` is where its file lies now) or where an earlier row made it.
struct AttachmentRow
{
    qint64 message;
    qint64 attachment;
    _MsgAttachment *record;
    bool known;
    QString localPath;
    _MsgMessage *target = nullptr; // its message's record, where found before linking
};

// Which of the attachments a reader takes: those whose row id leaves `part` divided by
// `parts`, so that the rows of one attachment meet in one reader.
struct AttachmentPart
{
    int part;
    int parts;
    bool has(qint64 attachment) const
    {
        return parts < 2 || attachment % parts == part || attachment % parts == part - parts;
    }
};

// The attachment rows of the messages of one chat, or of all messages in a chat, their new
// records made in `arena`. The set's attachments in `known` are not read again.
void readAttachments(Sqlite3DB &db, const QDir &fileRelayFolder, qint64 chatId,
    const QVector<OfMessage> &inChats, const QMap<qint64, _MsgAttachment *> &known,
    AttachmentPart part, RecordArena &arena, std::vector<AttachmentRow> &rows)
{
    const QString columns = selectedColumns(
        db, QStringLiteral("attachment"), QStringLiteral("a"), attachmentFields());
    Sqlite3Sql sql(QStringLiteral("select ma.message_id, ma.attachment_id, %1 from "
                                  "message_attachment_join as ma inner join attachment as a on "
                                  "ma.attachment_id=a.rowid")
                       .arg(columns));
    if (chatId > 0)
        sql.appendSql(QStringLiteral(" inner join chat_message_join as cm on "
                                     "ma.message_id=cm.message_id and cm.chat_id=%1 order by "
                                     "cm.message_id desc")
                          .arg(chatId));
    else
        sql.appendSql(QStringLiteral(" order by ma.rowid desc"));
    Sqlite3Cursor c = db.queryThrow(sql);
    RowReader<_MsgAttachment> reader(c, attachmentFields(), &arena);
    const int attachmentIdColumn = c.columnIndex(QStringLiteral("attachment_id"));
    const int messageIdColumn = c.columnIndex(QStringLiteral("message_id"));
    RelayPathResolver paths(fileRelayFolder, RelayBackslash::Keep);
    // An attachment of several messages comes in several rows; one record is made for it.
    QSet<qint64> made;
    while (c.moveNext()) {
        const qint64 messageId = c.getInt64(messageIdColumn);
        if (chatId <= 0 && !joinedToChat(inChats, messageId))
            continue;
        AttachmentRow row { messageId, c.getInt64(attachmentIdColumn), nullptr, false, QString() };
        if (!part.has(row.attachment))
            continue;
        if (const _MsgAttachment *had = known.value(row.attachment)) {
            // Checked again: a link may have appeared in the tree since.
            row.known = true;
            if (!had->filename.isEmpty())
                row.localPath = paths.path(had->filename);
        } else if (!made.contains(row.attachment)) {
            made.insert(row.attachment);
            row.record = arena.make<_MsgAttachment>();
            reader.read(c, *row.record);
            if (!row.record->filename.isEmpty())
                row.record->localPath = paths.path(row.record->filename);
        }
        rows.push_back(std::move(row));
    }
}

// Enters attachment rows into the set and lists each under its loaded message: its `target`,
// or where `targetsFound` is false the set's record of it. An attachment of a message not
// loaded (a group event of item_type 4) joins the set unlinked.
void linkAttachments(MsgMessageSet &s, std::vector<AttachmentRow> &rows, bool targetsFound)
{
    for (AttachmentRow &row : rows) {
        QMap<qint64, _MsgAttachment *>::iterator slot;
        _MsgAttachment *attachment = findInSet(s.attachmentMap, row.attachment, slot);
        if (!attachment) {
            if (!row.record)
                continue;
            attachment = row.record;
            s.attachmentMap.insert(slot, row.attachment, attachment);
        } else if (row.known && !attachment->filename.isEmpty()) {
            attachment->localPath = row.localPath;
        }
        if (_MsgMessage *message = targetsFound ? row.target : s.messageMap.value(row.message))
            insertByText(message->attachments, decimalKey(s.arena, row.attachment), attachment);
    }
}

// The attachments of the messages of one chat, or of all messages in a chat, into the set.
void loadAttachments(
    IOS6MessageDb &db, MsgMessageSet &s, qint64 chatId, const QVector<OfMessage> &inChats)
{
    std::vector<AttachmentRow> rows;
    readAttachments(
        db, db.fileRelayFolder(), chatId, inChats, s.attachmentMap, { 0, 1 }, s.arena, rows);
    linkAttachments(s, rows, false);
}

// The attachment rows of all messages in a chat, read on a thread of its own through a
// read-only connection of its own.
struct AttachmentSlice
{
    std::vector<AttachmentRow> rows;
    RecordArena arena;
    bool failed = false;
};

void readAttachmentSlice(const QString &path, const QDir &fileRelayFolder,
    const QVector<OfMessage> &inChats, const QMap<qint64, _MsgAttachment *> &known,
    AttachmentPart part, AttachmentSlice &slice)
{
    try {
        Sqlite3DB db;
        openReader(db, path);
        readAttachments(db, fileRelayFolder, 0, inChats, known, part, slice.arena, slice.rows);
        slice.arena.trim();
    } catch (const std::exception &) {
        slice.failed = true;
    }
}

// Runs the tasks side by side: each but the last on a thread of its own, the last here, and
// here too any whose thread cannot start. The first failure is thrown once all have ended.
void runTogether(const std::vector<std::function<void()>> &tasks)
{
    std::vector<std::exception_ptr> failures(tasks.size());
    const auto run = [&tasks, &failures](size_t i) {
        try {
            tasks[i]();
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    {
        JoiningThreads threads(tasks.size());
        for (size_t i = 0; i + 1 < tasks.size(); ++i) {
            try {
                threads.start(run, i);
            } catch (const std::exception &) {
                run(i);
            }
        }
        if (!tasks.empty())
            run(tasks.size() - 1);
    }
    for (const std::exception_ptr &failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

// Enters the rows of whole slices into the set in falling row id order, as one reader
// would, and then the attachments read beside them, once `attachmentsRead` (which waits for
// their readers) says they were; where they were not, none is entered. Into an empty set,
// where no row can meet a record already there, the map of messages, the attachments and the
// chats' lists (a share of the chats each) are built side by side, the messages' side while
// the attachments may still be read; only the attachments add to the set's arena, the chats
// listing their messages by the keys the slices made.
template <typename Wait>
void enterSlices(MsgMessageSet &s, std::vector<MessageSlice> &slices,
    std::vector<AttachmentSlice> &attachments, const Wait &attachmentsRead)
{
    // The set owns the records before its maps reach them.
    for (MessageSlice &slice : slices)
        s.arena.adopt(slice.arena);
    const auto eachRow = [&slices](auto &&f) {
        for (auto slice = slices.crbegin(); slice != slices.crend(); ++slice) {
            for (const SliceRow &row : slice->rows)
                f(row);
        }
    };
    const auto adoptAttachments = [&] {
        if (!attachmentsRead())
            return false;
        for (AttachmentSlice &slice : attachments)
            s.arena.adopt(slice.arena);
        return true;
    };
    if (s.messageMap.isEmpty()) {
        const auto fillMap = [&s, &eachRow] {
            QMap<qint64, _MsgMessage *> &map = s.messageMap;
            eachRow(
                [&map](const SliceRow &row) { map.insert(map.begin(), row.rowid, row.record); });
        };
        // Each attachment row finds its message in a walk down beside the slices' rows.
        const auto linkAll = [&s, &eachRow, &attachments, &adoptAttachments] {
            if (!adoptAttachments())
                return;
            std::vector<AttachmentRow *> byMessage;
            for (AttachmentSlice &slice : attachments) {
                for (AttachmentRow &row : slice.rows)
                    byMessage.push_back(&row);
            }
            std::sort(byMessage.begin(), byMessage.end(),
                [](const AttachmentRow *a, const AttachmentRow *b) {
                    return a->message > b->message;
                });
            auto next = byMessage.cbegin();
            eachRow([&](const SliceRow &row) {
                while (next != byMessage.cend() && (*next)->message > row.rowid)
                    ++next;
                for (; next != byMessage.cend() && (*next)->message == row.rowid; ++next)
                    (*next)->target = row.record;
            });
            for (AttachmentSlice &slice : attachments)
                linkAttachments(s, slice.rows, true);
        };
        // The chats by the remainder of their row id: each lister fills the lists of its own.
        const qint64 listers = qBound(2, QThread::idealThreadCount() - 2, 4);
        const auto listShare = [&s, &eachRow, listers](qint64 share) {
            eachRow([&s, listers, share](const SliceRow &row) {
                for (const OfMessage *pair = row.chatsFrom; pair != row.chatsTo; ++pair) {
                    if (pair->value % listers != share && pair->value % listers != share - listers)
                        continue;
                    if (_MsgChat *chat = s.chatMap.value(pair->value))
                        insertByText(chat->messages, row.key, row.record);
                }
            });
        };
        std::vector<std::function<void()>> tasks { fillMap, linkAll };
        for (qint64 share = 0; share < listers; ++share)
            tasks.emplace_back([&listShare, share] { listShare(share); });
        runTogether(tasks);
    } else {
        eachRow([&s](const SliceRow &row) {
            _MsgMessage *message = messageInSet(s, row.rowid, [&] { return row.record; });
            if (message == row.record)
                listInChats(s, message, row.rowid, row.key, row.chatsFrom, row.chatsTo, 0);
            else
                linkMessage(s, message, row.rowid, row.chatsFrom, row.chatsTo, 0);
        });
        if (adoptAttachments()) {
            for (AttachmentSlice &slice : attachments)
                linkAttachments(s, slice.rows, false);
        }
    }
    for (MessageSlice &slice : slices)
        slice.rows = {};
}

// How many threads read slices of the message table and how many read the attachments and
// find their files: an attachment costs several times what a message costs (a look-up of
// its file and folder), and phones have one for every few messages.
struct Readers
{
    int messages;
    int attachments;

    static Readers forThisMachine()
    {
        const int cores = qMax(1, QThread::idealThreadCount());
        const int attachments = cores > 4 ? 2 : 1;
        return { qBound(1, cores - attachments, 6), attachments };
    }
};

// Turning rows into records (their texts, their allocations, fresh memory) is most of a
// large load and needs no other row: slices of the message table are read on threads of
// their own, each through its own read-only connection, and entered into the set here in
// falling row id order, as one reader would; a further thread reads the attachments and
// finds their files meanwhile. False, with nothing entered, where that cannot be (a small
// load, a file another connection cannot read, a transaction of this one open, a damaged
// table that the one reader must walk whole).
bool loadAllInSlices(IOS6MessageDb &db, MsgMessageSet &s, const QVector<OfMessage> &inChats)
{
    const Readers readers = Readers::forThisMachine();
    const int threads = readers.messages;
    if (threads < 2 || inChats.size() < 20000 || !sqlite3_get_autocommit(db.handle()))
        return false;
    // A slice ends one below the row id that begins the next, and nothing is below the least
    // there is. No phone numbers a message so: the one reader takes such a file.
    if (inChats.first().message == std::numeric_limits<qint64>::min())
        return false;
    // Slices of equal numbers of pairs, bounded at the row ids that begin them.
    std::vector<MessageSlice> slices(static_cast<size_t>(threads));
    for (int i = 0; i < threads; ++i) {
        MessageSlice &slice = slices[static_cast<size_t>(i)];
        const int begin = int(qint64(inChats.size()) * i / threads);
        const int end = int(qint64(inChats.size()) * (i + 1) / threads);
        slice.from = i == 0 ? std::numeric_limits<qint64>::min() : inChats.at(begin).message;
        slice.to
            = i + 1 == threads ? std::numeric_limits<qint64>::max() : inChats.at(end).message - 1;
        slice.pairs = end - begin;
    }
    const QString sql = allMessagesSql(db, QStringLiteral("m.rowid <= ?"));
    std::vector<AttachmentSlice> attachments(static_cast<size_t>(readers.attachments));
    // Joined last: the messages are entered while the attachments may still be read.
    JoiningThreads attachmentReaders(attachments.size());
    bool started = true;
    {
        JoiningThreads messageReaders(slices.size());
        try {
            for (MessageSlice &slice : slices)
                messageReaders.start(
                    readSlice, db.path(), sql, std::cref(inChats), std::cref(s), std::ref(slice));
            for (int i = 0; i < readers.attachments; ++i) {
                attachmentReaders.start(readAttachmentSlice, db.path(), db.fileRelayFolder(),
                    std::cref(inChats), std::cref(s.attachmentMap),
                    AttachmentPart { i, readers.attachments },
                    std::ref(attachments[static_cast<size_t>(i)]));
            }
        } catch (...) {
            started = false;
        }
    }
    if (!started || !slicesAreWhole(slices))
        return false;
    // Where a reader failed, the one connection reads them all again.
    bool attachmentsRead = false;
    enterSlices(s, slices, attachments, [&] {
        attachmentReaders.join();
        attachmentsRead = std::none_of(attachments.cbegin(), attachments.cend(),
            [](const AttachmentSlice &slice) { return slice.failed; });
        return attachmentsRead;
    });
    if (!attachmentsRead)
        loadAttachments(db, s, 0, inChats);
    return true;
}

// The messages of one chat, or of all (the chats of each in `inChats`), into the set. True
// when the rows of all chats were not in the order of a sound file (then each was matched to
// its chats by a search) or SQLite found a page damaged: rows the damage hid are missing.
bool loadMessages(
    IOS6MessageDb &db, MsgMessageSet &s, qint64 chatId, const QVector<OfMessage> &inChats)
{
    Sqlite3Sql sql;
    if (chatId > 0) {
        const QString columns
            = selectedColumns(db, QStringLiteral("message"), QStringLiteral("m"), messageFields());
        sql = Sqlite3Sql(
            QStringLiteral("select j.chat_id, %1 from chat_message_join as j inner "
                           "join message as m on j.message_id = m.rowid%2 and "
                           "j.chat_id=%3 order by j.message_id desc")
                .arg(columns,
                    db.hasItemTypeColumn() ? QStringLiteral(" and m.item_type <> 4") : QString())
                .arg(chatId));
    } else {
        sql = Sqlite3Sql(allMessagesSql(db, QString()));
    }
    Sqlite3Cursor c = db.queryThrow(sql);
    RowReader<_MsgMessage> reader(c, messageFields(), &s.arena);
    const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
    const int chatIdColumn = c.columnIndex(QStringLiteral("chat_id"));
    ChatPairs pairs(inChats);
    const OfMessage *chatsFrom = nullptr;
    const OfMessage *chatsTo = nullptr;
    try {
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            if (chatId <= 0) {
                pairs.of(rowid, &chatsFrom, &chatsTo);
                if (chatsFrom == chatsTo)
                    continue;
            }
            _MsgMessage *message
                = messageInSet(s, rowid, [&] { return readMessage(reader, c, rowid, s.arena); });
            linkMessage(
                s, message, rowid, chatsFrom, chatsTo, chatId > 0 ? c.getInt64(chatIdColumn) : 0);
        }
    } catch (const Sqlite3Exception &e) {
        // A page SQLite cannot read ends the walk: the rows up to it are kept.
        if (!e.isDamage())
            throw;
        return true;
    }
    // SQLite's own check of every page tells whether rows below row id 1 are the file's or
    // its damage.
    return pairs.damaged() || (pairs.suspect() && !db.passesQuickCheck());
}

} // namespace

struct IOS6MessageDb::KeptJoin
{
    QVector<OfMessage> pairs;
    FileState state;
};

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
        RowReader<_MsgChat> reader(c, chatFields());
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            if (s.chatMap.contains(rowid))
                continue;
            _MsgChat *chat = s.arena.make<_MsgChat>();
            reader.read(c, *chat);
            s.chatMap.insert(rowid, chat);
            added = true;
        }
    }

    const auto readHandles = [this, &s] {
        QHash<QString, _CountryInfo> countries;
        Sqlite3Cursor c
            = queryThrow(Sqlite3Sql("select j.chat_id, h.* from chat_handle_join as "
                                    "j inner join handle as h on j.handle_id = h.rowid"));
        RowReader<_MsgHandle> reader(c, handleFields());
        const int rowidColumn = c.columnIndex(QStringLiteral("rowid"));
        const int chatIdColumn = c.columnIndex(QStringLiteral("chat_id"));
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(rowidColumn);
            _MsgHandle *handle = s.handleMap.value(rowid);
            if (!handle) {
                handle = s.arena.make<_MsgHandle>();
                reader.read(c, *handle);
                s.handleMap.insert(rowid, handle);
                normalizeHandle(*handle, countries);
                contacts.applyContact(*handle, "IOS6MessageDb::chats");
            }
            if (_MsgChat *chat = s.chatMap.value(c.getInt64(chatIdColumn)))
                chat->handles.insert(QString::number(rowid), handle);
        }
    };
    // The newest dates of chats already in the set were derived when they were added; this
    // reads every message, so it runs only when a chat is new (messages() calls this once
    // per chat shown). The handles are read meanwhile.
    if (added
        && !tableHas(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive))
        deriveChatDates(s, readHandles);
    else
        readHandles();
}

void IOS6MessageDb::deriveChatDates(MsgMessageSet &s, const std::function<void()> &meanwhile)
{
    // The newest date among the messages joined to each chat. A join would visit the
    // messages in the order of their chats, which is a random order of pages in a large
    // file; two scans in stored order (the dates mostly from an index), side by side, and a
    // look-up of each pair's date here read each page once. A null date counts for nothing,
    // as in max().
    const qint64 noDate = std::numeric_limits<qint64>::min();
    const Sqlite3Sql datesSql
        = Sqlite3Sql("select rowid, ifnull(date, ?) from message").addInt64Param(noDate);
    MessageDates dates;
    QVector<OfMessage> inChats;
    bool alongside = sqlite3_get_autocommit(handle());
    {
        JoiningThreads reader(1);
        if (alongside) {
            try {
                reader.start(
                    readDatesAlongside, path(), datesSql, std::ref(dates), std::ref(alongside));
            } catch (const std::exception &) {
                alongside = false;
            }
        }
        JoinReading join(*this, path());
        meanwhile();
        inChats = join.finish(*this);
    }
    if (!alongside) {
        dates = MessageDates();
        dates.read(*this, datesSql);
    }
    QHash<qint64, qint64> newest;
    for (const OfMessage &pair : qAsConst(inChats)) {
        const qint64 *date = dates.of(pair.message);
        if (!date)
            continue;
        auto it = newest.find(pair.value);
        if (it == newest.end())
            newest.insert(pair.value, *date);
        else if (*date > *it)
            *it = *date;
    }
    for (auto it = newest.cbegin(); it != newest.cend(); ++it) {
        if (_MsgChat *chat = s.chatMap.value(it.key()))
            chat->last = recordDateFromStored(it.value() == noDate ? 0 : it.value());
    }
    keptJoin = std::make_shared<KeptJoin>(KeptJoin { inChats, FileState::of(*this) });
}

void IOS6MessageDb::messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId)
{
    open();
    chats(set);
    // All chats: the messages in stored order, each matched to its chats by a merge with
    // the sorted join, so that the pages of a large file are read in turn. One chat: the
    // join's index leads to its messages.
    QVector<OfMessage> inChats;
    if (chatId <= 0) {
        if (keptJoin && keptJoin->state == FileState::of(*this))
            inChats = keptJoin->pairs;
        else
            inChats = messagesInChats(*this, path());
    }
    keptJoin.reset();
    if (chatId <= 0 && loadAllInSlices(*this, *set, inChats))
        return;
    const bool damaged = loadMessages(*this, *set, chatId, inChats);
    loadAttachments(*this, *set, chatId, inChats);
    // What could be read stays in the set; that some could not must not pass unseen.
    if (damaged) {
        throw std::runtime_error(
            QStringLiteral("The message database %1 is damaged: some of its messages cannot be "
                           "read.")
                .arg(QDir::toNativeSeparators(dbPath))
                .toStdString());
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
