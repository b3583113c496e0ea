#include "toolplist.h"

#include "platform/durablefile/durablefile.h"
#include "platform/plistinput/plistinput.h"

#include <QFile>

#include <cstdlib>
#include <cstring>

PlistPtr readPlistFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return PlistPtr();
    const QByteArray bytes = file.readAll();
    return PlistPtr(plistinput::parse(bytes.constData(), static_cast<size_t>(bytes.size())));
}

bool writePlistFile(plist_t node, const QString &path, QString *error)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml) {
        if (error)
            *error = path + QStringLiteral(": the property list cannot be written as XML");
        return false;
    }
    const bool ok = durable::writeFile(path, QByteArray(xml, static_cast<int>(length)), error);
    free(xml);
    return ok;
}

plist_t dictItem(plist_t dict, const char *key)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return nullptr;
    return plist_dict_get_item(dict, key);
}

QString stringOf(plist_t dict, const char *key)
{
    plist_t item = dictItem(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return QString();
    return QString::fromStdString(plistinput::text(item));
}

bool boolOf(plist_t dict, const char *key, bool fallback)
{
    plist_t item = dictItem(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_BOOLEAN)
        return fallback;
    uint8_t value = 0;
    plist_get_bool_val(item, &value);
    return value != 0;
}

long long integerOf(plist_t dict, const char *key, long long fallback)
{
    plist_t item = dictItem(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_UINT)
        return fallback;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return static_cast<long long>(value);
}

QByteArray dataOf(plist_t dict, const char *key)
{
    plist_t item = dictItem(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_DATA)
        return QByteArray();
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(item, &bytes, &length);
    const QByteArray result(bytes, static_cast<int>(length));
    free(bytes);
    return result;
}

void setString(plist_t dict, const char *key, const QString &value)
{
    plist_dict_set_item(dict, key, plist_new_string(value.toUtf8().constData()));
}

void setDate(plist_t dict, const char *key, const QDateTime &value)
{
    // Property-list dates count from 2001-01-01.
    const qint64 seconds = value.toSecsSinceEpoch() - 978307200;
    plist_dict_set_item(dict, key, plist_new_date(static_cast<int32_t>(seconds), 0));
}
