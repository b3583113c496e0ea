// The backup's file index, Manifest.mbdb, as the backup tool writes and reads it: a header,
// then one record per domain folder, folder and file, all numbers big-endian.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

struct IndexRecord
{
    QString domain;
    QString path;
    QByteArray digest; // SHA-1 of the contents; empty for folders
    QByteArray wrappedKey; // class number and wrapped file key; empty when not encrypted
    quint16 mode = 0;
    quint32 inode = 0;
    quint32 mtime = 0;
    quint32 atime = 0;
    quint32 ctime = 0;
    quint64 size = 0;
    quint8 protectionClass = 0;

    bool isFolder() const { return (mode & 0170000) == 0040000; }
    // The stored file's name: the hexadecimal SHA-1 of "domain-path".
    QString fileId() const;
};

// Sorted by domain and path; throws std::runtime_error when it cannot be written whole.
void writeIndexFile(QList<IndexRecord> records, const QString &path);
// Throws std::runtime_error for a missing or damaged index.
QList<IndexRecord> readIndexFile(const QString &path);
