#include "support/binaryplist.h"

#include <QTest>

#include <cstring>

namespace binaryplist {

namespace {

QByteArray bigEndian(quint64 value, int width)
{
    QByteArray bytes(width, '\0');
    for (int i = width - 1; i >= 0; --i, value >>= 8)
        bytes[i] = char(value & 0xFF);
    return bytes;
}

QByteArray withDouble(char marker, double value)
{
    quint64 bits = 0;
    memcpy(&bits, &value, sizeof bits);
    return marker + bigEndian(bits, 8);
}

} // namespace

QByteArray ascii(const QByteArray &text)
{
    return char(0x50 | text.size()) + text;
}

QByteArray utf16(const char *latin1, int size)
{
    QByteArray out(1, char(0x60 | (size < 15 ? size : 0x0F)));
    if (size >= 15)
        out += QByteArray("\x10", 1) + char(size);
    for (int i = 0; i < size; ++i)
        out += QByteArray(1, '\0') + latin1[i];
    return out;
}

QByteArray date(double seconds)
{
    return withDouble('\x33', seconds);
}

QByteArray real(double value)
{
    return withDouble('\x23', value);
}

QByteArray list(const QList<QByteArray> &objects, int offsetWidth, const QList<quint64> &offsets)
{
    QByteArray bin("bplist00");
    QByteArray table;
    for (int i = 0; i < objects.size(); ++i) {
        table += bigEndian(i < offsets.size() ? offsets.at(i) : quint64(bin.size()), offsetWidth);
        bin += objects.at(i);
    }
    const int tableAt = bin.size();
    bin += table;
    QByteArray trailer(6, '\0');
    trailer += char(offsetWidth);
    trailer += char(1);
    trailer += bigEndian(quint64(objects.size()), 8) + bigEndian(0, 8) + bigEndian(tableAt, 8);
    return bin + trailer;
}

QByteArray sharedArrays(int depth)
{
    QList<QByteArray> objects;
    for (int i = 1; i <= depth; ++i)
        objects << QByteArray("\xA2", 1) + char(i) + char(i);
    objects << ascii("x");
    return list(objects);
}

QByteArray dictionary(const QList<QPair<QByteArray, QByteArray>> &entries)
{
    const int n = entries.size();
    QByteArray top(1, char(0xD0 | n));
    QList<QByteArray> keys;
    QList<QByteArray> values;
    for (int i = 0; i < n; ++i) {
        top += char(1 + i);
        keys << entries.at(i).first;
        values << entries.at(i).second;
    }
    for (int i = 0; i < n; ++i)
        top += char(1 + n + i);
    return list(QList<QByteArray> { top } + keys + values);
}

void addValuesWithANulRows()
{
    QTest::addColumn<QByteArray>("values");
    QTest::newRow("binary") << dictionary({ { ascii("UniqueDeviceID"), utf16("udid-nul\0x", 10) },
        { ascii("DeviceName"), utf16("Ph\xF6ne\0x", 7) } });
    QTest::newRow("XML") << QByteArray("<plist version=\"1.0\"><dict><key>UniqueDeviceID</key>"
                                       "<string>udid-nul")
            + '\0' + "x</string><key>DeviceName</key><string>Ph\xC3\xB6ne" + '\0'
            + "x</string></dict></plist>";
}

} // namespace binaryplist
