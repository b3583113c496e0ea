// Reads the plain string out of a message's attributedBody: a typed-stream archive of an
// attributed string, where phones since iOS 16 keep the words of many messages.
#pragma once

#include <QByteArray>
#include <QString>

// The string of the archived attributed string, or an empty text when the bytes are not
// such an archive (wrong header, no string, a length past the end, invalid UTF-8).
QString attributedBodyText(const QByteArray &body);
