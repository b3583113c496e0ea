#include "plistvalue.h"

#include "platform/plistinput/plistinput.h"

#include <algorithm>
#include <cstdlib>

namespace {

const qint64 kAppleEpoch = 978307200; // 2001-01-01 00:00:00 UTC in Unix seconds

QString takeUtf8(char *text)
{
    const QString result = text ? QString::fromUtf8(text) : QString();
    free(text);
    return result;
}

bool isAncestorOrSelf(plist_t candidate, plist_t node)
{
    for (plist_t n = node; n; n = plist_get_parent(n)) {
        if (n == candidate)
            return true;
    }
    return false;
}

} // namespace

void PlistNodeHolder::release()
{
    if (owned && node)
        plist_free(node);
    node = nullptr;
}

void PlistNodeHolder::freeNode()
{
    if (node)
        plist_free(node);
    node = nullptr;
}

PlistValue::PlistValue()
    : d(new PlistNodeHolder(nullptr, true))
{
}

PlistValue::PlistValue(plist_t node, bool owned)
    : d(new PlistNodeHolder(node, owned))
{
}

PlistValue::PlistValue(const QSharedPointer<PlistNodeHolder> &holder)
    : d(holder)
{
}

PlistValue PlistValue::nullValue(bool owned)
{
    return PlistValue(nullptr, owned);
}

PlistValue PlistValue::fromBool(bool value, bool owned)
{
    return PlistValue(plist_new_bool(value ? 1 : 0), owned);
}

PlistValue PlistValue::fromUInt64(quint64 value, bool owned)
{
    return PlistValue(plist_new_uint(value), owned);
}

PlistValue PlistValue::fromDouble(double value, bool owned)
{
    return PlistValue(plist_new_real(value), owned);
}

PlistValue PlistValue::fromByteArray(const QByteArray &value, bool owned)
{
    return PlistValue(
        plist_new_data(value.constData(), static_cast<uint64_t>(value.size())), owned);
}

PlistValue PlistValue::fromDateTime(const QDateTime &value, bool owned)
{
    const qint64 secs = value.toSecsSinceEpoch() - kAppleEpoch;
    return PlistValue(plist_new_date(static_cast<int32_t>(secs), 0), owned);
}

PlistValue PlistValue::fromString(const QString &value, bool owned)
{
    return PlistValue(plist_new_string(value.toUtf8().constData()), owned);
}

PlistValue PlistValue::fromKey(const QString &value, bool owned)
{
    // libplist has no key constructor: a lone string node turned into a key.
    plist_t node = plist_new_string("");
    plist_set_key_val(node, value.toUtf8().constData());
    return PlistValue(node, owned);
}

PlistValue PlistValue::fromData(const QByteArray &data, bool owned)
{
    return PlistValue(plistinput::parse(data.constData(), static_cast<size_t>(data.size())), owned);
}

PlistValue PlistValue::newArray(bool owned)
{
    return PlistValue(plist_new_array(), owned);
}

PlistValue PlistValue::newDict(bool owned)
{
    return PlistValue(plist_new_dict(), owned);
}

PlistValue PlistValue::copy(const PlistValue &other, bool owned)
{
    plist_t n = other.node();
    return PlistValue(n ? plist_copy(n) : nullptr, owned);
}

bool PlistValue::isType(plist_type type) const
{
    plist_t n = node();
    return n && plist_get_node_type(n) == type;
}

bool PlistValue::isNull() const
{
    plist_t n = node();
    return !n || plist_get_node_type(n) == PLIST_NONE;
}

bool PlistValue::toBool() const
{
    if (!isBool())
        return false;
    uint8_t value = 0;
    plist_get_bool_val(node(), &value);
    return value != 0;
}

quint64 PlistValue::toUInt64() const
{
    if (!isUInt())
        return 0;
    uint64_t value = 0;
    plist_get_uint_val(node(), &value);
    return value;
}

double PlistValue::toDouble() const
{
    if (!isReal())
        return 0.0;
    double value = 0.0;
    plist_get_real_val(node(), &value);
    return value;
}

QByteArray PlistValue::toByteArray() const
{
    if (!isData())
        return QByteArray();
    char *data = nullptr;
    uint64_t size = 0;
    plist_get_data_val(node(), &data, &size);
    const QByteArray result(data ? data : "", data ? static_cast<int>(size) : 0);
    free(data);
    return result;
}

QDateTime PlistValue::toDateTime() const
{
    if (!isDate())
        return QDateTime();
    int32_t sec = 0;
    int32_t usec = 0;
    plist_get_date_val(node(), &sec, &usec);
    const qint64 msecs = (kAppleEpoch + sec) * 1000 + usec / 1000;
    return QDateTime::fromMSecsSinceEpoch(msecs).toLocalTime();
}

QString PlistValue::toString() const
{
    if (!isString())
        return QString();
    return QString::fromStdString(plistinput::text(node()));
}

QString PlistValue::keyString() const
{
    if (!isKey())
        return QString();
    return QString::fromStdString(plistinput::text(node()));
}

int PlistValue::arraySize() const
{
    return isArray() ? static_cast<int>(plist_array_get_size(node())) : 0;
}

int PlistValue::dictSize() const
{
    return isDict() ? static_cast<int>(plist_dict_get_size(node())) : 0;
}

QMap<QString, PlistValue> PlistValue::toMap() const
{
    QMap<QString, PlistValue> map;
    if (!isDict())
        return map;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node(), &it);
    if (!it)
        return map;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node(), it, &key, &value);
        if (!value) {
            free(key);
            break;
        }
        map.insert(takeUtf8(key), PlistValue(plist_copy(value), true));
    }
    free(it);
    return map;
}

QString PlistValue::toXml() const
{
    plist_t n = node();
    if (!n)
        return QString();
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(n, &xml, &size);
    const QString result = xml ? QString::fromUtf8(xml, static_cast<int>(size)) : QString();
    plist_to_xml_free(xml);
    return result;
}

QByteArray PlistValue::toBinary() const
{
    plist_t n = node();
    if (!n)
        return QByteArray();
    char *bin = nullptr;
    uint32_t size = 0;
    plist_to_bin(n, &bin, &size);
    const QByteArray result = bin ? QByteArray(bin, static_cast<int>(size)) : QByteArray();
    plist_to_bin_free(bin);
    return result;
}

plist_t PlistValue::node() const
{
    return d ? d->node : nullptr;
}

QSharedPointer<PlistNodeHolder> PlistValue::treeHolder() const
{
    // A tree that was put into another one belongs to the outer tree's holder.
    QSharedPointer<PlistNodeHolder> top = d;
    while (top && top->owner)
        top = top->owner;
    return top;
}

namespace {

void registerInside(
    const QSharedPointer<PlistNodeHolder> &top, const QSharedPointer<PlistNodeHolder> &holder)
{
    auto &inside = top->inside;
    // Values come and go as a tree is read: drop the gone ones now and then.
    if (inside.size() >= top->pruneAt) {
        inside.erase(std::remove_if(inside.begin(), inside.end(),
                         [](const QWeakPointer<PlistNodeHolder> &w) { return w.isNull(); }),
            inside.end());
        top->pruneAt = std::max(64, 2 * inside.size());
    }
    inside.append(holder);
}

} // namespace

PlistValue PlistValue::child(plist_t n) const
{
    PlistValue value(n, false);
    if (n) {
        const QSharedPointer<PlistNodeHolder> top = treeHolder();
        value.d->owner = top;
        registerInside(top, value.d);
    }
    return value;
}

void PlistValue::forgetSubtree(plist_t subtree) const
{
    const QSharedPointer<PlistNodeHolder> top = treeHolder();
    if (!top)
        return;
    for (const QWeakPointer<PlistNodeHolder> &w : qAsConst(top->inside)) {
        const QSharedPointer<PlistNodeHolder> h = w.toStrongRef();
        if (h && h->node && isAncestorOrSelf(subtree, h->node))
            h->node = nullptr;
    }
    if (top->node && isAncestorOrSelf(subtree, top->node))
        top->node = nullptr;
}

PlistValue PlistValue::item(const QString &key) const
{
    if (!isDict())
        return PlistValue(nullptr, false);
    return child(plist_dict_get_item(node(), key.toUtf8().constData()));
}

PlistValue PlistValue::arrayItem(int index) const
{
    if (!isArray() || index < 0 || index >= arraySize())
        return PlistValue(nullptr, false);
    return child(plist_array_get_item(node(), static_cast<uint32_t>(index)));
}

plist_t PlistValue::adopt(PlistValue &value) const
{
    plist_t n = value.node();
    if (!n)
        return nullptr;
    // A node that already sits in a tree, or that would contain this one, goes in as a copy:
    // inserting it itself would free it twice or make a cycle.
    if (plist_get_parent(n) || isAncestorOrSelf(n, node()))
        return plist_copy(n);
    const QSharedPointer<PlistNodeHolder> top = treeHolder();
    value.d->owned = false;
    value.d->owner = top;
    // The inserted tree's values now point into this tree.
    registerInside(top, value.d);
    for (const QWeakPointer<PlistNodeHolder> &w : qAsConst(value.d->inside)) {
        if (const QSharedPointer<PlistNodeHolder> h = w.toStrongRef())
            registerInside(top, h);
    }
    value.d->inside.clear();
    return n;
}

PlistValue &PlistValue::setItem(const QString &key, PlistValue value)
{
    if (!isDict())
        return *this;
    plist_t n = adopt(value);
    if (!n)
        return *this;
    const QByteArray k = key.toUtf8();
    // Removing first moves the key to the end, as a fresh entry.
    if (plist_t old = plist_dict_get_item(node(), k.constData())) {
        forgetSubtree(old);
        plist_dict_remove_item(node(), k.constData());
    }
    plist_dict_set_item(node(), k.constData(), n);
    return *this;
}

PlistValue &PlistValue::arrayAppend(PlistValue value)
{
    if (!isArray())
        return *this;
    plist_t n = adopt(value);
    if (n)
        plist_array_append_item(node(), n);
    return *this;
}

void PlistValue::freeNode()
{
    plist_t n = node();
    if (!n)
        return;
    forgetSubtree(n);
    d->node = nullptr;
    plist_t parent = plist_get_parent(n);
    if (!parent) {
        plist_free(n);
        return;
    }
    // A node inside a tree leaves it first, or the tree would free it a second time.
    if (plist_get_node_type(parent) == PLIST_ARRAY) {
        plist_array_item_remove(n);
    } else if (plist_get_node_type(parent) == PLIST_DICT) {
        const std::string key = plistinput::text(plist_dict_item_get_key(n));
        // Removal goes by key: only when the key finds this very node (a binary list may
        // repeat a key) is it taken out; otherwise it stays until its tree is freed.
        if (plist_dict_get_item(parent, key.c_str()) == n)
            plist_dict_remove_item(parent, key.c_str());
    }
}
