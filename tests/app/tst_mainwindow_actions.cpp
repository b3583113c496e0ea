#include "windowharness.h"

#include "app/outputflow.h"
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "support/boxrecorder.h"
#include "support/externaltool.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"

#include <QApplication>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTimer>
#include <QtTest>

using namespace windowtest;

namespace {

const QStringList phone = { "Devices", "PhoneA" };
const QStringList base = { "Local Databases", "Base" };
const QStringList baseAlice = { "Local Databases", "Base", "Alice Doe" };
const QStringList baseBob = { "Local Databases", "Base", "bob@example.com" };
const QStringList phoneAlice = { "Devices", "PhoneA", "Alice Doe" };
const QDateTime fixedNow(QDate(2024, 1, 2), QTime(3, 4, 5));
const char stamp[] = "20240102-030405";

QStringList textsOf(const MsgMessageList &messages)
{
    QStringList texts;
    for (const _MsgMessage *m : messages)
        texts << m->text;
    texts.sort();
    return texts;
}

QStringList databaseTexts(const QString &folder)
{
    QSharedPointer<MsgMessageSet> set = LocalDbFixture(folder).load();
    return textsOf(set->messages());
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestMainWindowActions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void exportsToEachFormat_data();
    void exportsToEachFormat();
    void exportTargetFollowsFilter_data();
    void exportTargetFollowsFilter();
    void exportNeverSharesAnEarlierFolder();
    void exportAsksBeforeReplacingTheNameItWrites_data();
    void exportAsksBeforeReplacingTheNameItWrites();
    void printTakesListOfScope_data();
    void printTakesListOfScope();
    void printPreviewPaintsIntoPdf();
    void extractsIntoFreshFolders();
    void extractOfEmptyNodeAsksNothing();
    void deletesSelectedMessages();
    void deletesShownChat();
    void deleteDeclinedChangesNothing();
    void savesIntoNewThenExistingDatabase();
    void importsItunesBackup_data();
    void importsItunesBackup();
    void importsIntoChosenDatabase();
    void writesIntoItunesBackup();
    void refusesEncryptedOrOldBackup_data();
    void refusesEncryptedOrOldBackup();
    void namesBackupIndexOfLaterSystems_data();
    void namesBackupIndexOfLaterSystems();

private:
    void openWindow();
    // A backup of a phone in the default backup folder: an iOS 6+ database with one chat of
    // two messages, or an iOS 5 one.
    QString makeBackup(const QString &name, bool ios5 = false, const QByteArray &password = {});
    // The texts of the message database of a backup, read back as the program reads it.
    QStringList backupTexts(const QString &folder);

    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_out; // where exports and extractions go
    std::unique_ptr<MainWindow> m_window;
    QStringList m_sampleTexts;
    std::unique_ptr<QTemporaryDir> m_files;
    // Answers of the injected dialogs and what they were asked.
    QString m_saveName;
    int m_saveFilter = 0;
    QString m_folder;
    QString m_dbName;
    QString m_proposedDb;
    QStringList m_dbNames;
    QString m_backup;
    QByteArray m_password;
    int m_dialogs = 0;
    MsgMessageList m_printed;
};

void TestMainWindowActions::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
}

void TestMainWindowActions::init()
{
    clearHome(m_home);
    m_out.reset(new QTemporaryDir);
    m_files.reset(new QTemporaryDir);
    m_dialogs = 0;
    m_printed.clear();
}

void TestMainWindowActions::cleanup()
{
    m_window.reset();
}

void TestMainWindowActions::openWindow()
{
    MessageSetBuilder builder(m_files->path());
    const MsgMessageList sample = buildSampleChats(builder);
    m_sampleTexts = textsOf(sample);
    writeLocalDb(QStringLiteral("Base"), sample);
    writeVirtualPhone(QStringLiteral("PhoneA"), sample);
    m_window.reset(new MainWindow);
    WindowServices &s = m_window->services();
    s.now = [] { return fixedNow; };
    s.saveFileName
        = [this](QWidget *, const QString &, const QString &, const QString &filters, QString *f) {
              ++m_dialogs;
              *f = filters.split(";;").value(m_saveFilter);
              return m_saveName;
          };
    s.existingFolder = [this](QWidget *, const QString &, const QString &) {
        ++m_dialogs;
        return m_folder;
    };
    s.localDbName = [this](QWidget *, const QStringList &names, const QString &proposed) {
        ++m_dialogs;
        m_dbNames = names;
        m_proposedDb = proposed;
        return m_dbName.isNull() ? proposed : m_dbName;
    };
    s.chooseBackup = [this](QWidget *) {
        ++m_dialogs;
        QSharedPointer<BackupManifest> backup(new BackupManifest(m_backup));
        backup->loadManifestPlist();
        return backup;
    };
    s.unlockBackup = [this](QWidget *, BackupManifest *backup) {
        ++m_dialogs;
        return backup->unlock(QString::fromUtf8(m_password));
    };
    s.print = [this](QWidget *, const MsgMessageList &list) { m_printed = list; };
}

QString TestMainWindowActions::makeBackup(
    const QString &name, bool ios5, const QByteArray &password)
{
    return writePhoneBackup(
        name, m_files->filePath(QStringLiteral("device-") + name), ios5, password);
}

QStringList TestMainWindowActions::backupTexts(const QString &folder)
{
    BackupManifest manifest(folder);
    manifest.loadManifestPlist();
    manifest.loadFileTree();
    const QString cache = m_files->filePath(QStringLiteral("readback"));
    QDir(cache).removeRecursively();
    RecordingProgressForm form;
    ITunesCacheSMSThread worker(&manifest, cache, &form);
    if (form.run(worker) != 1)
        return { "unreadable" };
    return databaseTexts(cache);
}

void TestMainWindowActions::exportsToEachFormat_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("content"); // files of a folder, or words of a file
    QTest::newRow("chat to text") << baseAlice << QList<int>() << "miExportChat" << 0 << "chat"
                                  << "chat.txt" << 4 << QStringList { "body text" };
    QTest::newRow("chat to doc, suffix kept")
        << baseAlice << QList<int>() << "miExportChat" << 1 << "notes.text"
        << "notes.text" << 4 << QStringList { "Hello" };
    QTest::newRow("selection to csv")
        << phone << QList<int> { 0, 1 } << "miExportSel" << 2 << "rows"
        << "rows.csv" << 2 << QStringList { "Hello", "Second line" };
    QTest::newRow("device to pdf") << phone << QList<int>() << "miExportAll" << 3 << "a.b.pdf"
                                   << "a-pdf" << 12 << QStringList { "3 .pdf" };
    QTest::newRow("device by plain slot to html")
        << phone << QList<int>() << "miExport" << 4 << "site"
        << "site-html" << 12 << QStringList { "3 .html", "files" };
}

void TestMainWindowActions::exportsToEachFormat()
{
    QFETCH(QStringList, path);
    QFETCH(QList<int>, rows);
    QFETCH(QString, slot);
    QFETCH(int, filter);
    QFETCH(QString, chosen);
    QFETCH(QString, target);
    QFETCH(int, count);
    QFETCH(QStringList, content);
    openWindow();
    if (path == baseAlice)
        QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, path));
    selectRows(*m_window, rows);
    m_saveName = m_out->filePath(chosen);
    m_saveFilter = filter;
    BoxRecorder boxes;
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QCOMPARE(boxes.texts(), { QStringLiteral("Successfully exported %1 Messages.").arg(count) });
    const QFileInfo out(m_out->filePath(target));
    QVERIFY2(out.exists(), qPrintable(filesIn(m_out->path()).join(' ')));
    QCOMPARE(filesIn(m_out->path()).size(), 1);
    if (out.isDir()) {
        // One file per chat, and what the pages need beside them.
        const QStringList files = filesIn(out.filePath());
        const QString suffix = content.first().section(' ', 1);
        QCOMPARE(files.filter(QRegularExpression("\\" + suffix + "$")).size(),
            content.first().section(' ', 0, 0).toInt());
        for (const QString &extra : content.mid(1))
            QVERIFY2(files.contains(extra), qPrintable(files.join(' ')));
        return;
    }
    const QString text = QString::fromUtf8(fileBytes(out.filePath()));
    for (const QString &word : content)
        QVERIFY2(text.contains(word), qPrintable(word));
}

void TestMainWindowActions::exportTargetFollowsFilter_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QString>("target");
    QTest::addColumn<uint>("format");
    QTest::newRow("text gets its suffix") << "report" << 0 << ""
                                          << "report.txt" << 0u;
    QTest::newRow("any suffix is kept") << "report.log" << 0 << ""
                                        << "report.log" << 0u;
    QTest::newRow("word is text") << "letter" << 1 << ""
                                  << "letter.doc" << 0u;
    QTest::newRow("csv") << "sheet" << 2 << ""
                         << "sheet.csv" << 1u;
    QTest::newRow("pdf folder from base name") << "a.b.pdf" << 3 << ""
                                               << "a-pdf" << 2u;
    QTest::newRow("pdf without suffix") << "plain" << 3 << ""
                                        << "plain-pdf" << 2u;
    QTest::newRow("html folder") << "site.html" << 4 << ""
                                 << "site-html" << 3u;
    QTest::newRow("taken html folder") << "site.html" << 4 << "site-html"
                                       << "site-html(1)" << 3u;
    QTest::newRow("unknown filter by suffix") << "t.CSV" << -1 << ""
                                              << "t.CSV" << 1u;
    QTest::newRow("unknown filter, no suffix") << "t" << -1 << ""
                                               << "t.txt" << 0u;
}

void TestMainWindowActions::exportTargetFollowsFilter()
{
    QFETCH(QString, chosen);
    QFETCH(int, filter);
    QFETCH(QString, existing);
    QFETCH(QString, target);
    QFETCH(uint, format);
    if (!existing.isEmpty())
        QVERIFY(QDir(m_out->path()).mkdir(existing));
    QString result;
    unsigned int resultFormat = 99;
    OutputFlow::exportTarget(m_out->filePath(chosen), filter, &result, &resultFormat);
    QCOMPARE(result, m_out->filePath(target));
    QCOMPARE(resultFormat, format);
}

void TestMainWindowActions::exportNeverSharesAnEarlierFolder()
{
    openWindow();
    QVERIFY(choose(*m_window, phone));
    const QString earlier = m_out->filePath("out-pdf");
    QVERIFY(QDir().mkpath(earlier));
    QFile keep(earlier + "/Alice Doe.pdf");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("an earlier export");
    keep.close();
    m_saveName = m_out->filePath("out.pdf");
    m_saveFilter = 3;
    BoxRecorder boxes;
    m_window->miExportAll();
    QCOMPARE(snapshotFolder(earlier).size(), 1);
    QCOMPARE(fileBytes(earlier + "/Alice Doe.pdf"), QByteArray("an earlier export"));
    QCOMPARE(filesIn(m_out->filePath("out-pdf(1)")).size(), 3);
}

void TestMainWindowActions::exportAsksBeforeReplacingTheNameItWrites_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QString>("target"); // empty: nothing exported
    QTest::newRow("csv suffix added, declined") << "x" << 2 << "x.csv" << false << true << "";
    QTest::newRow("csv suffix added, accepted") << "x" << 2 << "x.csv" << true << true << "x.csv";
    QTest::newRow("text suffix added, declined") << "x" << 0 << "x.txt" << false << true << "";
    // The dialog itself asks about a name typed whole.
    QTest::newRow("typed with its suffix") << "x.csv" << 2 << "x.csv" << false << false << "x.csv";
    QTest::newRow("only the typed name exists") << "x" << 2 << "x" << false << false << "x.csv";
}

void TestMainWindowActions::exportAsksBeforeReplacingTheNameItWrites()
{
    QFETCH(QString, chosen);
    QFETCH(int, filter);
    QFETCH(QString, existing);
    QFETCH(bool, yes);
    QFETCH(bool, asked);
    QFETCH(QString, target);
    openWindow();
    QVERIFY(choose(*m_window, phone));
    const QByteArray earlier(32 * 1024, 'e');
    QFile file(m_out->filePath(existing));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(earlier);
    file.close();
    m_saveName = m_out->filePath(chosen);
    m_saveFilter = filter;
    BoxRecorder boxes;
    boxes.answers << (yes ? QMessageBox::Yes : QMessageBox::No);
    m_window->miExportAll();
    const QString question = existing + " already exists.\nDo you want to replace it?";
    QCOMPARE(boxes.texts(QMessageBox::Question), asked ? QStringList { question } : QStringList());
    QCOMPARE(boxes.texts(QMessageBox::Information),
        target.isEmpty() ? QStringList() : QStringList { "Successfully exported 12 Messages." });
    QCOMPARE(fileBytes(m_out->filePath(existing)) == earlier, target != existing);
    QStringList files { existing };
    if (!target.isEmpty() && target != existing)
        files << target;
    QCOMPARE(filesIn(m_out->path()), files);
}

void TestMainWindowActions::printTakesListOfScope_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("count");
    QTest::newRow("selection wins over chat") << baseAlice << QList<int> { 1 } << "miPrint" << 1;
    QTest::newRow("chat without selection") << baseAlice << QList<int>() << "miPrint" << 4;
    QTest::newRow("device without selection") << phone << QList<int>() << "miPrint" << 12;
    QTest::newRow("everything of device") << phone << QList<int> { 0 } << "miPrintAll" << 12;
    QTest::newRow("empty selection still prints") << phone << QList<int>() << "miPrintSel" << 0;
    QTest::newRow("chat shown") << phoneAlice << QList<int> { 0 } << "miPrintChat" << 4;
}

void TestMainWindowActions::printTakesListOfScope()
{
    QFETCH(QStringList, path);
    QFETCH(QList<int>, rows);
    QFETCH(QString, slot);
    QFETCH(int, count);
    openWindow();
    if (path == baseAlice)
        QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, path));
    selectRows(*m_window, rows);
    m_printed = { nullptr };
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QCOMPARE(m_printed.size(), count);
    if (count == 1)
        QCOMPARE(m_printed.first()->text, shownTexts(*m_window).at(1));
}

void TestMainWindowActions::printPreviewPaintsIntoPdf()
{
    openWindow();
    m_window->services() = WindowServices::defaults();
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseBob));
    const QString pdf = m_out->filePath("printed.pdf");
    bool previewed = false;
    // The preview is modal: print it into a file from inside its event loop, then close it.
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        auto *preview = qobject_cast<QPrintPreviewDialog *>(QApplication::activeModalWidget());
        if (!preview)
            return;
        poll.stop();
        previewed = preview->windowTitle() == "Print Messages";
        preview->printer()->setOutputFormat(QPrinter::PdfFormat);
        preview->printer()->setOutputFileName(pdf);
        preview->findChild<QPrintPreviewWidget *>()->print();
        preview->reject();
    });
    poll.start(10);
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miPrintChat"));
    QVERIFY(previewed);
    QM_FIND_TOOL(pdftotext, "pdftotext");
    const QString text = QString::fromUtf8(runTool(pdftotext, { pdf, "-" }).out);
    QVERIFY2(text.contains("then left"), qPrintable(text));
    QVERIFY(!text.contains("Who's coming?"));
}

void TestMainWindowActions::extractsIntoFreshFolders()
{
    openWindow();
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    BoxRecorder boxes;
    m_folder.clear();
    m_window->miExtractMediaChat();
    QCOMPARE(m_dialogs, 1);
    QVERIFY(filesIn(m_out->path()).isEmpty());
    QVERIFY(boxes.boxes.isEmpty());

    // Twice in the same second: two folders, the first left alone.
    m_folder = m_out->path();
    m_window->miExtractMedia();
    m_window->miExtractMedia();
    const QString first = QStringLiteral("attachments(%1)").arg(QLatin1String(stamp));
    QCOMPARE(filesIn(m_out->path()), QStringList({ first, first + "(1)" }));
    QCOMPARE(filesIn(m_out->filePath(first)), { "IMG_0001.jpg" });
    QCOMPARE(filesIn(m_out->filePath(first + "(1)")), { "IMG_0001.jpg" });
    QCOMPARE(boxes.texts().value(0),
        QStringLiteral("Successfully extacted 1 MMS attachment to %1.")
            .arg(QDir::toNativeSeparators(m_out->filePath(first))));
}

void TestMainWindowActions::extractOfEmptyNodeAsksNothing()
{
    LocalDbFixture(localDbFolder().filePath("Empty")).write({});
    openWindow();
    QVERIFY(choose(*m_window, { "Local Databases", "Empty" }));
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miExtractMediaAll"));
    QCOMPARE(m_dialogs, 0);
}

void TestMainWindowActions::deletesSelectedMessages()
{
    openWindow();
    const QString folder = localDbFolder().filePath("Base");
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    const QStringList alice = shownTexts(*m_window);
    selectRows(*m_window, { 0, 1 });
    BoxRecorder boxes;
    QVERIFY(runContextEntry(*m_window, list(*m_window), "miDelSel"));
    QCOMPARE(boxes.texts(),
        QStringList(
            { "Confirm to delete the selected Messages?", "Successfully Deleted 2 Messages." }));
    // The database node is current again and shows what is left.
    QCOMPARE(tree(*m_window)->currentIndex(), nodeIndex(*m_window, base));
    QCOMPARE(shownTexts(*m_window).size(), 10);
    QCOMPARE(databaseTexts(folder).size(), 10);
    for (int i : { 0, 1 })
        QVERIFY(!databaseTexts(folder).contains(alice.at(i)));

    // Emptying a chat takes it out of the tree.
    QVERIFY(choose(*m_window, baseAlice));
    selectRows(*m_window, { 0, 1 });
    m_window->miDel();
    QCOMPARE(databaseTexts(folder).size(), 8);
    QVERIFY(!childNames(*m_window, base).contains("Alice Doe"));
    QCOMPARE(childNames(*m_window, base).size(), 2);
}

void TestMainWindowActions::deletesShownChat()
{
    openWindow();
    const QString folder = localDbFolder().filePath("Base");
    QVERIFY(choose(*m_window, base));
    BoxRecorder boxes;
    m_window->miDelChat(); // a database node: nothing
    QVERIFY(boxes.boxes.isEmpty());
    QVERIFY(choose(*m_window, baseBob));
    QStringList files;
    for (const _MsgMessage *m : listModel(*m_window)->messages()) {
        for (const _MsgAttachment *a : m->attachments) {
            if (QFileInfo::exists(a->localPath))
                files << a->localPath;
        }
    }
    QCOMPARE(files.size(), 2);
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miDelChat"));
    QCOMPARE(boxes.texts(),
        QStringList({ "Confirm to delete Messages with this contact?",
            "Successfully Deleted 4 Messages." }));
    QVERIFY(!nodeIndex(*m_window, baseBob).isValid());
    QCOMPARE(childNames(*m_window, base).size(), 2);
    QCOMPARE(listModel(*m_window)->rowCount(), 0);
    QVERIFY(!m_window->currentChat());
    QVERIFY(!tree(*m_window)->currentIndex().isValid());
    QCOMPARE(databaseTexts(folder).size(), 8);
    for (const QString &file : qAsConst(files))
        QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
}

void TestMainWindowActions::deleteDeclinedChangesNothing()
{
    openWindow();
    const QString folder = localDbFolder().filePath("Base");
    const auto before = snapshotFolder(folder);
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    BoxRecorder boxes;
    boxes.answers << QMessageBox::No << QMessageBox::No;
    selectRows(*m_window, { 0 });
    m_window->miDel();
    selectRows(*m_window, {});
    m_window->miDel();
    QCOMPARE(boxes.texts(),
        QStringList({ "Confirm to delete the selected Messages?",
            "Confirm to delete Messages with this contact?" }));
    QCOMPARE(snapshotFolder(folder), before);
    QCOMPARE(shownTexts(*m_window).size(), 4);
}

void TestMainWindowActions::savesIntoNewThenExistingDatabase()
{
    openWindow();
    QVERIFY(choose(*m_window, phoneAlice));
    BoxRecorder boxes;
    m_dbName = QLatin1String(""); // cancelled
    m_window->miBackupChat();
    QCOMPARE(m_proposedDb, QStringLiteral("PhoneA_Backup"));
    QCOMPARE(m_dbNames, QStringList { "Base" });
    QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList { "Base" });

    m_dbName = QStringLiteral("Fresh");
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miBackupChat"));
    QCOMPARE(boxes.texts(), { "Successfully Backup 4 Messages to local Database." });
    QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList({ "Base", "Fresh" }));
    settle();
    QCOMPARE(tree(*m_window)->currentIndex(), nodeIndex(*m_window, { "Local Databases", "Fresh" }));
    QCOMPARE(shownTexts(*m_window).size(), 4);
    QCOMPARE(childNames(*m_window, { "Local Databases", "Fresh" }), QStringList { "Alice Doe" });

    // A name differing in case only writes into the database there is.
    QVERIFY(choose(*m_window, phone));
    m_dbName = QStringLiteral("fRESH");
    m_window->miBackup();
    QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList({ "Base", "Fresh" }));
    QCOMPARE(databaseTexts(localDbFolder().filePath("Fresh")), m_sampleTexts);
    QCOMPARE(childNames(*m_window, { "Local Databases", "Fresh" }).size(), 3);
}

void TestMainWindowActions::importsItunesBackup_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<bool>("imported");
    QTest::newRow("plain") << QByteArray() << QByteArray() << true;
    QTest::newRow("encrypted") << QByteArray("secret") << QByteArray("secret") << true;
    QTest::newRow("wrong password") << QByteArray("secret") << QByteArray("guess") << false;
}

void TestMainWindowActions::importsItunesBackup()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, given);
    QFETCH(bool, imported);
    openWindow();
    m_backup = makeBackup("bk", false, password);
    m_password = given;
    m_dbName = QString();
    BoxRecorder boxes;
    m_window->miImportItunes();
    QCOMPARE(m_dialogs, 1 + (password.isEmpty() ? 0 : 1) + (imported ? 1 : 0));
    const QStringList name = { "Local Databases", "Anna's iPhone_Backup" };
    if (!imported) {
        QVERIFY(!nodeIndex(*m_window, name).isValid());
        QVERIFY(boxes.boxes.isEmpty());
        return;
    }
    QCOMPARE(m_proposedDb, name.last());
    QCOMPARE(boxes.texts(), { "Successfully Backup 2 Messages to local Database." });
    QCOMPARE(databaseTexts(localDbFolder().filePath(name.last())),
        QStringList({ "on the phone 1", "on the phone 2" }));
    QCOMPARE(childNames(*m_window, name), QStringList { "+15550001111" });
}

void TestMainWindowActions::importsIntoChosenDatabase()
{
    openWindow();
    m_backup = makeBackup("bk");
    m_dbName = QString();
    m_window->miImportToLocalDb(); // nothing current
    QCOMPARE(m_dialogs, 0);
    QVERIFY(choose(*m_window, base));
    BoxRecorder boxes;
    QVERIFY(runContextEntry(*m_window, tree(*m_window), "miImportToLocalDb"));
    QCOMPARE(m_proposedDb, QStringLiteral("Base"));
    QCOMPARE(databaseTexts(localDbFolder().filePath("Base")).size(), 14);
    QCOMPARE(shownTexts(*m_window).size(), 14);

    // A backup of the old layout imports as well.
    m_backup = makeBackup("old", true);
    m_dbName = QStringLiteral("Old");
    m_window->miImportItunes();
    QCOMPARE(databaseTexts(localDbFolder().filePath("Old")), { "old layout" });
}

void TestMainWindowActions::writesIntoItunesBackup()
{
    openWindow();
    m_backup = makeBackup("target");
    QVERIFY(choose(*m_window, base));
    QVERIFY(choose(*m_window, baseAlice));
    const QStringList alice = shownTexts(*m_window);
    {
        BoxRecorder boxes;
        QVERIFY(runContextEntry(*m_window, tree(*m_window), "miExport2ITunesBKChat"));
        QCOMPARE(boxes.texts(), { "Successfully recovered 4 messages to iPhone." });
    }
    QStringList expected = alice + QStringList { "on the phone 1", "on the phone 2" };
    expected.sort();
    QCOMPARE(backupTexts(m_backup), expected);
}

void TestMainWindowActions::refusesEncryptedOrOldBackup_data()
{
    QTest::addColumn<bool>("ios5");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("warning");
    QTest::newRow("encrypted") << false << QByteArray("secret")
                               << "Failed to export messages to iTunes backup because your "
                                  "current iTunes backup is encrypted.";
    QTest::newRow("iOS 5 layout") << true << QByteArray()
                                  << "Failed to recover. Only iOS 6 or above is supported.";
}

void TestMainWindowActions::refusesEncryptedOrOldBackup()
{
    QFETCH(bool, ios5);
    QFETCH(QByteArray, password);
    QFETCH(QString, warning);
    openWindow();
    m_backup = makeBackup("target", ios5, password);
    const auto before = snapshotFolder(m_backup);
    QVERIFY(choose(*m_window, base));
    BoxRecorder boxes;
    m_window->miExport2ITunesBKAll();
    QCOMPARE(boxes.texts(), { warning });
    QCOMPARE(snapshotFolder(m_backup), before);
}

void TestMainWindowActions::namesBackupIndexOfLaterSystems_data()
{
    QTest::addColumn<QString>("slot");
    QTest::newRow("import") << "miImportItunes";
    QTest::newRow("export into it") << "miExport2ITunesBKAll";
}

void TestMainWindowActions::namesBackupIndexOfLaterSystems()
{
    QFETCH(QString, slot);
    openWindow();
    m_backup = makeBackup("ios10");
    QVERIFY(QFile::remove(m_backup + "/Manifest.mbdb"));
    QFile index(m_backup + "/Manifest.db");
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.close();
    const auto before = snapshotFolder(m_backup);
    QVERIFY(choose(*m_window, base));
    BoxRecorder boxes;
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), qPrintable(slot)));
    QCOMPARE(boxes.texts(QMessageBox::Critical).size(), 1);
    const QString text = boxes.texts().join(' ');
    QVERIFY2(text.contains("The backup in " + m_backup
                 + " keeps its index in Manifest.db (iOS 10 and later), which this program does "
                   "not read."),
        qPrintable(text));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(snapshotFolder(m_backup), before);
    QCOMPARE(childNames(*m_window, { "Local Databases" }), QStringList { "Base" });
}

QTEST_MAIN(TestMainWindowActions)
#include "tst_mainwindow_actions.moc"
