#include "platform/sqlite_qt/sqlite_qt.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

class TestSqliteQt : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString dbPath(const QString &name) const { return m_dir.filePath(name); }
    // A fresh read-write database with table t(id integer primary key, Name text, n int, b blob).
    void openFresh(Sqlite3DB &db, const QString &name)
    {
        db.openThrow(dbPath(name), 6);
        db.executeThrow("create table t(id integer primary key, Name text, n int, b blob)");
    }
    // A file of some fifty pages of rows in table big(x), then damaged: "cut" to half its
    // pages, "zeroed" in one page of rows, or made "not a database"; "sound" leaves it be.
    QString writeDamaged(const QString &name, const QString &damage)
    {
        const QString path = dbPath(name);
        int page = 0;
        {
            Sqlite3DB db;
            db.openThrow(path, 6);
            db.executeThrow("create table big(x)");
            db.executeThrow("with recursive n(k) as (select 1 union all select k + 1 from n "
                            "where k < 2000) insert into big select randomblob(100) from n");
            Sqlite3Cursor c = db.queryThrow("pragma page_size");
            page = c.moveNext() ? c.getInt(0) : 4096;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return QString();
        if (damage == "cut")
            file.resize(file.size() / 2 / page * page);
        else if (damage == "zeroed" && file.seek(20 * page))
            file.write(QByteArray(page, '\0'));
        else if (damage == "not a database" && file.resize(0))
            file.write(QByteArray(8192, 'x'));
        return path;
    }

private slots:
    void reportsVersion5() { QCOMPARE(sqlite_qt_version(), 5); }

    void openFlags_data();
    void openFlags();
    void readOnlyRefusesWrites();
    void columnNamesIgnoreCase();
    void nullAndMissingReadAsZero();
    void int64RoundTrip_data();
    void int64RoundTrip();
    void blobAndUtf8RoundTrip();
    void parametersBindInOrder();
    void cursorCopiesShareStatement();
    void cursorOutlivesClose();
    void sameSqlWhileEarlierCursorAlive();
    void manyStatementsTurnTheCacheOver();
    void selectStarFollowsSchemaChange();
    void throwTextsCarrySqliteMessage_data();
    void throwTextsCarrySqliteMessage();
    void fileFailuresNameTheFile_data();
    void fileFailuresNameTheFile();
    void damageOfAnAttachedFileNamesIt_data();
    void damageOfAnAttachedFileNamesIt();
    void quickCheckTellsDamageWithoutThrowing_data();
    void quickCheckTellsDamageWithoutThrowing();
    void insertSqlQuotesAndExcludes();
    void tbInfoFlags();
    void affinity_data();
    void affinity();
    void transactionsAndExec();
};

void TestSqliteQt::openFlags_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<bool>("opens");
    QTest::newRow("read-only, missing") << 1 << false << false;
    QTest::newRow("read-write, missing") << 2 << false << false;
    QTest::newRow("create, missing") << 6 << false << true;
    QTest::newRow("read-write, existing") << 2 << true << true;
    QTest::newRow("read-only, existing") << 1 << true << true;
    QTest::newRow("nonsense flags") << 4 << true << false;
}

void TestSqliteQt::openFlags()
{
    QFETCH(int, flags);
    QFETCH(bool, fileExists);
    QFETCH(bool, opens);
    const QString path = dbPath(QStringLiteral("open-%1-%2.db").arg(flags).arg(fileExists));
    if (fileExists) {
        Sqlite3DB maker;
        openFresh(maker, QFileInfo(path).fileName());
    }
    Sqlite3DB db;
    bool threw = false;
    try {
        db.openThrow(path, flags);
        db.queryThrow("select count(*) from sqlite_master").moveNext();
    } catch (const Sqlite3Exception &e) {
        threw = true;
        QVERIFY(!QString::fromUtf8(e.what()).isEmpty());
    }
    QCOMPARE(threw, !opens);
    QCOMPARE(db.isOpen(), opens);
    QCOMPARE(db.handle() != nullptr, opens);
    QCOMPARE(QFile::exists(path), fileExists || opens);
}

void TestSqliteQt::readOnlyRefusesWrites()
{
    {
        Sqlite3DB db;
        openFresh(db, "ro.db");
    }
    Sqlite3DB db;
    db.openThrow(dbPath("ro.db"), 1);
    QVERIFY_EXCEPTION_THROWN(db.executeThrow("insert into t(n) values(1)"), Sqlite3Exception);
    QVERIFY(db.lastError().contains("readonly"));
}

void TestSqliteQt::columnNamesIgnoreCase()
{
    Sqlite3DB db;
    openFresh(db, "case.db");
    db.executeThrow(
        Sqlite3Sql("insert into t(Name, n) values(?, ?)").addTextParam("x").addIntParam(7));
    Sqlite3Cursor c = db.queryThrow("select * from t");
    QVERIFY(c.moveNext());
    QCOMPARE(c.count(), 4);
    QCOMPARE(c.columnName(1), QString("Name"));
    QCOMPARE(c.getText("NAME"), QString("x"));
    QCOMPARE(c.getText("name"), QString("x"));
    QCOMPARE(c.getInt("N"), 7);
    QCOMPARE(c.columnIndex("ID"), 0);
    const Sqlite3Row row = c.getRow();
    QCOMPARE(row.columns(), QStringList({ "id", "Name", "n", "b" }));
    QCOMPARE(row.getText("nAmE"), QString("x"));
    QVERIFY(!c.moveNext());
    QVERIFY(!c.moveNext());
}

void TestSqliteQt::nullAndMissingReadAsZero()
{
    Sqlite3DB db;
    openFresh(db, "null.db");
    db.executeThrow("insert into t(Name) values(null)");
    Sqlite3Cursor c = db.queryThrow("select * from t");
    QCOMPARE(c.getInt("id"), 0); // before the first row
    QVERIFY(c.moveNext());
    for (const QString &col : { QString("Name"), QString("nope") }) {
        QVERIFY(c.isNull(col));
        QCOMPARE(c.getInt(col), 0);
        QCOMPARE(c.getInt64(col), qint64(0));
        QCOMPARE(c.getDouble(col), 0.0);
        QVERIFY(c.getText(col).isEmpty());
        QVERIFY(c.getBlob(col).isEmpty());
        QVERIFY(!c.getValue(col).isValid());
    }
    QCOMPARE(c.columnIndex("nope"), -1);
    QCOMPARE(c.getInt64(99), qint64(0));
    QVERIFY(!c.getRow().value("Name").isValid());
    QCOMPARE(c.getRow().getInt("nope"), 0);
}

void TestSqliteQt::int64RoundTrip_data()
{
    QTest::addColumn<qint64>("value");
    QTest::newRow("zero") << qint64(0);
    QTest::newRow("minus one") << qint64(-1);
    QTest::newRow("beyond 32 bits") << (qint64(1) << 40);
    QTest::newRow("min") << std::numeric_limits<qint64>::min();
    QTest::newRow("max") << std::numeric_limits<qint64>::max();
}

void TestSqliteQt::int64RoundTrip()
{
    QFETCH(qint64, value);
    Sqlite3DB db;
    openFresh(db, QStringLiteral("i64-%1.db").arg(QTest::currentDataTag()));
    db.executeThrow(Sqlite3Sql("insert into t(n) values(?)").addInt64Param(value));
    Sqlite3Row row;
    row.setValue("n", QVariant(qlonglong(value)));
    db.executeThrow(row.insertSql("t"));
    Sqlite3Cursor c = db.queryThrow("select n from t order by id");
    for (int i = 0; i < 2; ++i) {
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt64("n"), value);
        QCOMPARE(c.getValue(0).toLongLong(), value);
    }
}

void TestSqliteQt::blobAndUtf8RoundTrip()
{
    Sqlite3DB db;
    openFresh(db, "blob.db");
    const QByteArray blob("\0a\0\xff\0", 5);
    const QString text = QString::fromUtf8("Grüße 😀 \xe4\xb8\xad");
    db.executeThrow(
        Sqlite3Sql("insert into t(b, Name) values(?, ?)").addBlobParam(blob).addTextParam(text));
    db.executeThrow(Sqlite3Sql("insert into t(b, Name) values(?, ?)")
                        .addBlobParam(QByteArray())
                        .addTextParam(QString()));
    Sqlite3Cursor c = db.queryThrow("select b, Name, typeof(b) tb, typeof(Name) tn from t");
    QVERIFY(c.moveNext());
    QCOMPARE(c.getBlob("b"), blob);
    QCOMPARE(c.getValue("b").toByteArray(), blob);
    QCOMPARE(c.getText("name"), text);
    QCOMPARE(c.getBlob("name"), text.toUtf8()); // text read as bytes
    // Empty values stay empty values of their type rather than NULL.
    QVERIFY(c.moveNext());
    QCOMPARE(c.getText("tb"), QString("blob"));
    QCOMPARE(c.getText("tn"), QString("text"));
    QCOMPARE(c.getValue("b").userType(), int(QMetaType::QByteArray));
}

void TestSqliteQt::parametersBindInOrder()
{
    Sqlite3DB db;
    db.openThrow(dbPath("params.db"), 6);
    Sqlite3Sql sql("select ? a, ? b");
    sql.addTextParam("1x").addIntParam(-5);
    sql.appendSql(", ? c, ? d, ? e, ? f").addDoubleParam(2.5).addNullParam().addParam(true);
    sql.addParam(QVariant(QByteArray("z")));
    Sqlite3Cursor c = db.queryThrow(sql);
    QVERIFY(c.moveNext());
    QCOMPARE(c.getText("a"), QString("1x"));
    QCOMPARE(c.getInt("a"), 1); // SQLite's own conversion of text
    QCOMPARE(c.getInt("b"), -5);
    QCOMPARE(c.getDouble("c"), 2.5);
    QVERIFY(c.isNull("d"));
    QCOMPARE(c.getValue("e"), QVariant(qlonglong(1)));
    QCOMPARE(c.getValue("f"), QVariant(QByteArray("z")));
    QVERIFY_EXCEPTION_THROWN(
        db.queryThrow(Sqlite3Sql("select ?").addIntParam(1).addIntParam(2)), Sqlite3Exception);
}

void TestSqliteQt::cursorCopiesShareStatement()
{
    Sqlite3DB db;
    openFresh(db, "copies.db");
    for (int i = 1; i <= 3; ++i)
        db.executeThrow(Sqlite3Sql("insert into t(n) values(?)").addIntParam(i));
    Sqlite3Cursor a = db.queryThrow("select n from t order by n");
    QVERIFY(a.moveNext());
    Sqlite3Cursor b = a;
    QCOMPARE(b.getInt("n"), 1);
    QVERIFY(b.moveNext());
    QCOMPARE(a.getInt("n"), 2);
    Sqlite3Cursor d;
    QVERIFY(!d.moveNext());
    d = a;
    QVERIFY(d.moveNext());
    QCOMPARE(b.getInt("n"), 3);
    QVERIFY(!a.moveNext());
}

void TestSqliteQt::cursorOutlivesClose()
{
    Sqlite3Cursor c;
    {
        Sqlite3DB db;
        openFresh(db, "outlive.db");
        db.executeThrow("insert into t(n) values(1)");
        db.executeThrow("insert into t(n) values(2)");
        c = db.queryThrow("select n from t");
        QVERIFY(c.moveNext());
        db.close();
        QVERIFY(!db.isOpen());
        QVERIFY(db.handle() == nullptr);
        QVERIFY_EXCEPTION_THROWN(db.queryThrow("select 1"), Sqlite3Exception);
    }
    QVERIFY(!c.moveNext());
    QCOMPARE(c.getInt("n"), 0);
    QCOMPARE(c.count(), 0);
    // The file is free again: another connection can write it.
    Sqlite3DB other;
    other.openThrow(dbPath("outlive.db"), 2);
    QCOMPARE(other.executeThrow("delete from t"), 2);
}

void TestSqliteQt::sameSqlWhileEarlierCursorAlive()
{
    Sqlite3DB db;
    openFresh(db, "reuse.db");
    for (int i = 0; i < 5; ++i)
        db.executeThrow(Sqlite3Sql("insert into t(n) values(?)").addIntParam(i * 10));
    const QString sql = "select n from t where n >= ? order by n";
    Sqlite3Cursor outer = db.queryThrow(Sqlite3Sql(sql).addIntParam(0));
    int seen = 0;
    while (outer.moveNext()) {
        const int n = outer.getInt("n");
        Sqlite3Cursor inner = db.queryThrow(Sqlite3Sql(sql).addIntParam(n));
        int count = 0;
        while (inner.moveNext())
            ++count;
        QCOMPARE(count, 5 - n / 10);
        ++seen;
    }
    QCOMPARE(seen, 5);
    // A finished statement comes back reset with its bindings cleared.
    for (int round = 0; round < 3; ++round) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql).addIntParam(40));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(0), 40);
        QVERIFY(!c.moveNext());
    }
}

void TestSqliteQt::manyStatementsTurnTheCacheOver()
{
    Sqlite3DB db;
    openFresh(db, "turnover.db");
    db.executeThrow("insert into t(n) values(7)");
    // Held while hundreds of other statements come and go through the cache.
    Sqlite3Cursor held = db.queryThrow("select n from t");
    auto query = [&db](int k) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(QString("select n + %1 from t").arg(k)));
        return c.moveNext() ? c.getInt(0) : -1;
    };
    for (int round = 0; round < 3; ++round) {
        for (int k = 0; k < 300; ++k) {
            QCOMPARE(query(k), 7 + k);
            // One statement used all along stays among those kept.
            QCOMPARE(query(-7), 0);
        }
    }
    QVERIFY(held.moveNext());
    QCOMPARE(held.getInt(0), 7);
    db.close();
    QVERIFY(!held.moveNext());
}

void TestSqliteQt::selectStarFollowsSchemaChange()
{
    Sqlite3DB db;
    openFresh(db, "schema.db");
    db.executeThrow("insert into t(n) values(3)");
    {
        Sqlite3Cursor c = db.queryThrow("select * from t");
        QVERIFY(c.moveNext());
    }
    db.executeThrow("alter table t add column _ct_name TEXT default 'k'");
    Sqlite3Cursor c = db.queryThrow("select * from t");
    QVERIFY(c.moveNext());
    QCOMPARE(c.count(), 5);
    QCOMPARE(c.getText("_CT_NAME"), QString("k"));
}

void TestSqliteQt::throwTextsCarrySqliteMessage_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("message");
    QTest::newRow("syntax") << "selec 1"
                            << "near \"selec\": syntax error";
    QTest::newRow("no table") << "select * from nope"
                              << "no such table: nope";
    QTest::newRow("unique") << "insert into t(id) values(1)"
                            << "UNIQUE constraint failed: t.id";
    QTest::newRow("two statements") << "delete from t; delete from t"
                                    << "only one statement can be run at a time";
}

void TestSqliteQt::throwTextsCarrySqliteMessage()
{
    QFETCH(QString, sql);
    QFETCH(QString, message);
    Sqlite3DB db;
    openFresh(db, QStringLiteral("err-%1.db").arg(QTest::currentDataTag()));
    db.executeThrow("insert into t(id) values(1)");
    try {
        db.executeThrow(sql);
        QFAIL("no exception");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString::fromUtf8(e.what()).startsWith(message), e.what());
    }
    QCOMPARE(db.queryThrow("select count(*) c from t").moveNext(), true); // still usable
}

void TestSqliteQt::fileFailuresNameTheFile_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("throughExec");
    QTest::addColumn<QString>("message");
    QTest::newRow("full") << false << false << "database or disk is full";
    QTest::newRow("full, through exec") << false << true << "database or disk is full";
    QTest::newRow("read-only") << true << false << "attempt to write a readonly database";
}

void TestSqliteQt::fileFailuresNameTheFile()
{
    QFETCH(bool, readOnly);
    QFETCH(bool, throughExec);
    QFETCH(QString, message);
    const QString path = dbPath(QStringLiteral("file-%1.db").arg(QTest::currentDataTag()));
    {
        Sqlite3DB maker;
        openFresh(maker, QFileInfo(path).fileName());
    }
    Sqlite3DB db;
    db.openThrow(path, readOnly ? 1 : 2);
    // A file that may not grow fails as a full disk does.
    db.executeThrow("pragma max_page_count=3");
    const QString insert = "insert into t(name) values(zeroblob(100000))";
    QString error;
    if (throughExec) {
        QVERIFY(!db.exec(insert, error));
    } else {
        try {
            db.executeThrow(insert);
            QFAIL("no exception");
        } catch (const Sqlite3Exception &e) {
            error = QString::fromUtf8(e.what());
        }
    }
    QVERIFY2(error.startsWith(message + ": " + path), qPrintable(error));
    QVERIFY2(db.lastError().startsWith(message + ": " + path), qPrintable(db.lastError()));
}

void TestSqliteQt::damageOfAnAttachedFileNamesIt_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("sql");
    QTest::newRow("read") << "zeroed"
                          << "select sum(length(x)) from other.big";
    QTest::newRow("copied into the main file") << "zeroed"
                                               << "insert into t(b) select x from other.big";
    // A file whose header counts more pages than it has is refused when it is attached.
    QTest::newRow("attached") << "cut" << QString();
}

void TestSqliteQt::damageOfAnAttachedFileNamesIt()
{
    QFETCH(QString, damage);
    QFETCH(QString, sql);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString damaged = writeDamaged("attached " + tag + ".db", damage);
    Sqlite3DB db;
    openFresh(db, "main " + tag + ".db");
    const QString main = db.path();
    QString error;
    try {
        db.executeThrow(Sqlite3Sql("attach database ? as other").addTextParam(damaged));
        db.executeThrow(sql);
        QFAIL("no exception");
    } catch (const Sqlite3Exception &e) {
        QVERIFY(e.isDamage());
        error = QString::fromUtf8(e.what());
    }
    QVERIFY2(error.startsWith("database disk image is malformed: " + damaged), qPrintable(error));
    QVERIFY2(!error.contains(main), qPrintable(error));
}

void TestSqliteQt::quickCheckTellsDamageWithoutThrowing_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("passes");
    QTest::newRow("sound") << "sound" << true;
    QTest::newRow("cut") << "cut" << false;
    QTest::newRow("zeroed") << "zeroed" << false;
    QTest::newRow("not a database") << "not a database" << false;
}

void TestSqliteQt::quickCheckTellsDamageWithoutThrowing()
{
    QFETCH(QString, damage);
    QFETCH(bool, passes);
    Sqlite3DB db;
    db.openThrow(
        writeDamaged(QStringLiteral("check-%1.db").arg(QTest::currentDataTag()), damage), 1);
    QCOMPARE(db.passesQuickCheck(), passes);
}

void TestSqliteQt::insertSqlQuotesAndExcludes()
{
    Sqlite3DB db;
    db.openThrow(dbPath("insert.db"), 6);
    db.executeThrow("create table \"my table\"(\"ROWID\" integer primary key, \"we\"\"ird\" text, "
                    "\"order\" int, skip text default 'd')");
    Sqlite3Row row;
    row.setValue("ROWID", 99);
    row.setValue("we\"ird", "q");
    row.setValue("order", 5);
    row.setValue("Skip", "x");
    row.setValue("ORDER", 6); // replaces, keeps the first spelling
    QCOMPARE(row.count(), 4);
    const Sqlite3Sql sql = row.insertSql("my table", { "rowid", "SKIP" });
    QCOMPARE(sql.sql(), QString("insert into \"my table\"(\"we\"\"ird\",\"order\") values(?,?)"));
    db.executeThrow(sql);
    QCOMPARE(db.lastInsertId(), qint64(1));
    Sqlite3Cursor c = db.queryThrow("select * from \"my table\"");
    QVERIFY(c.moveNext());
    QCOMPARE(c.getText("WE\"IRD"), QString("q"));
    QCOMPARE(c.getInt("order"), 6);
    QCOMPARE(c.getText("skip"), QString("d"));
    db.executeThrow(Sqlite3Row().insertSql("my table"));
    QCOMPARE(db.lastInsertId(), qint64(2));
}

void TestSqliteQt::tbInfoFlags()
{
    Sqlite3DB db;
    db.openThrow(dbPath("info.db"), 6);
    db.executeThrow("create table \"x\"\"y\"(a INTEGER PRIMARY KEY, b TEXT NOT NULL, "
                    "c int default 0, d)");
    const QList<_SqliteCol> cols = db.tbInfo("x\"y");
    QCOMPARE(cols.size(), 4);
    QCOMPARE(cols[0].name, QString("a"));
    QVERIFY(cols[0].primaryKey && cols[0].isInteger() && !cols[0].notNull);
    QVERIFY(cols[1].notNull && !cols[1].hasDefault && cols[1].isText());
    QVERIFY(cols[2].hasDefault && !cols[2].primaryKey);
    QVERIFY(cols[3].type.isEmpty() && cols[3].isBlob());
    QVERIFY(db.tbInfo("absent").isEmpty());
    // A cached statement must not report the columns from before a schema change.
    db.executeThrow("alter table \"x\"\"y\" add column e REAL");
    QCOMPARE(db.tbInfo("x\"y").size(), 5);
    QVERIFY(db.tbInfo("x\"y").last().isReal());
}

void TestSqliteQt::affinity_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("affinity");
    QTest::newRow("INTEGER") << "INTEGER"
                             << "integer";
    QTest::newRow("int") << "int"
                         << "integer";
    QTest::newRow("VARCHAR(10)") << "VARCHAR(10)"
                                 << "text";
    QTest::newRow("CLOB") << "CLOB"
                          << "text";
    QTest::newRow("BLOB") << "BLOB"
                          << "blob";
    QTest::newRow("empty") << ""
                           << "blob";
    QTest::newRow("REAL") << "REAL"
                          << "real";
    QTest::newRow("DOUBLE PRECISION") << "DOUBLE PRECISION"
                                      << "real";
    QTest::newRow("NUMERIC") << "NUMERIC"
                             << "numeric";
    QTest::newRow("DATETIME") << "DATETIME"
                              << "numeric";
    QTest::newRow("BOOLEAN") << "BOOLEAN"
                             << "numeric";
    QTest::newRow("FLOATING POINT") << "FLOATING POINT"
                                    << "integer"; // "INT" wins
}

void TestSqliteQt::affinity()
{
    QFETCH(QString, type);
    QFETCH(QString, affinity);
    const _SqliteCol col("c", type);
    QStringList got;
    if (col.isInteger())
        got << "integer";
    if (col.isText())
        got << "text";
    if (col.isBlob())
        got << "blob";
    if (col.isReal())
        got << "real";
    if (col.isNumeric())
        got << "numeric";
    QCOMPARE(got, QStringList(affinity));
}

void TestSqliteQt::transactionsAndExec()
{
    Sqlite3DB db;
    openFresh(db, "tran.db");
    QString error;
    QVERIFY(db.exec("insert into t(n) values(1); insert into t(n) values(2);", error));
    QVERIFY(error.isEmpty());
    QCOMPARE(db.lastInsertId(), qint64(2));
    QVERIFY(!db.exec("insert into t(n) values(3); bogus; insert into t(n) values(4);", error));
    QVERIFY(error.contains("syntax error"));
    QCOMPARE(db.lastError(), error);

    QVERIFY(db.beginTran());
    QCOMPARE(db.executeThrow("delete from t"), 3);
    QVERIFY(db.rollbackTran());
    QVERIFY(!db.commitTran());
    QVERIFY(db.lastError().contains("no transaction"));
    Sqlite3Cursor c = db.queryThrow("select count(*) c from t");
    QVERIFY(c.moveNext());
    QCOMPARE(c.getInt("C"), 3);
    QCOMPARE(db.executeThrow("create table u(x)"), 0);
}

QTEST_GUILESS_MAIN(TestSqliteQt)
#include "tst_sqlite_qt.moc"
