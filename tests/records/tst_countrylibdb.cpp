#include "platform/durablefile/targetlock.h"
#include "records/countrylibdb.h"
#include "shell/datafolder.h"
#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/killedwriter.h"
#include "support/targetclaims.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file's inode: the same one while the file is used as it is, a new one once replaced.
ino_t inodeOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

class TestCountryLibDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tableIsConsistent();
    void longStandingRowsAreKept_data();
    void longStandingRowsAreKept();
    void countryByMcc_data();
    void countryByMcc();
    void countryBySn_data();
    void countryBySn();
    void unknownMccLeavesCurrentEmpty();
    void normalizeNumber_data();
    void normalizeNumber();
    void patternMatchesWholeTextOnly();
    void isNationalLength_data();
    void isNationalLength();
    void existingCopyIsUsedAndMissingOneRestored();
    void copyUnlikeTheBuiltInTableIsReplacedWhole_data();
    void copyUnlikeTheBuiltInTableIsReplacedWhole();
    void lockNotTakenInTimeNamesItAndTheReason_data();
    void lockNotTakenInTimeNamesItAndTheReason();
    void killedWindowHoldsNoLaterOneBack();

private:
    QTemporaryDir m_home;
};

void TestCountryLibDb::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    CountryLibDb::setLockWait(50);
}

void TestCountryLibDb::tableIsConsistent()
{
    CountryLibDb db { QString() };
    db.open();

    QHash<QString, QStringList> mccsOf;
    Sqlite3Cursor countries = db.queryThrow(Sqlite3Sql("select * from countries"));
    const QRegularExpression letters("^[A-Z]{2}$"), digits("^[0-9]{1,3}$"),
        mccList("^[0-9]{3}(,[0-9]{3})*$"), lengths("^[0-9]{1,2}(,[0-9]{1,2})*$");
    while (countries.moveNext()) {
        const QString sn = countries.getText("sn");
        QVERIFY2(letters.match(sn).hasMatch(), qPrintable(sn));
        QVERIFY2(digits.match(countries.getText("pnum")).hasMatch(), qPrintable(sn));
        QVERIFY2(mccList.match(countries.getText("mmc")).hasMatch(), qPrintable(sn));
        QVERIFY2(lengths.match(countries.getText("numc")).hasMatch(), qPrintable(sn));
        QVERIFY2(!countries.getText("n").isEmpty() && !countries.getText("ln").isEmpty(),
            qPrintable(sn));
        bool found = false;
        const _CountryInfo info = db.countryBySn(sn, &found);
        QVERIFY(found);
        QVERIFY2(!info.r1.isEmpty(), qPrintable(sn));
        QVERIFY2(QRegularExpression(info.r1).isValid(), qPrintable(sn + " " + info.r1));
        mccsOf.insert(sn, countries.getText("mmc").split(','));
    }
    QVERIFY2(
        mccsOf.size() > 200 && mccsOf.size() < 260, qPrintable(QString::number(mccsOf.size())));

    int mappings = 0;
    Sqlite3Cursor mmcSn = db.queryThrow(Sqlite3Sql("select mmc, sn from mmc_sn"));
    while (mmcSn.moveNext()) {
        ++mappings;
        const QString mcc = mmcSn.getText("mmc"), sn = mmcSn.getText("sn");
        QVERIFY2(mccsOf.value(sn).contains(mcc), qPrintable(mcc + " -> " + sn));
    }
    QVERIFY2(mappings > 200 && mappings <= 260, qPrintable(QString::number(mappings)));

    // Every code a country lists has an owner, so countryByMcc finds some country for it.
    QSet<QString> owned;
    mmcSn = db.queryThrow(Sqlite3Sql("select mmc from mmc_sn"));
    while (mmcSn.moveNext())
        owned.insert(mmcSn.getText("mmc"));
    for (auto it = mccsOf.cbegin(); it != mccsOf.cend(); ++it) {
        for (const QString &mcc : it.value())
            QVERIFY2(owned.contains(mcc), qPrintable(it.key() + " " + mcc));
    }
}

void TestCountryLibDb::longStandingRowsAreKept_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pnum");
    QTest::addColumn<QString>("mmc");
    QTest::addColumn<QString>("numc");
    QTest::newRow("US") << "US"
                        << "United States"
                        << "1"
                        << "310,311,312,313,314,315,316"
                        << "10";
    QTest::newRow("GB") << "GB"
                        << "United Kingdom"
                        << "44"
                        << "234,235"
                        << "10";
    QTest::newRow("DE") << "DE"
                        << "Germany"
                        << "49"
                        << "262"
                        << "7,8,9,10,11,12";
    QTest::newRow("CN") << "CN"
                        << "China"
                        << "86"
                        << "460"
                        << "11";
}

void TestCountryLibDb::longStandingRowsAreKept()
{
    QFETCH(QString, sn);
    QFETCH(QString, name);
    QFETCH(QString, pnum);
    QFETCH(QString, mmc);
    QFETCH(QString, numc);
    CountryLibDb db { QString() };
    bool found = false;
    const _CountryInfo info = db.countryBySn(sn, &found);
    QVERIFY(found);
    QCOMPARE(info.n, name);
    QCOMPARE(info.pnum, pnum);
    QCOMPARE(info.mmc, mmc);
    QCOMPARE(info.numc, numc);
}

void TestCountryLibDb::countryByMcc_data()
{
    QTest::addColumn<QString>("mcc");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("pnum");
    QTest::newRow("US 310") << "310"
                            << "US"
                            << "1";
    QTest::newRow("US 316") << "316"
                            << "US"
                            << "1";
    QTest::newRow("GB 235") << "235"
                            << "GB"
                            << "44";
    QTest::newRow("DE") << "262"
                        << "DE"
                        << "49";
    QTest::newRow("CN") << "460"
                        << "CN"
                        << "86";
}

void TestCountryLibDb::countryByMcc()
{
    QFETCH(QString, mcc);
    QFETCH(QString, sn);
    QFETCH(QString, pnum);
    CountryLibDb db(mcc);
    const _CountryInfo current = db.currentCountry();
    QCOMPARE(current.sn, sn);
    QCOMPARE(current.pnum, pnum);
    QVERIFY(current.mmc.split(',').contains(mcc));

    bool found = false;
    QCOMPARE(db.countryByMcc(mcc, &found).sn, sn);
    QVERIFY(found);
}

void TestCountryLibDb::countryBySn_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("expected");
    QTest::newRow("upper") << "GB" << true << "GB";
    QTest::newRow("lower") << "cn" << true << "CN";
    QTest::newRow("unknown gives current") << "ZZ" << false << "DE";
    QTest::newRow("empty gives current") << "" << false << "DE";
    QTest::newRow("quote is a value") << "' or 1=1 --" << false << "DE";
}

void TestCountryLibDb::countryBySn()
{
    QFETCH(QString, sn);
    QFETCH(bool, found);
    QFETCH(QString, expected);
    CountryLibDb db("262");
    bool wasFound = !found;
    QCOMPARE(db.countryBySn(sn, &wasFound).sn, expected);
    QCOMPARE(wasFound, found);
    QCOMPARE(db.countryBySn(sn).sn, expected);
}

void TestCountryLibDb::unknownMccLeavesCurrentEmpty()
{
    CountryLibDb db("999");
    const _CountryInfo current = db.currentCountry();
    QVERIFY(current.sn.isEmpty());
    QVERIFY(current.pnum.isEmpty());
    QVERIFY(current.r1.isEmpty());
    bool found = true;
    QVERIFY(db.countryByMcc("000", &found).sn.isEmpty());
    QVERIFY(!found);
    QCOMPARE(CountryLibDb::normalizeNumber(current, "(201) 555-0123"), QString("2015550123"));
}

void TestCountryLibDb::normalizeNumber_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("US national with punctuation") << "US"
                                                  << "(201) 555-0123"
                                                  << "+12015550123";
    QTest::newRow("US with calling code") << "US"
                                          << "1 201 555 0123"
                                          << "+12015550123";
    QTest::newRow("US too short") << "US"
                                  << "555-0123"
                                  << "5550123";
    QTest::newRow("US already international") << "US"
                                              << "+1 (201) 555-0123"
                                              << "+12015550123";
    QTest::newRow("GB trunk prefix") << "GB"
                                     << "07400 123456"
                                     << "+447400123456";
    QTest::newRow("GB national") << "GB"
                                 << "7400123456"
                                 << "+447400123456";
    QTest::newRow("GB with calling code") << "GB"
                                          << "44 7400 123456"
                                          << "+447400123456";
    QTest::newRow("GB plus with dots") << "GB"
                                       << "+44.7400.123456"
                                       << "+447400123456";
    QTest::newRow("GB landline not mobile") << "GB"
                                            << "2079460000"
                                            << "2079460000";
    QTest::newRow("GB landline with trunk") << "GB"
                                            << "020 7946 0000"
                                            << "02079460000";
    QTest::newRow("DE trunk prefix") << "DE"
                                     << "0151/23456789"
                                     << "+4915123456789";
    QTest::newRow("DE ten digits") << "DE"
                                   << "0170 1234567"
                                   << "+491701234567";
    QTest::newRow("CN national") << "CN"
                                 << "131 2345 6789"
                                 << "+8613123456789";
    QTest::newRow("CN with calling code") << "CN"
                                          << "86-131-2345-6789"
                                          << "+8613123456789";
    // Real numbering: landlines with their calling code, mobiles in national form.
    const struct
    {
        const char *sn, *number, *expected;
    } real[] = {
        { "US", "(212) 736-3100", "+12127363100" },
        { "US", "1-415-555-2671", "+14155552671" },
        { "DE", "49 30 123456", "+4930123456" },
        { "DE", "49 89 12345678", "+498912345678" },
        { "DE", "0176 12345678", "+4917612345678" },
        { "GB", "44 20 7946 0000", "+442079460000" },
        { "GB", "44 161 496 0000", "+441614960000" },
        { "CN", "86 769 2234 5678", "+8676922345678" },
        { "CN", "139 1234 5678", "+8613912345678" },
        { "IN", "91 11 2345 6789", "+911123456789" },
        { "IN", "098765 43210", "+919876543210" },
        { "BR", "55 11 3456-7890", "+551134567890" },
        { "BR", "(11) 91234-5678", "+5511912345678" },
        { "RU", "7 495 123-45-67", "+74951234567" },
        { "RU", "912 345-67-89", "+79123456789" },
        { "JP", "81 3-1234-5678", "+81312345678" },
        { "JP", "090-1234-5678", "+819012345678" },
        { "FR", "33 1 42 68 53 00", "+33142685300" },
        { "FR", "06 12 34 56 78", "+33612345678" },
        { "IT", "39 06 1234 5678", "+390612345678" },
        { "IT", "347 123 4567", "+393471234567" },
        { "MX", "52 55 1234 5678", "+525512345678" },
    };
    for (const auto &r : real) {
        QTest::addRow("%s %s", r.sn, r.number)
            << QString::fromLatin1(r.sn) << QString::fromLatin1(r.number)
            << QString::fromLatin1(r.expected);
    }
    QTest::newRow("e-mail lower-cased") << "US"
                                        << "Ann.Lee+SMS@Example.COM"
                                        << "ann.lee+sms@example.com";
    QTest::newRow("alias lower-cased") << "GB"
                                       << "Mum (Mobile)"
                                       << "mum (mobile)";
    QTest::newRow("at sign alone") << "GB"
                                   << "12@34"
                                   << "12@34";
    QTest::newRow("short code") << "GB"
                                << "8 00 50"
                                << "80050";
    QTest::newRow("empty") << "US"
                           << ""
                           << "";
}

void TestCountryLibDb::normalizeNumber()
{
    QFETCH(QString, sn);
    QFETCH(QString, number);
    QFETCH(QString, expected);
    CountryLibDb db { QString() };
    bool found = false;
    const _CountryInfo country = db.countryBySn(sn, &found);
    QVERIFY(found);
    QCOMPARE(CountryLibDb::normalizeNumber(country, number), expected);
}

void TestCountryLibDb::patternMatchesWholeTextOnly()
{
    // GB's pattern has alternatives; each must be anchored at both ends.
    CountryLibDb db("234");
    const _CountryInfo gb = db.currentCountry();
    QVERIFY(gb.r1.contains('|'));
    QVERIFY(CountryLibDb::matchesNationalPattern(gb, "7457012345"));
    QVERIFY(!CountryLibDb::matchesNationalPattern(gb, "7457012345999"));
    QVERIFY(!CountryLibDb::matchesNationalPattern(gb, "99997400123456"));
    QCOMPARE(CountryLibDb::normalizeNumber(gb, "7457012345999"), QString("7457012345999"));
    QVERIFY(!CountryLibDb::matchesNationalPattern(_CountryInfo(), ""));
}

void TestCountryLibDb::isNationalLength_data()
{
    QTest::addColumn<QString>("numc");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("expected");
    QTest::newRow("listed") << "7,8,10" << 8 << true;
    QTest::newRow("last") << "7,8,10" << 10 << true;
    QTest::newRow("not listed") << "7,8,10" << 9 << false;
    QTest::newRow("empty parts kept but never a length") << "10,,11" << 0 << false;
    QTest::newRow("empty list") << "" << 0 << false;
}

void TestCountryLibDb::isNationalLength()
{
    QFETCH(QString, numc);
    QFETCH(int, length);
    QFETCH(bool, expected);
    _CountryInfo country;
    country.numc = numc;
    QCOMPARE(CountryLibDb::isNationalLength(country, length), expected);
}

void TestCountryLibDb::existingCopyIsUsedAndMissingOneRestored()
{
    const QString path = dataFolder().filePath("countries.db");
    QFile::remove(path);
    {
        CountryLibDb db("262");
        db.open();
    }
    QVERIFY(QFile::exists(path));
    QVERIFY(QFile::permissions(path) & QFile::WriteOwner);
    const ino_t made = inodeOf(path);
    {
        CountryLibDb db("262");
        QCOMPARE(db.currentCountry().n, QString("Germany"));
    }
    QCOMPARE(inodeOf(path), made);

    QVERIFY(QFile::remove(path));
    CountryLibDb db("262");
    QCOMPARE(db.countryBySn("DE").n, QString("Germany"));
    QCOMPARE(filebytes::read(path), filebytes::read(":res/countries.db"));
}

void TestCountryLibDb::copyUnlikeTheBuiltInTableIsReplacedWhole_data()
{
    QTest::addColumn<QByteArray>("copy");
    const QByteArray table = filebytes::read(":res/countries.db");
    QVERIFY(table.size() >= 8 * 4096);

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("cut short") << table.left(table.size() / 2);
    QTest::newRow("a page zeroed")
        << table.left(6 * 4096) + QByteArray(4096, '\0') + table.mid(7 * 4096);
    QTest::newRow("not a database") << QByteArray(4096, 'x');

    // Sound databases that SQLite's check passes, each giving wrong numbers.
    QTemporaryDir other;
    const auto changed = [&](const char *name, const QByteArray &start, const QString &sql) {
        const QString path = other.filePath(name);
        filebytes::write(path, start);
        {
            Sqlite3DB db;
            db.openThrow(path, 6);
            QString error;
            QVERIFY2(db.exec(sql, error), qPrintable(error));
            QVERIFY(db.passesQuickCheck());
        }
        QTest::newRow(name) << filebytes::read(path);
    };
    changed("mmc_sn missing", QByteArray(), "create table countries(sn, n);");
    changed("a digit changed", table, "update countries set pnum = '7' where sn = 'US';");
    changed("countries deleted", table, "delete from countries;");
    changed("pnum renamed", table, "alter table countries rename column pnum to pnum_old;");
    changed("another table", QByteArray(),
        "create table countries(sn, ln, pnum, mmc, numc, u2, r1, n);"
        "create table mmc_sn(mmc, sn);"
        "insert into countries values('US','Zed','999','310','10','0','\\d{10}','Zedland');"
        "insert into mmc_sn values('310','US');");
}

void TestCountryLibDb::copyUnlikeTheBuiltInTableIsReplacedWhole()
{
    QFETCH(QByteArray, copy);
    const QString path = dataFolder().filePath("countries.db");
    QFile::remove(path);
    filebytes::write(path, copy);
    const QString old = filebytes::hardLink(path);
    QVERIFY(!old.isEmpty());

    CountryLibDb db("262");
    QCOMPARE(db.currentCountry().n, QString("Germany"));
    const _CountryInfo us = db.countryBySn("us");
    QCOMPARE(CountryLibDb::normalizeNumber(us, "2015550111"), QString("+12015550111"));
    QCOMPARE(CountryLibDb::normalizeNumber(us, "(201) 555-0123"), QString("+12015550123"));
    QCOMPARE(filebytes::read(path), filebytes::read(":res/countries.db"));
    // Renamed over, not rewritten: whoever still reads the old file keeps it whole.
    QCOMPARE(filebytes::read(old), copy);
    QVERIFY(QFile::remove(old));
    QCOMPARE(dataFolder().entryList({ "countries.db*" }, QDir::Files | QDir::Hidden),
        QStringList { "countries.db" });
}

void TestCountryLibDb::lockNotTakenInTimeNamesItAndTheReason_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<int>("error");
    QTest::newRow("held by a live window") << "live" << QString() << 0;
    QTest::newRow("none can be made, full disk") << QString() << "full disk" << EFBIG;
    QTest::newRow("a killed window's claim, full disk") << "killed"
                                                        << "full disk" << EFBIG;
    QTest::newRow("none can be made, read-only records")
        << QString() << "read-only records" << EACCES;
    QTest::newRow("a killed window's claim, read-only records") << "killed"
                                                                << "read-only records" << EACCES;
}

void TestCountryLibDb::lockNotTakenInTimeNamesItAndTheReason()
{
    QFETCH(QString, holder);
    QFETCH(QString, blocker);
    QFETCH(int, error);
    if (blocker == "read-only records" && geteuid() == 0)
        QSKIP("the folder's permissions do not stop root");
    const QString path = dataFolder().filePath("countries.db");
    const QString claim = claimStemOfThisRun(path);
    QVERIFY(!claim.isEmpty());
    const QString records = QFileInfo(claim).path();
    QFile::remove(path);
    filebytes::write(path, "not the table");
    TargetLock live;
    if (holder == "live")
        QCOMPARE(live.lock(path), TargetLock::Held);
    // A window killed while it held the lock leaves its claim behind.
    if (holder == "killed") {
        const int claims = QDir(records).entryList(QDir::Files).size();
        QVERIFY(runThenDie([&path] {
            TargetLock held;
            if (held.lock(path) == TargetLock::Held)
                std::raise(SIGKILL);
        }));
        QCOMPARE(QDir(records).entryList(QDir::Files).size(), claims + 1);
    }

    QString message;
    {
        std::unique_ptr<FileSizeLimit> full;
        if (blocker == "full disk")
            full = std::make_unique<FileSizeLimit>(0);
        if (blocker == "read-only records")
            QVERIFY(QFile::setPermissions(records, QFile::ReadOwner | QFile::ExeOwner));
        try {
            CountryLibDb("262").open();
        } catch (const std::runtime_error &e) {
            message = QString::fromUtf8(e.what());
        }
        QFile::setPermissions(records, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    live.unlock();
    QFile::remove(path);
    QCOMPARE(withClaimStem(message, claim),
        QStringLiteral("can not create %1. %2")
            .arg(path,
                error ? claim + ": " + QString::fromLocal8Bit(std::strerror(error))
                      : "Another window is writing it and holds " + claim + "."));
}

// A window killed while it replaced the copy holds no later one back, also on SMB, which
// removes no file that is still open; nothing of its lock stays beside the copy.
void TestCountryLibDb::killedWindowHoldsNoLaterOneBack()
{
    const QString path = dataFolder().filePath("countries.db");
    QFile::remove(path);
    filebytes::write(path, "not the table");
    QVERIFY(runThenDie([] {
        ScopedFileSystemSeam dying(FileSystemSeam::fuseExfatDyingAtRename());
        CountryLibDb("262").open();
    }));
    QCOMPARE(filebytes::read(path), QByteArray("not the table"));

    try {
        ScopedFileSystemSeam smb(FileSystemSeam::smb());
        CountryLibDb db("262");
        QCOMPARE(db.currentCountry().n, QString("Germany"));
    } catch (const std::runtime_error &e) {
        QFAIL(e.what());
    }
    QCOMPARE(filebytes::read(path), filebytes::read(":res/countries.db"));
    QCOMPARE(dataFolder().entryList({ "*countries.db*" }, QDir::AllEntries | QDir::Hidden),
        QStringList { "countries.db" });
}

QTEST_GUILESS_MAIN(TestCountryLibDb)
#include "tst_countrylibdb.moc"
