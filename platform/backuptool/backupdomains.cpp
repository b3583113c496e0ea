#include "backupdomains.h"

#include <QStringList>

namespace {

struct Rule
{
    const char *prefix; // below the file system root
    const char *domain;
    const char *pathPrefix; // what the path in the domain begins with
};

// First match wins; the way back takes the first rule of a domain.
const Rule rules[] = {
    { "var/mobile/Media/DCIM/", "CameraRollDomain", "Media/DCIM/" },
    { "var/mobile/Media/PhotoData/", "CameraRollDomain", "Media/PhotoData/" },
    { "var/mobile/Library/SMS/Attachments/", "MediaDomain", "Library/SMS/Attachments/" },
    { "var/mobile/Media/", "MediaDomain", "Media/" },
    { "var/mobile/", "HomeDomain", "" },
    { "var/wireless/", "WirelessDomain", "" },
    { "var/root/", "RootDomain", "" },
};

const char *const homeFolders[] = { "var/mobile/", "var/wireless/", "var/root/" };

} // namespace

DomainPath domainPathOf(const QString &devicePath)
{
    for (const Rule &rule : rules) {
        const QString prefix = QLatin1String(rule.prefix);
        if (devicePath.startsWith(prefix) && devicePath.size() > prefix.size())
            return { QLatin1String(rule.domain),
                QLatin1String(rule.pathPrefix) + devicePath.mid(prefix.size()) };
    }
    return {};
}

QString devicePathOf(const QString &domain, const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || parts.contains(QStringLiteral(".."))
        || parts.contains(QStringLiteral(".")) || parts.contains(QString()))
        return QString();
    QString home;
    if (domain == QLatin1String("HomeDomain") || domain == QLatin1String("MediaDomain")
        || domain == QLatin1String("CameraRollDomain"))
        home = QLatin1String(homeFolders[0]);
    else if (domain == QLatin1String("WirelessDomain"))
        home = QLatin1String(homeFolders[1]);
    else if (domain == QLatin1String("RootDomain"))
        home = QLatin1String(homeFolders[2]);
    return home.isEmpty() ? QString() : home + path;
}
