// The encryption of backups as the backup tool does it: a keybag of class keys wrapped under
// a key derived from the backup password, a random key per file wrapped under its class key,
// and the files in AES-256-CBC with a zero IV and PKCS#7 padding.
#pragma once

#include <QByteArray>
#include <QMap>

#include <mbedtls/aes.h>

class BackupKeys
{
public:
    // The protection class the tool gives every file.
    static constexpr int fileClass = 3;

    // New class keys wrapped under the password; the keybag blob is keybag().
    static BackupKeys create(const QByteArray &password);
    // The class keys of an existing keybag; false when the password does not open it.
    static bool unlock(const QByteArray &keybag, const QByteArray &password, BackupKeys *keys);

    QByteArray keybag() const { return m_keybag; }
    // A new random file key and its wrapped form as the index keeps it.
    QByteArray newFileKey(QByteArray *wrapped) const;
    // The file key of an index entry; empty when it cannot be unwrapped.
    QByteArray fileKey(const QByteArray &wrapped) const;

private:
    QByteArray m_keybag;
    QMap<quint32, QByteArray> m_classKeys;
};

QByteArray randomBytes(int count);
// RFC 3394 with a 256-bit key-encryption key; unwrap gives empty on an integrity failure.
QByteArray aesWrap(const QByteArray &kek, const QByteArray &plain);
QByteArray aesUnwrap(const QByteArray &kek, const QByteArray &wrapped);

// AES-256-CBC over a stream of chunks; the last chunk is padded or unpadded.
class CbcStream
{
public:
    CbcStream(const QByteArray &key, bool encrypt);
    ~CbcStream();
    CbcStream(const CbcStream &) = delete;
    CbcStream &operator=(const CbcStream &) = delete;

    // Whole blocks of what has come so far; the rest waits for more or for finish().
    QByteArray update(const QByteArray &chunk);
    // Encrypting: the padded last block. Decrypting: the last block without its padding;
    // false when the padding is wrong.
    bool finish(QByteArray *out);

private:
    // The first `length` pending bytes, run through the cipher and taken off.
    QByteArray take(int length);

    mbedtls_aes_context m_aes;
    unsigned char m_iv[16] = {};
    bool m_encrypt;
    QByteArray m_pending;
};
