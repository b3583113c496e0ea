// Binary property lists built byte by byte, for lists no writer would make: UTF-16 strings
// with U+0000 inside, offsets that point anywhere.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace binaryplist {

QByteArray ascii(const QByteArray &text);
// A UTF-16 string of the Latin-1 characters given, zeros included.
QByteArray utf16(const char *latin1, int size);
// A date of seconds since 2001 and a real number.
QByteArray date(double seconds);
QByteArray real(double value);
// A list of fewer than 256 objects and bytes; object 0 is the top one. Offsets are
// `offsetWidth` bytes wide and taken from `offsets` where it gives them.
QByteArray list(
    const QList<QByteArray> &objects, int offsetWidth = 1, const QList<quint64> &offsets = {});
// A list of `depth` arrays, each holding the next one twice, and a string at the bottom:
// 4 * depth + 43 bytes that expand to 2^(depth + 1) - 1 nodes (at most 80 deep).
QByteArray sharedArrays(int depth);
// A list of one dictionary of fewer than 15 entries (key and value objects).
QByteArray dictionary(const QList<QPair<QByteArray, QByteArray>> &entries);

// Test rows of a column "values": values files whose UniqueDeviceID "udid-nul\0x" and
// DeviceName "Phöne\0x" hold a NUL, as a binary list with UTF-16 texts and as XML.
void addValuesWithANulRows();

} // namespace binaryplist
