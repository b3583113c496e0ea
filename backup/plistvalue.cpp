#include "plistvalue.h"

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

quint64 readBigEndian(const uchar *p, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

enum class Utf16Scan { Clean, Cut, Unreadable };

// libplist's binary reader keeps a UTF-16 string's U+0000 inside the converted UTF-8 but
// records the longer length, on which its getters abort. Cutting the declared length of such
// a string at its first zero gives the text up to the zero, as libplist already does for
// ASCII strings, and leaves every other value exact. Objects are found through the offset
// table, so a shorter length moves nothing.
Utf16Scan cutUtf16StringsAtZero(QByteArray &bin)
{
    const quint64 size = static_cast<quint64>(bin.size());
    if (size < 8 + 32)
        return Utf16Scan::Unreadable;
    auto *p = reinterpret_cast<uchar *>(bin.data());
    const uchar *trailer = p + size - 32;
    const int offsetSize = trailer[6];
    const quint64 count = readBigEndian(trailer + 8, 8);
    const quint64 tableStart = readBigEndian(trailer + 24, 8);
    // libplist reads other offset widths its own way; those lists take the safe road.
    const bool knownWidth
        = offsetSize == 1 || offsetSize == 2 || offsetSize == 4 || offsetSize == 8;
    if (!knownWidth || tableStart < 8 || tableStart > size - 32
        || count > (size - 32 - tableStart) / static_cast<quint64>(offsetSize))
        return Utf16Scan::Unreadable;

    // Bounds are the whole list, wider than libplist's, so no string it accepts is missed.
    // Overlapping strings could make the scan quadratic: past a budget the list is not vouched
    // for.
    quint64 budget = 4 * size;
    Utf16Scan result = Utf16Scan::Clean;
    for (quint64 i = 0; i < count; ++i) {
        const quint64 at = readBigEndian(p + tableStart + i * offsetSize, offsetSize);
        if (at >= size || (p[at] & 0xF0) != 0x60)
            continue;
        quint64 length = p[at] & 0x0F;
        quint64 chars = at + 1;
        quint64 lengthAt = 0;
        int width = 0;
        if (length == 0x0F) {
            if (chars >= size || (p[chars] & 0xF0) != 0x10 || (p[chars] & 0x0F) > 3)
                return Utf16Scan::Unreadable;
            width = 1 << (p[chars] & 0x0F);
            lengthAt = chars + 1;
            if (size - lengthAt < static_cast<quint64>(width))
                return Utf16Scan::Unreadable;
            length = readBigEndian(p + lengthAt, width);
            chars = lengthAt + width;
        }
        if (length > (size - chars) / 2)
            continue; // runs past the end: libplist refuses it
        if (length > budget)
            return Utf16Scan::Unreadable;
        budget -= length;
        for (quint64 k = 0; k < length; ++k) {
            if (p[chars + 2 * k] != 0 || p[chars + 2 * k + 1] != 0)
                continue;
            if (k == 0) {
                p[at] = 0x50; // libplist refuses an empty UTF-16 string but takes ASCII
            } else if (width == 0) {
                p[at] = static_cast<uchar>(0x60 | k);
            } else {
                quint64 v = k;
                for (int b = width - 1; b >= 0; --b, v >>= 8)
                    p[lengthAt + b] = static_cast<uchar>(v & 0xFF);
            }
            result = Utf16Scan::Cut;
            break;
        }
    }
    return result;
}

// The slow road for lists the scan cannot vouch for: through XML, every string and key comes
// back consistent, at the price of the fractions of a second in dates.
plist_t throughXml(plist_t node)
{
    char *xml = nullptr;
    uint32_t xmlSize = 0;
    plist_to_xml(node, &xml, &xmlSize);
    plist_free(node);
    plist_t result = nullptr;
    if (xml)
        plist_from_xml(xml, xmlSize, &result);
    plist_to_xml_free(xml);
    return result;
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
    plist_t node = nullptr;
    if (data.size() > 8 && data.startsWith("bplist00")) {
        QByteArray bin = data;
        Utf16Scan scan = cutUtf16StringsAtZero(bin);
        // Strings may overlap in a crafted list, so a cut one is only trusted when checked.
        if (scan == Utf16Scan::Cut)
            scan = cutUtf16StringsAtZero(bin);
        const bool clean = scan == Utf16Scan::Clean;
        plist_from_bin(bin.constData(), static_cast<uint32_t>(bin.size()), &node);
        if (node && !clean)
            node = throughXml(node);
    } else if (!data.isEmpty()) {
        plist_from_xml(data.constData(), static_cast<uint32_t>(data.size()), &node);
    }
    return PlistValue(node, owned);
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
    // Not plist_get_string_val: it aborts on a node whose text holds a zero byte.
    const char *text = plist_get_string_ptr(node(), nullptr);
    return text ? QString::fromUtf8(text) : QString();
}

QString PlistValue::keyString() const
{
    if (!isKey())
        return QString();
    char *text = nullptr;
    plist_get_key_val(node(), &text);
    return takeUtf8(text);
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
        char *key = nullptr;
        plist_get_key_val(plist_dict_item_get_key(n), &key);
        // Removal goes by key: only when the key finds this very node (a binary list may
        // repeat a key) is it taken out; otherwise it stays until its tree is freed.
        if (key && plist_dict_get_item(parent, key) == n)
            plist_dict_remove_item(parent, key);
        free(key);
    }
}
