#include "backupcrypto.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <cstring>

namespace {

constexpr quint32 iterations = 10000;
// The classes of a phone's backup keybag; the tool uses one of them for every file.
const quint32 classNumbers[] = { 1, 2, 3, 4, 6, 7, 8, 9, 10, 11 };
constexpr quint32 wrappedByPassword = 2;
const unsigned char defaultIv[8] = { 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6 };

QByteArray u32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray item(const char *tag, const QByteArray &value)
{
    return QByteArray(tag, 4) + u32(static_cast<quint32>(value.size())) + value;
}

QByteArray passwordKey(const QByteArray &password, const QByteArray &salt, quint32 rounds)
{
    QByteArray key(32, '\0');
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    const bool ok = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1) == 0
        && mbedtls_pkcs5_pbkdf2_hmac(&md,
               reinterpret_cast<const unsigned char *>(password.constData()),
               static_cast<size_t>(password.size()),
               reinterpret_cast<const unsigned char *>(salt.constData()),
               static_cast<size_t>(salt.size()), rounds, 32,
               reinterpret_cast<unsigned char *>(key.data()))
            == 0;
    mbedtls_md_free(&md);
    return ok ? key : QByteArray();
}

quint32 u32At(const QByteArray &value)
{
    return value.size() < 4 ? 0 : qFromBigEndian<quint32>(value.constData());
}

} // namespace

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return bytes;
}

QByteArray aesWrap(const QByteArray &kek, const QByteArray &plain)
{
    if (kek.size() != 32 || plain.size() % 8 != 0 || plain.isEmpty())
        return QByteArray();
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, reinterpret_cast<const unsigned char *>(kek.constData()), 256);
    const int n = plain.size() / 8;
    unsigned char a[8];
    std::memcpy(a, defaultIv, 8);
    QByteArray r = plain;
    for (int j = 0; j < 6; ++j) {
        for (int i = 1; i <= n; ++i) {
            unsigned char block[16];
            std::memcpy(block, a, 8);
            std::memcpy(block + 8, r.constData() + (i - 1) * 8, 8);
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, block, block);
            const quint64 t = quint64(n) * quint64(j) + quint64(i);
            std::memcpy(a, block, 8);
            for (int k = 0; k < 8; ++k)
                a[7 - k] ^= static_cast<unsigned char>(t >> (8 * k));
            std::memcpy(r.data() + (i - 1) * 8, block + 8, 8);
        }
    }
    mbedtls_aes_free(&aes);
    return QByteArray(reinterpret_cast<const char *>(a), 8) + r;
}

QByteArray aesUnwrap(const QByteArray &kek, const QByteArray &wrapped)
{
    if (kek.size() != 32 || wrapped.size() < 24 || wrapped.size() % 8 != 0)
        return QByteArray();
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_dec(&aes, reinterpret_cast<const unsigned char *>(kek.constData()), 256);
    const int n = wrapped.size() / 8 - 1;
    unsigned char a[8];
    std::memcpy(a, wrapped.constData(), 8);
    QByteArray r = wrapped.mid(8);
    for (int j = 5; j >= 0; --j) {
        for (int i = n; i >= 1; --i) {
            const quint64 t = quint64(n) * quint64(j) + quint64(i);
            unsigned char block[16];
            std::memcpy(block, a, 8);
            for (int k = 0; k < 8; ++k)
                block[7 - k] ^= static_cast<unsigned char>(t >> (8 * k));
            std::memcpy(block + 8, r.constData() + (i - 1) * 8, 8);
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_DECRYPT, block, block);
            std::memcpy(a, block, 8);
            std::memcpy(r.data() + (i - 1) * 8, block + 8, 8);
        }
    }
    mbedtls_aes_free(&aes);
    return std::memcmp(a, defaultIv, 8) == 0 ? r : QByteArray();
}

BackupKeys BackupKeys::create(const QByteArray &password)
{
    BackupKeys keys;
    const QByteArray salt = randomBytes(20);
    const QByteArray key = passwordKey(password, salt, iterations);
    QByteArray blob = item("VERS", u32(3)) + item("TYPE", u32(1)) + item("UUID", randomBytes(16))
        + item("WRAP", u32(0)) + item("SALT", salt) + item("ITER", u32(iterations));
    for (quint32 number : classNumbers) {
        const QByteArray classKey = randomBytes(32);
        keys.m_classKeys.insert(number, classKey);
        blob += item("UUID", randomBytes(16)) + item("CLAS", u32(number))
            + item("WRAP", u32(wrappedByPassword)) + item("KTYP", u32(0))
            + item("WPKY", aesWrap(key, classKey));
    }
    keys.m_keybag = blob;
    return keys;
}

bool BackupKeys::unlock(const QByteArray &keybag, const QByteArray &password, BackupKeys *keys)
{
    // Items in order: the keybag's own, then each class from its second "UUID" on.
    QMap<QByteArray, QByteArray> header;
    QList<QMap<QByteArray, QByteArray>> classes;
    for (int at = 0; at + 8 <= keybag.size();) {
        const QByteArray tag = keybag.mid(at, 4);
        const quint32 length = u32At(keybag.mid(at + 4, 4));
        if (length > quint32(keybag.size() - at - 8))
            break;
        const QByteArray value = keybag.mid(at + 8, static_cast<int>(length));
        at += 8 + static_cast<int>(length);
        if (tag == "UUID" && header.contains("UUID"))
            classes.append(QMap<QByteArray, QByteArray>());
        (classes.isEmpty() ? header : classes.last()).insert(tag, value);
    }
    const quint32 rounds = u32At(header.value("ITER"));
    if (rounds == 0 || rounds > 10000000)
        return false;
    const QByteArray key = passwordKey(password, header.value("SALT"), rounds);
    BackupKeys result;
    for (const auto &entry : classes) {
        if (!entry.contains("CLAS") || !entry.contains("WPKY")
            || !(u32At(entry.value("WRAP")) & wrappedByPassword))
            continue;
        const QByteArray classKey = aesUnwrap(key, entry.value("WPKY"));
        if (classKey.isEmpty())
            return false;
        result.m_classKeys.insert(u32At(entry.value("CLAS")), classKey);
    }
    // New files of a kept backup are wrapped under this class.
    if (!result.m_classKeys.contains(fileClass))
        return false;
    result.m_keybag = keybag;
    *keys = result;
    return true;
}

QByteArray BackupKeys::newFileKey(QByteArray *wrapped) const
{
    const QByteArray key = randomBytes(32);
    QByteArray prefix(4, '\0');
    qToLittleEndian<quint32>(fileClass, prefix.data());
    *wrapped = prefix + aesWrap(m_classKeys.value(fileClass), key);
    return key;
}

QByteArray BackupKeys::fileKey(const QByteArray &wrapped) const
{
    if (wrapped.size() != 44)
        return QByteArray();
    const quint32 number = qFromLittleEndian<quint32>(wrapped.constData());
    return aesUnwrap(m_classKeys.value(number), wrapped.mid(4));
}

CbcStream::CbcStream(const QByteArray &key, bool encrypt)
    : m_encrypt(encrypt)
{
    mbedtls_aes_init(&m_aes);
    const auto *bytes = reinterpret_cast<const unsigned char *>(key.constData());
    if (encrypt)
        mbedtls_aes_setkey_enc(&m_aes, bytes, 256);
    else
        mbedtls_aes_setkey_dec(&m_aes, bytes, 256);
}

CbcStream::~CbcStream()
{
    mbedtls_aes_free(&m_aes);
}

QByteArray CbcStream::update(const QByteArray &chunk)
{
    m_pending += chunk;
    // Decrypting keeps the last block back: it carries the padding.
    int whole = m_pending.size() / 16 * 16;
    if (!m_encrypt && whole == m_pending.size())
        whole -= 16;
    return whole > 0 ? take(whole) : QByteArray();
}

QByteArray CbcStream::take(int length)
{
    QByteArray out(length, Qt::Uninitialized);
    mbedtls_aes_crypt_cbc(&m_aes, m_encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT,
        static_cast<size_t>(length), m_iv,
        reinterpret_cast<const unsigned char *>(m_pending.constData()),
        reinterpret_cast<unsigned char *>(out.data()));
    m_pending.remove(0, length);
    return out;
}

bool CbcStream::finish(QByteArray *out)
{
    if (m_encrypt) {
        const int pad = 16 - m_pending.size() % 16;
        m_pending.append(QByteArray(pad, static_cast<char>(pad)));
    } else if (m_pending.size() != 16) {
        return false;
    }
    QByteArray last = take(m_pending.size());
    if (!m_encrypt) {
        const int pad = static_cast<unsigned char>(last.at(15));
        if (pad < 1 || pad > 16)
            return false;
        last.chop(pad);
    }
    *out = last;
    return true;
}
