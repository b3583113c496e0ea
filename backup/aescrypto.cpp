#include "aescrypto.h"

#include <cstring>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

namespace {

const unsigned char kDefaultIv[8] = { 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6 };

} // namespace

QByteArray aesKeyUnwrap(const QByteArray &kek, const QByteArray &wrapped)
{
    const int n = wrapped.size() / 8 - 1; // key-data blocks
    if (wrapped.size() < 16 || kek.size() < 32)
        return QByteArray();

    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    if (mbedtls_aes_setkey_dec(&ctx, reinterpret_cast<const unsigned char *>(kek.constData()), 256)
        != 0) {
        mbedtls_aes_free(&ctx);
        return QByteArray();
    }

    unsigned char a[8];
    memcpy(a, wrapped.constData(), 8);
    QByteArray r = wrapped.mid(8, n * 8);
    auto *rp = reinterpret_cast<unsigned char *>(r.data());
    unsigned char block[16];
    for (int j = 5; j >= 0; --j) {
        for (int i = n; i >= 1; --i) {
            quint64 t = static_cast<quint64>(n) * static_cast<quint64>(j) + static_cast<quint64>(i);
            memcpy(block, a, 8);
            for (int k = 7; k >= 0; --k) {
                block[k] ^= static_cast<unsigned char>(t & 0xFF);
                t >>= 8;
            }
            memcpy(block + 8, rp + (i - 1) * 8, 8);
            mbedtls_aes_crypt_ecb(&ctx, MBEDTLS_AES_DECRYPT, block, block);
            memcpy(a, block, 8);
            memcpy(rp + (i - 1) * 8, block + 8, 8);
        }
    }
    mbedtls_aes_free(&ctx);
    memset(block, 0, sizeof block);
    if (memcmp(a, kDefaultIv, 8) != 0)
        return QByteArray();
    return r;
}

bool setAesDecryptKey256(mbedtls_aes_context *ctx, const QByteArray &key)
{
    if (key.size() < 32)
        return false;
    return mbedtls_aes_setkey_dec(
               ctx, reinterpret_cast<const unsigned char *>(key.constData()), 256)
        == 0;
}

QByteArray aesCbcDecrypt(mbedtls_aes_context *ctx, unsigned char iv[16], const QByteArray &input)
{
    QByteArray output = input;
    if (!aesCbcDecryptInPlace(ctx, iv, output.data(), static_cast<size_t>(output.size())))
        return QByteArray();
    return output;
}

bool aesCbcDecryptInPlace(mbedtls_aes_context *ctx, unsigned char iv[16], char *data, size_t size)
{
    if (size % 16 != 0)
        return false;
    auto *p = reinterpret_cast<unsigned char *>(data);
    return mbedtls_aes_crypt_cbc(ctx, MBEDTLS_AES_DECRYPT, size, iv, p, p) == 0;
}

QByteArray pbkdf2HmacSha1(
    const QByteArray &password, const QByteArray &salt, unsigned int iterations, int keyLength)
{
    if (keyLength <= 0 || iterations == 0)
        return QByteArray();
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    QByteArray key(keyLength, '\0');
    const int rc = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1);
    const int rc2 = rc != 0
        ? rc
        : mbedtls_pkcs5_pbkdf2_hmac(&md,
            reinterpret_cast<const unsigned char *>(password.constData()),
            static_cast<size_t>(password.size()),
            reinterpret_cast<const unsigned char *>(salt.constData()),
            static_cast<size_t>(salt.size()), iterations, static_cast<uint32_t>(keyLength),
            reinterpret_cast<unsigned char *>(key.data()));
    mbedtls_md_free(&md);
    return rc2 == 0 ? key : QByteArray();
}
