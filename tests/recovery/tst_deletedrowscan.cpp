#include "messages/ios5messagedb.h"
#include "messages/ios6messagedb.h"
#include "shell/progressform.h"
#include "support/carvablesmsdb.h"

#include <QFile>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

enum Scenario { Scattered, Runs, Bulk, Overflow, Touched, Inserted, Grown };

struct Stored
{
    QString guid;
    QString text;
    QString chat;
    QString handle;
    qint64 source = 0;
    qint32 date = 0;
    QString service;
};

QList<Stored> storedMessages(const QString &dataFolder)
{
    QList<Stored> out;
    const QString path = QDir(dataFolder).filePath(QStringLiteral("recycle.db"));
    if (!QFile::exists(path))
        return out;
    Sqlite3DB db;
    db.openThrow(path, 1);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
        "select guid, text, chat_identifier, handle, src_rowid, date, service from message "
        "order by rowid"));
    while (c.moveNext()) {
        out.append({ c.getText(0), c.getText(1), c.getText(2), c.getText(3), c.getInt64(4),
            c.getInt(5), c.getText(6) });
    }
    return out;
}

QStringList storedHandles(const QString &dataFolder)
{
    QStringList out;
    Sqlite3DB db;
    db.openThrow(QDir(dataFolder).filePath(QStringLiteral("recycle.db")), 1);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select id from handle order by id"));
    while (c.moveNext())
        out.append(c.getText(0));
    return out;
}

QList<qint64> everyNth(const QList<qint64> &rowids, int n, int offset = 0)
{
    QList<qint64> out;
    for (int i = offset; i < rowids.size(); i += n)
        out.append(rowids.at(i));
    return out;
}

// Fills the database by scenario and deletes the rows under test.
void build(CarvableSmsDb &db, Scenario scenario, qint64 handle)
{
    QList<qint64> rows;
    switch (scenario) {
    case Scattered:
        rows = db.addMessages(1, 150, 60, handle) + db.addMessages(151, 150, 240, handle)
            + db.addMessages(301, 60, 900, handle);
        db.deleteMessages(everyNth(rows, 7, 3));
        break;
    case Runs:
        rows = db.addMessages(1, 600, 150, handle);
        db.deleteMessages(rows.mid(100, 60) + rows.mid(300, 90));
        break;
    case Bulk: {
        // On 1 KiB pages the table is three levels deep, so interior pages are freed too.
        rows = db.addMessages(1, 2000, 120, handle);
        QList<qint64> gone;
        for (const qint64 r : qAsConst(rows)) {
            if (r % 5 != 0)
                gone.append(r);
        }
        db.deleteMessages(gone);
        break;
    }
    case Overflow:
        db.primeFreelist(8);
        for (int n = 0; n < 6; ++n)
            rows += db.addMessages(1 + 10 * n, 10, 4500 + 900 * n, handle);
        db.deleteMessages(everyNth(rows, 2));
        break;
    case Touched:
        rows = db.addMessages(1, 400, 200, handle);
        db.touchMessages(everyNth(rows, 3, 1));
        db.deleteMessages(everyNth(rows, 9));
        break;
    case Inserted:
        rows = db.addMessages(1, 600, 180, handle);
        db.deleteMessages(everyNth(rows, 4));
        db.addMessages(601, 150, 180, handle);
        break;
    case Grown: {
        // A phone updated across versions: each update adds columns, and the rows written
        // before keep their narrower records. Rows of every width are deleted.
        QList<qint64> gone;
        const int added[] = { 0, 9, 15, 16 };
        for (int step = 0; step < 4; ++step) {
            db.addMessageColumns(added[step]);
            rows = db.addMessages(1 + 200 * step, 200, 100 + 60 * step, handle);
            gone += everyNth(rows, 4, step) + rows.mid(120, 25);
        }
        db.deleteMessages(gone);
        break;
    }
    }
}

int freeInteriorPages(const QString &path)
{
    Sqlite3File file(path);
    file.open();
    int interior = 0;
    for (qint32 trunk = file.firstFreelistTrunk(); trunk > 0;) {
        const Sqlite3File::FreelistTrunk t = file.readFreelistTrunk(trunk);
        for (const qint32 leaf : t.leaves)
            interior += file.readPage(leaf).type == 5 ? 1 : 0;
        trunk = t.next;
    }
    return interior;
}

// Messages of two handles in turn; returns the rows of the first. Deleted rows between live
// ones stay where they were, while a page emptied whole may be rebuilt by SQLite.
QList<qint64> alternating(CarvableSmsDb &db, int count, int textLength, qint64 first,
    qint64 second)
{
    QList<qint64> firsts;
    for (int n = 1; n <= count; ++n) {
        const qint64 rowid = db.addMessage(db.makeMessage(n, textLength, n % 2 ? first : second));
        if (n % 2)
            firsts.append(rowid);
    }
    return firsts;
}

void scan(const QString &dataFolder, bool ios5, ProgressForm *form = nullptr)
{
    if (ios5) {
        IOS5MessageDb db(QDir(dataFolder), QStringLiteral("310"));
        db.scanDeletedMessages(form);
        return;
    }
    IOS6MessageDb db(QDir(dataFolder), QStringLiteral("310"), false);
    db.scanDeletedHandles(form);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.scanDeletedMessages(set->chats(), form);
}

} // namespace

class TestDeletedRowScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recoversDeletedRows_data();
    void recoversDeletedRows();
    void deletedHandlesNameTheirMessages();
    void oneToOneChatNamesTheMessage();
    void groupEventsAreLeftOut();
    void progressAndCancel();
    void failureRollsBack();
    void missingTableKeepsFirstPass();
    void damagedFreelistEnds();
    void readBackLeavesLiveMessagesOut();
    void placeMarkerInAddressKeepsRowsApart();

private:
    QTemporaryDir m_home;
};

void TestDeletedRowScan::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
}

void TestDeletedRowScan::recoversDeletedRows_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<int>("scenario");
    QTest::addColumn<bool>("complete"); // every row still in the file comes back
    const struct
    {
        const char *name;
        CarvableSmsDb::Layout layout;
    } layouts[] = { { "iOS 5", CarvableSmsDb::Ios5 },
        { "iOS 5 reordered", CarvableSmsDb::Ios5Reordered }, { "iOS 6", CarvableSmsDb::Ios6 },
        { "iOS 8", CarvableSmsDb::Ios8 }, { "later", CarvableSmsDb::Later } };
    const struct
    {
        const char *name;
        Scenario scenario;
        bool complete;
    } scenarios[] = { { "scattered rows", Scattered, true }, { "runs of rows", Runs, true },
        { "bulk delete", Bulk, true }, { "texts longer than a page", Overflow, true },
        { "updated live rows", Touched, true }, { "inserts after deletes", Inserted, false },
        { "columns added over time", Grown, true } };
    for (const auto &l : layouts) {
        for (const auto &s : scenarios) {
            // The iOS 5 table gained no columns after its last layout.
            if (s.scenario == Grown
                && (l.layout == CarvableSmsDb::Ios5 || l.layout == CarvableSmsDb::Ios5Reordered))
                continue;
            QTest::addRow("%s, %s", l.name, s.name)
                << int(l.layout) << int(s.scenario) << s.complete;
        }
    }
}

// The truth is the builder's: every stored row is a deleted one, none is stored twice, and
// every deleted row whose record is still in the file comes back as it was. SQLite itself
// overwrites some deleted rows when it rebalances or defragments pages; those are counted
// apart, and what remains of one may come back.
void TestDeletedRowScan::recoversDeletedRows()
{
    QFETCH(int, layout);
    QFETCH(int, scenario);
    QFETCH(bool, complete);
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Layout(layout), scenario == Bulk ? 1024 : 4096);
    qint64 handle = 0;
    if (!db.isIos5()) {
        handle = db.addHandle({ 0, QStringLiteral("+15550001234") });
        db.addChat(QStringLiteral("+15550001234"), { handle });
    }
    build(db, Scenario(scenario), handle);
    db.close();
    if (scenario == Bulk)
        QVERIFY(freeInteriorPages(db.path()) > 0);

    scan(dir.path(), db.isIos5());
    const QList<Stored> stored = storedMessages(dir.path());

    // SMS rows of iOS 5 get a new guid; their dates are unique too.
    auto key = [&db](const QString &guid, qint32 date, const QString &service) {
        return db.isIos5() && service == QLatin1String("SMS") ? QString::number(date) : guid;
    };
    QHash<QString, CarvableSmsDb::Message> deleted;
    for (const CarvableSmsDb::Message &m : db.deletedMessages())
        deleted.insert(key(m.guid, m.date, m.service), m);
    QSet<QString> live;
    for (const CarvableSmsDb::Message &m : db.liveMessages())
        live.insert(key(m.guid, m.date, m.service));

    QFile file(db.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    // A freeblock header may cover the first bytes of a record.
    auto whole
        = [&bytes](const CarvableSmsDb::Message &m) { return bytes.contains(m.head.mid(3)); };

    QSet<QString> found;
    for (const Stored &s : stored) {
        const QString k = key(s.guid, s.date, s.service);
        QVERIFY2(!live.contains(k), qPrintable(s.text.left(12)));
        QVERIFY2(deleted.contains(k), qPrintable(s.text.left(40)));
        QVERIFY2(!found.contains(k), qPrintable(s.text.left(12)));
        found.insert(k);
        const CarvableSmsDb::Message &truth = deleted[k];
        // An overflow page that SQLite reused cuts a long text short.
        if (truth.text.size() > 4000) {
            QVERIFY(truth.text.startsWith(s.text));
        } else if (whole(truth)) {
            QCOMPARE(s.text, truth.text);
            QCOMPARE(s.date, truth.date);
        }
        QCOMPARE(s.chat, db.isIos5() ? truth.address : QStringLiteral("+15550001234"));
        QVERIFY(s.source == 0 || s.source == truth.rowid);
    }

    // Counted by the width of each row's record: the rows of every layout must come back.
    QMap<int, int> kept;
    QMap<int, int> recovered;
    QStringList missed;
    for (auto it = deleted.cbegin(); it != deleted.cend(); ++it) {
        if (!whole(it.value()))
            continue;
        const int columns = it.value().columns;
        ++kept[columns];
        if (found.contains(it.key()))
            ++recovered[columns];
        else
            missed.append(QString::number(it.value().rowid));
    }
    for (auto it = kept.cbegin(); it != kept.cend(); ++it) {
        qInfo("rows of %d columns: %d with their record head still in the file, %d recovered",
            it.key(), it.value(), recovered.value(it.key()));
        if (!complete)
            QVERIFY(recovered.value(it.key()) * 10 >= it.value() * 9);
    }
    qInfo("%d deleted, %d recovered", int(deleted.size()), int(found.size()));
    if (complete)
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(QLatin1Char(','))));
}

void TestDeletedRowScan::deletedHandlesNameTheirMessages()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios8);
    const qint64 kept = db.addHandle({ 0, QStringLiteral("+15550000001") });
    const qint64 gone = db.addHandle({ 0, QStringLiteral("Friend@Example.COM"),
        QStringLiteral("iMessage") });
    db.deleteMessages(alternating(db, 60, 100, gone, kept));
    // Without a WHERE clause SQLite clears the table's pages whole and leaves the cells as
    // they were: the rowids of carved handles survive and link the messages. A row deleted
    // alone loses the start of its cell, rowid included, to the freeblock header.
    QString error;
    QVERIFY(db.db().exec(QStringLiteral("DELETE FROM handle"), error));
    db.close();

    scan(dir.path(), false);
    QCOMPARE(storedHandles(dir.path()),
        QStringList({ QStringLiteral("+15550000001"), QStringLiteral("friend@example.com") }));
    const QList<Stored> stored = storedMessages(dir.path());
    QCOMPARE(stored.size(), 30);
    for (const Stored &s : stored) {
        QCOMPARE(s.chat, QStringLiteral("friend@example.com"));
        QCOMPARE(s.handle, QStringLiteral("friend@example.com"));
    }

    // A second scan finds the same rows and stores nothing new.
    scan(dir.path(), false);
    QCOMPARE(storedMessages(dir.path()).size(), 30);
    QCOMPARE(storedHandles(dir.path()).size(), 2);
}

void TestDeletedRowScan::oneToOneChatNamesTheMessage()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6);
    const qint64 a = db.addHandle({ 0, QStringLiteral("+15550000001") });
    const qint64 b = db.addHandle({ 0, QStringLiteral("+15550000002") });
    db.addChat(QStringLiteral("chat777"), { a, b });
    db.addChat(QStringLiteral("+15550000001"), { a });
    db.addChat(QStringLiteral("chat888"), { b, a });
    db.deleteMessages(alternating(db, 40, 80, a, b));
    db.close();

    scan(dir.path(), false);
    const QList<Stored> stored = storedMessages(dir.path());
    QVERIFY(stored.size() > 15);
    for (const Stored &s : stored)
        QCOMPARE(s.chat, QStringLiteral("+15550000001"));
}

void TestDeletedRowScan::groupEventsAreLeftOut()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios8);
    QList<qint64> rows;
    for (int n = 1; n <= 40; ++n) {
        CarvableSmsDb::Message m = db.makeMessage(n, 90);
        m.itemType = n % 2 ? 0 : 4;
        rows.append(db.addMessage(m));
    }
    db.deleteMessages(rows);
    db.close();

    scan(dir.path(), false);
    const QList<Stored> stored = storedMessages(dir.path());
    QCOMPARE(stored.size(), 20);
    for (const Stored &s : stored)
        QVERIFY(s.text.section(QLatin1Char(' '), 0, 0).mid(1).toInt() % 2 == 1);
}

// The page list of this file: the freelist trunk, its one leaf and the table's root leaf.
void TestDeletedRowScan::progressAndCancel()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6);
    QString error;
    QVERIFY(db.db().exec(QStringLiteral("CREATE TABLE scratch(x); INSERT INTO scratch "
                                        "VALUES(zeroblob(5000)); DROP TABLE scratch;"),
        error));
    QCOMPARE(db.freelistCount(), 2);
    db.deleteMessages(db.addMessages(1, 8, 80));
    db.close();

    ProgressForm form { QString() };
    auto *bar = form.findChild<QProgressBar *>();
    QVERIFY(bar);
    QSignalSpy values(bar, &QProgressBar::valueChanged);
    scan(dir.path(), false, &form);
    QList<int> reported;
    for (const QList<QVariant> &v : qAsConst(values))
        reported.append(v.first().toInt());
    // The handle scan reports first, then the message scan.
    QCOMPARE(reported.mid(reported.size() - 3), QList<int>({ 33, 66, 100 }));
    QCOMPARE(storedMessages(dir.path()).size(), 8);

    // Cancelled at its first report, a scan stores only what the free pages gave.
    QTemporaryDir other;
    CarvableSmsDb again(other.path(), CarvableSmsDb::Ios6);
    again.deleteMessages(again.addMessages(1, 8, 80));
    again.close();
    ProgressForm cancelling { QString() };
    connect(cancelling.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &cancelling,
        [&cancelling] { cancelling.failed = true; });
    IOS6MessageDb live(QDir(other.path()), QStringLiteral("310"), false);
    live.scanDeletedMessages({}, &cancelling);
    QVERIFY(!live.recycleDb().inTransaction);
    QCOMPARE(storedMessages(other.path()).size(), 0);
}

void TestDeletedRowScan::failureRollsBack()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6);
    db.deleteMessages(db.addMessages(1, 30, 80));
    db.close();
    // A store whose message table lacks columns fails at the first insert.
    Sqlite3DB broken;
    broken.openThrow(QDir(dir.path()).filePath(QStringLiteral("recycle.db")), 6);
    QString error;
    QVERIFY(broken.exec(QStringLiteral("CREATE TABLE message(ROWID INTEGER PRIMARY KEY, guid "
                                       "TEXT, date INTEGER, is_from_me INTEGER, text TEXT);"
                                       "CREATE TABLE handle(id TEXT, service TEXT, src_rowid);"),
        error));
    broken.close();

    IOS6MessageDb live(QDir(dir.path()), QStringLiteral("310"), false);
    QVERIFY_EXCEPTION_THROWN(live.scanDeletedMessages({}, nullptr), std::exception);
    QVERIFY(!live.recycleDb().inTransaction);
    QVERIFY(sqlite3_get_autocommit(live.recycleDb().handle()));
}

// Without the table in sqlite_master the free-space pass cannot run; what the free pages
// gave is kept.
void TestDeletedRowScan::missingTableKeepsFirstPass()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6);
    db.primeFreelist(4);
    db.addMessages(1, 200, 100);
    QString error;
    QVERIFY(db.db().exec(QStringLiteral("ALTER TABLE message RENAME TO message_old"), error));
    QVERIFY(db.db().exec(QStringLiteral("DELETE FROM message_old WHERE ROWID > 50"), error));
    db.close();

    IOS6MessageDb live(QDir(dir.path()), QStringLiteral("310"), false);
    live.scanDeletedMessages({}, nullptr);
    QVERIFY(!live.recycleDb().inTransaction);
    const QList<Stored> stored = storedMessages(dir.path());
    QVERIFY(!stored.isEmpty());
    for (const Stored &s : stored)
        QVERIFY(s.text.section(QLatin1Char(' '), 0, 0).mid(1).toInt() > 50);
}

void TestDeletedRowScan::damagedFreelistEnds()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios8, 1024);
    const QList<qint64> rows = db.addMessages(1, 400, 100);
    db.deleteMessages(rows.mid(50, 300));
    db.close();
    QFile file(db.path());
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const quint32 trunk = (uchar(bytes[32]) << 24) | (uchar(bytes[33]) << 16)
        | (uchar(bytes[34]) << 8) | uchar(bytes[35]);
    QVERIFY(trunk > 0);
    // The trunk names itself as the next one and claims more leaves than a page holds; one
    // of its leaves becomes an interior page that names itself as its child.
    const int at = int(trunk - 1) * 1024;
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = bytes[32 + i];
        bytes[at + 4 + i] = char(0x7f);
    }
    const int leaf = int((uchar(bytes[at + 8]) << 24) | (uchar(bytes[at + 9]) << 16)
        | (uchar(bytes[at + 10]) << 8) | uchar(bytes[at + 11]));
    const int leafAt = (leaf - 1) * 1024;
    bytes[leafAt] = 5;
    bytes[leafAt + 3] = 0;
    bytes[leafAt + 4] = 0;
    for (int i = 0; i < 4; ++i)
        bytes[leafAt + 8 + i] = bytes[at + 8 + i];
    file.seek(0);
    file.write(bytes);
    file.close();

    scan(dir.path(), false);
    QVERIFY(storedMessages(dir.path()).size() > 200);
}

void TestDeletedRowScan::readBackLeavesLiveMessagesOut()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6);
    const QList<qint64> rows = db.addMessages(1, 30, 100);
    db.deleteMessages(rows.mid(0, 10));
    db.close();
    IOS6MessageDb live(QDir(dir.path()), QStringLiteral("310"), false);
    live.scanDeletedMessages({}, nullptr);
    QCOMPARE(storedMessages(dir.path()).size(), 10);
    // Rows that come back to the live table (restored from elsewhere) leave the read-back.
    for (const CarvableSmsDb::Message &m : db.deletedMessages()) {
        if (m.rowid > 7)
            continue;
        _MsgMessage restored;
        restored.guid = m.guid;
        restored.text = m.text;
        restored.service = m.service;
        live.insertMessage(restored, 0, 0, QString());
    }

    QSharedPointer<MsgMessageSet> set;
    live.dropLiveFromRecycled(set);
    QVERIFY(set);
    QCOMPARE(set->messageMap.size(), 3);
    for (const _MsgMessage *m : set->messages()) {
        QVERIFY(m->isDeleted);
        QVERIFY(m->rowid < 0);
        QVERIFY(m->chat);
        // The tree shows chats below this key in red.
        QVERIFY(m->chat->rowid < -1947483646);
    }

    for (const CarvableSmsDb::Message &m : db.deletedMessages()) {
        _MsgMessage restored;
        restored.guid = m.guid;
        restored.service = m.service;
        if (m.rowid > 7)
            live.insertMessage(restored, 0, 0, QString());
    }
    QSharedPointer<MsgMessageSet> empty;
    live.dropLiveFromRecycled(empty);
    QVERIFY(empty->messageMap.isEmpty());
    QVERIFY(empty->chatMap.isEmpty());
}

QTEST_MAIN(TestDeletedRowScan)
// The iOS 5 scan tells a deleted SMS from a live one by address, date and text: an address
// holding "%2" must not take the date's place and match another row.
void TestDeletedRowScan::placeMarkerInAddressKeepsRowsApart()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios5);
    CarvableSmsDb::Message gone = db.makeMessage(2, 80);
    gone.service = QStringLiteral("SMS");
    gone.address = QStringLiteral("%2");
    CarvableSmsDb::Message live = gone;
    live.address = QString::number(qint64(gone.date) + 978307200);
    db.addMessages(10, 20, 80);
    const qint64 goneRow = db.addMessage(gone);
    db.addMessage(live);
    db.deleteMessages({ goneRow });
    db.close();

    scan(dir.path(), true);
    const QList<Stored> stored = storedMessages(dir.path());
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().text, gone.text);
}

#include "tst_deletedrowscan.moc"
