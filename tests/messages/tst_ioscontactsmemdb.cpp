#include "messages/ioscontactsmemdb.h"
#include "platform/durablefile/targetlock.h"
#include "platform/samplephones/addressbookfixture.h"
#include "shell/datafolder.h"
#include "support/filesystemseam.h"
#include "support/killedwriter.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint32 sourceTime = 1600000000;

void setModified(const QString &path, qint32 seconds)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadWrite), qPrintable(path));
    QVERIFY(file.setFileTime(
        QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC), QFileDevice::FileModificationTime));
}

int countRows(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, 1);
    Sqlite3Cursor cursor = db.queryThrow(Sqlite3Sql(sql));
    return cursor.moveNext() ? cursor.getInt(0) : -1;
}

} // namespace

class TestIOSContactsMemDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void displayName_data();
    void displayName();
    void findsContactsWrittenInNationalForms_data();
    void findsContactsWrittenInNationalForms();
    void photosComeFromTheImagesDatabase();
    void duplicateNumbersGiveOneRowPerPerson();
    void noAddressBookOpensNothing();
    void rebuildsOnlyWhenSourceIsNewer_data();
    void rebuildsOnlyWhenSourceIsNewer();
    void cacheOfAnotherCountryIsRebuilt_data();
    void cacheOfAnotherCountryIsRebuilt();
    void walFileDecides_data();
    void walFileDecides();
    void readsWalWithoutChangingSource();
    void failedRebuildIsNotUsed();
    void rebuildWaitsOnlyForALiveWindow_data();
    void rebuildWaitsOnlyForALiveWindow();

private:
    QTemporaryDir m_home;
};

void TestIOSContactsMemDb::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    // The data folder, which keeps the locks, is fixed at its first use.
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    IOSContactsMemDb::setLockWait(100);
}

void TestIOSContactsMemDb::displayName_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("middle");
    QTest::addColumn<QString>("last");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks around last") << "Ann"
                                        << ""
                                        << " Lee "
                                        << "Ann Lee";
    QTest::newRow("last only") << ""
                               << ""
                               << "Lee"
                               << "Lee";
    QTest::newRow("no names") << ""
                              << ""
                              << ""
                              << "";
    QTest::newRow("all three") << "Ann"
                               << " Mary "
                               << "Lee"
                               << "Ann Mary Lee";
    QTest::newRow("blank middle") << "Ann "
                                  << "  "
                                  << ""
                                  << "Ann";
}

void TestIOSContactsMemDb::displayName()
{
    QFETCH(QString, first);
    QFETCH(QString, middle);
    QFETCH(QString, last);
    QFETCH(QString, expected);
    QCOMPARE(IOSContactsMemDb::displayName({ first, middle, last, {} }), expected);
}

void TestIOSContactsMemDb::findsContactsWrittenInNationalForms_data()
{
    QTest::addColumn<QString>("mcc");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("lookup");
    QTest::newRow("US brackets") << "310"
                                 << "(201) 555-0123"
                                 << "+12015550123";
    QTest::newRow("US with 1") << "311"
                               << "1-201-555-0123"
                               << "+12015550123";
    QTest::newRow("US international") << "310"
                                      << "+1 201 555 0123"
                                      << "+12015550123";
    QTest::newRow("GB trunk") << "234"
                              << "07400 123456"
                              << "+447400123456";
    QTest::newRow("DE trunk") << "262"
                              << "0151 23456789"
                              << "+4915123456789";
    QTest::newRow("CN national") << "460"
                                 << "131 2345 6789"
                                 << "+8613123456789";
}

void TestIOSContactsMemDb::findsContactsWrittenInNationalForms()
{
    QFETCH(QString, mcc);
    QFETCH(QString, written);
    QFETCH(QString, lookup);
    QTemporaryDir device;
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { written });
    book.addPerson(2, "Bob", "", "Ray", { "555" });
    book.addValue(2, AddressBookFixture::EmailProperty, "bob@example.com");
    book.write();

    IOSContactsMemDb contacts(QDir(device.path()), mcc);
    contacts.open();
    QVERIFY(contacts.isOpen());
    const ContactInfo ann = contacts.findByNumber(lookup);
    QCOMPARE(IOSContactsMemDb::displayName(ann), QString("Ann Lee"));
    QVERIFY(ann.photo.isEmpty());
    QCOMPARE(contacts.findByNumber("555").first, QString("Bob"));
    QVERIFY(contacts.findByNumber("bob@example.com").first.isEmpty());
    QVERIFY(contacts.findByNumber("").first.isEmpty());
}

void TestIOSContactsMemDb::photosComeFromTheImagesDatabase()
{
    QTemporaryDir device;
    AddressBookFixture book(device.path());
    const QByteArray jpeg("\xff\xd8\xff\xe0 thumbnail \x00 bytes", 22);
    book.addPerson(1, "Ann", "", "Lee", { "07400 123456" }, jpeg);
    book.addPerson(2, "Bob", "", "Ray", { "07400 654321" });
    book.write();
    QVERIFY(QFile::exists(book.imagesPath()));

    IOSContactsMemDb contacts(QDir(device.path()), "234");
    QCOMPARE(contacts.findByNumber("+447400123456").photo, jpeg);
    QVERIFY(contacts.findByNumber("+447400654321").photo.isEmpty());
    QCOMPARE(contacts.findByNumber("+447400654321").first, QString("Bob"));
}

void TestIOSContactsMemDb::duplicateNumbersGiveOneRowPerPerson()
{
    QTemporaryDir device;
    AddressBookFixture book(device.path());
    book.addPerson(7, "Ann", "", "Lee", { "(201) 555-0123", "+1 201-555-0123" });
    book.addPerson(9, "Bob", "", "Ray", { "2015550123" });
    book.write();

    {
        IOSContactsMemDb contacts(QDir(device.path()), "310");
        QCOMPARE(contacts.findByNumber("+12015550123").first, QString("Ann"));
    }
    const QString cache = QDir(device.path()).filePath("ct-phone.db");
    QCOMPARE(countRows(cache, "select count(*) from tel where number='+12015550123'"), 2);
    QCOMPARE(countRows(cache, "select count(*) from tel where person_id=7"), 1);
}

void TestIOSContactsMemDb::noAddressBookOpensNothing()
{
    QTemporaryDir device;
    IOSContactsMemDb contacts(QDir(device.path()), "310");
    contacts.open();
    QVERIFY(!contacts.isOpen());
    QVERIFY(contacts.findByNumber("+12015550123").first.isEmpty());
    QVERIFY(!QFile::exists(QDir(device.path()).filePath("ct-phone.db")));

    // The next open tries again.
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    book.write();
    contacts.open();
    QVERIFY(contacts.isOpen());
}

void TestIOSContactsMemDb::rebuildsOnlyWhenSourceIsNewer_data()
{
    QTest::addColumn<int>("cacheAge");
    QTest::addColumn<bool>("rebuilt");
    QTest::newRow("same time") << 0 << false;
    QTest::newRow("cache newer") << -5 << false;
    QTest::newRow("cache older by a second") << 1 << true;
}

void TestIOSContactsMemDb::rebuildsOnlyWhenSourceIsNewer()
{
    QFETCH(int, cacheAge);
    QFETCH(bool, rebuilt);
    QTemporaryDir device;
    const QString cache = QDir(device.path()).filePath("ct-phone.db");
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    book.write();
    setModified(book.addressBookPath(), sourceTime);
    {
        IOSContactsMemDb contacts(QDir(device.path()), "310");
        QCOMPARE(contacts.findByNumber("+12015550123").first, QString("Ann"));
    }
    QCOMPARE(IOSContactsMemDb::fileModifiedTime(cache), sourceTime);

    AddressBookFixture changed(device.path());
    changed.addPerson(1, "Anna", "", "Lee", { "2015550123" });
    changed.write();
    setModified(changed.addressBookPath(), sourceTime + 100);
    setModified(cache, sourceTime + 100 - cacheAge);

    IOSContactsMemDb contacts(QDir(device.path()), "310");
    QCOMPARE(contacts.findByNumber("+12015550123").first, QString(rebuilt ? "Anna" : "Ann"));
    if (rebuilt)
        QCOMPARE(IOSContactsMemDb::fileModifiedTime(cache), sourceTime + 100);
}

void TestIOSContactsMemDb::cacheOfAnotherCountryIsRebuilt_data()
{
    QTest::addColumn<QString>("builtUnder");
    QTest::addColumn<bool>("olderCache"); // made before caches named their country
    QTest::addColumn<QString>("openedUnder");
    QTest::addColumn<bool>("rebuilt");
    QTest::newRow("same country") << "310" << false << "310" << false;
    QTest::newRow("no country, then one") << "" << false << "310" << true;
    QTest::newRow("another country") << "234" << false << "310" << true;
    QTest::newRow("a country, then none") << "310" << false << "" << true;
    QTest::newRow("older cache") << "310" << true << "310" << true;
}

void TestIOSContactsMemDb::cacheOfAnotherCountryIsRebuilt()
{
    QFETCH(QString, builtUnder);
    QFETCH(bool, olderCache);
    QFETCH(QString, openedUnder);
    QFETCH(bool, rebuilt);
    QTemporaryDir device;
    const QString cache = QDir(device.path()).filePath("ct-phone.db");
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "(201) 555-0123" });
    book.write();
    setModified(book.addressBookPath(), sourceTime);
    {
        IOSContactsMemDb contacts(QDir(device.path()), builtUnder);
        contacts.open();
        QVERIFY(contacts.isOpen());
    }
    if (olderCache) {
        Sqlite3DB db;
        db.openThrow(cache, 2);
        db.executeThrow(Sqlite3Sql("drop table built_for"));
        db.close();
    }
    // Changed at the same time: only a rebuild reads the new name.
    AddressBookFixture changed(device.path());
    changed.addPerson(1, "Anna", "", "Lee", { "(201) 555-0123" });
    changed.write();
    setModified(changed.addressBookPath(), sourceTime);
    setModified(cache, sourceTime);

    IOSContactsMemDb contacts(QDir(device.path()), openedUnder);
    const QString lookup = openedUnder.isEmpty() ? "2015550123" : "+12015550123";
    QCOMPARE(contacts.findByNumber(lookup).first, QString(rebuilt ? "Anna" : "Ann"));
    QCOMPARE(IOSContactsMemDb::fileModifiedTime(cache), sourceTime);
}

void TestIOSContactsMemDb::walFileDecides_data()
{
    QTest::addColumn<int>("mainTime");
    QTest::addColumn<int>("walTime");
    QTest::addColumn<bool>("rebuilt");
    QTest::newRow("main newer, wal not") << sourceTime + 100 << sourceTime << false;
    QTest::newRow("wal newer, main older") << sourceTime - 100 << sourceTime + 1 << true;
}

void TestIOSContactsMemDb::walFileDecides()
{
    QFETCH(int, mainTime);
    QFETCH(int, walTime);
    QFETCH(bool, rebuilt);
    QTemporaryDir device;
    const QString cache = QDir(device.path()).filePath("ct-phone.db");
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    book.writeWithWal();
    {
        IOSContactsMemDb contacts(QDir(device.path()), "310");
        QCOMPARE(contacts.findByNumber("+12015550123").first, QString("Ann"));
    }

    AddressBookFixture changed(device.path());
    changed.addPerson(1, "Anna", "", "Lee", { "2015550123" });
    changed.writeWithWal();
    setModified(changed.addressBookPath(), mainTime);
    setModified(changed.walPath(), walTime);
    setModified(cache, sourceTime);

    IOSContactsMemDb contacts(QDir(device.path()), "310");
    QCOMPARE(contacts.findByNumber("+12015550123").first, QString(rebuilt ? "Anna" : "Ann"));
}

void TestIOSContactsMemDb::readsWalWithoutChangingSource()
{
    QTemporaryDir device;
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    book.writeWithWal();
    setModified(book.addressBookPath(), sourceTime - 10);
    setModified(book.walPath(), sourceTime);
    const QByteArray walBefore = [&] {
        QFile f(book.walPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QVERIFY(!walBefore.isEmpty());

    {
        IOSContactsMemDb contacts(QDir(device.path()), "310");
        QCOMPARE(contacts.findByNumber("+12015550123").first, QString("Ann"));
    }
    QVERIFY(QFile::exists(book.walPath()));
    QCOMPARE(IOSContactsMemDb::fileModifiedTime(book.walPath()), sourceTime);
    QCOMPARE(IOSContactsMemDb::fileModifiedTime(book.addressBookPath()), sourceTime - 10);
    QFile wal(book.walPath());
    QVERIFY(wal.open(QIODevice::ReadOnly));
    QCOMPARE(wal.readAll(), walBefore);
}

void TestIOSContactsMemDb::failedRebuildIsNotUsed()
{
    QTemporaryDir device;
    const QDir folder(device.path());
    const QString cache = folder.filePath("ct-phone.db");
    AddressBookFixture good(device.path());
    good.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    good.write();
    setModified(good.addressBookPath(), sourceTime);
    {
        IOSContactsMemDb contacts(folder, "310");
        contacts.open();
        QVERIFY(contacts.isOpen());
    }

    // People are copied before the numbers fail to read.
    AddressBookFixture broken(device.path());
    broken.addPerson(1, "Anna", "", "Lee", { "2015550123" });
    broken.setWithoutValueTable(true);
    broken.write();
    setModified(broken.addressBookPath(), sourceTime + 50);
    for (int attempt = 0; attempt < 2; ++attempt) {
        IOSContactsMemDb contacts(folder, "310");
        QVERIFY_EXCEPTION_THROWN(contacts.open(), std::exception);
        QVERIFY(!contacts.isOpen());
        QVERIFY(!QFile::exists(cache));
        const QStringList leftovers = folder.entryList({ "ct-phone*" }, QDir::Files);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(' ')));
    }

    // Mended with the same time stamp: nothing of the failed attempt counts as current.
    good.write();
    setModified(good.addressBookPath(), sourceTime + 50);
    IOSContactsMemDb contacts(folder, "310");
    QCOMPARE(contacts.findByNumber("+12015550123").first, QString("Ann"));
    QCOMPARE(IOSContactsMemDb::fileModifiedTime(cache), sourceTime + 50);
}

void TestIOSContactsMemDb::rebuildWaitsOnlyForALiveWindow_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("held by a live window") << false;
    QTest::newRow("held by a window killed while it rebuilt") << true;
}

// A rebuild waits a while for another window's; a window killed while it rebuilt holds no
// later one back, also on SMB, which removes no file that is still open. Nothing of the lock
// stays beside the cache.
void TestIOSContactsMemDb::rebuildWaitsOnlyForALiveWindow()
{
    QFETCH(bool, killed);
    QTemporaryDir device;
    const QDir folder(device.path());
    const QString cache = folder.filePath("ct-phone.db");
    AddressBookFixture book(device.path());
    book.addPerson(1, "Ann", "", "Lee", { "2015550123" });
    book.write();
    TargetLock live;
    if (killed) {
        QVERIFY(runThenDie([&folder] {
            ScopedFileSystemSeam dying(FileSystemSeam::fuseExfatDyingAtRename());
            IOSContactsMemDb(folder, "310").open();
        }));
        QVERIFY(!QFile::exists(cache));
    } else {
        QCOMPARE(live.lock(cache), TargetLock::Held);
    }

    QString name;
    QString error;
    {
        ScopedFileSystemSeam smb(FileSystemSeam::smb());
        IOSContactsMemDb contacts(folder, "310");
        try {
            name = contacts.findByNumber("+12015550123").first;
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
    }
    QCOMPARE(error, killed ? QString() : "can not lock " + cache + ".");
    QCOMPARE(name, QString(killed ? "Ann" : ""));
    QCOMPARE(folder.entryList({ "*ct-phone*" }, QDir::AllEntries | QDir::Hidden),
        killed ? QStringList { "ct-phone.db" } : QStringList());
}

QTEST_GUILESS_MAIN(TestIOSContactsMemDb)
#include "tst_ioscontactsmemdb.moc"
