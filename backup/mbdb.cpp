#include "mbdb.h"

#include "platform/durablefile/durablefile.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <stdexcept>

namespace {

[[noreturn]] void throwShort(QIODevice *dev, const char *what)
{
    QString text = dev->errorString();
    if (text.isEmpty() || text == QLatin1String("Unknown error"))
        text = QStringLiteral("Unexpected end of data while reading %1 at offset %2")
                   .arg(QLatin1String(what))
                   .arg(dev->pos());
    throw std::runtime_error(text.toUtf8().toStdString());
}

[[noreturn]] void throwWrite(QIODevice *dev)
{
    QString text = dev->errorString();
    if (text.isEmpty() || text == QLatin1String("Unknown error"))
        text = QStringLiteral("Cannot write the file index");
    throw std::runtime_error(text.toUtf8().toStdString());
}

void readExact(QIODevice *dev, char *data, qint64 size, const char *what)
{
    if (dev->read(data, size) != size)
        throwShort(dev, what);
}

void writeExact(QIODevice *dev, const char *data, qint64 size)
{
    if (dev->write(data, size) != size)
        throwWrite(dev);
}

quint64 bigEndian(const unsigned char *p, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

void putBigEndian(QIODevice *dev, quint64 value, int size)
{
    char buf[8];
    for (int i = size - 1; i >= 0; --i) {
        buf[i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    writeExact(dev, buf, size);
}

} // namespace

quint8 mbdbReadU8(QIODevice *dev)
{
    unsigned char b[1];
    readExact(dev, reinterpret_cast<char *>(b), 1, "a byte");
    return b[0];
}

quint16 mbdbReadU16(QIODevice *dev)
{
    unsigned char b[2];
    readExact(dev, reinterpret_cast<char *>(b), 2, "a 16-bit number");
    return static_cast<quint16>(bigEndian(b, 2));
}

quint32 mbdbReadU32(QIODevice *dev)
{
    unsigned char b[4];
    readExact(dev, reinterpret_cast<char *>(b), 4, "a 32-bit number");
    return static_cast<quint32>(bigEndian(b, 4));
}

MbdbString mbdbReadString(QIODevice *dev)
{
    MbdbString str;
    str.Length = mbdbReadU16(dev);
    if (!str.isValid())
        return str;
    // Check against what is left before allocating, where the device can tell.
    if (!dev->isSequential() && dev->size() - dev->pos() < str.Length)
        throwShort(dev, "a string");
    str.Bytes.resize(str.Length);
    readExact(dev, str.Bytes.data(), str.Length, "a string");
    return str;
}

MbdbRecord mbdbReadRecord(QIODevice *dev)
{
    MbdbRecord r;
    r.Domain = mbdbReadString(dev);
    r.Path = mbdbReadString(dev);
    r.LinkTarget = mbdbReadString(dev);
    r.DataHash = mbdbReadString(dev);
    r.EncryptionKey = mbdbReadString(dev);
    r.Mode = mbdbReadU16(dev);
    r.InodeHigh = mbdbReadU32(dev);
    r.InodeLow = mbdbReadU32(dev);
    r.Uid = mbdbReadU32(dev);
    r.Gid = mbdbReadU32(dev);
    r.Mtime = mbdbReadU32(dev);
    r.Atime = mbdbReadU32(dev);
    r.Ctime = mbdbReadU32(dev);
    unsigned char size[8];
    readExact(dev, reinterpret_cast<char *>(size), 8, "a 64-bit number");
    r.Size = bigEndian(size, 8);
    r.ProtectionClass = mbdbReadU8(dev);
    const int count = mbdbReadU8(dev);
    for (int i = 0; i < count; ++i) {
        MbdbProperty p;
        p.Name = mbdbReadString(dev);
        p.Value = mbdbReadString(dev);
        r.Properties.append(p);
    }
    return r;
}

void mbdbWriteU8(QIODevice *dev, quint8 value)
{
    putBigEndian(dev, value, 1);
}

void mbdbWriteU16(QIODevice *dev, quint16 value)
{
    putBigEndian(dev, value, 2);
}

void mbdbWriteU32(QIODevice *dev, quint32 value)
{
    putBigEndian(dev, value, 4);
}

void mbdbWriteString(QIODevice *dev, const MbdbString &str)
{
    // A length that does not match the bytes, including the wrapped length of 65535 or more
    // bytes, would drop or corrupt the text silently.
    const int expected = str.isValid() ? str.Length : 0;
    if (str.Bytes.size() != expected) {
        throw std::runtime_error(
            QStringLiteral("Cannot write a string of %1 bytes with the stored length %2")
                .arg(str.Bytes.size())
                .arg(str.Length)
                .toStdString());
    }
    mbdbWriteU16(dev, str.Length);
    writeExact(dev, str.Bytes.constData(), expected);
}

void mbdbWriteRecord(QIODevice *dev, const MbdbRecord &r)
{
    mbdbWriteString(dev, r.Domain);
    mbdbWriteString(dev, r.Path);
    mbdbWriteString(dev, r.LinkTarget);
    mbdbWriteString(dev, r.DataHash);
    mbdbWriteString(dev, r.EncryptionKey);
    mbdbWriteU16(dev, r.Mode);
    mbdbWriteU32(dev, r.InodeHigh);
    mbdbWriteU32(dev, r.InodeLow);
    mbdbWriteU32(dev, r.Uid);
    mbdbWriteU32(dev, r.Gid);
    mbdbWriteU32(dev, r.Mtime);
    mbdbWriteU32(dev, r.Atime);
    mbdbWriteU32(dev, r.Ctime);
    putBigEndian(dev, r.Size, 8);
    mbdbWriteU8(dev, r.ProtectionClass);
    if (r.Properties.size() > 255)
        throw std::runtime_error("A record of the file index has more than 255 properties");
    mbdbWriteU8(dev, static_cast<quint8>(r.Properties.size()));
    for (const MbdbProperty &p : r.Properties) {
        mbdbWriteString(dev, p.Name);
        mbdbWriteString(dev, p.Value);
    }
}

QByteArray sha1OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result();
}

MbdbIndex readMbdb(QIODevice *dev)
{
    char header[6];
    dev->read(header, sizeof header); // neither magic nor version is checked
    MbdbIndex index;
    while (!dev->atEnd()) {
        MbdbRecord r = mbdbReadRecord(dev);
        index.insert(r.fileName(), r);
    }
    return index;
}

MbdbIndex loadMbdb(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(file.errorString().toUtf8().toStdString());
    // Read whole first: the index is a small fraction of the backup, and each string read
    // from the file itself would ask the system for its size.
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw std::runtime_error(
            (QDir::toNativeSeparators(path) + QStringLiteral(": ") + file.errorString())
                .toUtf8()
                .toStdString());
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    try {
        return readMbdb(&buffer);
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(
            (QDir::toNativeSeparators(path) + QStringLiteral(": ")).toUtf8().toStdString()
            + e.what());
    }
}

void saveMbdb(const QList<MbdbRecord> &records, const QString &path)
{
    QList<MbdbRecord> sorted = records;
    sortMbdbRecords(sorted);

    // Built in memory, so that a failure names the file and not the buffer; the index is a
    // small fraction of the backup.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    static const char header[6] = { 'm', 'b', 'd', 'b', 0x05, 0x00 };
    writeExact(&buffer, header, sizeof header);
    for (const MbdbRecord &r : sorted)
        mbdbWriteRecord(&buffer, r);

    // The old index stays whole until the new one is complete and synced.
    QString error;
    if (!durable::writeFile(path, bytes, &error))
        throw std::runtime_error(error.toUtf8().toStdString());
}

namespace {

MbdbString utf8String(const QString &text)
{
    MbdbString s;
    s.setBytes(text.toUtf8());
    return s;
}

} // namespace

void addMbdbFile(
    MbdbIndex &index, const QString &localFile, const QString &domain, const QString &path)
{
    // Wider than the signed 32 bits the numbers are compared in, so that counting on from
    // the largest one cannot overflow.
    qint64 counter = 0;
    for (const MbdbRecord &r : qAsConst(index))
        counter = std::max<qint64>(counter, static_cast<qint32>(r.InodeLow));

    const QFileInfo info(localFile);
    const quint32 mtime = static_cast<quint32>(info.lastModified().toSecsSinceEpoch());
    // Linux file systems may not report a birth time.
    const QDateTime birth = info.birthTime().isValid() ? info.birthTime() : info.lastModified();
    const quint32 ctime = static_cast<quint32>(birth.toSecsSinceEpoch());

    QString folder = path;
    for (int slash = folder.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = folder.lastIndexOf(QLatin1Char('/'))) {
        folder.truncate(slash);
        const QString id = mbdbFileName(domain, folder);
        if (index.contains(id))
            break;
        MbdbRecord r;
        r.Domain = utf8String(domain);
        r.Path = utf8String(folder);
        r.Mode = 040700;
        r.InodeLow = static_cast<quint32>(++counter);
        r.Uid = 501;
        r.Gid = 501;
        r.Mtime = mtime;
        r.Atime = mtime;
        r.Ctime = ctime;
        r.ProtectionClass = 4;
        index.insert(id, r);
    }

    const QString id = mbdbFileName(domain, path);
    if (!index.contains(id)) {
        MbdbRecord r;
        r.Domain = utf8String(domain);
        r.Path = utf8String(path);
        r.Mode = 0100644;
        r.InodeLow = static_cast<quint32>(counter + 1);
        r.Uid = 501;
        r.Gid = 501;
        r.ProtectionClass = 4;
        index.insert(id, r);
    }
    MbdbRecord &r = index[id];
    r.DataHash.setBytes(sha1OfFile(localFile));
    r.Mtime = mtime;
    r.Atime = mtime;
    r.Ctime = ctime;
    // A replaced file rarely keeps its old size; a stale Size would cut or refuse it later.
    r.Size = static_cast<quint64>(info.size());
}
