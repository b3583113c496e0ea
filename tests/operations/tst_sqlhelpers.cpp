#include "operations/deferredtriggers.h"
#include "operations/rowcopier.h"
#include "operations/temporaryindexes.h"
#include "operations/triggerstandins.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

void exec(Sqlite3DB &db, const QString &sql)
{
    QString error;
    QVERIFY2(db.exec(sql, error), qPrintable(error));
}

QString text(Sqlite3DB &db, const QString &sql)
{
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    QStringList rows;
    while (c.moveNext()) {
        QStringList values;
        for (int i = 0; i < c.count(); ++i)
            values.append(c.getValue(i).isNull() ? QStringLiteral("NULL") : c.getText(i));
        rows.append(values.join(QLatin1Char('|')));
    }
    return rows.join(QLatin1Char(';'));
}

} // namespace

class TestSqlHelpers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void copiesRowsWithAwkwardColumnNames();
    void renumberedCopyPutsEachRunAtItsPlace();
    void replacedNumbersLandAsSingleStatementsWould_data();
    void replacedNumbersLandAsSingleStatementsWould();
    void standInsOnlyForFunctionsTheConnectionLacks();
    void deferredTriggersComeBackAndRunOnce();
    void temporaryIndexOnlyWhereNoIndexLeads();

private:
    QTemporaryDir m_dir;
    Sqlite3DB m_db;
};

void TestSqlHelpers::init()
{
    m_db.openThrow(m_dir.filePath(QStringLiteral("%1.db").arg(QTest::currentTestFunction())),
        Sqlite3DB::ReadWrite | Sqlite3DB::Create);
    exec(m_db,
        QStringLiteral("ATTACH DATABASE '%1' AS other")
            .arg(m_dir.filePath(QStringLiteral("%1-other.db").arg(QTest::currentTestFunction()))));
}

void TestSqlHelpers::cleanup()
{
    m_db.close();
}

void TestSqlHelpers::copiesRowsWithAwkwardColumnNames()
{
    const QString layout = QStringLiteral(
        "CREATE TABLE %1.t (ROWID INTEGER PRIMARY KEY, \"select\" TEXT, \"we\"\"ird\" TEXT, "
        "properties BLOB);"
        "CREATE TABLE %1.j (a INTEGER, b INTEGER);");
    exec(m_db, layout.arg(QStringLiteral("main")) + layout.arg(QStringLiteral("other")));
    exec(m_db,
        QStringLiteral("INSERT INTO other.t VALUES(7, 'x', 'y', x'01'), (9, 'p', 'q', x'02');"
                       "INSERT INTO other.j(rowid, a, b) VALUES(5, 1, 2);"));
    QCOMPARE(RowCopier::copyAll(
                 m_db, QStringLiteral("other"), QStringLiteral("t"), QStringLiteral("properties")),
        2);
    QCOMPARE(RowCopier::copyAll(m_db, QStringLiteral("other"), QStringLiteral("j")), 1);
    QCOMPARE(text(m_db, QStringLiteral("SELECT rowid, * FROM main.t")),
        QStringLiteral("7|7|x|y|NULL;9|9|p|q|NULL"));
    QCOMPARE(text(m_db, QStringLiteral("SELECT rowid, * FROM main.j")), QStringLiteral("5|1|2"));
}

void TestSqlHelpers::renumberedCopyPutsEachRunAtItsPlace()
{
    const QString layout = QStringLiteral("CREATE TABLE %1.m (ROWID INTEGER PRIMARY KEY "
                                          "AUTOINCREMENT, guid TEXT UNIQUE, date INTEGER);");
    exec(m_db, layout.arg(QStringLiteral("main")) + layout.arg(QStringLiteral("other")));
    exec(m_db,
        QStringLiteral("INSERT INTO other.m VALUES(40, 'a', 1), (41, 'b', 2), (42, 'c', 3), "
                       "(50, 'd', 4);"
                       "INSERT INTO main.m VALUES(3, 'new', 9);"));
    // 41 and 42 at 1 and 2, the kept place 3, then 50 and 40 (out of their order).
    QCOMPARE(RowCopier::copyRenumbered(m_db, QStringLiteral("other"), QStringLiteral("m"),
                 { { 41, 42, 1 }, { 50, 50, 4 }, { 40, 40, 5 } }),
        4);
    QCOMPARE(text(m_db, QStringLiteral("SELECT * FROM main.m")),
        QStringLiteral("1|b|2;2|c|3;3|new|9;4|d|4;5|a|1"));
    QCOMPARE(
        text(m_db, QStringLiteral("SELECT seq FROM main.sqlite_sequence")), QStringLiteral("5"));
    // A guid that is there already stops the whole copy.
    QVERIFY_EXCEPTION_THROWN(RowCopier::copyRenumbered(m_db, QStringLiteral("other"),
                                 QStringLiteral("m"), { { 42, 42, 6 } }),
        Sqlite3Exception);
    QCOMPARE(text(m_db, QStringLiteral("SELECT count(*) FROM main.m")), QStringLiteral("5"));
}

void TestSqlHelpers::replacedNumbersLandAsSingleStatementsWould_data()
{
    QTest::addColumn<QStringList>("columns");
    QTest::addColumn<QVector<qint64>>("values");
    QTest::addColumn<QString>("rows");
    QTest::newRow("none") << QStringList { "a", "b" } << QVector<qint64> {} << QString();
    // (1, 1) comes again: its first row goes and it takes the next row id.
    QTest::newRow("a repeat") << QStringList { "a", "b" }
                              << QVector<qint64> { 1, 1, 1, 2, 2, 2, 1, 1, 3, 3 }
                              << "2|1|2|7;3|2|2|7;4|1|1|7;5|3|3|7";
    QTest::newRow("three columns")
        << QStringList { "b", "a", "c" } << QVector<qint64> { 5, 4, 0, 5, 4, 1 } << "2|4|5|1";
}

void TestSqlHelpers::replacedNumbersLandAsSingleStatementsWould()
{
    QFETCH(QStringList, columns);
    QFETCH(QVector<qint64>, values);
    const QString layout
        = QStringLiteral("DROP TABLE IF EXISTS %1; CREATE TABLE %1 (a INTEGER, b INTEGER, c "
                         "INTEGER DEFAULT 7, UNIQUE(a, b));");
    exec(m_db, layout.arg(QStringLiteral("fed")) + layout.arg(QStringLiteral("single")));
    QCOMPARE(RowCopier::replaceNumbers(m_db, QStringLiteral("fed"), columns, values),
        values.size() / columns.size());
    for (int i = 0; i < values.size(); i += columns.size()) {
        QStringList row;
        for (int c = 0; c < columns.size(); ++c)
            row.append(QString::number(values.at(i + c)));
        exec(m_db,
            QStringLiteral("REPLACE INTO single(%1) VALUES(%2)")
                .arg(columns.join(QLatin1Char(',')), row.join(QLatin1Char(','))));
    }
    const QString fed = text(m_db, QStringLiteral("SELECT rowid, * FROM fed"));
    QCOMPARE(fed, text(m_db, QStringLiteral("SELECT rowid, * FROM single")));
    QTEST(fed, "rows");
}

void TestSqlHelpers::standInsOnlyForFunctionsTheConnectionLacks()
{
    exec(m_db,
        QStringLiteral(
            "CREATE TABLE t (v TEXT); CREATE TABLE log (v TEXT);"
            "CREATE TRIGGER phone AFTER DELETE ON t BEGIN "
            "SELECT phone_hook(old.v, 'not_a_call(x)'); -- comment_call(y) don't\n"
            "/* block_call() */ INSERT INTO log(v) VALUES(upper(old.v) || length(old.v)); END;"
            "INSERT INTO t VALUES('abc');"));
    QVERIFY_EXCEPTION_THROWN(m_db.executeThrow(Sqlite3Sql("DELETE FROM t")), Sqlite3Exception);
    registerTriggerStandIns(m_db);
    QCOMPARE(m_db.executeThrow(Sqlite3Sql("DELETE FROM t")), 1);
    // The built-in functions the trigger also calls are the real ones still.
    QCOMPARE(text(m_db, QStringLiteral("SELECT v FROM log")), QStringLiteral("ABC3"));
    QCOMPARE(text(m_db, QStringLiteral("SELECT phone_hook(1, 2, 3)")), QStringLiteral("0"));
    QVERIFY_EXCEPTION_THROWN(
        m_db.queryThrow(Sqlite3Sql("SELECT not_a_call(1)")).moveNext(), Sqlite3Exception);
    QVERIFY_EXCEPTION_THROWN(
        m_db.queryThrow(Sqlite3Sql("SELECT comment_call(1)")).moveNext(), Sqlite3Exception);
}

void TestSqlHelpers::deferredTriggersComeBackAndRunOnce()
{
    exec(m_db,
        QStringLiteral(
            "CREATE TABLE parent (id INTEGER PRIMARY KEY); CREATE TABLE child (pid INTEGER);"
            "CREATE TABLE counter (n INTEGER); INSERT INTO counter VALUES(0);"
            "CREATE TRIGGER sweep AFTER DELETE ON parent BEGIN "
            "DELETE FROM child WHERE pid NOT IN (SELECT id FROM parent); END;"
            "CREATE TRIGGER per_row AFTER DELETE ON parent BEGIN "
            "UPDATE counter SET n = n + 100; END;"
            "CREATE TRIGGER uses_old AFTER DELETE ON parent BEGIN "
            "DELETE FROM child WHERE pid = old.id; END;"
            "INSERT INTO parent VALUES(1),(2),(3); INSERT INTO child VALUES(1),(2),(3),(3);"));
    QVERIFY(m_db.beginTran());
    DeferredTriggers triggers;
    triggers.defer(m_db, { QStringLiteral("parent") });
    QCOMPARE(triggers.names(), QStringList { "sweep" });
    exec(m_db, QStringLiteral("DELETE FROM parent WHERE id IN (1, 3)"));
    triggers.restore(m_db);
    QVERIFY(m_db.commitTran());
    QCOMPARE(text(m_db, QStringLiteral("SELECT pid FROM child")), QStringLiteral("2"));
    // A trigger that counts runs for every row, as it always did.
    QCOMPARE(text(m_db, QStringLiteral("SELECT n FROM counter")), QStringLiteral("200"));
    QCOMPARE(text(m_db, QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='trigger'")),
        QStringLiteral("3"));
}

void TestSqlHelpers::temporaryIndexOnlyWhereNoIndexLeads()
{
    exec(m_db, QStringLiteral("CREATE TABLE j (a INTEGER, b INTEGER, UNIQUE(a, b));"));
    TemporaryIndexes indexes;
    indexes.create(m_db, QStringLiteral("j"), QStringLiteral("a"));
    indexes.create(m_db, QStringLiteral("j"), QStringLiteral("missing"));
    indexes.create(m_db, QStringLiteral("j"), QStringLiteral("b"));
    QCOMPARE(indexes.names(), QStringList { QStringLiteral("qm_transient_j_b") });
    QCOMPARE(text(m_db, QStringLiteral("EXPLAIN QUERY PLAN SELECT 1 FROM j WHERE b = 4"))
                 .contains(QStringLiteral("qm_transient_j_b")),
        true);
    indexes.dropAll(m_db);
    QCOMPARE(text(m_db,
                 QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='index' "
                                "AND name LIKE 'qm_%'")),
        QStringLiteral("0"));
}

QTEST_APPLESS_MAIN(TestSqlHelpers)
#include "tst_sqlhelpers.moc"
