// Finds emoji in a text (private-use characters, a fixed list of symbols, surrogate pairs of
// U+1F000..U+1F7FF) and replaces each with what a callback returns for its code.
#pragma once

#include <QString>

// hex is the code in upper-case hexadecimal without leading zeros (E415, 203C, 1F604).
typedef QString (*EmojiCallback)(void *userData, const QString &hex);

// Replaces every emoji, stores the result back into text and returns it.
QString markEmoji(QString &text, EmojiCallback callback, void *userData);
// The number of UTF-16 units (1 or 2) of the emoji that markEmoji finds at position i of
// text, or 0 when none starts there.
int emojiUnitsAt(const QString &text, int i);
