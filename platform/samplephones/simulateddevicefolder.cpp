#include "platform/samplephones/simulateddevicefolder.h"

#include "platform/durablefile/durablefile.h"
#include "platform/plistinput/plistinput.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <cstdlib>

namespace {

plist_t toNode(const QVariant &value)
{
    switch (static_cast<int>(value.type())) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 seconds = value.toDateTime().toSecsSinceEpoch() - 978307200;
        return plist_new_date(static_cast<int32_t>(seconds), 0);
    }
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        for (const QVariant &item : value.toList())
            plist_array_append_item(array, toNode(item));
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            plist_dict_set_item(dict, it.key().toUtf8().constData(), toNode(it.value()));
        return dict;
    }
    default:
        return plist_new_string(value.toString().toUtf8().constData());
    }
}

QVariant fromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return bool(value);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return qlonglong(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_STRING:
        return QString::fromStdString(plistinput::text(node));
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        const QByteArray result(bytes, static_cast<int>(length));
        free(bytes);
        return result;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
            list << fromNode(plist_array_get_item(node, i));
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!key)
                break;
            map.insert(QString::fromUtf8(key), fromNode(item));
            free(key);
        }
        free(it);
        return map;
    }
    default:
        return QVariant();
    }
}

using Serializer = void (*)(plist_t, char **, uint32_t *);

QByteArray serialized(const QVariant &value, Serializer serialize)
{
    plist_t node = toNode(value);
    char *bytes = nullptr;
    uint32_t length = 0;
    serialize(node, &bytes, &length);
    const QByteArray result(bytes, static_cast<int>(length));
    free(bytes);
    plist_free(node);
    return result;
}

} // namespace

SimulatedDeviceFolder::SimulatedDeviceFolder(const QString &path)
    : m_path(path)
{
    QDir().mkpath(fileSystemPath());
}

QString SimulatedDeviceFolder::fileSystemPath() const
{
    return QDir(m_path).filePath(QStringLiteral("filesystem"));
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setIdentity(const QString &udid, const QString &name,
    const QString &productVersion, const QString &productType, const QString &countryCode)
{
    m_values.insert(QStringLiteral("UniqueDeviceID"), udid);
    m_values.insert(QStringLiteral("DeviceName"), name);
    m_values.insert(QStringLiteral("ProductVersion"), productVersion);
    m_values.insert(QStringLiteral("ProductType"), productType);
    m_values.insert(QStringLiteral("MobileSubscriberCountryCode"), countryCode);
    m_values.insert(QStringLiteral("SerialNumber"), QStringLiteral("F2LSIM") + udid.left(6));
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setValue(
    const QString &domain, const QString &key, const QVariant &value)
{
    if (domain.isEmpty()) {
        m_values.insert(key, value);
    } else {
        QVariantMap values = m_domains.value(domain).toMap();
        values.insert(key, value);
        m_domains.insert(domain, values);
    }
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::removeValue(const QString &domain, const QString &key)
{
    if (domain.isEmpty()) {
        m_values.remove(key);
    } else {
        QVariantMap values = m_domains.value(domain).toMap();
        values.remove(key);
        m_domains.insert(domain, values);
    }
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setFault(const QString &call, int code)
{
    m_faults.insert(call, qlonglong(static_cast<quint32>(code)));
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setServiceFault(const QString &service, int code)
{
    QVariantMap services = m_faults.value(QStringLiteral("Services")).toMap();
    services.insert(service, qlonglong(static_cast<quint32>(code)));
    m_faults.insert(QStringLiteral("Services"), services);
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setPaired(bool paired)
{
    m_faults.insert(QStringLiteral("Paired"), paired);
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setBackupReady(
    qlonglong capacity, qlonglong available)
{
    setValue(QStringLiteral("com.apple.disk_usage"), QStringLiteral("TotalDataCapacity"), capacity);
    setValue(
        QStringLiteral("com.apple.disk_usage"), QStringLiteral("AmountDataAvailable"), available);
    return setValue(
        QStringLiteral("com.apple.mobile.backup"), QStringLiteral("CloudBackupEnabled"), false);
}

bool SimulatedDeviceFolder::moveIntoFileSystem(
    const QString &builtTree, const QString &relativePath)
{
    const QDir from(builtTree);
    const QDir to(QDir(fileSystemPath()).filePath(relativePath));
    QDirIterator it(builtTree, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to.filePath(from.relativeFilePath(source));
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!durable::renameOver(source, target) && !durable::copyFile(source, target))
            return false;
    }
    return true;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::addFile(
    const QString &relativePath, const QByteArray &bytes)
{
    const QString path = QDir(fileSystemPath()).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    durable::writeFile(path, bytes);
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setReplyFault(
    const QString &service, const QString &fault, int after, int code)
{
    return setReply(service,
        { { QStringLiteral("Fault"), fault }, { QStringLiteral("After"), after },
            { QStringLiteral("Code"), code } });
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setReplyDelay(
    const QString &service, int delayMs, int after)
{
    return setReply(service,
        { { QStringLiteral("Fault"), QStringLiteral("Delay") }, { QStringLiteral("After"), after },
            { QStringLiteral("DelayMs"), delayMs } });
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setReply(
    const QString &service, const QVariantMap &fault)
{
    QVariantMap replies = m_faults.value(QStringLiteral("Replies")).toMap();
    replies.insert(service, fault);
    m_faults.insert(QStringLiteral("Replies"), replies);
    return *this;
}

SimulatedDeviceFolder &SimulatedDeviceFolder::setSyncRecords(
    const QString &dataClass, const QVariantMap &records)
{
    const QString path
        = QDir(m_path).filePath(QStringLiteral("mobilesync/%1.plist").arg(dataClass));
    QDir().mkpath(QFileInfo(path).path());
    durable::writeFile(path, toXmlPlist(records));
    return *this;
}

QVariantMap SimulatedDeviceFolder::syncRecords(const QString &dataClass) const
{
    return fromPlistFile(
        QDir(m_path).filePath(QStringLiteral("mobilesync/%1.plist").arg(dataClass)))
        .toMap();
}

QString SimulatedDeviceFolder::appContainer(const QString &identifier)
{
    return QStringLiteral("private/var/mobile/Applications/") + identifier;
}

bool SimulatedDeviceFolder::write() const
{
    QVariantMap values = m_values;
    if (!m_domains.isEmpty())
        values.insert(QStringLiteral("Domains"), m_domains);
    const QDir folder(m_path);
    if (!durable::writeFile(folder.filePath(QStringLiteral("values.plist")), toXmlPlist(values)))
        return false;
    const QString faults = folder.filePath(QStringLiteral("faults.plist"));
    if (m_faults.isEmpty())
        return !QFileInfo::exists(faults) || QFile::remove(faults);
    return durable::writeFile(faults, toXmlPlist(m_faults));
}

QVariantMap SimulatedDeviceFolder::readValues() const
{
    return fromPlistFile(QDir(m_path).filePath(QStringLiteral("values.plist"))).toMap();
}

QByteArray SimulatedDeviceFolder::toXmlPlist(const QVariant &value)
{
    return serialized(value, plist_to_xml);
}

QByteArray SimulatedDeviceFolder::toBinaryPlist(const QVariant &value)
{
    return serialized(value, plist_to_bin);
}

QVariant SimulatedDeviceFolder::fromPlistFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QVariant();
    const QByteArray bytes = file.readAll();
    plist_t node = plistinput::parse(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (!node)
        return QVariant();
    const QVariant result = fromNode(node);
    plist_free(node);
    return result;
}
