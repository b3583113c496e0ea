#include "iosdevice.h"

#include "devicesession.h"

#include "shell/datafolder.h"
#include "shell/messagebox.h"

#include <QRegularExpression>

#include <exception>

namespace {

void warnWithPicture(const QString &text, const QString &picture)
{
    showWarning(QStringLiteral("%1<br/><br/><img src=\"%2\"/>").arg(text, picture));
}

} // namespace

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

bool IOSDevice::usesFileRelay() const
{
    const QList<int> version = versionNumbers();
    return version.isEmpty() || (version.first() >= 5 && version.first() <= 7);
}

bool IOSDevice::checkBackupSettings(bool checkICloud, bool checkEncrypt) const
{
    CFType settings;
    try {
        settings = mobiledevice_copy_values(
            handle, QStringList { QString() }, QStringLiteral("com.apple.mobile.backup"))
                       .value(0);
    } catch (const std::exception &) {
        // Let it through: the backup itself reports what is wrong with the device.
        return true;
    }
    if (checkICloud && settings.value(QStringLiteral("CloudBackupEnabled")).toBool(false)) {
        warnWithPicture(QStringLiteral("Failed to transfer data to device. Please turn off "
                                       "iCloud backup on your iPhone to try again."),
            QStringLiteral(":res/close_icloudbk.jpg"));
        return false;
    }
    if (checkEncrypt && settings.value(QStringLiteral("WillEncrypt")).toBool(false)) {
        warnWithPicture(QStringLiteral("Failed to transfer data to device. Your iTunes backup is "
                                       "encrypted. Please run iTunes on computer and then "
                                       "uncheck \"Encrypt iPhone backup\" option to try again."),
            QStringLiteral(":res/close_itunesbkenc.jpg"));
        return false;
    }
    return true;
}
