#include "backup/mbdb.h"
#include "support/backupwriter.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

class tst_Mbdb : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString writeIndex(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_tmp.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return path;
    }
    static BackupWriter::Record fileRecord(const char *domain, const char *path)
    {
        BackupWriter::Record r;
        r.domain = domain;
        r.path = path;
        r.dataHash = QByteArray(20, 'h');
        r.mode = 0100644;
        r.size = 42;
        return r;
    }

private slots:
    void fileIdOfSmsDbMatchesKnownDigest()
    {
        QCOMPARE(mbdbFileName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")),
            QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    }

    void shortOrForeignHeaderGivesEmptyIndex_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("three bytes") << QByteArray("mbd");
        QTest::newRow("header only") << QByteArray("mbdb\x05\x00", 6);
        QTest::newRow("other header") << QByteArray("XXXXXX");
    }
    void shortOrForeignHeaderGivesEmptyIndex()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(loadMbdb(writeIndex(QStringLiteral("h.mbdb"), bytes)).isEmpty());
    }

    void foreignHeaderIsReadLikeAnyOther()
    {
        QByteArray bytes = BackupWriter::serializeIndex({ fileRecord("HomeDomain", "a") });
        bytes.replace(0, 6, "ABCDEF");
        const MbdbIndex index = loadMbdb(writeIndex(QStringLiteral("f.mbdb"), bytes));
        QCOMPARE(index.size(), 1);
        QCOMPARE(index.begin()->Path.toString(), QStringLiteral("a"));
    }

    void emptyAndNullStringsKeepTheirLengths()
    {
        BackupWriter::Record r = fileRecord("HomeDomain", "x");
        r.linkTarget = QByteArray(""); // length 0
        r.encryptionKey = QByteArray(); // length 0xFFFF
        const QString path
            = writeIndex(QStringLiteral("s.mbdb"), BackupWriter::serializeIndex({ r }));
        const MbdbRecord rec = loadMbdb(path).value(mbdbFileName("HomeDomain", "x"));
        QCOMPARE(rec.LinkTarget.Length, quint16(0));
        QCOMPARE(rec.EncryptionKey.Length, quint16(0xFFFF));
        QVERIFY(rec.LinkTarget.toString().isEmpty());
        QVERIFY(rec.EncryptionKey.toString().isEmpty());
        const QString out = m_tmp.filePath(QStringLiteral("s2.mbdb"));
        saveMbdb({ rec }, out);
        QCOMPARE(fileBytes(out), fileBytes(path));
    }

    void textStopsAtFirstZeroByte()
    {
        MbdbString s;
        s.setBytes(QByteArray("abc\0def", 7));
        QCOMPARE(s.toString(), QStringLiteral("abc"));
    }

    void readsAllOfManyProperties()
    {
        BackupWriter::Record r = fileRecord("HomeDomain", "p");
        for (int i = 0; i < 200; ++i)
            r.properties.append(
                qMakePair(QByteArray::number(i), QByteArray("v") + QByteArray::number(i)));
        const MbdbIndex index
            = loadMbdb(writeIndex(QStringLiteral("p.mbdb"), BackupWriter::serializeIndex({ r })));
        const MbdbRecord rec = index.value(mbdbFileName("HomeDomain", "p"));
        QCOMPARE(rec.Properties.size(), 200);
        QCOMPARE(rec.Properties[199].Value.toString(), QStringLiteral("v199"));
    }

    void laterDuplicateWins()
    {
        BackupWriter::Record a = fileRecord("HomeDomain", "d");
        BackupWriter::Record b = a;
        a.size = 1;
        b.size = 2;
        const MbdbIndex index = loadMbdb(
            writeIndex(QStringLiteral("d.mbdb"), BackupWriter::serializeIndex({ a, b })));
        QCOMPARE(index.size(), 1);
        QCOMPARE(index.begin()->Size, quint64(2));
    }

    void everyTruncationIsAnError()
    {
        BackupWriter::Record r = fileRecord("HomeDomain", "Library/SMS/sms.db");
        r.properties.append(qMakePair(QByteArray("n"), QByteArray("v")));
        const QByteArray full = BackupWriter::serializeIndex({ r, fileRecord("MediaDomain", "m") });
        const int firstEnd = 6 + BackupWriter::serializeRecord(r).size();
        for (int cut = 7; cut < full.size(); ++cut) {
            if (cut == firstEnd)
                continue; // a clean end between records
            const QString path = writeIndex(QStringLiteral("t.mbdb"), full.left(cut));
            bool threw = false;
            try {
                loadMbdb(path);
            } catch (const std::runtime_error &e) {
                threw = true;
                QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("t.mbdb")));
            }
            QVERIFY2(threw, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        }
    }

    void stringLongerThanTheDataIsAnError()
    {
        QByteArray bytes("mbdb\x05\x00", 6);
        bytes += QByteArray("\xFF\xFE", 2) + QByteArray(10, 'a');
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QVERIFY_EXCEPTION_THROWN(readMbdb(&buffer), std::runtime_error);
    }

    void rewriteIsByteIdenticalAndSorted()
    {
        QList<BackupWriter::Record> records = {
            fileRecord("AppDomain-com.example.app", "Documents/a"),
            fileRecord("HomeDomain", "Library"),
            fileRecord("HomeDomain", "Library/SMS"),
            fileRecord("HomeDomain", "Library/SMS/sms.db"),
            fileRecord("HomeDomain", "library"),
            fileRecord("MediaDomain", "Library/SMS/Attachments/ab/IMG.JPG"),
        };
        records[2].encryptionKey = QByteArray(44, 'k');
        const QByteArray expected = BackupWriter::serializeIndex(records);
        const MbdbIndex index = loadMbdb(writeIndex(QStringLiteral("r.mbdb"), expected));
        QCOMPARE(index.size(), records.size());
        const QString out = m_tmp.filePath(QStringLiteral("r2.mbdb"));
        saveMbdb(index.values(), out);
        QCOMPARE(fileBytes(out), expected);
    }

    void sortDecodesOnceAndKeepsTheOrder()
    {
        // Null and empty strings, text after a zero byte, case and non-ASCII texts.
        const QList<QPair<QByteArray, QByteArray>> keys = {
            { "MediaDomain", "Library/SMS" },
            { "HomeDomain", "library" },
            { "HomeDomain", "Library" },
            { QByteArray(), "Z" },
            { "AppDomain-b", QByteArray() },
            { "AppDomain-b", "" },
            { "HomeDomain", QByteArray("Library\0zzz", 11) },
            { "HomeDomain", "Library/\xc3\xa9" },
            { "AppDomain-a", "Documents" },
            { "HomeDomain", "Library/e" },
        };
        QList<MbdbRecord> records;
        for (int i = 0; i < keys.size(); ++i) {
            MbdbRecord r;
            if (!keys[i].first.isNull())
                r.Domain.setBytes(keys[i].first);
            if (!keys[i].second.isNull())
                r.Path.setBytes(keys[i].second);
            r.InodeLow = quint32(i);
            records.append(r);
        }
        QList<MbdbRecord> expected = records;
        std::stable_sort(expected.begin(), expected.end(), mbdbRecordLess);
        sortMbdbRecords(records);
        QCOMPARE(records.size(), expected.size());
        for (int i = 0; i < records.size(); ++i)
            QCOMPARE(records[i].InodeLow, expected[i].InodeLow);
    }

    void failedSaveLeavesOldIndexIntact_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("bytes");
        QTest::newRow("claims more bytes than it holds") << 10 << 3;
        // setBytes keeps the length in 16 bits: these would pass as null or empty strings.
        QTest::newRow("65535 bytes") << -1 << 65535;
        QTest::newRow("65536 bytes") << -1 << 65536;
    }
    void failedSaveLeavesOldIndexIntact()
    {
        QFETCH(int, length);
        QFETCH(int, bytes);
        const QByteArray old = BackupWriter::serializeIndex({ fileRecord("HomeDomain", "old") });
        const QString path = writeIndex(QStringLiteral("keep.mbdb"), old);
        MbdbRecord bad;
        bad.Domain.setBytes("HomeDomain");
        bad.Path.setBytes(QByteArray(bytes, 'p'));
        if (length >= 0)
            bad.Path.Length = quint16(length);
        QVERIFY_EXCEPTION_THROWN(saveMbdb({ bad }, path), std::runtime_error);
        QCOMPARE(fileBytes(path), old);
    }

    // A file-size limit stands for a full disk.
    void fullDiskKeepsOldIndexAndNamesTheFile()
    {
        const QByteArray old = BackupWriter::serializeIndex({ fileRecord("HomeDomain", "old") });
        const QString path = writeIndex(QStringLiteral("full.mbdb"), old);
        QList<MbdbRecord> records;
        for (int i = 0; i < 200; ++i) {
            MbdbRecord r;
            r.Domain.setBytes("HomeDomain");
            r.Path.setBytes("Library/SMS/Attachments/" + QByteArray::number(i));
            records.append(r);
        }
        QString error;
        {
            const FileSizeLimit full(4096);
            try {
                saveMbdb(records, path);
            } catch (const std::runtime_error &e) {
                error = QString::fromUtf8(e.what());
            }
        }
        QCOMPARE(error,
            QDir::toNativeSeparators(path) + QStringLiteral(": ")
                + QString::fromLocal8Bit(std::strerror(EFBIG)));
        QCOMPARE(fileBytes(path), old);
    }

    void directoryTestIgnoresMode_data()
    {
        QTest::addColumn<quint64>("size");
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<bool>("isDir");
        QTest::newRow("empty regular file") << quint64(0) << QByteArray() << true;
        QTest::newRow("file") << quint64(5) << QByteArray() << false;
        QTest::newRow("link") << quint64(0) << QByteArray("/x") << false;
    }
    void directoryTestIgnoresMode()
    {
        QFETCH(quint64, size);
        QFETCH(QByteArray, link);
        QFETCH(bool, isDir);
        MbdbRecord r;
        r.Mode = 0100644;
        r.Size = size;
        if (!link.isNull())
            r.LinkTarget.setBytes(link);
        QCOMPARE(r.isDirectory(), isDir);
    }

    void addFileCreatesMissingFolders()
    {
        MbdbIndex index;
        MbdbRecord sms;
        sms.Domain.setBytes("MediaDomain");
        sms.Path.setBytes("Library/SMS");
        sms.InodeLow = 7;
        index.insert(sms.fileName(), sms);
        const QString local = writeIndex(QStringLiteral("IMG_0001.JPG"), QByteArray("jpeg"));
        addMbdbFile(index, local, QStringLiteral("MediaDomain"),
            QStringLiteral("Library/SMS/Attachments/ab/12/IMG_0001.JPG"));
        QCOMPARE(index.size(), 5);
        const auto rec = [&](const char *p) { return index.value(mbdbFileName("MediaDomain", p)); };
        QCOMPARE(rec("Library/SMS/Attachments/ab/12").InodeLow, quint32(8));
        QCOMPARE(rec("Library/SMS/Attachments/ab").InodeLow, quint32(9));
        QCOMPARE(rec("Library/SMS/Attachments").InodeLow, quint32(10));
        QCOMPARE(rec("Library/SMS/Attachments").Mode, quint16(16832));
        const MbdbRecord file = rec("Library/SMS/Attachments/ab/12/IMG_0001.JPG");
        QCOMPARE(file.InodeLow, quint32(11));
        QCOMPARE(file.Mode, quint16(33188));
        QCOMPARE(file.Size, quint64(4));
        QCOMPARE(file.DataHash.Bytes, QCryptographicHash::hash("jpeg", QCryptographicHash::Sha1));
        QCOMPARE(file.ProtectionClass, quint8(4));
    }

    void addFileCountsOnFromLargestSignedInode_data()
    {
        QTest::addColumn<quint32>("existing");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("largest signed") << quint32(0x7FFFFFFF) << quint32(0x80000000);
        QTest::newRow("negative ignored") << quint32(0x80000000) << quint32(1);
        QTest::newRow("ordinary") << quint32(41) << quint32(42);
    }
    void addFileCountsOnFromLargestSignedInode()
    {
        QFETCH(quint32, existing);
        QFETCH(quint32, expected);
        MbdbIndex index;
        MbdbRecord r;
        r.Domain.setBytes("HomeDomain");
        r.Path.setBytes("other");
        r.InodeLow = existing;
        index.insert(r.fileName(), r);
        addMbdbFile(index, writeIndex(QStringLiteral("n"), "x"), QStringLiteral("HomeDomain"),
            QStringLiteral("new.db"));
        QCOMPARE(index.value(mbdbFileName("HomeDomain", "new.db")).InodeLow, expected);
    }

    void addFileWithoutFolderParts_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("no slash") << QStringLiteral("top.db");
        QTest::newRow("leading slash") << QStringLiteral("/top.db");
    }
    void addFileWithoutFolderParts()
    {
        QFETCH(QString, path);
        MbdbIndex index;
        addMbdbFile(
            index, writeIndex(QStringLiteral("top"), "x"), QStringLiteral("HomeDomain"), path);
        QCOMPARE(index.size(), 1);
        QCOMPARE(index.begin()->Path.toString(), path);
    }

    void addFileRefreshesExistingRecord()
    {
        MbdbIndex index;
        MbdbRecord r;
        r.Domain.setBytes("HomeDomain");
        r.Path.setBytes("Library/SMS/sms.db");
        r.Mode = 0100600;
        r.InodeLow = 3;
        r.Size = 1;
        r.ProtectionClass = 3;
        index.insert(r.fileName(), r);
        const QString local = writeIndex(QStringLiteral("sms.db"), QByteArray(300, 's'));
        addMbdbFile(
            index, local, QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
        const MbdbRecord after = index.value(r.fileName());
        QCOMPARE(after.Mode, r.Mode);
        QCOMPARE(after.InodeLow, r.InodeLow);
        QCOMPARE(after.ProtectionClass, r.ProtectionClass);
        QCOMPARE(after.DataHash.Length, quint16(20));
        QCOMPARE(after.Mtime, quint32(QFileInfo(local).lastModified().toSecsSinceEpoch()));
        // The index must describe the file that now lies in the backup.
        QCOMPARE(after.Size, quint64(300));
    }

    void unreadableLocalFileGivesEmptyHash()
    {
        QVERIFY(sha1OfFile(m_tmp.filePath(QStringLiteral("missing"))).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_Mbdb)
#include "tst_mbdb.moc"
