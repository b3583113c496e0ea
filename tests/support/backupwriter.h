// Builds synthetic iTunes backup folders for tests: Manifest.plist, Status.plist,
// Manifest.mbdb and the stored files, optionally encrypted under a password. Its own
// serialisers, independent of the code under test.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

class BackupWriter
{
public:
    // A null QByteArray is written as a null string (0xFFFF), an empty one as length 0.
    struct Record
    {
        QByteArray domain;
        QByteArray path;
        QByteArray linkTarget;
        QByteArray dataHash;
        QByteArray encryptionKey;
        quint16 mode = 0;
        quint32 inodeHigh = 0;
        quint32 inodeLow = 0;
        quint32 uid = 501;
        quint32 gid = 501;
        quint32 mtime = 0;
        quint32 atime = 0;
        quint32 ctime = 0;
        quint64 size = 0;
        quint8 protectionClass = 0;
        QList<QPair<QByteArray, QByteArray>> properties;
    };

    explicit BackupWriter(const QString &folder);

    void setDevice(const QString &udid, const QString &name);
    void setManifestDate(const QDateTime &date) { m_date = date; }
    // Encrypts files and writes a keybag whose class keys are wrapped under the password.
    void setEncrypted(const QByteArray &password, quint32 iterations = 16);

    void addFolder(const QString &domain, const QString &path, quint32 mtime = 1400000000);
    // Stores the contents under their file id; returns the index of the record.
    int addFile(const QString &domain, const QString &path, const QByteArray &contents,
        quint32 mtime = 1400000000, quint8 protectionClass = 3);
    // Adds folder records for the parents of the path that have none yet (the domain's root
    // record included), then the file.
    int addFileWithFolders(const QString &domain, const QString &path, const QByteArray &contents,
        quint32 mtime = 1400000000, quint8 protectionClass = 3);
    // The same with the contents of a local file (such as a fixture's database).
    int addLocalFile(const QString &domain, const QString &path, const QString &localPath,
        quint32 mtime = 1400000000, quint8 protectionClass = 3);
    // Index of the record of (domain, path), or -1.
    int indexOf(const QString &domain, const QString &path) const;
    QList<Record> &records() { return m_records; }
    // Stored bytes by record index (ciphertext for an encrypted backup); editable before write().
    QByteArray &storedData(int recordIndex) { return m_stored[recordIndex].second; }

    // Writes every file of the backup folder.
    void write();

    QString folder() const { return m_folder; }
    QString storedPath(const QString &domain, const QString &path) const;
    QByteArray keybagBlob() const { return m_keybag; }
    QByteArray classKey(int protectionClass) const;

    static QString fileId(const QString &domain, const QString &path);
    static QByteArray serializeRecord(const Record &record);
    // Header plus the records in the order given.
    static QByteArray serializeIndex(const QList<Record> &records);
    static QByteArray keybagItem(const char *tag, const QByteArray &value);
    static QByteArray u32be(quint32 value);
    // RFC 3394 key wrap with a 256-bit key-encryption key.
    static QByteArray aesKeyWrap(const QByteArray &kek, const QByteArray &keyData);
    // AES-256-CBC with a zero IV and PKCS#7 padding.
    static QByteArray aesCbcEncrypt(const QByteArray &key, const QByteArray &plain);

private:
    QByteArray randomBytes(int size);
    QString manifestPlistXml() const;

    QString m_folder;
    QString m_udid = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    QString m_deviceName = QStringLiteral("Test iPhone");
    QDateTime m_date = QDateTime(QDate(2014, 5, 1), QTime(10, 0), Qt::UTC);
    bool m_encrypted = false;
    QByteArray m_keybag;
    QList<QPair<int, QByteArray>> m_classKeys;
    QList<Record> m_records;
    QList<QPair<QString, QByteArray>> m_stored; // file id, stored bytes; parallel to m_records
    quint32 m_seed = 12345;
    quint32 m_nextInode = 100;
};
