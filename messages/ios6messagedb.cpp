#include "messages/ios6messagedb.h"

#include "records/msgidentity.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <stdexcept>

namespace {

void throwText(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

// Stands in for the device's own functions that its triggers call; touches no file.
void returnZero(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

struct UpgradeStep
{
    int line;
    const char *column;
    const char *sql;
};

const UpgradeStep kMessageSteps[] = {
    { 127, "is_audio_message",
        "ALTER TABLE message ADD COLUMN is_audio_message INTEGER DEFAULT 0;" },
    { 130, "is_played", "ALTER TABLE message ADD COLUMN is_played INTEGER DEFAULT 0;" },
    { 133, "date_played", "ALTER TABLE message ADD COLUMN date_played INTEGER;" },
    { 136, "item_type", "ALTER TABLE message ADD COLUMN item_type INTEGER DEFAULT 0;" },
    { 139, "other_handle", "ALTER TABLE message ADD COLUMN other_handle INTEGER DEFAULT -1;" },
    { 142, "group_title", "ALTER TABLE message ADD COLUMN group_title TEXT;" },
    { 145, "group_action_type",
        "ALTER TABLE message ADD COLUMN group_action_type INTEGER DEFAULT 0;" },
    { 148, "share_status", "ALTER TABLE message ADD COLUMN share_status INTEGER;" },
    { 151, "share_direction", "ALTER TABLE message ADD COLUMN share_direction INTEGER;" },
    { 154, "is_expirable", "ALTER TABLE message ADD COLUMN is_expirable INTEGER DEFAULT 0;" },
    { 157, "expire_state", "ALTER TABLE message ADD COLUMN expire_state INTEGER DEFAULT 0;" },
    { 160, "message_action_type",
        "ALTER TABLE message ADD COLUMN message_action_type INTEGER DEFAULT 0;" },
    { 163, "logic_hash", "ALTER TABLE message ADD COLUMN logic_hash TEXT;" },
};

} // namespace

IOS6MessageDb::IOS6MessageDb(const QDir &dataFolder, const QString &countryCode, bool upgradeSchema)
    : dataDir(dataFolder)
    , fileRelayDir(dataFolder.filePath(QStringLiteral("file-relay")))
    , contacts(dataFolder, countryCode)
    , recycle(dataFolder.filePath(QStringLiteral("recycle.db")))
    , country(countryCode)
    , dbPath(fileRelayDir.filePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
    , upgradeSchema(upgradeSchema)
{
}

IOS6MessageDb::~IOS6MessageDb() = default;

void IOS6MessageDb::setSmsDbPath(const QString &path)
{
    dbPath = path;
}

void IOS6MessageDb::open()
{
    if (isOpen())
        return;
    // A failed open leaves the object closed, so that the next call tries again instead of
    // working on a connection without a layout.
    try {
        if (QFileInfo::exists(dbPath)) {
            openForOneThread(dbPath, ReadWrite);
            if (upgradeSchema)
                upgradeLayout();
        } else {
            createLayout();
            openForOneThread(dbPath, ReadWrite);
        }
        registerFunctions();
        loadTableSql();
        detectDateUnit();
    } catch (...) {
        close();
        tableSql.clear();
        nanosecondDates = false;
        throw;
    }
}

void IOS6MessageDb::createLayout()
{
    QFile ddl(QStringLiteral(":res/localmsgdb_ddl.sql"));
    if (!ddl.open(QIODevice::ReadOnly))
        throwText(QStringLiteral("read IOS6MessageDb ddl error. %1").arg(ddl.errorString()));
    const QString script = QString::fromUtf8(ddl.readAll());
    QString error;
    if (!createDatabaseFile(dbPath, script, error))
        throwText(QStringLiteral("create IOS6MessageDb error. %1").arg(error));
}

void IOS6MessageDb::upgradeLayout()
{
    auto columnsOf = [this](const QString &table) {
        QSet<QString> names;
        const QList<_SqliteCol> cols = tbInfo(table);
        for (const _SqliteCol &col : cols)
            names.insert(col.name.toLower());
        return names;
    };

    QList<UpgradeStep> steps;
    if (!columnsOf(QStringLiteral("chat")).contains(QStringLiteral("group_id")))
        steps.append({ 122, "group_id", "ALTER TABLE chat ADD COLUMN group_id TEXT;" });
    const QSet<QString> messageColumns = columnsOf(QStringLiteral("message"));
    for (const UpgradeStep &step : kMessageSteps) {
        if (messageColumns.contains(QLatin1String(step.column)))
            continue;
        steps.append(step);
        if (qstrcmp(step.column, "logic_hash") == 0)
            steps.append(
                { 164, "", "CREATE INDEX message_idx_logic_hash ON message(logic_hash);" });
    }
    if (steps.isEmpty())
        return;

    // All steps or none: a failure part-way must not leave a half-upgraded file.
    if (!beginTran())
        throw Sqlite3Exception(lastError());
    for (const UpgradeStep &step : qAsConst(steps)) {
        QString error;
        if (!exec(QString::fromLatin1(step.sql), error)) {
            rollbackTran();
            throwText(QStringLiteral("line:%1, sql:%2, error:%3")
                          .arg(step.line)
                          .arg(QString::fromLatin1(step.sql), error));
        }
    }
    if (!commitTran()) {
        const QString error = lastError();
        rollbackTran();
        throw Sqlite3Exception(error);
    }
}

void IOS6MessageDb::registerFunctions()
{
    const struct
    {
        const char *name;
        int arguments;
    } functions[] = { { "delete_attachment_path", 1 }, { "before_delete_attachment_path", 2 } };
    for (const auto &f : functions) {
        const int rc = sqlite3_create_function_v2(handle(), f.name, f.arguments, SQLITE_ANY,
            nullptr, returnZero, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(handle())), rc);
    }
}

void IOS6MessageDb::detectDateUnit()
{
    nanosecondDates = false;
    attachmentNanosecondDates = false;
    // The local layout is ours and always in seconds, whatever a merge may have carried in.
    if (upgradeSchema || !hasTable(QStringLiteral("message"))
        || tableHas(QStringLiteral("chat"), QStringLiteral("_last INTEGER"), Qt::CaseInsensitive))
        return;
    // The newest row shows the unit the phone writes now; one page read, not a table scan.
    Sqlite3Cursor c = queryThrow(
        Sqlite3Sql("select date from message where date <> 0 order by rowid desc limit 1"));
    if (c.moveNext()) {
        nanosecondDates = isNanosecondTime(c.getInt64(0));
    } else {
        // No message yet, as on a new phone that a transfer fills: the layout tells. Phones
        // write nanoseconds since iOS 11, which also added the columns of iCloud syncing.
        nanosecondDates = tableHas(
            QStringLiteral("message"), QStringLiteral("ck_sync_state"), Qt::CaseInsensitive);
    }
    if (!hasTable(QStringLiteral("attachment")))
        return;
    Sqlite3Cursor a = queryThrow(Sqlite3Sql(
        "select created_date from attachment where created_date <> 0 order by rowid desc limit 1"));
    if (a.moveNext())
        attachmentNanosecondDates = isNanosecondTime(a.getInt64(0));
}

qint64 IOS6MessageDb::storedTime(qint32 date) const
{
    return storedTimeFromRecord(date, nanosecondDates);
}

qint64 IOS6MessageDb::storedAttachmentTime(qint32 date) const
{
    return storedTimeFromRecord(date, attachmentNanosecondDates);
}

bool IOS6MessageDb::hasItemTypeColumn() const
{
    return tableHas(QStringLiteral("message"), QStringLiteral("item_type"), Qt::CaseSensitive);
}
