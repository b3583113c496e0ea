#include "windowharness.h"

#include "messages/ioscontactsmemdb.h"
#include "platform/samplephones/addressbookfixture.h"
#include "support/boxrecorder.h"

#include <QtTest>

using namespace windowtest;

namespace {

const QString number = QStringLiteral("+19195550140");
const QString noCountryNotice = QStringLiteral("Failed to load country code from your phone.");

} // namespace

class TestMainWindowImport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void importNamesContactsOfTheBackupsCountry_data();
    void importNamesContactsOfTheBackupsCountry();
    void importUnderAnotherCountryReadsAddressBookAgain();

private:
    void openWindow();
    // A backup of a phone whose one chat is with `number`, stored under the handle's country
    // letters, and whose address book writes that number the national way.
    void makeBackup(const QString &handleCountry);
    // Imports the backup into a new local database; its chat names.
    QStringList importedChats();

    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<MainWindow> m_window;
    QString m_backup;
    // The country dialog's answer: a code, or null for closing it without one.
    QString m_chosenCountry;
    int m_countryDialogs = 0;
    int m_imports = 0;
};

void TestMainWindowImport::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
}

void TestMainWindowImport::init()
{
    clearHome(m_home);
    m_files.reset(new QTemporaryDir);
    m_countryDialogs = 0;
    m_imports = 0;
    openWindow();
}

void TestMainWindowImport::cleanup()
{
    m_window.reset();
}

void TestMainWindowImport::openWindow()
{
    m_window.reset(new MainWindow);
    WindowServices &s = m_window->services();
    s.localDbName = [this](QWidget *, const QStringList &, const QString &) {
        return QStringLiteral("Import %1").arg(++m_imports);
    };
    s.chooseBackup = [this](QWidget *) {
        QSharedPointer<BackupManifest> backup(new BackupManifest(m_backup));
        backup->loadManifestPlist();
        return backup;
    };
    s.chooseCountry = [this](QWidget *, QString *code) {
        ++m_countryDialogs;
        *code = m_chosenCountry;
        return !m_chosenCountry.isNull();
    };
}

void TestMainWindowImport::makeBackup(const QString &handleCountry)
{
    const QString device = m_files->filePath(QStringLiteral("device"));
    {
        IOS6SmsDbFixture db(device);
        const qint64 handle = db.addHandle(number, QStringLiteral("SMS"), handleCountry);
        const qint64 chat = db.addChat(QStringLiteral("SMS;-;") + number, number);
        db.joinChatHandle(chat, handle);
        IOS6SmsDbFixture::Message m;
        m.guid = QStringLiteral("IMPORTED-1");
        m.text = QStringLiteral("see you at six");
        m.handle = handle;
        m.date = 390000000;
        db.joinChatMessage(chat, db.addMessage(m));
    }
    AddressBookFixture book(device);
    book.addPerson(1, QStringLiteral("Dana"), QString(), QStringLiteral("Reed"),
        { QStringLiteral("(919) 555-0140") });
    book.write();
    m_backup = BackupManifest::defaultBackupDir().filePath(QStringLiteral("bk"));
    DeviceBackupFixture backup(device, m_backup);
    backup.setDevice(QStringLiteral("udid-bk"), QStringLiteral("Dana's iPhone"));
    backup.writeBackup();
}

QStringList TestMainWindowImport::importedChats()
{
    m_window->miImportItunes();
    return childNames(*m_window, { "Local Databases", QStringLiteral("Import %1").arg(m_imports) });
}

void TestMainWindowImport::importNamesContactsOfTheBackupsCountry_data()
{
    QTest::addColumn<QString>("handleCountry");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("chat");
    QTest::addColumn<int>("dialogs");

    QTest::newRow("handles name the country") << "us" << QString() << "Dana Reed" << 0;
    QTest::newRow("letters in upper case") << "US" << QString() << "Dana Reed" << 0;
    QTest::newRow("no country, one chosen") << ""
                                            << "310"
                                            << "Dana Reed" << 1;
    QTest::newRow("no country, none chosen") << "" << QString() << number << 1;
    QTest::newRow("unknown letters, one chosen") << "zz"
                                                 << "311"
                                                 << "Dana Reed" << 1;
}

void TestMainWindowImport::importNamesContactsOfTheBackupsCountry()
{
    QFETCH(QString, handleCountry);
    QFETCH(QString, chosen);
    QFETCH(QString, chat);
    QFETCH(int, dialogs);

    makeBackup(handleCountry);
    m_chosenCountry = chosen;
    BoxRecorder boxes;
    QCOMPARE(importedChats(), QStringList { chat });
    QCOMPARE(m_countryDialogs, dialogs);
    // As for a phone plugged in: the notice comes before the dialog.
    QCOMPARE(boxes.texts(QMessageBox::Information).filter(noCountryNotice).size(), dialogs);
    QCOMPARE(boxes.texts(QMessageBox::Critical), QStringList());
}

void TestMainWindowImport::importUnderAnotherCountryReadsAddressBookAgain()
{
    makeBackup(QString());
    BoxRecorder boxes;
    m_chosenCountry = QString();
    QCOMPARE(importedChats(), QStringList { number });
    m_chosenCountry = QStringLiteral("310");
    QCOMPARE(importedChats(), QStringList { "Dana Reed" });
}

QTEST_MAIN(TestMainWindowImport)
#include "tst_mainwindow_import.moc"
