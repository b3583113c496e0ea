#include "operations/localtimecache.h"
#include "records/msgidentity.h"

#include <QRandomGenerator>
#include <QtTest>

#include <ctime>

class TestLocalTimeCache : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void sameAsTheCLibrary_data();
    void sameAsTheCLibrary();
};

void TestLocalTimeCache::cleanup()
{
    qputenv("TZ", "UTC");
    tzset();
}

void TestLocalTimeCache::sameAsTheCLibrary_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("change"); // a zone change, Unix seconds

    QTest::newRow("UTC") << QByteArray("UTC") << Q_INT64_C(1364691600);
    QTest::newRow("Berlin, spring") << QByteArray("Europe/Berlin") << Q_INT64_C(1364691600);
    QTest::newRow("Berlin, autumn") << QByteArray("Europe/Berlin") << Q_INT64_C(1382835600);
    QTest::newRow("New York") << QByteArray("America/New_York") << Q_INT64_C(1383458400);
    // Half an hour of daylight saving.
    QTest::newRow("Lord Howe") << QByteArray("Australia/Lord_Howe") << Q_INT64_C(1396710000);
    // A rule given in the variable itself, not a file.
    QTest::newRow("POSIX rule") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3")
                                << Q_INT64_C(1382835600);
}

void TestLocalTimeCache::sameAsTheCLibrary()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, change);
    qputenv("TZ", zone);
    tzset();

    // Every minute around the change, in order and then shuffled, and dates over the years.
    QList<qint32> dates;
    for (qint64 t = change - 7200; t <= change + 7200; t += 60)
        dates.append(qint32(t - RecordEpochOffset));
    QList<qint32> shuffled = dates;
    std::shuffle(shuffled.begin(), shuffled.end(), *QRandomGenerator::global());
    dates += shuffled;
    for (int i = 0; i < 2000; ++i)
        dates.append(QRandomGenerator::global()->bounded(0, 900000000));

    LocalTimeCache cache;
    for (qint32 date : qAsConst(dates)) {
        const QString expected = dateTimeFromTime(date).toString("yyyy-MM-dd hh:mm:ss");
        const QString got = cache.at(date).toString("yyyy-MM-dd hh:mm:ss");
        if (got != expected)
            QFAIL(qPrintable(QString("%1: %2 instead of %3").arg(date).arg(got, expected)));
    }
}

QTEST_MAIN(TestLocalTimeCache)
#include "tst_localtimecache.moc"
