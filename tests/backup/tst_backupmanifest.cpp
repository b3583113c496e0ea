#include "backup/backupmanifest.h"
#include "backup/mbdb.h"
#include "support/backupwriter.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray pattern(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + 7) & 0xFF);
    return b;
}

const BackupFileNode *walk(const BackupFileNode &root, const QStringList &names)
{
    const BackupFileNode *n = &root;
    for (const QString &name : names) {
        n = n->child(name);
        if (!n)
            return nullptr;
    }
    return n;
}

// A small backup as a device writes it: folders before their files.
void addStandardContent(BackupWriter &w, const QByteArray &smsDb)
{
    w.addFolder("HomeDomain", "");
    w.addFolder("HomeDomain", "Library");
    w.addFolder("HomeDomain", "Library/SMS");
    w.addFile("HomeDomain", "Library/SMS/sms.db", smsDb, 1400000123);
    w.addFolder("MediaDomain", "Library");
    w.addFolder("MediaDomain", "Library/SMS/Attachments");
    w.addFile("MediaDomain", "Library/SMS/Attachments/ab/IMG_0001.JPG", "jpeg", 1400000200);
    w.addFolder("AppDomain-com.example.notes", "");
    w.addFolder("AppDomain-com.example.notes", "Documents");
    w.addFile("AppDomain-com.example.notes", "Documents/note.txt", "note");
    w.addFile("HomeDomain", "Orphans/lost.txt", "lost");
}

} // namespace

class tst_BackupManifest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_counter = 0;
    QString newFolder() { return m_tmp.filePath(QStringLiteral("b%1").arg(++m_counter)); }

    // A destination in a folder of its own that holds an earlier copy.
    QString earlierCopy()
    {
        const QString folder = newFolder();
        QDir().mkpath(folder);
        const QString out = folder + "/sms.db";
        QFile old(out);
        if (old.open(QIODevice::WriteOnly))
            old.write("previous copy");
        return out;
    }
    // A failed copy leaves the earlier one as it was, with nothing beside it.
    void verifyEarlierCopyKept(const QString &out)
    {
        QCOMPARE(fileBytes(out), QByteArray("previous copy"));
        QCOMPARE(
            QFileInfo(out).dir().entryList(QDir::Files | QDir::Hidden), QStringList({ "sms.db" }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        qputenv("HOME", m_tmp.path().toUtf8());
    }

    void defaultBackupFolderIsUnderHome()
    {
        QVERIFY(BackupManifest::defaultBackupDir().absolutePath().startsWith(m_tmp.path()));
        QVERIFY(BackupManifest::defaultBackupDir().absolutePath().endsWith(
            "Application Data/Apple Computer/MobileSync/Backup"));
        BackupManifest m(m_tmp.path());
        QCOMPARE(m.backupId().size(), 32);
    }

    void displayNameFromDeviceAndFolder_data()
    {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<QString>("udid");
        QTest::addColumn<QString>("expected");
        QTest::newRow("udid folder") << "abc123"
                                     << "abc123"
                                     << "Phone";
        QTest::newRow("udid with suffix") << "abc123-20140501"
                                          << "abc123"
                                          << "Phone-20140501";
        QTest::newRow("other folder") << "other"
                                      << "abc123"
                                      << "Phone-other";
        QTest::newRow("no udid") << "other2"
                                 << ""
                                 << "Phone-other2";
    }
    void displayNameFromDeviceAndFolder()
    {
        QFETCH(QString, folderName);
        QFETCH(QString, udid);
        QFETCH(QString, expected);
        BackupWriter w(m_tmp.filePath(folderName));
        w.setDevice(udid, "Phone");
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        QCOMPARE(m.displayName(), expected);
        QCOMPARE(m.deviceInfo().DeviceName, QStringLiteral("Phone"));
        QCOMPARE(m.deviceInfo().ProductType, QStringLiteral("iPhone5,2"));
        QCOMPARE(m.deviceInfo().Date.toUTC(), QDateTime(QDate(2014, 5, 1), QTime(10, 0), Qt::UTC));
        QVERIFY(!m.deviceInfo().IsEncrypted);
    }

    void damagedManifestPlistIsAClearError_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << "Cannot find ";
        QTest::newRow("garbage") << QByteArray("\x00\x01garbage", 9) << "damaged";
        QTest::newRow("cut binary") << QByteArray("bplist00\xD0", 9) << "damaged";
        QTest::newRow("array root")
            << QByteArray("<plist version=\"1.0\"><array/></plist>") << "damaged";
        QTest::newRow("cut xml") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                               "<dict><key>IsEncrypted</key><true/><key>Lock")
                                 << "damaged";
        // Written sparse: only the size counts.
        QTest::newRow("far too large") << QByteArray("large") << "too large";
    }
    void damagedManifestPlistIsAClearError()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, message);
        const QString folder = newFolder();
        QDir().mkpath(folder);
        if (!contents.isNull()) {
            QFile f(folder + "/Manifest.plist");
            f.open(QIODevice::WriteOnly);
            if (contents == "large")
                QVERIFY(f.resize(65 * 1024 * 1024));
            else
                f.write(contents);
        }
        BackupManifest m(folder);
        try {
            m.loadManifestPlist();
            QFAIL("no error");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(message), e.what());
        }
    }

    void roundTripOfSyntheticIndexIsByteIdentical()
    {
        BackupWriter w(newFolder());
        addStandardContent(w, "sms");
        w.write();
        const QString index = w.folder() + "/Manifest.mbdb";
        const QString copy = w.folder() + "/copy.mbdb";
        saveMbdb(loadMbdb(index).values(), copy);
        QCOMPARE(fileBytes(copy), fileBytes(index));
    }

    void treeMergesDomainsAndPlacesAppsAndOrphans()
    {
        BackupWriter w(newFolder());
        addStandardContent(w, "sms");
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        m.loadFileTree();
        const BackupFileNode *sms = walk(m.root(), { "Library", "SMS", "sms.db" });
        QVERIFY(sms);
        QCOMPARE(m.smsDb(), sms);
        QCOMPARE(sms->parent->child("Attachments")->parent, sms->parent);
        QVERIFY(walk(m.root(), { "Applications", "com.example.notes", "Documents", "note.txt" }));
        QVERIFY(walk(m.root(), { "lost.txt" }));
        int applications = 0;
        for (const auto &c : m.root().children)
            applications += c->name == QLatin1String("Applications");
        QCOMPARE(applications, 1);
        QCOMPARE(
            m.smsFilesByDevicePath().value("/var/mobile/Library/SMS/Attachments/ab/IMG_0001")->name,
            QStringLiteral("IMG_0001.JPG"));
        QCOMPARE(m.smsAttachments().value("ab/IMG_0001")->name, QStringLiteral("IMG_0001.JPG"));

        const size_t before = m.root().children.size();
        m.loadFileTree();
        QCOMPARE(m.root().children.size(), before);
    }

    void unsafePathsStayOutOfTheTree()
    {
        BackupWriter w(newFolder());
        w.addFolder("HomeDomain", "Library");
        w.addFile("HomeDomain", "Library/../../escape.txt", "x");
        w.addFile("HomeDomain", "..", "x");
        w.addFile("HomeDomain", "/etc/passwd", "x");
        w.addFile("HomeDomain", "Library/a\\..\\b", "x");
        w.addFile("AppDomain-..", "x.txt", "x");
        const int nul = w.addFile("HomeDomain", "Library/ok.txt", "x");
        w.records()[nul].path = QByteArray("Library/ok.txt\0/../../x", 23);
        w.addFile("HomeDomain", "Library/fine.txt", "x");
        w.write();
        BackupManifest m(w.folder());
        m.loadFileTree();
        QStringList names;
        QList<const BackupFileNode *> stack { &m.root() };
        while (!stack.isEmpty()) {
            const BackupFileNode *n = stack.takeLast();
            for (const auto &c : n->children) {
                names << c->name;
                stack << c.get();
            }
        }
        names.sort();
        QCOMPARE(names, QStringList({ "Applications", "Library", "fine.txt" }));
    }

    void copiedFileMatchesContentsAndTime_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1") << 1;
        QTest::newRow("20000") << 20000;
        QTest::newRow("1 MiB + 33") << (1024 * 1024 + 33);
        QTest::newRow("5 MiB") << (5 * 1024 * 1024);
    }
    void copiedFileMatchesContentsAndTime()
    {
        QFETCH(int, size);
        BackupWriter w(newFolder());
        const QByteArray smsDb = pattern(size);
        addStandardContent(w, smsDb);
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        m.loadFileTree();
        const QString out = m_tmp.filePath("sms-copy.db");
        struct Calls
        {
            int count = 0;
            qint64 total = 0, done = 0;
        } calls;
        m.extractFile(m.smsDb(), out, &calls, [](qint64 total, qint64 done, void *ctx) {
            auto *c = static_cast<Calls *>(ctx);
            ++c->count;
            c->total = total;
            c->done = done;
        });
        // Times first: reading the copy may move its access time.
        QCOMPARE(QFileInfo(out).lastRead().toSecsSinceEpoch(), qint64(1400000123));
        QCOMPARE(QFileInfo(out).lastModified().toSecsSinceEpoch(), qint64(1400000123));
        QCOMPARE(fileBytes(out), smsDb);
        // A large file reports, and so may be cancelled, more than once on its way.
        QVERIFY(calls.count >= (size > 4 * 1024 * 1024 ? 2 : 1));
        QCOMPARE(calls.total, qint64(size));
        QCOMPARE(calls.done, qint64(size));
    }

    void emptyFileCopiesEmpty()
    {
        BackupWriter w(newFolder());
        w.addFile("HomeDomain", "Library/SMS/sms.db", QByteArray());
        w.write();
        BackupManifest m(w.folder());
        m.loadFileTree();
        const QString out = m_tmp.filePath("empty.db");
        m.extractFile(walk(m.root(), { "sms.db" }), out, nullptr);
        QVERIFY(QFileInfo(out).isFile());
        QCOMPARE(QFileInfo(out).size(), qint64(0));
    }

    // A full disk in the middle of a file is the destination's failure, and leaves the old
    // copy in place with nothing beside it.
    void fullDestinationIsAWriteError_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain") << false;
        QTest::newRow("encrypted") << true;
    }
    void fullDestinationIsAWriteError()
    {
        QFETCH(bool, encrypted);
        BackupWriter w(newFolder());
        if (encrypted)
            w.setEncrypted("pw", 3);
        w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(3 * 1024 * 1024));
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        QVERIFY(!encrypted || m.unlock("pw"));
        m.loadFileTree();
        const QString out = earlierCopy();
        try {
            FileSizeLimit full(1024 * 1024 + 100);
            m.extractFile(walk(m.root(), { "sms.db" }), out, nullptr);
            QFAIL("no error");
        } catch (const StoredFileError &) {
            QFAIL("a destination problem reported as a damaged backup");
        } catch (const std::runtime_error &) {
        }
        verifyEarlierCopyKept(out);
    }

    void storedFileShorterThanRecordIsAnError()
    {
        BackupWriter w(newFolder());
        const int i = w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(100));
        w.storedData(i).chop(1);
        w.write();
        BackupManifest m(w.folder());
        m.loadFileTree();
        QVERIFY_EXCEPTION_THROWN(
            m.extractFile(walk(m.root(), { "sms.db" }), m_tmp.filePath("short.db"), nullptr),
            std::runtime_error);
    }

    void failedCopyLeavesTheTargetAsItWas_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("ragged after two good chunks") << "ragged";
        QTest::newRow("key cannot be unwrapped") << "key";
    }
    void failedCopyLeavesTheTargetAsItWas()
    {
        QFETCH(QString, damage);
        BackupWriter w(newFolder());
        w.setEncrypted("pw", 3);
        const int i = w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(20000));
        if (damage == "ragged")
            w.storedData(i).append('x');
        else
            w.records()[i].encryptionKey[12] = char(w.records()[i].encryptionKey[12] ^ 1);
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        QVERIFY(m.unlock("pw"));
        m.loadFileTree();
        const QString out = earlierCopy();
        QVERIFY_EXCEPTION_THROWN(
            m.extractFile(walk(m.root(), { "sms.db" }), out, nullptr), StoredFileError);
        verifyEarlierCopyKept(out);
    }

    void copyReplacesALinkInsteadOfWritingThroughIt()
    {
        BackupWriter w(newFolder());
        w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(100));
        w.write();
        BackupManifest m(w.folder());
        m.loadFileTree();
        const QString victim = m_tmp.filePath("victim.txt");
        QFile f(victim);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("untouched");
        f.close();
        const QString out = m_tmp.filePath("linked.db");
        QVERIFY(QFile::link(victim, out));
        m.extractFile(walk(m.root(), { "sms.db" }), out, nullptr);
        QVERIFY(!QFileInfo(out).isSymLink());
        QCOMPARE(fileBytes(out), pattern(100));
        QCOMPARE(fileBytes(victim), QByteArray("untouched"));
    }

    void writeFailureIsNoStoredFileError()
    {
        BackupWriter w(newFolder());
        w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(100));
        w.write();
        BackupManifest m(w.folder());
        m.loadFileTree();
        try {
            m.extractFile(
                walk(m.root(), { "sms.db" }), m_tmp.filePath("no/such/folder/x"), nullptr);
            QFAIL("no error");
        } catch (const StoredFileError &) {
            QFAIL("a destination problem reported as a damaged backup");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains("no/such/folder/x"), e.what());
        }
    }

    void encryptedBackupUnlocksAndDecrypts_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1") << 1;
        QTest::newRow("15") << 15;
        QTest::newRow("16") << 16;
        QTest::newRow("17") << 17;
        QTest::newRow("8192") << 8192;
        QTest::newRow("1 MiB + 33") << (1024 * 1024 + 33);
        QTest::newRow("2 MiB") << (2 * 1024 * 1024);
    }
    void encryptedBackupUnlocksAndDecrypts()
    {
        QFETCH(int, size);
        BackupWriter w(newFolder());
        w.setEncrypted("pässword", 10);
        const QByteArray plain = pattern(size);
        addStandardContent(w, plain);
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        QVERIFY(m.deviceInfo().IsEncrypted);
        QVERIFY(!m.unlock("wrong"));
        QVERIFY(m.unlock(QString::fromUtf8("pässword")));
        m.loadFileTree();
        const QString out = m_tmp.filePath("dec.db");
        m.extractFile(m.smsDb(), out, nullptr);
        QCOMPARE(fileBytes(out), plain);
        QCOMPARE(QFileInfo(out).lastModified().toSecsSinceEpoch(), qint64(1400000123));
    }

    void encryptedTailBeyondPaddingIsKept_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("extra");
        QTest::newRow("16 + 32 beyond") << 16 << 32;
        QTest::newRow("100 + 16 beyond") << 100 << 16;
        QTest::newRow("20000 + 8192 beyond") << 20000 << 8192;
    }
    void encryptedTailBeyondPaddingIsKept()
    {
        // Only the last 1 to 16 bytes can be padding; a longer tail means the recorded size
        // is out of date, and cutting at it would lose data.
        QFETCH(int, size);
        QFETCH(int, extra);
        BackupWriter w(newFolder());
        w.setEncrypted("pw", 3);
        const QByteArray plain = pattern(size);
        const int i = w.addFile("HomeDomain", "Library/SMS/sms.db", plain);
        w.storedData(i).append(pattern(extra));
        const int stored = w.storedData(i).size();
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        QVERIFY(m.unlock("pw"));
        m.loadFileTree();
        const QString out = m_tmp.filePath("long.db");
        m.extractFile(walk(m.root(), { "sms.db" }), out, nullptr);
        const QByteArray copied = fileBytes(out);
        QCOMPARE(copied.size(), stored);
        QCOMPARE(copied.left(size), plain);
    }

    void encryptedFileThatCannotBeDecryptedIsAnError_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("message");
        QTest::newRow("locked") << "locked"
                                << "cannot unwrap";
        QTest::newRow("key 39 bytes") << "short key"
                                      << "cannot unwrap";
        QTest::newRow("key damaged") << "bad key"
                                     << "cannot unwrap";
        QTest::newRow("ragged ciphertext") << "ragged"
                                           << "POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.";
        QTest::newRow("cut ciphertext") << "cut"
                                        << "shorter";
    }
    void encryptedFileThatCannotBeDecryptedIsAnError()
    {
        QFETCH(QString, damage);
        QFETCH(QString, message);
        BackupWriter w(newFolder());
        w.setEncrypted("pw", 3);
        const int i = w.addFile("HomeDomain", "Library/SMS/sms.db", pattern(100));
        if (damage == "short key")
            w.records()[i].encryptionKey.chop(1);
        else if (damage == "bad key")
            w.records()[i].encryptionKey[10] = char(w.records()[i].encryptionKey[10] ^ 1);
        else if (damage == "ragged")
            w.storedData(i).append('x');
        else if (damage == "cut")
            w.storedData(i).chop(16);
        w.write();
        BackupManifest m(w.folder());
        m.loadManifestPlist();
        if (damage != "locked")
            QVERIFY(m.unlock("pw"));
        m.loadFileTree();
        try {
            m.extractFile(walk(m.root(), { "sms.db" }), m_tmp.filePath("bad.db"), nullptr);
            QFAIL("no error");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(message), e.what());
            if (damage == "ragged")
                QVERIFY(QString::fromUtf8(e.what()).startsWith(
                    BackupWriter::fileId("HomeDomain", "Library/SMS/sms.db")));
        }
    }

    void damagedKeybagIsAnErrorNotAWrongPassword_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut") << QByteArray("UUID\x00\x00\x00\x10", 8);
        const QByteArray classItems = BackupWriter::keybagItem("UUID", "c")
            + BackupWriter::keybagItem("CLAS", BackupWriter::u32be(1))
            + BackupWriter::keybagItem("WRAP", BackupWriter::u32be(2))
            + BackupWriter::keybagItem("WPKY", QByteArray(40, 'w'));
        QTest::newRow("endless iterations") << BackupWriter::keybagItem("UUID", "h")
                + BackupWriter::keybagItem("SALT", "s")
                + BackupWriter::keybagItem("ITER", BackupWriter::u32be(0xFFFFFFFF)) + classItems;
    }
    void damagedKeybagIsAnErrorNotAWrongPassword()
    {
        QFETCH(QByteArray, blob);
        const QString folder = newFolder();
        QDir().mkpath(folder);
        QFile f(folder + "/Manifest.plist");
        f.open(QIODevice::WriteOnly);
        f.write("<plist version=\"1.0\"><dict><key>IsEncrypted</key><true/>"
                "<key>BackupKeyBag</key><data>"
            + blob.toBase64() + "</data></dict></plist>");
        f.close();
        BackupManifest m(folder);
        m.loadManifestPlist();
        QVERIFY_EXCEPTION_THROWN(m.unlock("pw"), std::runtime_error);
    }

    void indexOfLaterSystemsIsNamedAsUnread_data()
    {
        QTest::addColumn<bool>("mbdb");
        QTest::addColumn<bool>("db");
        QTest::addColumn<bool>("named");
        QTest::newRow("Manifest.db only") << false << true << true;
        QTest::newRow("no index at all") << false << false << false;
        QTest::newRow("both indexes") << true << true << false;
    }
    void indexOfLaterSystemsIsNamedAsUnread()
    {
        QFETCH(bool, mbdb);
        QFETCH(bool, db);
        QFETCH(bool, named);
        BackupWriter w(newFolder());
        addStandardContent(w, "sms");
        w.write();
        if (!mbdb)
            QVERIFY(QFile::remove(w.folder() + "/Manifest.mbdb"));
        QFile index(w.folder() + "/Manifest.db");
        if (db)
            QVERIFY(index.open(QIODevice::WriteOnly) && index.write("SQLite format 3") > 0);
        index.close();
        BackupManifest m(w.folder());
        QString error;
        try {
            m.loadFileTree();
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
        const QString text = "The backup in " + w.folder()
            + " keeps its index in Manifest.db (iOS 10 and later), which this program does not "
              "read.";
        QCOMPARE(error == text, named);
        QCOMPARE(error.isEmpty(), mbdb);
        QCOMPARE(m.smsDb() != nullptr, mbdb);
    }

    void damagedIndexLeavesTreeEmpty()
    {
        BackupWriter w(newFolder());
        addStandardContent(w, "sms");
        w.write();
        QFile index(w.folder() + "/Manifest.mbdb");
        index.resize(index.size() - 3);
        BackupManifest m(w.folder());
        QVERIFY_EXCEPTION_THROWN(m.loadFileTree(), std::runtime_error);
        QVERIFY(m.root().children.empty());
        QVERIFY(!m.smsDb());
    }
};

QTEST_GUILESS_MAIN(tst_BackupManifest)
#include "tst_backupmanifest.moc"
