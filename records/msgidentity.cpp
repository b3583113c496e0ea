#include "records/msgidentity.h"

#include <QCryptographicHash>
#include <QUuid>
#include <QVector>
#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

// Typedstream integer: one byte up to 127, else a marked 16- or 32-bit little-endian value.
QByteArray typedStreamLength(int length)
{
    QByteArray out;
    if (length <= 127) {
        out.append(char(length));
    } else if (length <= 0x7FFF) {
        out.append(char(0x81));
        out.append(char(length & 0xFF));
        out.append(char((length >> 8) & 0xFF));
    } else {
        out.append(char(0x82));
        for (int i = 0; i < 4; ++i)
            out.append(char((length >> (8 * i)) & 0xFF));
    }
    return out;
}

QByteArray hexBytes(const char *hex)
{
    return QByteArray::fromHex(QByteArray(hex));
}

// |a - b| > limit without overflowing for any pair of 64-bit keys.
bool differByMore(qint64 a, qint64 b, quint64 limit)
{
    const quint64 distance = a >= b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
    return distance > limit;
}

}

QString makeGuid()
{
    const QString text = QUuid::createUuid().toString().toUpper();
    QString guid;
    for (const QChar c : text) {
        if (c == QLatin1Char('-') || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            guid += c;
    }
    return guid;
}

QString makeGuidFromData(const QByteArray &data)
{
    const QString h = QString::fromLatin1(md5(data).toHex().toUpper());
    return h.mid(0, 8) + QLatin1Char('-') + h.mid(8, 4) + QLatin1Char('-') + h.mid(12, 4)
        + QLatin1Char('-') + h.mid(16, 4) + QLatin1Char('-') + h.mid(20, 12);
}

QString msgidentity_detail::digestWordsText(const QByteArray &digest)
{
    quint32 x = 0;
    for (int i = 0; i + 4 <= digest.size() && i < 16; i += 4)
        x ^= qFromLittleEndian<quint32>(digest.constData() + i);
    // The absolute value in 64 bits, so that INT_MIN gives 2147483648 rather than overflow.
    const qint64 value = qint32(x);
    return QString::number(value < 0 ? -value : value);
}

QString makeGroupChatIdentifier(const QString &seed)
{
    const QByteArray seedBytes = seed.toUtf8();
    QString digits;
    quint32 n = 0;
    while (digits.size() <= 17) {
        QByteArray data(4, '\0');
        qToLittleEndian<quint32>(n, data.data());
        data += seedBytes;
        ++n;
        digits += msgidentity_detail::digestWordsText(md5(data));
    }
    return QStringLiteral("chat") + digits.left(18);
}

QByteArray makeAttributedBody(const QString &guid)
{
    static const QByteArray prefix = hexBytes("040B") + "streamtyped"
        + hexBytes("81E803840140848484") + hexBytes("19") + "NSMutableAttributedString"
        + hexBytes("00848412") + "NSAttributedString" + hexBytes("00848408") + "NSObject"
        + hexBytes("0085928484840F") + "NSMutableString" + hexBytes("01848408") + "NSString"
        + hexBytes("019584012B03EFBFBC86840269490101928484840C") + "NSDictionary"
        + hexBytes("0095840169029284989822") + "__kIMFileTransferGUIDAttributeName"
        + hexBytes("8692849898");
    static const QByteArray suffix = hexBytes("86928498981D") + "__kIMMessagePartAttributeName"
        + hexBytes("8692848484") + hexBytes("08") + "NSNumber" + hexBytes("00848407") + "NSValue"
        + hexBytes("009584012A849B9B00868686");
    const QByteArray guidBytes = guid.toUtf8();
    // The length byte is 0x24 for the usual 36-byte GUID; longer ones keep a valid stream.
    return prefix + typedStreamLength(guidBytes.size()) + guidBytes + suffix;
}

bool isNanosecondTime(qint64 stored)
{
    return stored >= NanosecondTimeThreshold || stored <= -NanosecondTimeThreshold;
}

qint32 recordDateFromStored(qint64 stored)
{
    const qint64 seconds = isNanosecondTime(stored) ? stored / 1000000000 : stored;
    return qint32(qBound<qint64>(std::numeric_limits<qint32>::min(), seconds,
        std::numeric_limits<qint32>::max()));
}

qint64 storedTimeFromRecord(qint32 date, bool nanoseconds)
{
    return nanoseconds ? qint64(date) * 1000000000 : qint64(date);
}

QDateTime dateTimeFromTime(qint32 date)
{
    return QDateTime::fromSecsSinceEpoch(qint64(date) + RecordEpochOffset);
}

bool compareMessages(const _MsgMessage *a, const _MsgMessage *b)
{
    if (differByMore(a->srcRowid, b->srcRowid, 20))
        return a->date < b->date;
    if (differByMore(a->date, b->date, 120))
        return a->date < b->date;
    return a->srcRowid < b->srcRowid;
}

bool compareMessagesDesc(const _MsgMessage *a, const _MsgMessage *b)
{
    return compareMessages(b, a);
}

void sortMessages(MsgMessageList &list, MessageLess less)
{
    const int size = list.size();
    if (size < 2)
        return;
    QVector<_MsgMessage *> from(list.begin(), list.end());
    QVector<_MsgMessage *> to(size);
    // Bottom-up merge: every step reads each index once, so a relation that contradicts
    // itself can only change the order, never run past a range.
    for (int width = 1; width < size; width *= 2) {
        for (int lo = 0; lo < size; lo += 2 * width) {
            const int mid = std::min(lo + width, size);
            const int hi = std::min(lo + 2 * width, size);
            int i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                to[k++] = less(from[j], from[i]) ? from[j++] : from[i++];
            while (i < mid)
                to[k++] = from[i++];
            while (j < hi)
                to[k++] = from[j++];
        }
        from.swap(to);
    }
    for (int i = 0; i < size; ++i)
        list[i] = from[i];
}

void sortMessages(MsgMessageList &list, bool descending)
{
    sortMessages(list, descending ? compareMessagesDesc : compareMessages);
}
