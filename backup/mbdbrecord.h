// One entry of a backup's file index (Manifest.mbdb) with its strings, and the loaded index.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <cstdint>

// A length-prefixed string of the index; 0xFFFF marks null, 0 empty.
struct MbdbString
{
    quint16 Length = 0xFFFF;
    QByteArray Bytes;

    bool isValid() const { return Length >= 1 && Length <= 0xFFFE; }
    // UTF-8 up to the first zero byte; empty for a null or empty string.
    QString toString() const;
    void setBytes(const QByteArray &bytes);
};

struct MbdbProperty
{
    MbdbString Name;
    MbdbString Value;
};

struct MbdbRecord
{
    MbdbString Domain;
    MbdbString Path;
    MbdbString LinkTarget;
    MbdbString DataHash;
    MbdbString EncryptionKey;
    quint16 Mode = 0;
    quint32 InodeHigh = 0;
    quint32 InodeLow = 0;
    quint32 Uid = 0;
    quint32 Gid = 0;
    quint32 Mtime = 0;
    quint32 Atime = 0;
    quint32 Ctime = 0;
    quint64 Size = 0;
    quint8 ProtectionClass = 0;
    QList<MbdbProperty> Properties;

    // The file id, which is also the stored file's name in the backup folder.
    QString fileName() const;
    // Size 0 and no link target; Mode is not consulted.
    bool isDirectory() const;
};

// File id (40 lower-case hex digits) to record.
using MbdbIndex = QHash<QString, MbdbRecord>;

// Lower-case hex SHA-1 of "domain-path" in UTF-8.
QString mbdbFileName(const QString &domain, const QString &path);
// By domain text, then path text, as QString compares them.
bool mbdbRecordLess(const MbdbRecord &a, const MbdbRecord &b);
// Stable sort in the order of mbdbRecordLess; each record's texts are decoded once, not in
// every comparison.
void sortMbdbRecords(QList<MbdbRecord> &records);
