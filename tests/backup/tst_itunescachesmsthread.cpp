#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "messages/ios6messagedb.h"
#include "platform/durablefile/targetlock.h"
#include "platform/samplephones/addressbookfixture.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"
#include "support/backupwriter.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

const char kSmsDb[] = "file-relay/var/mobile/Library/SMS/sms.db";
const char kPicture[] = "file-relay/var/mobile/Library/SMS/Attachments/ab/01/IMG_0001.JPG";
const char kDocument[] = "file-relay/var/mobile/Library/SMS/Attachments/cd/02/doc.pdf";
const char kAddressBook[] = "file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb";

QByteArray pattern(int size, int seed = 7)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + seed) & 0xFF);
    return b;
}

// Records the files the worker reports copying; cancels after `cancelAfter` of them.
class RecordingForm : public ProgressForm
{
    Q_OBJECT
public:
    RecordingForm()
        : ProgressForm(QString())
    {
    }
    QStringList saved;
    int cancelAfter = -1;

public slots:
    // Found by name before the base's slot, so the worker's reports arrive here.
    void updateProgress(QString status, int value, QString text)
    {
        ProgressForm::updateProgress(status, value, text);
        if (text.startsWith(QLatin1String("Saving ")) && text.endsWith(QLatin1String("..."))) {
            saved.append(text.mid(7, text.size() - 10));
            if (saved.size() == cancelAfter)
                cancel();
        }
    }
};

// What went into a message backup, to compare the cache with.
struct Content
{
    QByteArray smsDb;
    QByteArray picture;
    QByteArray document;
    QByteArray addressBook;
    int pictureRecord = -1;
    int documentRecord = -1;
    int addressBookRecord = -1;
    int smsDbRecord = -1;
};

// A backup as a device writes it: sms.db with two chats, two attachments in MediaDomain,
// the address book, and a file outside the copied folders.
Content addMessageContent(BackupWriter &w, const QString &scratch, bool withAddressBook = true,
    const QString &library = QStringLiteral("Library"), const QString &sms = QStringLiteral("SMS"))
{
    Content c;
    {
        IOS6SmsDbFixture f(scratch);
        const qint64 ann = f.addHandle(QStringLiteral("+12015550123"));
        const qint64 bob = f.addHandle(QStringLiteral("bob@example.com"), "iMessage");
        const qint64 one = f.addChat("SMS;-;+12015550123", "+12015550123");
        const qint64 two = f.addChat("iMessage;-;bob@example.com", "bob@example.com", "iMessage");
        f.joinChatHandle(one, ann);
        f.joinChatHandle(two, bob);
        IOS6SmsDbFixture::Message m;
        m.guid = "M-1";
        m.text = "hello";
        m.handle = ann;
        f.joinChatMessage(one, f.addMessage(m));
        m.guid = "M-2";
        m.handle = bob;
        m.service = "iMessage";
        f.joinChatMessage(two, f.addMessage(m));
        f.close();
        c.smsDb = fileBytes(f.path());
    }
    const QString smsFolder = library + QLatin1Char('/') + sms;
    c.smsDbRecord = w.addFileWithFolders("HomeDomain", smsFolder + "/sms.db", c.smsDb, 1400000100);
    c.picture = pattern(30000);
    c.pictureRecord = w.addFileWithFolders(
        "MediaDomain", smsFolder + "/Attachments/ab/01/IMG_0001.JPG", c.picture, 1400000200);
    c.document = pattern(5000, 3);
    c.documentRecord = w.addFileWithFolders(
        "MediaDomain", smsFolder + "/Attachments/cd/02/doc.pdf", c.document, 1400000300);
    if (withAddressBook) {
        AddressBookFixture book(scratch);
        book.addPerson(1, "Ann", "", "Lee", { "+12015550123" });
        book.write();
        c.addressBook = fileBytes(book.addressBookPath());
        c.addressBookRecord = w.addFileWithFolders(
            "HomeDomain", library + "/AddressBook/AddressBook.sqlitedb", c.addressBook, 1400000400);
    }
    w.addFileWithFolders("HomeDomain", library + "/Notes/notes.sqlite", "notes");
    return c;
}

QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    return files;
}

qint64 indexDate(const QString &cacheDir, const QString &fileId)
{
    Sqlite3DB db;
    db.openThrow(QDir(cacheDir).filePath("manifest.db"), Sqlite3DB::ReadOnly);
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql("select last_date from manifest where file_name=?").addTextParam(fileId));
    return c.moveNext() ? c.getInt64(0) : -1;
}

} // namespace

class tst_ITunesCacheSMSThread : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_counter = 0;
    QStringList m_boxes;

    QString newFolder(const char *what)
    {
        return m_tmp.filePath(QStringLiteral("%1-%2").arg(QLatin1String(what)).arg(++m_counter));
    }

    // Opens the backup as the main window does before it runs the worker.
    std::unique_ptr<BackupManifest> open(const QString &folder, const QByteArray &password = {})
    {
        auto m = std::make_unique<BackupManifest>(folder);
        m->loadManifestPlist();
        if (m->deviceInfo().IsEncrypted && !m->unlock(QString::fromUtf8(password)))
            return nullptr;
        m->loadFileTree();
        return m;
    }

    // Runs the worker's body in this thread; the form's slots are then called directly.
    QStringList cache(BackupManifest &backup, const QString &cacheDir, int cancelAfter = -1,
        bool *succeeded = nullptr)
    {
        RecordingForm form;
        form.cancelAfter = cancelAfter;
        {
            ITunesCacheSMSThread worker(&backup, cacheDir, &form);
            worker.run();
        }
        if (succeeded)
            *succeeded = form.result() == QDialog::Accepted && !form.failed;
        return form.saved;
    }

    void verifyCache(const QString &cacheDir, const Content &c)
    {
        const QDir dir(cacheDir);
        QCOMPARE(fileBytes(dir.filePath(kSmsDb)), c.smsDb);
        QCOMPARE(
            QFileInfo(dir.filePath(kSmsDb)).lastModified().toSecsSinceEpoch(), qint64(1400000100));
        QCOMPARE(fileBytes(dir.filePath(kPicture)), c.picture);
        QCOMPARE(QFileInfo(dir.filePath(kPicture)).lastModified().toSecsSinceEpoch(),
            qint64(1400000200));
        QCOMPARE(fileBytes(dir.filePath(kDocument)), c.document);
        QCOMPARE(QFileInfo::exists(dir.filePath(kAddressBook)), !c.addressBook.isEmpty());
        if (!c.addressBook.isEmpty())
            QCOMPARE(fileBytes(dir.filePath(kAddressBook)), c.addressBook);
    }

    // One error box with the text, and no cache folder left behind.
    void verifyFailedRun(const QString &backupFolder, const QString &cacheDir, const char *text)
    {
        bool ok = true;
        cache(*open(backupFolder), cacheDir, -1, &ok);
        QVERIFY(!ok);
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY2(m_boxes.first().contains(QLatin1String(text)), qPrintable(m_boxes.first()));
        QVERIFY(!QFileInfo::exists(cacheDir));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        qputenv("HOME", m_tmp.path().toUtf8());
        // The data folder, which keeps the locks, is fixed at its first use.
        QVERIFY(dataFolder().absolutePath().startsWith(m_tmp.path()));
        auto *translator = new QTranslator(this);
        QVERIFY(translator->load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(translator);
    }

    void init()
    {
        m_boxes.clear();
        setMessageBoxHook([this](QMessageBox &box) {
            m_boxes.append(box.text());
            return QMessageBox::Ok;
        });
    }

    void cleanup() { setMessageBoxHook(MessageBoxHook()); }

    void cachesBackupAsTheReadersExpectIt_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("withAddressBook");
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("sms");
        QTest::newRow("plain") << false << true << "Library"
                               << "SMS";
        QTest::newRow("encrypted") << true << true << "Library"
                                   << "SMS";
        QTest::newRow("no address book") << false << false << "Library"
                                         << "SMS";
        QTest::newRow("lower-case folders") << false << true << "library"
                                            << "sms";
    }
    void cachesBackupAsTheReadersExpectIt()
    {
        QFETCH(bool, encrypted);
        QFETCH(bool, withAddressBook);
        QFETCH(QString, library);
        QFETCH(QString, sms);
        BackupWriter w(newFolder("backup"));
        if (encrypted)
            w.setEncrypted("secret", 5);
        const Content c = addMessageContent(w, newFolder("scratch"), withAddressBook, library, sms);
        w.write();
        auto backup = open(w.folder(), "secret");
        QVERIFY(backup);
        const QString cacheDir = newFolder("cache");
        bool ok = false;
        const QStringList saved = cache(*backup, cacheDir, -1, &ok);
        QVERIFY(ok);
        QVERIFY2(m_boxes.isEmpty(), qPrintable(m_boxes.join('\n')));
        QCOMPARE(saved.size(), withAddressBook ? 4 : 3);
        verifyCache(cacheDir, c);
        QVERIFY(!QFileInfo::exists(QDir(cacheDir).filePath("file-relay/var/mobile/Library/Notes")));

        IOS6MessageDb db(QDir(cacheDir), QStringLiteral("310"), false);
        QSharedPointer<MsgMessageSet> set;
        db.chats(set);
        QStringList guids;
        for (const _MsgChat *chat : set->chats())
            guids.append(chat->guid);
        guids.sort();
        QCOMPARE(guids, QStringList({ "SMS;-;+12015550123", "iMessage;-;bob@example.com" }));
    }

    void secondRunCopiesOnlyWhatChanged()
    {
        BackupWriter w(newFolder("backup"));
        Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        const QString cacheDir = newFolder("cache");
        QCOMPARE(cache(*open(w.folder()), cacheDir).size(), 4);
        QCOMPARE(cache(*open(w.folder()), cacheDir), QStringList());

        // A new time in the index copies the file again and remembers the new time.
        w.records()[c.pictureRecord].mtime = 1500000000;
        c.picture = pattern(30000, 99);
        w.storedData(c.pictureRecord) = c.picture;
        w.write();
        QCOMPARE(cache(*open(w.folder()), cacheDir), QStringList({ "IMG_0001.JPG" }));
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kPicture)), c.picture);
        const QString pictureId
            = BackupWriter::fileId("MediaDomain", "Library/SMS/Attachments/ab/01/IMG_0001.JPG");
        QCOMPARE(indexDate(cacheDir, pictureId), qint64(1500000000));

        // A copy removed by hand comes back although the index remembers it.
        QVERIFY(QFile::remove(QDir(cacheDir).filePath(kDocument)));
        QCOMPARE(cache(*open(w.folder()), cacheDir), QStringList({ "doc.pdf" }));
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kDocument)), c.document);
    }

    void copyCutShortIsCopiedAgain_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain") << false;
        QTest::newRow("encrypted, padding trimmed") << true;
    }
    // A copy that the index remembers but that a power loss cut short.
    void copyCutShortIsCopiedAgain()
    {
        QFETCH(bool, encrypted);
        BackupWriter w(newFolder("backup"));
        if (encrypted)
            w.setEncrypted("pw", 3);
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        const QString cacheDir = newFolder("cache");
        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir).size(), 4);
        QFile picture(QDir(cacheDir).filePath(kPicture));
        QVERIFY(picture.resize(c.picture.size() / 2));

        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir), QStringList({ "IMG_0001.JPG" }));
        QCOMPARE(fileBytes(picture.fileName()), c.picture);
        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir), QStringList());
    }

    void fullDiskIsNamedWithTheFile_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain") << false;
        QTest::newRow("encrypted") << true;
    }
    // A file-size limit stands for a full disk: the system's reason and the file are told.
    void fullDiskIsNamedWithTheFile()
    {
        QFETCH(bool, encrypted);
        BackupWriter w(newFolder("backup"));
        if (encrypted)
            w.setEncrypted("pw", 3);
        addMessageContent(w, newFolder("scratch"));
        w.write();
        auto backup = open(w.folder(), "pw");
        const QString cacheDir = newFolder("cache");
        bool ok = true;
        {
            const FileSizeLimit full(4096);
            cache(*backup, cacheDir, -1, &ok);
        }
        QVERIFY(!ok);
        QCOMPARE(m_boxes.size(), 1);
        const QString expected = QDir::toNativeSeparators(QDir(cacheDir).filePath(kSmsDb))
            + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(EFBIG));
        QVERIFY2(m_boxes.first().contains(expected), qPrintable(m_boxes.first()));
        QVERIFY(!QFileInfo::exists(cacheDir));
    }

    void fileWithZeroTimeIsCopiedTheFirstTime()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.records()[c.documentRecord].mtime = 0;
        w.write();
        const QString cacheDir = newFolder("cache");
        QVERIFY(cache(*open(w.folder()), cacheDir).contains("doc.pdf"));
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kDocument)), c.document);
        QCOMPARE(cache(*open(w.folder()), cacheDir), QStringList());
    }

    void cancelInTheMiddleLeavesNothingBehind()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        const QString cacheDir = newFolder("cache");
        bool ok = true;
        QCOMPARE(cache(*open(w.folder()), cacheDir, 2, &ok).size(), 2);
        QVERIFY(!ok);
        QVERIFY(m_boxes.isEmpty());
        QVERIFY(!QFileInfo::exists(cacheDir));

        QCOMPARE(cache(*open(w.folder()), cacheDir, -1, &ok).size(), 4);
        QVERIFY(ok);
        verifyCache(cacheDir, c);
    }

    void unreadableDatabaseFailsTheRunAndLeavesNoIndex_data()
    {
        QTest::addColumn<QString>("damaged");
        QTest::newRow("message database") << "sms.db";
        QTest::newRow("address book") << "AddressBook.sqlitedb";
    }
    void unreadableDatabaseFailsTheRunAndLeavesNoIndex()
    {
        QFETCH(QString, damaged);
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        const int record = damaged == "sms.db" ? c.smsDbRecord : c.addressBookRecord;
        const QByteArray whole = w.storedData(record);
        w.storedData(record).chop(100);
        w.write();
        const QString cacheDir = newFolder("cache");
        verifyFailedRun(w.folder(), cacheDir, "shorter");

        m_boxes.clear();
        bool ok = false;
        w.storedData(record) = whole;
        w.write();
        QCOMPARE(cache(*open(w.folder()), cacheDir, -1, &ok).size(), 4);
        QVERIFY(ok);
        verifyCache(cacheDir, c);
    }

    void unreadableAttachmentIsSkipped_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QString>("damage");
        QTest::newRow("cut short") << false << "cut";
        QTest::newRow("key cannot be unwrapped") << true << "key";
        QTest::newRow("ragged ciphertext") << true << "ragged";
    }
    void unreadableAttachmentIsSkipped()
    {
        QFETCH(bool, encrypted);
        QFETCH(QString, damage);
        BackupWriter w(newFolder("backup"));
        if (encrypted)
            w.setEncrypted("pw", 3);
        Content c = addMessageContent(w, newFolder("scratch"));
        const int r = c.pictureRecord;
        if (damage == "cut")
            w.storedData(r).chop(1);
        else if (damage == "key")
            w.records()[r].encryptionKey[12] = char(w.records()[r].encryptionKey[12] ^ 1);
        else
            w.storedData(r).append('x');
        w.write();
        const QString cacheDir = newFolder("cache");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("left out of the cache.*IMG_0001"));
        bool ok = false;
        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir, -1, &ok).size(), 4);
        QVERIFY(ok);
        QVERIFY(m_boxes.isEmpty());
        QVERIFY(!QFileInfo::exists(QDir(cacheDir).filePath(kPicture)));
        QVERIFY(
            filesUnder(QDir(cacheDir).filePath("file-relay/var/mobile/Library/SMS/Attachments/ab"))
                .isEmpty());
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kDocument)), c.document);
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kSmsDb)), c.smsDb);

        // Not remembered, so the next run tries it again.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("left out of the cache.*IMG_0001"));
        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir), QStringList({ "IMG_0001.JPG" }));
    }

    void backupWithoutMessagesIsAnError()
    {
        BackupWriter w(newFolder("backup"));
        w.addFileWithFolders("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", "book");
        w.write();
        verifyFailedRun(w.folder(), newFolder("cache"),
            "Found no message database file in this iTunes backup.");
    }

    void storedFileMissingFromTheFolderIsSkipped()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        QVERIFY(
            QFile::remove(w.storedPath("MediaDomain", "Library/SMS/Attachments/cd/02/doc.pdf")));
        const QString cacheDir = newFolder("cache");
        bool ok = false;
        QCOMPARE(cache(*open(w.folder()), cacheDir, -1, &ok).size(), 3);
        QVERIFY(ok);
        QVERIFY(!QFileInfo::exists(QDir(cacheDir).filePath(kDocument)));
    }

    void namesFromTheIndexNeverLeaveTheCache()
    {
        BackupWriter w(newFolder("backup"));
        addMessageContent(w, newFolder("scratch"));
        w.addFile("MediaDomain", "Library/SMS/Attachments/a:b*c?.txt ", "sanitised");
        w.addFile("MediaDomain", "Library/SMS/Attachments/ ..*", "dots");
        w.addFile("MediaDomain", "Library/SMS/../../../../escape.txt", "up");
        w.addFile("MediaDomain", "Library/SMS/Attachments/..\\..\\..\\back.txt", "back");
        w.addFile("MediaDomain", "Library/SMS//rooted.txt", "rooted");
        w.write();
        const QStringList before = filesUnder(m_tmp.path());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unsafe path"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unsafe path"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unsafe path"));
        auto backup = open(w.folder());
        const QString cacheDir = newFolder("cache");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unsafe name"));
        bool ok = false;
        cache(*backup, cacheDir, -1, &ok);
        QVERIFY(ok);
        const QString attachments
            = QDir(cacheDir).filePath("file-relay/var/mobile/Library/SMS/Attachments");
        QCOMPARE(fileBytes(attachments + "/abc.txt"), QByteArray("sanitised"));
        for (const QString &file : filesUnder(m_tmp.path())) {
            if (!before.contains(file))
                QVERIFY2(file.startsWith(cacheDir + '/'), qPrintable(file));
        }
    }

    void linksInTheCacheAreNeverFollowed()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        const QString outside = newFolder("outside");
        QVERIFY(QDir().mkpath(outside));
        const QString cacheDir = newFolder("cache");
        const QDir dir(cacheDir);
        QVERIFY(QDir().mkpath(dir.filePath("file-relay/var/mobile/Library/SMS")));
        QVERIFY(
            QFile::link(outside, dir.filePath("file-relay/var/mobile/Library/SMS/Attachments")));
        cache(*open(w.folder()), cacheDir);
        QCOMPARE(filesUnder(outside), QStringList());
        QVERIFY(
            !QFileInfo(dir.filePath("file-relay/var/mobile/Library/SMS/Attachments")).isSymLink());
        verifyCache(cacheDir, c);

        // A remembered copy replaced by a link is copied again, over the link.
        const QString victim = outside + "/victim.db";
        QFile f(victim);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
        f.close();
        QVERIFY(QFile::remove(dir.filePath(kSmsDb)));
        QVERIFY(QFile::link(victim, dir.filePath(kSmsDb)));
        QCOMPARE(cache(*open(w.folder()), cacheDir), QStringList({ "sms.db" }));
        QCOMPARE(fileBytes(victim), QByteArray("keep me"));
        QVERIFY(!QFileInfo(dir.filePath(kSmsDb)).isSymLink());
        QCOMPARE(fileBytes(dir.filePath(kSmsDb)), c.smsDb);
    }

    // The copies run on several threads: each arrives whole, what fails is told as one run.
    void manyFilesInOneRun_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("cancelAfter");
        QTest::newRow("all whole") << QString() << -1;
        QTest::newRow("one attachment unreadable") << "attachment" << -1;
        QTest::newRow("message database unreadable") << "sms.db" << -1;
        QTest::newRow("both databases unreadable") << "both" << -1;
        QTest::newRow("cancelled") << QString() << 12;
    }
    void manyFilesInOneRun()
    {
        QFETCH(QString, damage);
        QFETCH(int, cancelAfter);
        BackupWriter w(newFolder("backup"));
        w.setEncrypted("pw", 3);
        Content c = addMessageContent(w, newFolder("scratch"));
        QList<QPair<QString, QByteArray>> files;
        for (int i = 0; i < 40; ++i) {
            // Sizes around the 16-byte blocks and over the 1 MiB chunk.
            const int size = i == 7 ? 1536 * 1024 + 5 : 1000 * i + i % 17 + 1;
            files.append({ QStringLiteral("Library/SMS/Attachments/%1/%2/f%2.bin")
                               .arg(i % 3, 2, 10, QLatin1Char('0'))
                               .arg(i),
                pattern(size, i) });
            const int record = w.addFileWithFolders(
                "MediaDomain", files.last().first, files.last().second, 1400001000 + i);
            if (damage == "attachment" && i == 23)
                w.storedData(record).append('x');
        }
        if (damage == "sms.db" || damage == "both")
            w.storedData(c.smsDbRecord).chop(100);
        if (damage == "both")
            w.storedData(c.addressBookRecord).chop(100);
        w.write();
        const QString cacheDir = newFolder("cache");
        if (damage == "attachment")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("left out of the cache.*f23"));
        bool ok = false;
        const QStringList saved = cache(*open(w.folder(), "pw"), cacheDir, cancelAfter, &ok);

        if (damage.endsWith("sms.db") || damage == "both" || cancelAfter > 0) {
            QVERIFY(!ok);
            QVERIFY(!QFileInfo::exists(cacheDir));
            if (cancelAfter > 0) {
                QCOMPARE(saved.size(), cancelAfter);
                QVERIFY(m_boxes.isEmpty());
                return;
            }
            // The first database of the walk is the one named.
            QCOMPARE(m_boxes.size(), 1);
            QVERIFY2(
                m_boxes.first().contains(BackupWriter::fileId("HomeDomain", "Library/SMS/sms.db")),
                qPrintable(m_boxes.first()));
            return;
        }
        QVERIFY(ok);
        QCOMPARE(saved.size(), 44);
        const QDir copied(QDir(cacheDir).filePath("file-relay/var/mobile"));
        for (int i = 0; i < files.size(); ++i) {
            const QString path = copied.filePath(files[i].first);
            QCOMPARE(QFileInfo::exists(path), !(damage == "attachment" && i == 23));
            if (damage == "attachment" && i == 23)
                continue;
            QCOMPARE(fileBytes(path), files[i].second);
            QCOMPARE(indexDate(cacheDir, BackupWriter::fileId("MediaDomain", files[i].first)),
                qint64(1400001000 + i));
        }
        verifyCache(cacheDir, c);
        // Only the file left out is tried again.
        if (damage == "attachment")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("left out of the cache.*f23"));
        QCOMPARE(cache(*open(w.folder(), "pw"), cacheDir),
            damage == "attachment" ? QStringList { "f23.bin" } : QStringList());
    }

    // Another window caching into the same folder holds it: this run waits, touching
    // nothing, and a cancel meanwhile leaves that window's folder as it is.
    void waitsWhileAnotherWindowCachesIntoTheFolder()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        auto backup = open(w.folder());
        const QString cacheDir = newFolder("cache");
        QCOMPARE(cache(*backup, cacheDir).size(), 4);
        QVERIFY(QFile::remove(QDir(cacheDir).filePath(kDocument)));

        TargetLock otherWindow;
        QCOMPARE(otherWindow.lock(cacheDir), TargetLock::Held);
        RecordingForm form;
        ITunesCacheSMSThread worker(backup.get(), cacheDir, &form);
        worker.start();
        QVERIFY(!worker.wait(500));
        form.cancel();
        QVERIFY(worker.wait(60000));
        QCoreApplication::processEvents();
        QCOMPARE(form.saved, QStringList());
        QVERIFY(m_boxes.isEmpty());
        QVERIFY(!QFileInfo::exists(QDir(cacheDir).filePath(kDocument)));
        QCOMPARE(fileBytes(QDir(cacheDir).filePath(kSmsDb)), c.smsDb);

        otherWindow.unlock();
        QCOMPARE(cache(*backup, cacheDir), QStringList({ "doc.pdf" }));
        verifyCache(cacheDir, c);
    }

    // A window killed while it cached holds no later one back, also on SMB, which removes no
    // file that is still open; nothing of the lock stays beside the folder.
    void windowKilledWhileCachingHoldsNoLaterOneBack()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        auto backup = open(w.folder());
        const QString cacheDir = newFolder("cache");
        QVERIFY(runThenDie([&] {
            ScopedFileSystemSeam dying(FileSystemSeam::fuseExfatDyingAtRename());
            ITunesCacheSMSThread(backup.get(), cacheDir, nullptr).run();
        }));
        QVERIFY(!QFileInfo::exists(QDir(cacheDir).filePath(kSmsDb)));

        bool ok = false;
        {
            ScopedFileSystemSeam smb(FileSystemSeam::smb());
            QCOMPARE(cache(*backup, cacheDir, -1, &ok).size(), 4);
        }
        QVERIFY(ok);
        verifyCache(cacheDir, c);
        const QString name = QFileInfo(cacheDir).fileName();
        QCOMPARE(QDir(m_tmp.path()).entryList({ name + "*" }, QDir::AllEntries | QDir::Hidden),
            QStringList { name });
    }

    void runsUnderTheProgressDialog()
    {
        BackupWriter w(newFolder("backup"));
        const Content c = addMessageContent(w, newFolder("scratch"));
        w.write();
        auto backup = open(w.folder());
        const QString cacheDir = newFolder("cache");
        ProgressForm form { QString() };
        ITunesCacheSMSThread worker(backup.get(), cacheDir, &form);
        worker.start();
        const int result = form.exec();
        QVERIFY(worker.wait(60000));
        QCOMPARE(result, 1);
        QVERIFY(!form.failed);
        verifyCache(cacheDir, c);
    }
};

QTEST_MAIN(tst_ITunesCacheSMSThread)
#include "tst_itunescachesmsthread.moc"
