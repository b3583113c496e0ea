// Reads the text of a text attachment for the HTML page and the printed page, bounded so that
// a huge file cannot fill the memory.
#pragma once

#include <QString>

constexpr qint64 MaxTextAttachmentBytes = 64 * 1024;

// The file's text as UTF-8 up to its first zero byte and at most MaxTextAttachmentBytes,
// with "..." added when it was cut (and `cut` set, when given); a null text when it is not a
// readable regular file.
QString readTextAttachment(const QString &path, bool *cut = nullptr);
