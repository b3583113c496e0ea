#include "support/carvablesmsdb.h"

#include "platform/samplephones/ios6smsdbfixture.h"
#include "support/sqliteimage.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <stdexcept>

namespace {

constexpr qint64 UnixOf2001 = 978307200;

const char kIos5Head[]
    = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, flags "
      "INTEGER, replace INTEGER, svc_center TEXT, group_id INTEGER, association_id INTEGER, "
      "height INTEGER, UIFlags INTEGER, version INTEGER, subject TEXT, country TEXT, headers "
      "BLOB, recipients BLOB, read INTEGER, madrid_attributedBody BLOB, madrid_handle TEXT, "
      "madrid_version INTEGER, madrid_guid TEXT, madrid_type INTEGER, madrid_roomname TEXT, "
      "madrid_service TEXT, madrid_account TEXT, ";
const char kIos5Tail[]
    = "madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error "
      "INTEGER, is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER";
const char kIos5Rest[]
    = "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, "
      "newest_message INTEGER, unread_count INTEGER, hash INTEGER);"
      "CREATE INDEX message_group_index ON message(group_id, ROWID);"
      "CREATE INDEX madrid_guid_index ON message(madrid_guid);";

const char kIos8Message[]
    = "is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER, "
      "item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT, "
      "group_action_type INTEGER DEFAULT 0, share_status INTEGER, share_direction INTEGER, "
      "is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type "
      "INTEGER DEFAULT 0, message_source INTEGER DEFAULT 0";
const char kIos6Rest[]
    = "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
      "style INTEGER, state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, "
      "service_name TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0, "
      "last_addressed_handle TEXT);"
      "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
      "NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti "
      "TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0);"
      "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, "
      "UNIQUE(chat_id, handle_id));"
      "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
      "CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY "
      "(chat_id, message_id));"
      "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON "
      "DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, "
      "UNIQUE(message_id, attachment_id));"
      "CREATE INDEX message_idx_handle ON message(handle_id, date);";
const char kHandle[]
    = "ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, service "
      "TEXT NOT NULL, uncanonicalized_id TEXT";

constexpr int Ios6Columns = 38;
constexpr int LaterExtraColumns = 40;

QString extraColumnName(int i)
{
    return QStringLiteral("extra_%1").arg(i);
}

bool extraIsText(int i)
{
    return i % 2 == 0;
}

// The columns that later layouts add to the 38 of iOS 6, in order: those of iOS 8, then
// extra ones. The first `count` of them.
QStringList laterColumns(int count)
{
    QStringList columns = QString::fromLatin1(kIos8Message).split(QStringLiteral(", "));
    for (int i = 0; columns.size() < count; ++i) {
        columns.append(QStringLiteral("%1 %2").arg(extraColumnName(i),
            extraIsText(i) ? QStringLiteral("TEXT") : QStringLiteral("INTEGER DEFAULT 0")));
    }
    return columns.mid(0, count);
}

QString columnName(const QString &definition)
{
    return definition.section(QLatin1Char(' '), 0, 0);
}

void throwIf(bool failed, const QString &what)
{
    if (failed)
        throw std::runtime_error(what.toStdString());
}

QString idList(const QList<qint64> &rowids, int from, int count)
{
    QStringList ids;
    for (int i = from; i < from + count && i < rowids.size(); ++i)
        ids.append(QString::number(rowids.at(i)));
    return ids.join(QLatin1Char(','));
}

} // namespace

CarvableSmsDb::CarvableSmsDb(const QString &dataFolder, Layout layout, int pageSize)
    : m_dataFolder(dataFolder)
    , m_layout(layout)
    , m_pageSize(pageSize)
{
    const QString file = path();
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile::remove(file);
    ensureOpen();
    execute(QStringLiteral("PRAGMA page_size=%1; PRAGMA auto_vacuum=NONE;").arg(pageSize));

    QString ddl;
    if (isIos5()) {
        const QString accountGuid = QStringLiteral("madrid_account_guid TEXT");
        ddl = QStringLiteral("CREATE TABLE message (%1%2%3);%4")
                  .arg(QLatin1String(kIos5Head),
                      layout == Ios5Reordered ? accountGuid + QStringLiteral(", ") : QString(),
                      QLatin1String(kIos5Tail)
                          + (layout == Ios5 ? QStringLiteral(", ") + accountGuid : QString()),
                      QLatin1String(kIos5Rest));
    } else {
        const bool later = layout == Later;
        const int added = layout == Ios6 ? 0 : layout == Ios8 ? 13 : 13 + LaterExtraColumns;
        QString columns = QLatin1String(IOS6SmsDbFixture::messageColumns);
        for (const QString &column : laterColumns(added)) {
            columns += QStringLiteral(", ") + column;
            m_addedColumns.append(columnName(column));
        }
        ddl = QStringLiteral("CREATE TABLE message (%1);CREATE TABLE handle (%2%3, UNIQUE "
                             "(id, service));%4")
                  .arg(columns, QLatin1String(kHandle),
                      QLatin1String(later ? ", person_centric_id TEXT DEFAULT NULL" : ""),
                      QLatin1String(kIos6Rest));
    }
    execute(ddl);
}

CarvableSmsDb::~CarvableSmsDb() = default;

QString CarvableSmsDb::smsDbPath(const QString &dataFolder)
{
    return IOS6SmsDbFixture::smsDbPath(dataFolder);
}

QString CarvableSmsDb::path() const
{
    return smsDbPath(m_dataFolder);
}

Sqlite3DB &CarvableSmsDb::db()
{
    ensureOpen();
    return *m_db;
}

void CarvableSmsDb::close()
{
    m_db.reset();
}

void CarvableSmsDb::ensureOpen()
{
    if (m_db)
        return;
    m_db = std::make_unique<Sqlite3DB>();
    m_db->openThrow(path(), 6);
    // Debian's SQLite zeroes deleted rows unless told otherwise, per connection.
    execute(QStringLiteral("PRAGMA secure_delete=OFF; PRAGMA journal_mode=DELETE; "
                           "PRAGMA synchronous=OFF;"));
}

void CarvableSmsDb::execute(const QString &sql)
{
    ensureOpen();
    QString error;
    throwIf(!m_db->exec(sql, error), error);
}

QString CarvableSmsDb::text(quint32 seed, int length)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz     ABCDEFGHIJ.,!?0123456789";
    QString out;
    out.reserve(qMax(0, length));
    quint32 state = seed * 2654435761u + 12345u;
    for (int i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        out.append(QLatin1Char(letters[(state >> 24) % (sizeof letters - 1)]));
    }
    return out;
}

CarvableSmsDb::Message CarvableSmsDb::makeMessage(int n, int textLength, qint64 handle) const
{
    Message m;
    m.guid = QStringLiteral("%1-0000-4000-8000-%2")
                 .arg(n, 8, 16, QLatin1Char('0'))
                 .arg(quint64(n) * 7919, 12, 16, QLatin1Char('0'))
                 .toUpper();
    // Every text begins with its number, so that no two are alike.
    const QString prefix = QStringLiteral("#%1 ").arg(n);
    m.text = prefix + text(quint32(n), qMax(0, textLength - prefix.size()));
    m.date = 400000000 + n * 61;
    m.handle = handle;
    m.fromMe = n % 3 == 0;
    m.address = QStringLiteral("+1555%1").arg(1000000 + n % 97);
    m.service = n % 4 == 1 ? QStringLiteral("iMessage") : QStringLiteral("SMS");
    m.longExtras = n % 3 == 1;
    return m;
}

qint64 CarvableSmsDb::addHandle(Handle handle)
{
    throwIf(isIos5(), QStringLiteral("the iOS 5 layout has no handle table"));
    Sqlite3Row row;
    row.setValue(QStringLiteral("id"), handle.id);
    row.setValue(QStringLiteral("country"), handle.country);
    row.setValue(QStringLiteral("service"), handle.service);
    row.setValue(QStringLiteral("uncanonicalized_id"), handle.id);
    db().executeThrow(row.insertSql(QStringLiteral("handle")));
    handle.rowid = m_db->lastInsertId();
    m_liveHandles.insert(handle.rowid, handle);
    return handle.rowid;
}

qint64 CarvableSmsDb::addChat(
    const QString &identifier, const QList<qint64> &handles, const QString &service)
{
    Sqlite3Row row;
    row.setValue(QStringLiteral("guid"), QStringLiteral("%1;%2;%3")
                                             .arg(service,
                                                 handles.size() > 1 ? QStringLiteral("+")
                                                                    : QStringLiteral("-"),
                                                 identifier));
    row.setValue(QStringLiteral("style"), handles.size() > 1 ? 43 : 45);
    row.setValue(QStringLiteral("state"), 3);
    row.setValue(QStringLiteral("chat_identifier"), identifier);
    row.setValue(QStringLiteral("service_name"), service);
    row.setValue(QStringLiteral("account_login"), QStringLiteral("E:"));
    db().executeThrow(row.insertSql(QStringLiteral("chat")));
    const qint64 chat = m_db->lastInsertId();
    for (const qint64 handle : handles) {
        m_db->executeThrow(
            Sqlite3Sql("insert into chat_handle_join(chat_id, handle_id) values(?,?)")
                .addInt64Param(chat)
                .addInt64Param(handle));
    }
    return chat;
}

qint64 CarvableSmsDb::addMessage(Message m)
{
    Sqlite3Row row;
    auto set = [&row](const char *column, const QVariant &value) {
        row.setValue(QLatin1String(column), value);
    };
    set("text", m.text);
    if (isIos5()) {
        set("date", m.service == QLatin1String("SMS") ? m.date + UnixOf2001 : qint64(m.date));
        set("flags", m.fromMe ? 3 : 2);
        set("replace", 0);
        set("group_id", 1);
        set("UIFlags", m.fromMe ? 0 : 4);
        set("version", 0);
        set("read", 1);
        if (m.service == QLatin1String("SMS")) {
            set("address", m.address);
            set("country", QStringLiteral("us"));
        } else {
            set("madrid_handle", m.address);
            set("madrid_guid", m.guid);
            set("madrid_service", QStringLiteral("Madrid"));
            set("madrid_account", QStringLiteral("e:me@example.com"));
            set("madrid_account_guid", QStringLiteral("0A0B0C0D-1111-2222-3333-444455556666"));
            set("madrid_error", 0);
            set("is_madrid", 1);
            set("madrid_date_read", m.date);
            set("madrid_date_delivered", m.fromMe ? m.date : 0);
        }
    } else {
        const qint64 unit = m_layout == Later ? 1000000000 : 1;
        set("guid", m.guid);
        set("handle_id", m.handle);
        set("service", m.service);
        set("account", QStringLiteral("e:me@example.com"));
        set("account_guid", QStringLiteral("0A0B0C0D-1111-2222-3333-444455556666"));
        set("date", m.date * unit);
        set("date_read", m.fromMe ? 0 : (m.date + 30) * unit);
        set("date_delivered", m.fromMe ? m.date * unit : 0);
        set("is_from_me", m.fromMe ? 1 : 0);
        set("is_delivered", 1);
        set("is_finished", 1);
        set("is_read", 1);
        set("is_sent", m.fromMe ? 1 : 0);
        set("version", 10);
        if (m_addedColumns.contains(QLatin1String("item_type")))
            set("item_type", m.itemType);
        for (const char *column : { "other_handle", "message_source" }) {
            if (m_addedColumns.contains(QLatin1String(column)))
                set(column, 0);
        }
        for (int i = 0; m_addedColumns.contains(extraColumnName(i)); ++i) {
            if (extraIsText(i))
                set(extraColumnName(i).toLatin1().constData(),
                    m.longExtras ? text(quint32(i), 60 + i % 40) : QString());
            else
                set(extraColumnName(i).toLatin1().constData(), i);
        }
    }
    m.columns = messageColumns();
    db().executeThrow(row.insertSql(QStringLiteral("message")));
    m.rowid = m_db->lastInsertId();
    if (m_keepHeads)
        m.head = recordHead(m.rowid);
    m_live.insert(m.rowid, m);
    return m.rowid;
}

QList<qint64> CarvableSmsDb::addMessages(int first, int count, int textLength, qint64 handle)
{
    QList<qint64> rowids;
    execute(QStringLiteral("BEGIN"));
    for (int n = first; n < first + count; ++n)
        rowids.append(addMessage(makeMessage(n, textLength, handle)));
    execute(QStringLiteral("COMMIT"));
    return rowids;
}

void CarvableSmsDb::deleteMessages(const QList<qint64> &rowids)
{
    execute(QStringLiteral("BEGIN"));
    for (int i = 0; i < rowids.size(); i += 500) {
        const QString ids = idList(rowids, i, 500);
        execute(QStringLiteral("DELETE FROM message WHERE ROWID IN (%1)").arg(ids));
        if (!isIos5())
            execute(QStringLiteral("DELETE FROM chat_message_join WHERE message_id IN (%1)")
                        .arg(ids));
    }
    execute(QStringLiteral("COMMIT"));
    for (const qint64 rowid : rowids) {
        if (m_live.contains(rowid))
            m_deleted.insert(rowid, m_live.take(rowid));
    }
}

void CarvableSmsDb::deleteHandles(const QList<qint64> &rowids)
{
    execute(QStringLiteral("DELETE FROM handle WHERE ROWID IN (%1)")
                .arg(idList(rowids, 0, rowids.size())));
    for (const qint64 rowid : rowids) {
        if (m_liveHandles.contains(rowid))
            m_deletedHandles.insert(rowid, m_liveHandles.take(rowid));
    }
}

void CarvableSmsDb::touchMessages(const QList<qint64> &rowids)
{
    // A longer row no longer fits its old cell, so SQLite writes it elsewhere.
    execute(QStringLiteral("UPDATE message SET subject='seen on another device' WHERE ROWID IN "
                           "(%1)")
                .arg(idList(rowids, 0, rowids.size())));
    for (const qint64 rowid : rowids) {
        if (!m_live.contains(rowid))
            continue;
        // The new version has every column the table has now.
        m_live[rowid].columns = messageColumns();
        if (m_keepHeads)
            m_live[rowid].head = recordHead(rowid);
    }
}

int CarvableSmsDb::messageColumns() const
{
    return isIos5() ? 33 : Ios6Columns + m_addedColumns.size();
}

void CarvableSmsDb::addMessageColumns(int count)
{
    throwIf(isIos5(), QStringLiteral("the iOS 5 layout does not grow"));
    const QStringList columns = laterColumns(m_addedColumns.size() + count);
    for (int i = m_addedColumns.size(); i < columns.size(); ++i) {
        execute(QStringLiteral("ALTER TABLE message ADD COLUMN %1").arg(columns.at(i)));
        m_addedColumns.append(columnName(columns.at(i)));
    }
}

int CarvableSmsDb::freelistCount()
{
    Sqlite3Cursor c = db().queryThrow(Sqlite3Sql("PRAGMA freelist_count"));
    return c.moveNext() ? c.getInt(0) : -1;
}

void CarvableSmsDb::primeFreelist(int pages)
{
    execute(QStringLiteral("CREATE TABLE scratch(x); INSERT INTO scratch WITH RECURSIVE c(i) AS "
                           "(SELECT 1 UNION ALL SELECT i+1 FROM c WHERE i < %1) "
                           "SELECT zeroblob(%2) FROM c; DROP TABLE scratch;")
                .arg(pages)
                .arg(m_pageSize - 100));
}

// The part of the record that SQLite keeps in the cell, rebuilt from the stored values,
// which SQLite encodes with the smallest serial types, as SqliteImage does.
QByteArray CarvableSmsDb::recordHead(qint64 rowid)
{
    Sqlite3Cursor c = db().queryThrow(
        Sqlite3Sql("select * from message where ROWID=?").addInt64Param(rowid));
    if (!c.moveNext())
        return QByteArray();
    QVariantList values { QVariant() };
    for (int i = 1; i < c.count(); ++i)
        values.append(c.getValue(i));
    const QByteArray record = SqliteImage::record(values);
    const int usable = m_pageSize;
    const int maxLocal = usable - 35;
    if (record.size() <= maxLocal)
        return record;
    const int minLocal = (usable - 12) * 32 / 255 - 23;
    const int k = minLocal + (record.size() - minLocal) % (usable - 4);
    return record.left(k <= maxLocal ? k : minLocal);
}
