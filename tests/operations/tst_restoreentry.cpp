#include "operations/restoreentry.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

RestoreEntry entry(qint64 rowid, qint32 date, bool existing)
{
    RestoreEntry e;
    e.rowid = rowid;
    e.date = date;
    e.existing = existing;
    return e;
}

} // namespace

class TestRestoreEntry : public QObject
{
    Q_OBJECT

private slots:
    void compares_data();
    void compares();
    void sortKeepsEqualEntriesInTheirOrder();
    void sortFollowsDatesForEntriesFarApart();
    void sortOfContradictoryEntriesIsAPermutation();
};

void TestRestoreEntry::compares_data()
{
    QTest::addColumn<qint64>("rowidA");
    QTest::addColumn<int>("dateA");
    QTest::addColumn<bool>("existingA");
    QTest::addColumn<qint64>("rowidB");
    QTest::addColumn<int>("dateB");
    QTest::addColumn<bool>("existingB");
    QTest::addColumn<bool>("aFirst");
    QTest::addColumn<bool>("bFirst");

    QTest::newRow("far apart by row id follow the date")
        << qint64(100) << 500 << true << qint64(10) << 600 << false << true << false;
    QTest::newRow("far apart by date follow the date")
        << qint64(5) << 1000 << false << qint64(6) << 100 << true << false << true;
    QTest::newRow("close ones follow the row id against the date")
        << qint64(5) << 200 << true << qint64(7) << 100 << true << true << false;
    QTest::newRow("120 seconds still counts as close")
        << qint64(9) << 100 << false << qint64(3) << 220 << false << false << true;
    QTest::newRow("equal dates far apart: the device's row first")
        << qint64(100) << 300 << true << qint64(1) << 300 << false << true << false;
    QTest::newRow("equal dates far apart: same kind is a tie")
        << qint64(100) << 300 << true << qint64(1) << 300 << true << false << false;
    QTest::newRow("same row id and date: the device's row first")
        << qint64(4) << 300 << false << qint64(4) << 300 << true << false << true;
    QTest::newRow("same row id and date, same kind: a tie")
        << qint64(4) << 300 << false << qint64(4) << 300 << false << false << false;
    QTest::newRow("extreme values do not overflow")
        << std::numeric_limits<qint64>::min() / 2 << std::numeric_limits<qint32>::min() << true
        << std::numeric_limits<qint64>::max() / 2 << std::numeric_limits<qint32>::max() << false
        << true << false;
}

void TestRestoreEntry::compares()
{
    QFETCH(qint64, rowidA);
    QFETCH(int, dateA);
    QFETCH(bool, existingA);
    QFETCH(qint64, rowidB);
    QFETCH(int, dateB);
    QFETCH(bool, existingB);
    const RestoreEntry a = entry(rowidA, dateA, existingA);
    const RestoreEntry b = entry(rowidB, dateB, existingB);
    QTEST(compareRestoreEntries(a, b), "aFirst");
    QTEST(compareRestoreEntries(b, a), "bFirst");
    QVERIFY(!compareRestoreEntries(a, a));
}

void TestRestoreEntry::sortKeepsEqualEntriesInTheirOrder()
{
    // Device rows and new messages of one date, interleaved: the device's rows come first,
    // each kind in the order it had.
    QVector<RestoreEntry> entries;
    for (int i = 0; i < 40; ++i)
        entries.append(entry(100 * (40 - i), 5000, i % 3 == 0));
    for (int i = 0; i < entries.size(); ++i)
        entries[i].storedDate = i;
    sortRestoreEntries(entries);

    int lastExisting = -1, lastNew = -1;
    bool seenNew = false;
    for (const RestoreEntry &e : qAsConst(entries)) {
        const int n = int(e.storedDate);
        if (e.existing) {
            QVERIFY2(!seenNew, "a device row after a new message");
            QVERIFY(n > lastExisting);
            lastExisting = n;
        } else {
            seenNew = true;
            QVERIFY(n > lastNew);
            lastNew = n;
        }
    }
}

void TestRestoreEntry::sortFollowsDatesForEntriesFarApart()
{
    QVector<RestoreEntry> entries;
    QRandomGenerator random(7);
    for (int i = 0; i < 500; ++i)
        entries.append(entry(i * 50, qint32(random.bounded(1000)) * 200, random.bounded(2) == 0));
    sortRestoreEntries(entries);
    for (int i = 1; i < entries.size(); ++i)
        QVERIFY(entries.at(i - 1).date <= entries.at(i).date);
}

void TestRestoreEntry::sortOfContradictoryEntriesIsAPermutation()
{
    // Row ids and dates close together in chains make the relation contradict itself; the
    // sort must still end, stay in range and keep every entry exactly once.
    QVector<RestoreEntry> entries;
    QRandomGenerator random(11);
    for (int i = 0; i < 2000; ++i) {
        RestoreEntry e
            = entry(random.bounded(200), qint32(random.bounded(600)), random.bounded(2) == 0);
        e.storedDate = i;
        entries.append(e);
    }
    sortRestoreEntries(entries);
    QCOMPARE(entries.size(), 2000);
    QVector<bool> seen(2000, false);
    for (const RestoreEntry &e : qAsConst(entries)) {
        const int n = int(e.storedDate);
        QVERIFY(!seen.at(n));
        seen[n] = true;
    }
}

QTEST_APPLESS_MAIN(TestRestoreEntry)
#include "tst_restoreentry.moc"
