#include "records/relaypath.h"

#include <QFileInfo>

QString relayFilePath(
    const QDir &fileRelayDir, const QString &deviceFilename, RelayBackslash backslash)
{
    QString relative = deviceFilename;
    if (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    if (relative.startsWith(QLatin1String("~/")))
        relative.replace(0, 2, QStringLiteral("var/mobile/"));
    for (const QChar ch : QStringLiteral(":*?\"<>|"))
        relative.remove(ch);
    if (backslash == RelayBackslash::Remove)
        relative.remove(QLatin1Char('\\'));
    if (relative.isEmpty())
        return QString();

    const QString root = QDir::cleanPath(fileRelayDir.absolutePath());
    const QString path = QDir::cleanPath(root + QLatin1Char('/') + relative);
    if (!path.startsWith(root + QLatin1Char('/')))
        return QString();

    // The copied tree may hold symbolic links: the deepest entry that exists must resolve
    // inside it. Without the tree nothing can point elsewhere.
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty())
        return path;
    for (QString probe = path; probe.length() > root.length(); probe = QFileInfo(probe).path()) {
        const QFileInfo info(probe);
        if (!info.exists() && !info.isSymLink())
            continue;
        const QString canonical = info.canonicalFilePath();
        if (canonical != canonicalRoot && !canonical.startsWith(canonicalRoot + QLatin1Char('/')))
            return QString();
        break;
    }
    return path;
}
