#include "records/absdb.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

class TestDb : public AbsDb
{
public:
    explicit TestDb(const QString &path)
        : m_file(path)
    {
    }
    void open() override
    {
        ++openCalls;
        if (!isOpen())
            openThrow(m_file, 6);
    }
    int openCalls = 0;

private:
    QString m_file;
};

void runScript(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, 6);
    QString error;
    if (!db.exec(sql, error))
        QFAIL(qPrintable(error));
}

int countRows(const QString &path, const QString &table)
{
    Sqlite3DB db;
    db.openThrow(path, 2);
    Sqlite3Cursor cursor
        = db.queryThrow(Sqlite3Sql(QStringLiteral("select count(*) as n from ") + table));
    cursor.moveNext();
    return cursor.getInt(QStringLiteral("n"));
}

}

class TestAbsDb : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("t%1.db").arg(++m_counter));
    }

    void endTransactionWithoutBeginRunsNothing_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::newRow("commit") << true;
        QTest::newRow("rollback") << false;
    }
    void endTransactionWithoutBeginRunsNothing()
    {
        QFETCH(bool, commit);
        TestDb db(m_path);
        QVERIFY(!db.endTransaction(commit));
        QCOMPARE(db.openCalls, 0);
        QVERIFY(!db.isOpen());
        QVERIFY(!QFile::exists(m_path));
    }

    void commitKeepsAndRollbackDropsRows_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::addColumn<int>("rows");
        QTest::newRow("commit") << true << 1;
        QTest::newRow("rollback") << false << 0;
    }
    void commitKeepsAndRollbackDropsRows()
    {
        QFETCH(bool, commit);
        QFETCH(int, rows);
        runScript(m_path, QStringLiteral("create table t(a integer, b text);"));
        {
            TestDb db(m_path);
            db.beginTransaction();
            QVERIFY(db.inTransaction);
            Sqlite3Row row;
            row.setValue(QStringLiteral("a"), 7);
            row.setValue(QStringLiteral("b"), QStringLiteral("x"));
            QCOMPARE(db.insertRow(row, QStringLiteral("t")), qint64(1));
            QVERIFY(db.endTransaction(commit));
            QVERIFY(!db.inTransaction);
            QVERIFY(sqlite3_get_autocommit(db.handle()));
        }
        QCOMPARE(countRows(m_path, QStringLiteral("t")), rows);
    }

    void atomicallyKeepsAllOrNothing_data()
    {
        QTest::addColumn<bool>("inCallerTransaction");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<int>("rows");
        // The caller's own row counts once; the atomic work adds two.
        QTest::newRow("alone, done") << false << false << 2;
        QTest::newRow("alone, failed") << false << true << 0;
        QTest::newRow("in a transaction, done") << true << false << 3;
        QTest::newRow("in a transaction, failed") << true << true << 1;
    }
    void atomicallyKeepsAllOrNothing()
    {
        QFETCH(bool, inCallerTransaction);
        QFETCH(bool, fails);
        QFETCH(int, rows);
        runScript(m_path, QStringLiteral("create table t(a integer unique);"));
        {
            TestDb db(m_path);
            auto insert = [&db](int a) {
                Sqlite3Row row;
                row.setValue(QStringLiteral("a"), a);
                return db.insertRow(row, QStringLiteral("t"));
            };
            if (inCallerTransaction) {
                db.beginTransaction();
                insert(100);
            }
            try {
                const qint64 id = db.atomically([&] {
                    insert(1);
                    // A duplicate breaks the unique constraint half-way.
                    return insert(fails ? 1 : 2);
                });
                QVERIFY(!fails);
                QVERIFY(id > 0);
            } catch (const std::exception &) {
                QVERIFY(fails);
            }
            QCOMPARE(bool(sqlite3_get_autocommit(db.handle())), !inCallerTransaction);
            if (inCallerTransaction)
                QVERIFY(db.endTransaction(true));
            // Nested use inside a running savepoint releases only its own.
            db.atomically([&] { db.atomically([] {}); });
            QVERIFY(sqlite3_get_autocommit(db.handle()));
        }
        QCOMPARE(countRows(m_path, QStringLiteral("t")), rows);
    }

    void failedCommitIsReportedAndRolledBack()
    {
        runScript(m_path,
            QStringLiteral("create table p(id integer primary key);"
                           "create table c(pid integer references p(id) "
                           "deferrable initially deferred);"));
        TestDb db(m_path);
        db.open();
        QString error;
        QVERIFY(db.exec(QStringLiteral("pragma foreign_keys=on"), error));
        db.beginTransaction();
        Sqlite3Row row;
        row.setValue(QStringLiteral("pid"), 42);
        db.insertRow(row, QStringLiteral("c"));
        try {
            db.endTransaction(true);
            QFAIL("a commit that violates a deferred key must not succeed");
        } catch (const std::exception &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(QLatin1String("FOREIGN KEY")), e.what());
        }
        QVERIFY(!db.inTransaction);
        QVERIFY(sqlite3_get_autocommit(db.handle()));
        QCOMPARE(db.selectAll(QStringLiteral("c")).size(), 0);
        // The connection is usable again.
        db.beginTransaction();
        QVERIFY(db.endTransaction(true));
    }

    void beginInsideTransactionThrows()
    {
        TestDb db(m_path);
        db.beginTransaction();
        QVERIFY_EXCEPTION_THROWN(db.beginTransaction(), std::exception);
        QVERIFY(db.inTransaction);
        QVERIFY(db.endTransaction(false));
    }

    void selectAllReturnsRowsInOrder()
    {
        runScript(m_path,
            QStringLiteral("create table e(a integer);"
                           "create table t(a integer, b text);"
                           "insert into t values(3,'c');insert into t values(1,'a');"));
        TestDb db(m_path);
        QVERIFY(db.selectAll(QStringLiteral("e")).isEmpty());
        const QList<Sqlite3Row> rows = db.selectAll(QStringLiteral("t"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).getInt(QStringLiteral("A")), 3);
        QCOMPARE(rows.at(1).getText(QStringLiteral("b")), QStringLiteral("a"));
    }

    void selectAllTakesTableNameAsNameOnly()
    {
        runScript(m_path,
            QStringLiteral("create table t(a integer);insert into t values(1);"
                           "create table \"we\"\"ird; t\"(a integer);"
                           "insert into \"we\"\"ird; t\" values(7);"));
        TestDb db(m_path);
        const QList<Sqlite3Row> weird = db.selectAll(QStringLiteral("we\"ird; t"));
        QCOMPARE(weird.size(), 1);
        QCOMPARE(weird.at(0).getInt(QStringLiteral("a")), 7);
        // Text that would be a second statement or a condition is only a missing table.
        QVERIFY_EXCEPTION_THROWN(db.selectAll(QStringLiteral("t; drop table t")), std::exception);
        QVERIFY_EXCEPTION_THROWN(db.selectAll(QStringLiteral("t where a=2")), std::exception);
        QCOMPARE(db.selectAll(QStringLiteral("t")).size(), 1);
    }

    void statementErrorsPropagateAndKeepTransactionFlag()
    {
        TestDb db(m_path);
        db.beginTransaction();
        QVERIFY_EXCEPTION_THROWN(db.selectAll(QStringLiteral("missing")), std::exception);
        Sqlite3Row row;
        row.setValue(QStringLiteral("a"), 1);
        QVERIFY_EXCEPTION_THROWN(db.insertRow(row, QStringLiteral("missing")), std::exception);
        QVERIFY(db.inTransaction);
        QVERIFY(db.endTransaction(false));
    }

    void insertRowLeavesOutExcludedColumns()
    {
        runScript(m_path, QStringLiteral("create table t(a integer, b text default 'd');"));
        TestDb db(m_path);
        Sqlite3Row row;
        row.setValue(QStringLiteral("a"), 5);
        row.setValue(QStringLiteral("b"), QStringLiteral("given"));
        QCOMPARE(db.insertRow(row, QStringLiteral("t"), { QStringLiteral("b") }), qint64(1));
        QCOMPARE(db.insertRow(row, QStringLiteral("t")), qint64(2));
        const QList<Sqlite3Row> rows = db.selectAll(QStringLiteral("t"));
        QCOMPARE(rows.at(0).getText(QStringLiteral("b")), QStringLiteral("d"));
        QCOMPARE(rows.at(1).getText(QStringLiteral("b")), QStringLiteral("given"));
    }

    void smsDbVersionProbesTables_data()
    {
        QTest::addColumn<QString>("ddl");
        QTest::addColumn<int>("version");
        const QString ios6
            = QStringLiteral("create table chat(rowid integer primary key, guid text);"
                             "create table handle(rowid integer primary key, id text);"
                             "create table chat_handle_join(chat_id integer, handle_id integer);"
                             "create table message(rowid integer primary key, text text);");
        QTest::newRow("ios6") << ios6
                + "create table chat_message_join(chat_id, message_id);"
                  "create table attachment(guid text);"
                              << 6;
        QTest::newRow("no chat_message_join") << ios6 << 5;
        QTest::newRow("chat_message_join is a view")
            << ios6 + "create view chat_message_join as select 1;" << 5;
        QTest::newRow("names differ in case")
            << QStringLiteral("create table Chat(a);create table handle(a);"
                              "create table chat_handle_join(a);create table message(a);"
                              "create table chat_message_join(a);")
            << 5;
        QTest::newRow("ios5") << QStringLiteral(
            "create table msg_group(rowid integer primary key);"
            "create table message(rowid integer primary key);"
            "create table madrid_chat(rowid integer primary key);")
                              << 5;
        QTest::newRow("empty database") << QStringLiteral("pragma user_version=1;") << 5;
    }
    void smsDbVersionProbesTables()
    {
        QFETCH(QString, ddl);
        QFETCH(int, version);
        runScript(m_path, ddl);
        QCOMPARE(AbsIOSMessageDb::smsDbVersion(m_path), version);
    }

    void smsDbVersionThrowsOnUnreadableFiles()
    {
        QVERIFY_EXCEPTION_THROWN(
            AbsIOSMessageDb::smsDbVersion(m_dir.filePath("absent.db")), std::exception);
        QVERIFY(!QFile::exists(m_dir.filePath("absent.db")));
        QFile junk(m_path);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        QVERIFY_EXCEPTION_THROWN(AbsIOSMessageDb::smsDbVersion(m_path), std::exception);
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_counter = 0;
};

QTEST_GUILESS_MAIN(TestAbsDb)
#include "tst_absdb.moc"
