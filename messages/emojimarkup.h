// Finds emoji in a text (private-use characters, a fixed list of symbols, surrogate pairs of
// U+1F000..U+1F7FF) and replaces each with what a callback returns for its code.
#pragma once

#include <QString>

// hex is the code in upper-case hexadecimal without leading zeros (E415, 203C, 1F604).
typedef QString (*EmojiCallback)(void *userData, const QString &hex);

// Replaces every emoji, stores the result back into text and returns it.
QString markEmoji(QString &text, EmojiCallback callback, void *userData);
