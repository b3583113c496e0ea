#include "operations/textattachment.h"

#include <QFile>
#include <QFileInfo>

QString readTextAttachment(const QString &path, bool *wasCut)
{
    if (wasCut)
        *wasCut = false;
    // Only a regular file: a pipe or device would block or never end.
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.read(MaxTextAttachmentBytes + 1);
    const int zero = bytes.indexOf('\0');
    bool cut = false;
    if (zero >= 0) {
        bytes.truncate(zero);
    } else if (bytes.size() > MaxTextAttachmentBytes) {
        bytes.truncate(int(MaxTextAttachmentBytes));
        cut = true;
        // Drop a character whose bytes were cut apart.
        int lead = bytes.size() - 1;
        int continuations = 0;
        while (lead >= 0 && continuations < 3 && (uchar(bytes.at(lead)) & 0xC0) == 0x80) {
            --lead;
            ++continuations;
        }
        if (lead >= 0) {
            const uchar c = uchar(bytes.at(lead));
            const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (continuations + 1 < length)
                bytes.truncate(lead);
        }
    }
    QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    if (cut)
        text += QStringLiteral("...");
    if (wasCut)
        *wasCut = cut;
    return text;
}
