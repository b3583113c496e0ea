// Reading and writing Manifest.mbdb, the binary file index of a backup folder.
// Every failure is thrown as std::runtime_error with an English text.
#pragma once

#include "backup/mbdbrecord.h"

class QIODevice;

quint8 mbdbReadU8(QIODevice *dev);
quint16 mbdbReadU16(QIODevice *dev);
quint32 mbdbReadU32(QIODevice *dev);
// A string whose bytes do not all arrive is an error: the index is damaged.
MbdbString mbdbReadString(QIODevice *dev);
// One whole record in file order.
MbdbRecord mbdbReadRecord(QIODevice *dev);

void mbdbWriteU8(QIODevice *dev, quint8 value);
void mbdbWriteU16(QIODevice *dev, quint16 value);
void mbdbWriteU32(QIODevice *dev, quint32 value);
void mbdbWriteString(QIODevice *dev, const MbdbString &str);
void mbdbWriteRecord(QIODevice *dev, const MbdbRecord &record);

// 20-byte SHA-1 of the file's contents; empty when it cannot be opened.
QByteArray sha1OfFile(const QString &path);

// Reads an index from an open device (header included); no partial index on error.
MbdbIndex readMbdb(QIODevice *dev);
MbdbIndex loadMbdb(const QString &path);
// Writes the records sorted by domain and path; the old file stays intact on failure.
void saveMbdb(const QList<MbdbRecord> &records, const QString &path);
// Enters the local copy of a stored file and its missing parent folders.
void addMbdbFile(
    MbdbIndex &index, const QString &localFile, const QString &domain, const QString &path);
