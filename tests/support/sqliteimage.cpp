#include "support/sqliteimage.h"

#include <QFile>

#include <cstring>

SqliteImage::SqliteImage(int pageSize, int pageCount)
    : m_pageSize(pageSize)
    , m_bytes(pageSize * pageCount, '\0')
{
    m_bytes.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    put16(1, 16, quint16(pageSize == 65536 ? 1 : pageSize));
    put8(1, 18, 1);
    put8(1, 19, 1);
    put32(1, 28, quint32(pageCount));
    put32(1, 44, 4);
    put32(1, 56, 1);
    put8(1, 100, 13);
    put16(1, 105, quint16(pageSize == 65536 ? 0 : pageSize));
}

SqliteImage::SqliteImage(const QByteArray &bytes)
    : m_bytes(bytes)
{
    const int stored = (uchar(bytes.at(16)) << 8) | uchar(bytes.at(17));
    m_pageSize = stored == 1 ? 65536 : stored;
}

void SqliteImage::put8(int page, int offset, quint8 value)
{
    m_bytes[pageOffset(page) + offset] = char(value);
}

void SqliteImage::put16(int page, int offset, quint16 value)
{
    put8(page, offset, quint8(value >> 8));
    put8(page, offset + 1, quint8(value));
}

void SqliteImage::put32(int page, int offset, quint32 value)
{
    put16(page, offset, quint16(value >> 16));
    put16(page, offset + 2, quint16(value));
}

void SqliteImage::putBytes(int page, int offset, const QByteArray &bytes)
{
    m_bytes.replace(pageOffset(page) + offset, bytes.size(), bytes);
}

QByteArray SqliteImage::varint(quint64 value)
{
    if (value > 0x00ffffffffffffffULL) {
        QByteArray out(9, '\0');
        out[8] = char(value & 0xff);
        value >>= 8;
        for (int i = 7; i >= 0; --i) {
            out[i] = char((value & 0x7f) | 0x80);
            value >>= 7;
        }
        return out;
    }
    QByteArray out;
    do {
        out.prepend(char((value & 0x7f) | (out.isEmpty() ? 0 : 0x80)));
        value >>= 7;
    } while (value);
    return out;
}

QByteArray SqliteImage::rawRecord(const QList<quint64> &types, const QByteArray &body)
{
    QByteArray header;
    for (const quint64 t : types)
        header += varint(t);
    int size = header.size() + 1;
    while (varint(quint64(size)).size() + header.size() != size)
        ++size;
    return varint(quint64(size)) + header + body;
}

QByteArray SqliteImage::record(const QVariantList &values)
{
    QList<quint64> types;
    QByteArray body;
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        if (!v.isValid()) {
            types.append(0);
        } else if (v.type() == QVariant::ByteArray) {
            const QByteArray b = v.toByteArray();
            types.append(quint64(b.size()) * 2 + 12);
            body += b;
        } else if (v.type() == QVariant::String) {
            const QByteArray b = v.toString().toUtf8();
            types.append(quint64(b.size()) * 2 + 13);
            body += b;
        } else if (v.type() == QVariant::Double) {
            const double d = v.toDouble();
            quint64 bits;
            std::memcpy(&bits, &d, sizeof bits);
            types.append(7);
            for (int s = 56; s >= 0; s -= 8)
                body += char(bits >> s);
        } else {
            const qint64 n = v.toLongLong();
            if (n == 0 || n == 1) {
                types.append(quint64(8 + n));
                continue;
            }
            static const int widths[] = { 1, 2, 3, 4, 6, 8 };
            int type = 6;
            for (int w = 0; w < 6; ++w) {
                const int bits = widths[w] * 8;
                if (bits == 64 || (n >= -(qint64(1) << (bits - 1)) && n < (qint64(1) << (bits - 1)))) {
                    type = w + 1;
                    break;
                }
            }
            types.append(quint64(type));
            const int width = widths[type - 1];
            for (int s = (width - 1) * 8; s >= 0; s -= 8)
                body += char(quint64(n) >> s);
        }
    }
    return rawRecord(types, body);
}

QByteArray SqliteImage::tableLeafCell(qint64 rowid, const QByteArray &payload)
{
    return varint(quint64(payload.size())) + varint(quint64(rowid)) + payload;
}

QList<int> SqliteImage::writeBtreePage(
    int page, int type, const QList<QByteArray> &cells, quint32 rightChild)
{
    const int header = page == 1 ? 100 : 0;
    const bool leaf = type & 8;
    int content = m_pageSize;
    QList<int> offsets;
    for (const QByteArray &cell : cells) {
        content -= cell.size();
        putBytes(page, content, cell);
        offsets.append(content);
    }
    put8(page, header, quint8(type));
    put16(page, header + 1, 0);
    put16(page, header + 3, quint16(cells.size()));
    put16(page, header + 5, quint16(content == 65536 ? 0 : content));
    put8(page, header + 7, 0);
    if (!leaf)
        put32(page, header + 8, rightChild);
    const int pointers = header + (leaf ? 8 : 12);
    for (int i = 0; i < offsets.size(); ++i)
        put16(page, pointers + 2 * i, quint16(offsets.at(i)));
    return offsets;
}

void SqliteImage::setFreelist(quint32 firstTrunk, quint32 count)
{
    put32(1, 32, firstTrunk);
    put32(1, 36, count);
}

void SqliteImage::writeTrunk(
    int page, quint32 next, const QList<quint32> &leaves, qint64 claimedCount)
{
    put32(page, 0, next);
    put32(page, 4, quint32(claimedCount < 0 ? leaves.size() : claimedCount));
    for (int i = 0; i < leaves.size(); ++i)
        put32(page, 8 + 4 * i, leaves.at(i));
}

void SqliteImage::setTableRoot(const QString &name, int rootPage, const QString &sql)
{
    const QByteArray cell = tableLeafCell(
        1, record({ QStringLiteral("table"), name, name, rootPage, sql }));
    writeBtreePage(1, 13, { cell });
}

bool SqliteImage::save(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(m_bytes) == m_bytes.size();
}
