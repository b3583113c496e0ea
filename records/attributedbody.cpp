#include "records/attributedbody.h"

#include <QTextCodec>

namespace {

const char kHeader[] = "\x04\x0bstreamtyped";
const int kHeaderLength = 13;
// A string value inside an object: new-item tag, one-type count, the type '+' (bytes).
const char kStringValue[] = "\x84\x01\x2b";
// The string value follows its class description within a few bytes.
const int kStringSearchWindow = 64;
// Typed-stream integer tags: a 16-bit or 32-bit little-endian value follows.
const unsigned char kInt16Tag = 0x81;
const unsigned char kInt32Tag = 0x82;

// The length of the string starting at `pos` (advanced past the length), or -1.
qint64 readLength(const QByteArray &body, int &pos)
{
    if (pos >= body.size())
        return -1;
    const auto byte = [&body](int i) { return quint32(quint8(body.at(i))); };
    const quint8 tag = quint8(body.at(pos++));
    if (tag < 0x80)
        return tag;
    int width = 0;
    if (tag == kInt16Tag)
        width = 2;
    else if (tag == kInt32Tag)
        width = 4;
    else
        return -1;
    if (body.size() - pos < width)
        return -1;
    quint32 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | byte(pos + i);
    pos += width;
    // Signed in the archive: a negative length is no string.
    if (width == 2 ? (value & 0x8000) != 0 : (value & 0x80000000u) != 0)
        return -1;
    return value;
}

} // namespace

QString attributedBodyText(const QByteArray &body)
{
    if (!body.startsWith(QByteArray::fromRawData(kHeader, kHeaderLength)))
        return QString();
    const int className = body.indexOf("NSString", kHeaderLength);
    if (className < 0)
        return QString();
    int pos = body.indexOf(kStringValue, className);
    if (pos < 0 || pos - className > kStringSearchWindow)
        return QString();
    pos += 3;
    const qint64 length = readLength(body, pos);
    if (length < 0 || length > body.size() - pos)
        return QString();

    QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull | QTextCodec::IgnoreHeader);
    const QString text
        = QTextCodec::codecForMib(106)->toUnicode(body.constData() + pos, int(length), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return QString();
    return text;
}
