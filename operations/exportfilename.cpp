#include "operations/exportfilename.h"

namespace {

bool refused(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7F || QStringLiteral("\\/:*?\"<>|").contains(c);
}

// The text cut to at most `bytes` bytes of UTF-8, never inside a surrogate pair.
QString cutToBytes(const QString &text, int bytes)
{
    int used = 0;
    int i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size();
        const int length = pair ? 2 : 1;
        const int size = text.mid(i, length).toUtf8().size();
        if (used + size > bytes)
            break;
        used += size;
        i += length;
    }
    return text.left(i);
}

}

QString safeFileName(const QString &name, const QString &fallback)
{
    QString clean;
    clean.reserve(name.size());
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            clean += c;
            clean += name.at(++i);
        } else if (c.isSurrogate()) {
            clean += QLatin1Char('_');
        } else if (!refused(c)) {
            clean += c;
        }
    }
    clean = clean.trimmed();
    if (clean.toUtf8().size() > MaxExportNameBytes) {
        const int dot = clean.lastIndexOf(QLatin1Char('.'));
        QString suffix = dot > 0 ? clean.mid(dot) : QString();
        if (suffix.toUtf8().size() > MaxExportNameBytes / 4)
            suffix.clear();
        clean = cutToBytes(clean, MaxExportNameBytes - suffix.toUtf8().size()).trimmed() + suffix;
    }
    bool onlyDots = true;
    for (const QChar c : qAsConst(clean))
        onlyDots = onlyDots && c == QLatin1Char('.');
    return onlyDots ? fallback : clean;
}
