// AFC packets as the tests write and read them on either end: a 40-byte little-endian
// header ("CFA6LPAA", entire length, this length, packet number, operation), then the
// header payload, then any data.
#pragma once

#include <QByteArray>
#include <QtEndian>

namespace afctest {

inline QByteArray le64(quint64 value)
{
    const quint64 wire = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&wire), 8);
}

inline quint64 le64At(const QByteArray &bytes, int offset)
{
    return bytes.size() >= offset + 8 ? qFromLittleEndian<quint64>(bytes.constData() + offset) : 0;
}

// `entire` and `thisLength` default to the true ones; a test may lie with them.
inline QByteArray packet(quint64 operation, const QByteArray &payload,
    const QByteArray &data = QByteArray(), qint64 entire = -1, qint64 thisLength = -1,
    const QByteArray &magic = QByteArrayLiteral("CFA6LPAA"), quint64 number = 0)
{
    const quint64 headerPart = 40 + static_cast<quint64>(payload.size());
    return magic + le64(entire >= 0 ? quint64(entire) : headerPart + quint64(data.size()))
        + le64(thisLength >= 0 ? quint64(thisLength) : headerPart) + le64(number) + le64(operation)
        + payload + data;
}

inline QByteArray status(quint64 code)
{
    return packet(1, le64(code));
}

inline QByteArray data(const QByteArray &bytes)
{
    return packet(2, bytes);
}

struct Header
{
    QByteArray magic;
    quint64 entireLength = 0;
    quint64 thisLength = 0;
    quint64 packetNumber = 0;
    quint64 operation = 0;
};

inline Header header(const QByteArray &bytes)
{
    Header h;
    h.magic = bytes.left(8);
    h.entireLength = le64At(bytes, 8);
    h.thisLength = le64At(bytes, 16);
    h.packetNumber = le64At(bytes, 24);
    h.operation = le64At(bytes, 32);
    return h;
}

} // namespace afctest
