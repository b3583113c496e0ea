#include "backup/aescrypto.h"
#include "backup/keybag.h"
#include "support/backupwriter.h"

#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

const QByteArray rfcKek = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
const QByteArray rfcKeyData
    = hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
const QByteArray rfcWrapped = hex("28C9F404C4B810F4 CBCCB35CFB87F826 3F5786E2D80ED326 "
                                  "CBC7F0E71A99F43B FB988B9B7A02DD21");

QByteArray item(const char *tag, const QByteArray &value)
{
    return BackupWriter::keybagItem(tag, value);
}

QByteArray u32(quint32 v)
{
    return BackupWriter::u32be(v);
}

} // namespace

class tst_Keybag : public QObject
{
    Q_OBJECT

private slots:
    void unwrapMatchesRfc3394Example()
    {
        QCOMPARE(aesKeyUnwrap(rfcKek, rfcWrapped), rfcKeyData);
        QCOMPARE(BackupWriter::aesKeyWrap(rfcKek, rfcKeyData), rfcWrapped);
    }

    void unwrapRejectsDamagedInput_data()
    {
        QTest::addColumn<QByteArray>("wrapped");
        for (int bit : { 0, 7, 100, 319 }) {
            QByteArray flipped = rfcWrapped;
            flipped[bit / 8] = char(flipped[bit / 8] ^ (1 << (bit % 8)));
            QTest::newRow(qPrintable(QStringLiteral("bit %1").arg(bit))) << flipped;
        }
        QTest::newRow("short") << rfcWrapped.left(15);
        QTest::newRow("empty") << QByteArray();
    }
    void unwrapRejectsDamagedInput()
    {
        QFETCH(QByteArray, wrapped);
        QVERIFY(aesKeyUnwrap(rfcKek, wrapped).isEmpty());
    }

    void pbkdf2MatchesRfc6070_data()
    {
        QTest::addColumn<uint>("iterations");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("1") << 1u << hex("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("2") << 2u << hex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("4096") << 4096u << hex("4b007901b765489abead49d926f721d065a429c1");
    }
    void pbkdf2MatchesRfc6070()
    {
        QFETCH(uint, iterations);
        QFETCH(QByteArray, expected);
        QCOMPARE(pbkdf2HmacSha1("password", "salt", iterations, 20), expected);
    }

    void cbcChunksChainAsOneStream()
    {
        const QByteArray key(32, 'k');
        const QByteArray plain = QByteArray(100, 'p') + QByteArray(60, 'q');
        const QByteArray cipher = BackupWriter::aesCbcEncrypt(key, plain); // 176 bytes
        mbedtls_aes_context ctx;
        mbedtls_aes_init(&ctx);
        QVERIFY(setAesDecryptKey256(&ctx, key));
        unsigned char iv[16] = {};
        QByteArray out = aesCbcDecrypt(&ctx, iv, cipher.left(64));
        out += aesCbcDecrypt(&ctx, iv, cipher.mid(64));
        QVERIFY(aesCbcDecrypt(&ctx, iv, QByteArray(15, 'x')).isEmpty());
        mbedtls_aes_free(&ctx);
        QCOMPARE(out.left(plain.size()), plain);
    }

    void cbcMatchesBlockByBlockDecryption_data()
    {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("split");
        QTest::addColumn<int>("misalign");
        for (int blocks : { 1, 7, 8, 9, 16, 17, 40 }) {
            for (int split : { 0, 1, 8, blocks / 2 })
                QTest::newRow(
                    qPrintable(QStringLiteral("%1 blocks, split %2").arg(blocks).arg(split)))
                    << blocks << std::min(split, blocks) << 0;
        }
        QTest::newRow("17 blocks, odd address") << 17 << 9 << 1;
        QTest::newRow("33 blocks, address + 7") << 33 << 0 << 7;
    }
    void cbcMatchesBlockByBlockDecryption()
    {
        QFETCH(int, blocks);
        QFETCH(int, split);
        QFETCH(int, misalign);
        QByteArray key(32, '\0');
        QByteArray data(blocks * 16, '\0');
        for (int i = 0; i < key.size(); ++i)
            key[i] = char(i * 11 + 3);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 + blocks);

        // Reference: mbedTLS one block at a time, the CBC definition spelled out.
        mbedtls_aes_context ref;
        mbedtls_aes_init(&ref);
        mbedtls_aes_setkey_dec(&ref, reinterpret_cast<const unsigned char *>(key.constData()), 256);
        QByteArray expected(data.size(), '\0');
        unsigned char prev[16] = { 9 };
        for (int b = 0; b < blocks; ++b) {
            unsigned char out[16];
            const auto *in = reinterpret_cast<const unsigned char *>(data.constData()) + b * 16;
            mbedtls_aes_crypt_ecb(&ref, MBEDTLS_AES_DECRYPT, in, out);
            for (int k = 0; k < 16; ++k)
                expected[b * 16 + k] = char(out[k] ^ prev[k]);
            memcpy(prev, in, 16);
        }
        mbedtls_aes_free(&ref);

        mbedtls_aes_context ctx;
        mbedtls_aes_init(&ctx);
        QVERIFY(setAesDecryptKey256(&ctx, key));
        unsigned char iv[16] = { 9 };
        QByteArray buffer = QByteArray(misalign, 'p') + data + "guard";
        char *actual = buffer.data() + misalign;
        QVERIFY(aesCbcDecryptInPlace(&ctx, iv, actual, size_t(split) * 16));
        QVERIFY(aesCbcDecryptInPlace(&ctx, iv, actual + split * 16, size_t(blocks - split) * 16));
        mbedtls_aes_free(&ctx);
        QCOMPARE(buffer.mid(misalign, data.size()), expected);
        QCOMPARE(buffer.left(misalign), QByteArray(misalign, 'p'));
        QVERIFY(buffer.endsWith("guard"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(iv), 16),
            QByteArray(reinterpret_cast<const char *>(prev), 16));
    }

    void parseSplitsHeaderAndClasses()
    {
        QByteArray blob = item("VERS", u32(3)) + item("UUID", "h-uuid") + item("WRAP", u32(0))
            + item("SALT", "salt") + item("ITER", u32(10));
        for (quint32 cls : { 1u, 2u }) {
            blob += item("UUID", "c-uuid") + item("CLAS", u32(cls)) + item("WRAP", u32(2))
                + item("KTYP", u32(0)) + item("WPKY", QByteArray(40, 'w'));
        }
        blob += item("UUID", "orphan") + item("WRAP", u32(2)); // no CLAS: not kept
        const Keybag kb = Keybag::parse(blob);
        QCOMPARE(kb.header.keys(), QStringList({ "ITER", "SALT", "UUID", "VERS", "WRAP" }));
        QCOMPARE(kb.header.value("UUID"), QByteArray("h-uuid"));
        QCOMPARE(kb.classes.keys(), QList<qint32>({ 1, 2 }));
        QCOMPARE(kb.classes[2].keys(), QStringList({ "CLAS", "KTYP", "UUID", "WPKY", "WRAP" }));
        QCOMPARE(Keybag::tagValueU32(kb.header, "ITER"), 10u);
    }

    void parseNeverReadsPastTheEnd_data()
    {
        QTest::addColumn<QByteArray>("blob");
        const QByteArray good = item("UUID", "u") + item("CLAS", u32(1));
        QTest::newRow("length past end") << good + QByteArray("WPKY\xFF\xFF\xFF\xF0", 8) + "abc";
        QTest::newRow("half a header") << good + QByteArray("WPK");
        QTest::newRow("huge first length") << QByteArray("UUID\x7F\xFF\xFF\xFF", 8);
    }
    void parseNeverReadsPastTheEnd()
    {
        QFETCH(QByteArray, blob);
        const Keybag kb = Keybag::parse(blob);
        QVERIFY(!kb.classes.value(1).contains("WPKY"));
    }

    void unlockWithWriterKeybag()
    {
        BackupWriter writer(QStringLiteral("unused"));
        writer.setEncrypted("secret", 7);
        Keybag kb = Keybag::parse(writer.keybagBlob());
        QCOMPARE(kb.classes.size(), 11);
        QVERIFY(!Keybag::unlock(kb, "wrong"));
        kb = Keybag::parse(writer.keybagBlob());
        QVERIFY(Keybag::unlock(kb, "secret"));
        for (int cls = 1; cls <= 11; ++cls)
            QCOMPARE(kb.classes[cls].value("KEY"), writer.classKey(cls));
    }

    void classNotWrappedByPasscodeGetsNoKey()
    {
        const QByteArray blob = item("UUID", "h") + item("WRAP", u32(0)) + item("SALT", "s")
            + item("ITER", u32(1)) + item("UUID", "c") + item("CLAS", u32(4)) + item("WRAP", u32(1))
            + item("WPKY", QByteArray(40, 'w'));
        Keybag kb = Keybag::parse(blob);
        QVERIFY(Keybag::unlock(kb, "anything"));
        QVERIFY(!kb.classes[4].contains("KEY"));
        QVERIFY(Keybag::unwrapFileKey(kb, 4, QByteArray(40, 'f')).isEmpty());
    }

    void keybagWithoutClassesUnlocksWithAnyPasscode()
    {
        Keybag kb = Keybag::parse(item("UUID", "h") + item("WRAP", u32(0)));
        QVERIFY(Keybag::unlock(kb, "whatever"));
    }

    void unusableIterationCountIsRefused_data()
    {
        QTest::addColumn<QByteArray>("iter");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("short") << QByteArray("\x01", 1);
        QTest::newRow("zero") << u32(0);
        QTest::newRow("above bound") << u32(Keybag::MaxIterations + 1);
        QTest::newRow("ten million") << u32(10000000);
        QTest::newRow("huge") << u32(0xFFFFFFFF);
    }
    void unusableIterationCountIsRefused()
    {
        QFETCH(QByteArray, iter);
        QByteArray blob = item("UUID", "h") + item("WRAP", u32(0)) + item("SALT", "s");
        if (!iter.isNull())
            blob += item("ITER", iter);
        blob += item("UUID", "c") + item("CLAS", u32(1)) + item("WRAP", u32(2))
            + item("WPKY", QByteArray(40, 'w'));
        Keybag kb = Keybag::parse(blob);
        QVERIFY(!Keybag::problem(kb).isEmpty());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!Keybag::unlock(kb, "pw"));
        QVERIFY(timer.elapsed() < 2000);
    }

    void usualIterationCountIsAccepted()
    {
        const QByteArray blob = item("UUID", "h") + item("WRAP", u32(0)) + item("SALT", "s")
            + item("ITER", u32(10000)) + item("UUID", "c") + item("CLAS", u32(1))
            + item("WRAP", u32(2)) + item("WPKY", QByteArray(40, 'w'));
        QCOMPARE(Keybag::problem(Keybag::parse(blob)), QString());
    }

    void fileKeyNeedsExactly40Bytes_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("unwraps");
        QTest::newRow("39") << 39 << false;
        QTest::newRow("40") << 40 << true;
        QTest::newRow("41") << 41 << false;
    }
    void fileKeyNeedsExactly40Bytes()
    {
        QFETCH(int, length);
        QFETCH(bool, unwraps);
        Keybag kb;
        const QByteArray classKey(32, 'c');
        kb.classes[3].insert("KEY", classKey);
        const QByteArray fileKey(32, 'f');
        QByteArray wrapped = BackupWriter::aesKeyWrap(classKey, fileKey);
        wrapped = wrapped.leftJustified(length, 'x', true);
        QCOMPARE(Keybag::unwrapFileKey(kb, 3, wrapped) == fileKey, unwraps);
        QVERIFY(
            Keybag::unwrapFileKey(kb, 2, BackupWriter::aesKeyWrap(classKey, fileKey)).isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_Keybag)
#include "tst_keybag.moc"
