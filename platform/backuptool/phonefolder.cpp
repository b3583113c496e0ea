#include "phonefolder.h"

#include "platform/mobiledevice/devicesfolder.h"

#include <QFile>

#include <stdexcept>

namespace {

const char backupDomain[] = "com.apple.mobile.backup";

} // namespace

PhoneFolder PhoneFolder::find(const QString &udid)
{
    const QDir devices(QFile::decodeName(QByteArray::fromStdString(DevicesFolder::path())));
    for (const QString &name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString folder = devices.absoluteFilePath(name);
        PlistPtr values = readPlistFile(folder + QStringLiteral("/values.plist"));
        if (!values || stringOf(values.get(), "UniqueDeviceID") != udid)
            continue;
        PhoneFolder phone;
        phone.m_folder = folder;
        phone.m_udid = udid;
        phone.m_values = std::move(values);
        phone.m_faults = readPlistFile(folder + QStringLiteral("/faults.plist"));
        return phone;
    }
    throw std::runtime_error(
        QStringLiteral("No device with the identifier %1 is connected.").arg(udid).toStdString());
}

QDir PhoneFolder::fileSystem() const
{
    return QDir(m_folder + QStringLiteral("/filesystem"));
}

QString PhoneFolder::value(const char *key) const
{
    return stringOf(m_values.get(), key);
}

plist_t PhoneFolder::domain(const char *name) const
{
    return dictItem(dictItem(m_values.get(), "Domains"), name);
}

void PhoneFolder::startBackupService() const
{
    const long long refusal
        = integerOf(dictItem(m_faults.get(), "Services"), "com.apple.mobilebackup2", 0);
    if (refusal != 0)
        throw std::runtime_error(
            QStringLiteral("The device refused to start its backup service (code %1).")
                .arg(refusal)
                .toStdString());
}

bool PhoneFolder::encrypts() const
{
    return boolOf(domain(backupDomain), "WillEncrypt") && !backupPassword().isEmpty();
}

QByteArray PhoneFolder::backupPassword() const
{
    return stringOf(domain(backupDomain), "BackupPassword").toUtf8();
}
