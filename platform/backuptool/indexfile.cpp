#include "indexfile.h"

#include "platform/durablefile/durablefile.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>

#include <algorithm>
#include <stdexcept>

namespace {

const char header[] = { 'm', 'b', 'd', 'b', 5, 0 };
constexpr quint16 nullLength = 0xFFFF;

void writeString(QDataStream &out, const QByteArray &bytes, bool nullWhenEmpty)
{
    if (bytes.isEmpty() && nullWhenEmpty) {
        out << nullLength;
        return;
    }
    out << static_cast<quint16>(bytes.size());
    out.writeRawData(bytes.constData(), bytes.size());
}

QByteArray readString(QDataStream &in)
{
    quint16 length = 0;
    in >> length;
    if (length == nullLength || length == 0)
        return QByteArray();
    QByteArray bytes(length, Qt::Uninitialized);
    if (in.readRawData(bytes.data(), length) != length)
        in.setStatus(QDataStream::ReadPastEnd);
    return bytes;
}

} // namespace

QString IndexRecord::fileId() const
{
    return QString::fromLatin1(QCryptographicHash::hash(
        (domain + QLatin1Char('-') + path).toUtf8(), QCryptographicHash::Sha1)
                                   .toHex());
}

void writeIndexFile(QList<IndexRecord> records, const QString &path)
{
    std::sort(records.begin(), records.end(), [](const IndexRecord &a, const IndexRecord &b) {
        return a.domain != b.domain ? a.domain < b.domain : a.path < b.path;
    });
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.writeRawData(header, sizeof header);
    for (const IndexRecord &r : records) {
        writeString(out, r.domain.toUtf8(), false);
        writeString(out, r.path.toUtf8(), false);
        writeString(out, QByteArray(), true);
        writeString(out, r.digest, true);
        writeString(out, r.wrappedKey, true);
        out << r.mode << quint32(0) << r.inode << quint32(501) << quint32(501) << r.mtime << r.atime
            << r.ctime << r.size << r.protectionClass << quint8(0);
    }
    QString error;
    if (!durable::writeFile(path, bytes, &error))
        throw std::runtime_error("Cannot write the backup index: " + error.toStdString());
}

QList<IndexRecord> readIndexFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(
            "Cannot read the backup index: " + file.errorString().toStdString());
    QDataStream in(&file);
    char magic[sizeof header];
    if (in.readRawData(magic, sizeof magic) != sizeof magic
        || !std::equal(magic, magic + sizeof magic, header))
        throw std::runtime_error("The backup index is damaged.");
    QList<IndexRecord> records;
    while (!in.atEnd()) {
        IndexRecord r;
        r.domain = QString::fromUtf8(readString(in));
        r.path = QString::fromUtf8(readString(in));
        readString(in);
        r.digest = readString(in);
        r.wrappedKey = readString(in);
        quint32 inodeHigh = 0, uid = 0, gid = 0;
        quint8 properties = 0;
        in >> r.mode >> inodeHigh >> r.inode >> uid >> gid >> r.mtime >> r.atime >> r.ctime
            >> r.size >> r.protectionClass >> properties;
        for (int i = 0; i < 2 * properties; ++i)
            readString(in);
        if (in.status() != QDataStream::Ok)
            throw std::runtime_error("The backup index is damaged.");
        records.append(r);
    }
    return records;
}
