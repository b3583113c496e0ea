#include "records/emojimarkup.h"

#include <algorithm>
#include <iterator>

namespace {

const ushort listedSymbols[]
    = { 0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
          0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
          0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
          0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030 };

bool isSingleUnitEmoji(ushort unit)
{
    if (unit >= 0xE000 && unit <= 0xE537)
        return true;
    // Most text never comes near the listed symbols: spare it the search.
    if (unit < listedSymbols[0] || unit > std::end(listedSymbols)[-1])
        return false;
    return std::find(std::begin(listedSymbols), std::end(listedSymbols), unit)
        != std::end(listedSymbols);
}

QString hexOf(uint code)
{
    return QStringLiteral("%1").arg(code, 0, 16).toUpper();
}

QString markSingleUnits(const QString &source, EmojiCallback callback, void *userData)
{
    QString result;
    result.reserve(source.size());
    for (const QChar c : source) {
        if (isSingleUnitEmoji(c.unicode()))
            result += callback(userData, hexOf(c.unicode()));
        else
            result += c;
    }
    return result;
}

bool isEmojiPair(const QString &source, int i)
{
    const ushort high = source.at(i).unicode();
    return (high == 0xD83C || high == 0xD83D) && i + 1 < source.size()
        && QChar::isLowSurrogate(source.at(i + 1).unicode());
}

// Only a well-formed pair is combined: a high surrogate without its low half is left as it
// is, so no bogus or negative code ever reaches the callback.
QString markSurrogatePairs(const QString &source, EmojiCallback callback, void *userData)
{
    QString result;
    result.reserve(source.size());
    const int size = source.size();
    for (int i = 0; i < size; ++i) {
        if (isEmojiPair(source, i)) {
            const uint code
                = QChar::surrogateToUcs4(source.at(i).unicode(), source.at(i + 1).unicode());
            result += callback(userData, hexOf(code));
            ++i;
        } else {
            result += source.at(i);
        }
    }
    return result;
}

}

QString markEmoji(QString &text, EmojiCallback callback, void *userData)
{
    // Most messages hold no emoji: they stay as they are, without copies.
    // Every emoji unit lies above U+203C: the rest of the text needs one comparison.
    const ushort *units = text.utf16();
    const int size = text.size();
    int i = 0;
    while (i < size
        && (units[i] < listedSymbols[0] || (!isSingleUnitEmoji(units[i]) && !isEmojiPair(text, i))))
        ++i;
    if (i == size)
        return text;
    text = markSurrogatePairs(markSingleUnits(text, callback, userData), callback, userData);
    return text;
}

int emojiUnitsAt(const QString &text, int i)
{
    if (i < 0 || i >= text.size())
        return 0;
    if (isSingleUnitEmoji(text.at(i).unicode()))
        return 1;
    return isEmojiPair(text, i) ? 2 : 0;
}
