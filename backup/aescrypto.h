// The AES, key-unwrap and PBKDF2 helpers that unlock and decrypt encrypted backups.
#pragma once

#include <QByteArray>
#include <cstddef>
#include <mbedtls/aes.h>

// RFC 3394 unwrap with a 256-bit key-encryption key and the default initial value;
// empty when the input is shorter than 16 bytes or the integrity check fails.
QByteArray aesKeyUnwrap(const QByteArray &kek, const QByteArray &wrapped);
// Decryption key schedule from the first 32 bytes of the key; false when it is shorter.
bool setAesDecryptKey256(mbedtls_aes_context *ctx, const QByteArray &key);
// CBC decryption; the IV is left at the last ciphertext block so chunks chain as one stream.
// Empty when the input length is not a multiple of 16.
QByteArray aesCbcDecrypt(mbedtls_aes_context *ctx, unsigned char iv[16], const QByteArray &input);
// The same in place, for large chunks.
bool aesCbcDecryptInPlace(mbedtls_aes_context *ctx, unsigned char iv[16], char *data, size_t size);
// PBKDF2-HMAC-SHA1; empty on failure.
QByteArray pbkdf2HmacSha1(
    const QByteArray &password, const QByteArray &salt, unsigned int iterations, int keyLength);
