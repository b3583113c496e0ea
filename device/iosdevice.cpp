#include "iosdevice.h"

#include "shell/datafolder.h"

#include <QRegularExpression>

IOSDevice::IOSDevice()
    : handle(nullptr)
{
}

IOSDevice::~IOSDevice() = default;

QDir IOSDevice::cacheDir() const
{
    const QDir data = dataFolder();
    const QString root = QDir::cleanPath(data.absoluteFilePath(QStringLiteral("ios_cache")));
    QString path = QDir::cleanPath(data.absoluteFilePath(QStringLiteral("ios_cache/") + udid));
    // The identifier comes from the device: ".." in it must not reach other folders.
    if (!path.startsWith(root + QLatin1Char('/')))
        path = root + QLatin1Char('/') + md5Hex(udid);
    QDir().mkpath(path);
    return QDir(path);
}

QList<int> IOSDevice::versionNumbers() const
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    QList<int> numbers;
    auto it = number.globalMatch(productVersion);
    while (it.hasNext())
        numbers.append(it.next().captured(1).toInt());
    return numbers;
}
