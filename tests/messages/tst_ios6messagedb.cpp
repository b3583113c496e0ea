#include "messages/ios6messagedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "shell/datafolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString smsDbPath(const QTemporaryDir &dir)
{
    return IOS6SmsDbFixture::smsDbPath(dir.path());
}

// name -> sql of every table, index and trigger (SQLite's own automatic ones left out).
QMap<QString, QString> schemaOf(const QString &path)
{
    QMap<QString, QString> schema;
    Sqlite3DB db;
    db.openThrow(path, 1);
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql("select type, name, sql from sqlite_master where name not like 'sqlite_%'"));
    while (c.moveNext())
        schema.insert(c.getText("type") + QLatin1Char(':') + c.getText("name"), c.getText("sql"));
    return schema;
}

QStringList columnsOf(const QString &path, const QString &table)
{
    Sqlite3DB db;
    db.openThrow(path, 1);
    QStringList names;
    for (const _SqliteCol &col : db.tbInfo(table))
        names << col.name + QLatin1Char(' ') + col.type;
    return names;
}

QStringList indexColumns(const QString &path, const QString &index)
{
    Sqlite3DB db;
    db.openThrow(path, 1);
    QStringList names;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(QStringLiteral("pragma index_info(%1)").arg(index)));
    while (c.moveNext())
        names << c.getText("name");
    return names;
}

const QStringList kMessageColumns = { "ROWID INTEGER", "guid TEXT", "text TEXT", "replace INTEGER",
    "service_center TEXT", "handle_id INTEGER", "subject TEXT", "country TEXT",
    "attributedBody BLOB", "version INTEGER", "type INTEGER", "service TEXT", "account TEXT",
    "account_guid TEXT", "error INTEGER", "date INTEGER", "date_read INTEGER",
    "date_delivered INTEGER", "is_delivered INTEGER", "is_finished INTEGER", "is_emote INTEGER",
    "is_from_me INTEGER", "is_empty INTEGER", "is_delayed INTEGER", "is_auto_reply INTEGER",
    "is_prepared INTEGER", "is_read INTEGER", "is_system_message INTEGER", "is_sent INTEGER",
    "has_dd_results INTEGER", "is_service_message INTEGER", "is_forward INTEGER",
    "was_downgraded INTEGER", "is_archive INTEGER", "cache_has_attachments INTEGER",
    "cache_roomnames TEXT", "was_data_detected INTEGER", "was_deduplicated INTEGER",
    "is_audio_message INTEGER", "is_played INTEGER", "date_played INTEGER", "item_type INTEGER",
    "other_handle INTEGER", "group_title TEXT", "group_action_type INTEGER", "share_status INTEGER",
    "share_direction INTEGER", "is_expirable INTEGER", "expire_state INTEGER",
    "message_action_type INTEGER", "logic_hash TEXT" };

// The local layout before the later message columns and chat.group_id existed.
void writeOldLocalDatabase(const QString &path, bool withLogicHash)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    Sqlite3DB db;
    db.openThrow(path, 6);
    QStringList message = kMessageColumns.mid(0, 38);
    if (withLogicHash)
        message << "logic_hash TEXT";
    QString error;
    QVERIFY2(db.exec(QStringLiteral("CREATE TABLE message (%1);"
                                    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                                    "guid TEXT UNIQUE NOT NULL, chat_identifier TEXT, "
                                    "service_name TEXT, _last INTEGER DEFAULT 0);"
                                    "INSERT INTO message(guid, text) VALUES('G1', 'kept');")
                         .arg(message.join(", ")),
                 error),
        qPrintable(error));
}

} // namespace

class TestIOS6MessageDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void newDatabaseHasLocalLayout_data();
    void newDatabaseHasLocalLayout();
    void newDatabaseDeclaresEveryColumnAsTheLayout_data();
    void newDatabaseDeclaresEveryColumnAsTheLayout();
    void newDatabaseTriggersKeepJoinsClean();
    void oldLocalDatabaseGainsMissingColumnsOnce_data();
    void oldLocalDatabaseGainsMissingColumnsOnce();
    void failedUpgradeChangesNothingAndStaysClosed();
    void deviceCopyIsNeverAltered();
    void zeroLengthFileOpensWithoutTables();
    void zeroLengthFileWithUpgradeFailsEveryTime();
    void failedCreationLeavesNoFile();
    void unwritableFolderFailsCleanly();
    void setSmsDbPathWorksOnCopy();

private:
    QTemporaryDir m_home;
};

void TestIOS6MessageDb::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

void TestIOS6MessageDb::newDatabaseHasLocalLayout_data()
{
    QTest::addColumn<bool>("upgradeSchema");
    QTest::newRow("with upgrade") << true;
    QTest::newRow("without upgrade") << false;
}

void TestIOS6MessageDb::newDatabaseHasLocalLayout()
{
    QFETCH(bool, upgradeSchema);
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), upgradeSchema);
    QVERIFY(!db.hasItemTypeColumn());
    db.open();
    QVERIFY(db.isOpen());
    QCOMPARE(db.smsDbPath(), smsDbPath(dir));
    QVERIFY(QFile::exists(smsDbPath(dir)));
    QVERIFY(db.hasItemTypeColumn());
    QVERIFY(db.tableHas("chat", "_last integer", Qt::CaseInsensitive));
    QVERIFY(db.tableHas("handle", "_ct_name TEXT", Qt::CaseSensitive));
    QVERIFY(db.tableHas("handle", "_photo BLOB", Qt::CaseSensitive));
    db.close();

    const QString path = smsDbPath(dir);
    const QStringList expected = {
        "index:chat_idx_identifier",
        "index:chat_idx_last",
        "index:chat_message_join_idx_message_id",
        "index:message_idx_handle",
        "index:message_idx_logic_hash",
        "table:attachment",
        "table:chat",
        "table:chat_handle_join",
        "table:chat_message_join",
        "table:handle",
        "table:message",
        "table:message_attachment_join",
        "trigger:clean_orphaned_attachments",
        "trigger:clean_orphaned_handles",
        "trigger:clean_orphaned_handles2",
        "trigger:clean_orphaned_messages",
        "trigger:clear_message_has_attachments",
        "trigger:set_message_has_attachments",
    };
    QCOMPARE(schemaOf(path).keys(), expected);

    QCOMPARE(columnsOf(path, "message"), kMessageColumns);
    QCOMPARE(columnsOf(path, "handle"),
        QStringList({ "ROWID INTEGER", "id TEXT", "country TEXT", "service TEXT",
            "uncanonicalized_id TEXT", "_ct_name TEXT", "_photo BLOB" }));
    QCOMPARE(columnsOf(path, "chat"),
        QStringList({ "ROWID INTEGER", "guid TEXT", "style INTEGER", "state INTEGER",
            "account_id TEXT", "properties BLOB", "chat_identifier TEXT", "service_name TEXT",
            "room_name TEXT", "account_login TEXT", "is_archived INTEGER",
            "last_addressed_handle TEXT", "display_name TEXT", "group_id TEXT", "_last INTEGER" }));
    QCOMPARE(columnsOf(path, "attachment"),
        QStringList({ "ROWID INTEGER", "guid TEXT", "created_date INTEGER", "start_date INTEGER",
            "filename TEXT", "uti TEXT", "mime_type TEXT", "transfer_state INTEGER",
            "is_outgoing INTEGER", "user_info BLOB", "transfer_name TEXT",
            "total_bytes INTEGER" }));
    QCOMPARE(columnsOf(path, "chat_handle_join"),
        QStringList({ "chat_id INTEGER", "handle_id INTEGER" }));
    QCOMPARE(columnsOf(path, "chat_message_join"),
        QStringList({ "chat_id INTEGER", "message_id INTEGER" }));
    QCOMPARE(columnsOf(path, "message_attachment_join"),
        QStringList({ "message_id INTEGER", "attachment_id INTEGER" }));
    QCOMPARE(indexColumns(path, "message_idx_handle"), QStringList({ "handle_id", "date" }));
    QCOMPARE(indexColumns(path, "message_idx_logic_hash"), QStringList({ "logic_hash" }));
    QCOMPARE(indexColumns(path, "chat_idx_last"), QStringList({ "_last" }));
    QCOMPARE(indexColumns(path, "chat_idx_identifier"), QStringList({ "chat_identifier" }));
    QCOMPARE(indexColumns(path, "chat_message_join_idx_message_id"),
        QStringList({ "message_id", "chat_id" }));

    // Nothing but the database is left in its folder.
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden),
        QStringList({ "sms.db" }));

    // other_handle defaults to -1 in the local layout.
    Sqlite3DB check;
    check.openThrow(path, 2);
    check.executeThrow(Sqlite3Sql("insert into message(guid) values('X')"));
    Sqlite3Cursor c = check.queryThrow(Sqlite3Sql("select other_handle from message"));
    QVERIFY(c.moveNext());
    QCOMPARE(c.getInt(0), -1);
}

void TestIOS6MessageDb::newDatabaseDeclaresEveryColumnAsTheLayout_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("declarations");
    QStringList message = { "ROWID INTEGER PRIMARY KEY AUTOINCREMENT", "guid TEXT UNIQUE NOT NULL",
        "text TEXT", "replace INTEGER DEFAULT 0", "service_center TEXT",
        "handle_id INTEGER DEFAULT 0", "subject TEXT", "country TEXT", "attributedBody BLOB",
        "version INTEGER DEFAULT 0", "type INTEGER DEFAULT 0", "service TEXT", "account TEXT",
        "account_guid TEXT", "error INTEGER DEFAULT 0", "date INTEGER", "date_read INTEGER",
        "date_delivered INTEGER" };
    for (const char *flag : { "is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty",
             "is_delayed", "is_auto_reply", "is_prepared", "is_read", "is_system_message",
             "is_sent", "has_dd_results", "is_service_message", "is_forward", "was_downgraded",
             "is_archive", "cache_has_attachments" })
        message << QString::fromLatin1(flag) + " INTEGER DEFAULT 0";
    message << "cache_roomnames TEXT"
            << "was_data_detected INTEGER DEFAULT 0"
            << "was_deduplicated INTEGER DEFAULT 0"
            << "is_audio_message INTEGER DEFAULT 0"
            << "is_played INTEGER DEFAULT 0"
            << "date_played INTEGER"
            << "item_type INTEGER DEFAULT 0"
            << "other_handle INTEGER DEFAULT -1"
            << "group_title TEXT"
            << "group_action_type INTEGER DEFAULT 0"
            << "share_status INTEGER"
            << "share_direction INTEGER"
            << "is_expirable INTEGER DEFAULT 0"
            << "expire_state INTEGER DEFAULT 0"
            << "message_action_type INTEGER DEFAULT 0"
            << "logic_hash TEXT";
    QCOMPARE(message.size(), 51);
    QTest::newRow("message") << "message" << message;
    QTest::newRow("handle") << "handle"
                            << QStringList { "ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE",
                                   "id TEXT NOT NULL", "country TEXT", "service TEXT NOT NULL",
                                   "uncanonicalized_id TEXT", "_ct_name TEXT", "_photo BLOB",
                                   "UNIQUE (id, service)" };
    QTest::newRow("chat") << "chat"
                          << QStringList { "ROWID INTEGER PRIMARY KEY AUTOINCREMENT",
                                 "guid TEXT UNIQUE NOT NULL", "style INTEGER", "state INTEGER",
                                 "account_id TEXT", "properties BLOB", "chat_identifier TEXT",
                                 "service_name TEXT", "room_name TEXT", "account_login TEXT",
                                 "is_archived INTEGER DEFAULT 0", "last_addressed_handle TEXT",
                                 "display_name TEXT", "group_id TEXT", "_last INTEGER DEFAULT 0" };
    QTest::newRow("attachment") << "attachment"
                                << QStringList { "ROWID INTEGER PRIMARY KEY AUTOINCREMENT",
                                       "guid TEXT UNIQUE NOT NULL",
                                       "created_date INTEGER DEFAULT 0",
                                       "start_date INTEGER DEFAULT 0", "filename TEXT", "uti TEXT",
                                       "mime_type TEXT", "transfer_state INTEGER DEFAULT 0",
                                       "is_outgoing INTEGER DEFAULT 0", "user_info BLOB",
                                       "transfer_name TEXT", "total_bytes INTEGER DEFAULT 0" };
    QTest::newRow("chat_handle_join")
        << "chat_handle_join"
        << QStringList { "chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE",
               "handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE",
               "UNIQUE(chat_id, handle_id)" };
    QTest::newRow("chat_message_join")
        << "chat_message_join"
        << QStringList { "chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE",
               "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE",
               "PRIMARY KEY (chat_id, message_id)" };
    QTest::newRow("message_attachment_join")
        << "message_attachment_join"
        << QStringList { "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE",
               "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE",
               "UNIQUE(message_id, attachment_id)" };
}

void TestIOS6MessageDb::newDatabaseDeclaresEveryColumnAsTheLayout()
{
    QFETCH(QString, table);
    QFETCH(QStringList, declarations);
    QTemporaryDir dir;
    {
        IOS6MessageDb db(QDir(dir.path()), QString(), true);
        db.open();
    }
    const QString sql = schemaOf(smsDbPath(dir)).value("table:" + table);
    // Each declaration stands on a line of its own, in order, with single blanks.
    const int open = sql.indexOf(QLatin1Char('('));
    QVERIFY(open > 0);
    QStringList lines = sql.mid(open + 1).split(QRegularExpression("\r?\n"), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.takeLast(), QString(")"));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char(',')))
            line.chop(1);
    }
    QCOMPARE(lines, declarations);
}

void TestIOS6MessageDb::newDatabaseTriggersKeepJoinsClean()
{
    QTemporaryDir dir;
    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    db.open();
    const char *setup[] = {
        "insert into handle(ROWID, id, service) values(1, 'a', 'SMS')",
        "insert into handle(ROWID, id, service) values(2, 'b', 'SMS')",
        "insert into message(ROWID, guid, handle_id) values(1, 'M1', 1)",
        "insert into message(ROWID, guid, handle_id) values(2, 'M2', 2)",
        "insert into chat_message_join values(1, 1)",
        "insert into chat_message_join values(1, 2)",
        "insert into attachment(ROWID, guid) values(1, 'A1')",
        "insert into attachment(ROWID, guid) values(2, 'A2')",
        "insert into message_attachment_join values(1, 1)",
        "insert into message_attachment_join values(2, 1)",
        "insert into message_attachment_join values(2, 2)",
    };
    for (const char *statement : setup)
        db.executeThrow(Sqlite3Sql(statement));
    auto count = [&db](const char *sql) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
        return c.moveNext() ? c.getInt(0) : -1;
    };
    QCOMPARE(count("select cache_has_attachments from message where rowid=1"), 1);

    // A shared attachment survives the loss of one of its joins; the message's flag falls.
    db.executeThrow(Sqlite3Sql("delete from message_attachment_join where message_id=1"));
    QCOMPARE(count("select cache_has_attachments from message where rowid=1"), 0);
    QCOMPARE(count("select cache_has_attachments from message where rowid=2"), 1);
    QCOMPARE(count("select count(*) from attachment where rowid=1"), 1);
    db.executeThrow(Sqlite3Sql("delete from message_attachment_join where message_id=2"));
    QCOMPARE(count("select count(*) from attachment"), 0);

    // A message without chat join goes, and its handle with it when nothing else uses it.
    db.executeThrow(Sqlite3Sql("delete from chat_message_join where message_id=2"));
    QCOMPARE(count("select count(*) from message where rowid=2"), 0);
    QCOMPARE(count("select count(*) from handle where rowid=2"), 0);
    QCOMPARE(count("select count(*) from handle where rowid=1"), 1);
    db.executeThrow(Sqlite3Sql("insert into chat_handle_join values(1, 1)"));
    db.executeThrow(Sqlite3Sql("delete from chat_message_join where message_id=1"));
    QCOMPARE(count("select count(*) from message"), 0);
    QCOMPARE(count("select count(*) from handle where rowid=1"), 1);
    db.executeThrow(Sqlite3Sql("delete from chat_handle_join"));
    QCOMPARE(count("select count(*) from handle"), 0);
}

void TestIOS6MessageDb::oldLocalDatabaseGainsMissingColumnsOnce_data()
{
    QTest::addColumn<bool>("withLogicHash");
    QTest::newRow("without logic_hash") << false;
    QTest::newRow("with logic_hash, without its index") << true;
}

void TestIOS6MessageDb::oldLocalDatabaseGainsMissingColumnsOnce()
{
    QFETCH(bool, withLogicHash);
    QTemporaryDir dir;
    const QString path = smsDbPath(dir);
    writeOldLocalDatabase(path, withLogicHash);

    {
        IOS6MessageDb db(QDir(dir.path()), QString(), true);
        db.open();
        QVERIFY(db.hasItemTypeColumn());
    }
    QStringList columns = columnsOf(path, "message"), expected = kMessageColumns;
    columns.sort();
    expected.sort();
    QCOMPARE(columns, expected);
    QVERIFY(columnsOf(path, "chat").contains("group_id TEXT"));
    const QMap<QString, QString> upgraded = schemaOf(path);
    // The index comes only with the column it indexes.
    QCOMPARE(upgraded.contains("index:message_idx_logic_hash"), !withLogicHash);

    {
        Sqlite3DB db;
        db.openThrow(path, 1);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select text, other_handle from message"));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText(0), QString("kept"));
        QCOMPARE(c.getInt(1), -1);
    }

    // A second open finds every column and changes nothing.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    {
        IOS6MessageDb db(QDir(dir.path()), QString(), true);
        db.open();
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
}

void TestIOS6MessageDb::failedUpgradeChangesNothingAndStaysClosed()
{
    QTemporaryDir dir;
    const QString path = smsDbPath(dir);
    writeOldLocalDatabase(path, false);
    {
        // The index name is taken, so the last step of the upgrade fails.
        Sqlite3DB db;
        db.openThrow(path, 2);
        QString error;
        QVERIFY(db.exec("CREATE INDEX message_idx_logic_hash ON chat(guid);", error));
    }
    const QMap<QString, QString> before = schemaOf(path);

    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            db.open();
            QFAIL("the upgrade should fail");
        } catch (const std::exception &e) {
            const QString text = QString::fromUtf8(e.what());
            QVERIFY2(text.startsWith("line:164, sql:CREATE INDEX message_idx_logic_hash ON "
                                     "message(logic_hash);, error:"),
                qPrintable(text));
        }
        QVERIFY(!db.isOpen());
        QVERIFY(!db.hasItemTypeColumn());
    }
    QCOMPARE(schemaOf(path), before);
}

void TestIOS6MessageDb::deviceCopyIsNeverAltered()
{
    QTemporaryDir dir;
    IOS6SmsDbFixture fixture(dir.path(), IOS6SmsDbFixture::Ios6);
    const qint64 attachment = fixture.addAttachment("A1", "~/Library/SMS/a.jpg", "image/jpeg");
    fixture.close();
    const QMap<QString, QString> before = schemaOf(fixture.path());

    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    db.open();
    QVERIFY(!db.hasItemTypeColumn());
    // The device's trigger calls a function of its own; the stand-in answers it.
    QCOMPARE(db.executeThrow(
                 Sqlite3Sql("delete from attachment where rowid=?").addInt64Param(attachment)),
        1);
    db.close();
    QCOMPARE(schemaOf(fixture.path()), before);
}

void TestIOS6MessageDb::zeroLengthFileOpensWithoutTables()
{
    QTemporaryDir dir;
    const QString path = smsDbPath(dir);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile(path).open(QIODevice::WriteOnly);

    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    db.open();
    QVERIFY(db.isOpen());
    QVERIFY(!db.hasItemTypeColumn());
    QVERIFY(db.createSql("message").isEmpty());
    QVERIFY(!db.tableHas("chat", "_last INTEGER", Qt::CaseInsensitive));
}

void TestIOS6MessageDb::zeroLengthFileWithUpgradeFailsEveryTime()
{
    QTemporaryDir dir;
    const QString path = smsDbPath(dir);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile(path).open(QIODevice::WriteOnly);

    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        QVERIFY_EXCEPTION_THROWN(db.open(), std::runtime_error);
        QVERIFY(!db.isOpen());
    }
    QCOMPARE(QFileInfo(path).size(), qint64(0));
}

void TestIOS6MessageDb::failedCreationLeavesNoFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/new.db");
    QString error;
    QVERIFY(!createDatabaseFile(path, "CREATE TABLE a (x INTEGER); CREATE TABLE oops (", error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(dir.filePath("sub")).entryList(QDir::Files | QDir::Hidden), QStringList());

    QVERIFY2(createDatabaseFile(path, "CREATE TABLE a (x INTEGER);", error), qPrintable(error));
    QCOMPARE(schemaOf(path).keys(), QStringList({ "table:a" }));
    QCOMPARE(
        QDir(dir.filePath("sub")).entryList(QDir::Files | QDir::Hidden), QStringList({ "new.db" }));
}

void TestIOS6MessageDb::unwritableFolderFailsCleanly()
{
    QTemporaryDir dir;
    // "file-relay" is a file, so the database's folder cannot be made.
    QFile blocker(dir.filePath("file-relay"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    IOS6MessageDb db(QDir(dir.path()), QString(), true);
    try {
        db.open();
        QFAIL("open should fail");
    } catch (const std::exception &e) {
        QVERIFY2(QString::fromUtf8(e.what()).startsWith("create IOS6MessageDb error. "), e.what());
    }
    QVERIFY(!db.isOpen());
}

void TestIOS6MessageDb::setSmsDbPathWorksOnCopy()
{
    QTemporaryDir dir;
    const QString copy = dir.filePath("work/copy.db");
    IOS6MessageDb db(QDir(dir.path()), QString(), false);
    db.setSmsDbPath(copy);
    db.open();
    QCOMPARE(db.smsDbPath(), copy);
    QVERIFY(QFile::exists(copy));
    QVERIFY(!QFile::exists(smsDbPath(dir)));
}

QTEST_GUILESS_MAIN(TestIOS6MessageDb)
#include "tst_ios6messagedb.moc"
