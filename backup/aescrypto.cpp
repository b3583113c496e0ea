#include "aescrypto.h"

#include <cstring>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#if defined(__x86_64__) && defined(MBEDTLS_AESNI_C)
#include <immintrin.h>
#include <mbedtls/aesni.h>
#define QM_AESNI_CBC 1
#endif

namespace {

const unsigned char kDefaultIv[8] = { 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6 };

#ifdef QM_AESNI_CBC
// mbedTLS decrypts CBC one block at a time; CBC decryption of independent blocks pipelines
// well, which AES-NI needs to reach disk speed. The round keys are the ones mbedTLS's own
// AES-NI path uses (its setkey_dec stores them in aesdec order when AES-NI is present).
__attribute__((target("aes,sse2"))) void cbcDecryptAesni(
    const mbedtls_aes_context *ctx, unsigned char iv[16], unsigned char *p, size_t blocks)
{
    const int nr = ctx->nr;
    const auto *rk = reinterpret_cast<const __m128i *>(ctx->rk);
    __m128i keys[15];
    for (int r = 0; r <= nr; ++r)
        keys[r] = _mm_loadu_si128(rk + r);
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i *>(iv));
    auto *blk = reinterpret_cast<__m128i *>(p);
    size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i c[8];
        __m128i b[8];
        for (int k = 0; k < 8; ++k) {
            c[k] = _mm_loadu_si128(blk + i + k);
            b[k] = _mm_xor_si128(c[k], keys[0]);
        }
        for (int r = 1; r < nr; ++r) {
            for (int k = 0; k < 8; ++k)
                b[k] = _mm_aesdec_si128(b[k], keys[r]);
        }
        for (int k = 0; k < 8; ++k)
            b[k] = _mm_aesdeclast_si128(b[k], keys[nr]);
        _mm_storeu_si128(blk + i, _mm_xor_si128(b[0], prev));
        for (int k = 1; k < 8; ++k)
            _mm_storeu_si128(blk + i + k, _mm_xor_si128(b[k], c[k - 1]));
        prev = c[7];
    }
    for (; i < blocks; ++i) {
        const __m128i c = _mm_loadu_si128(blk + i);
        __m128i b = _mm_xor_si128(c, keys[0]);
        for (int r = 1; r < nr; ++r)
            b = _mm_aesdec_si128(b, keys[r]);
        b = _mm_aesdeclast_si128(b, keys[nr]);
        _mm_storeu_si128(blk + i, _mm_xor_si128(b, prev));
        prev = c;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(iv), prev);
}

// True when the fast path decrypts exactly as mbedTLS does on this machine and build.
bool aesniMatchesMbedtls()
{
    if (!mbedtls_aesni_has_support(MBEDTLS_AESNI_AES))
        return false;
    unsigned char key[32];
    unsigned char data[16 * 9];
    for (unsigned i = 0; i < sizeof key; ++i)
        key[i] = static_cast<unsigned char>(i * 7 + 1);
    for (unsigned i = 0; i < sizeof data; ++i)
        data[i] = static_cast<unsigned char>(i * 13 + 5);
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_dec(&ctx, key, 256);
    unsigned char a[sizeof data];
    unsigned char b[sizeof data];
    memcpy(a, data, sizeof data);
    memcpy(b, data, sizeof data);
    unsigned char ivA[16] = { 3 };
    unsigned char ivB[16] = { 3 };
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_DECRYPT, sizeof a, ivA, a, a);
    cbcDecryptAesni(&ctx, ivB, b, sizeof b / 16);
    mbedtls_aes_free(&ctx);
    return memcmp(a, b, sizeof a) == 0 && memcmp(ivA, ivB, 16) == 0;
}
#endif

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
#ifdef QM_AESNI_CBC
    static const bool fast = aesniMatchesMbedtls();
    // Only schedules mbedTLS made for a real AES key size match the round count it holds.
    if (fast && (ctx->nr == 10 || ctx->nr == 12 || ctx->nr == 14)) {
        cbcDecryptAesni(ctx, iv, p, size / 16);
        return true;
    }
#endif
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
