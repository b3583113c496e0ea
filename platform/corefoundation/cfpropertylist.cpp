// Property lists in XML and binary form, through libplist. What comes in is untrusted:
// nesting is bounded and anything that does not convert gives null, never a crash.
#include "cfkinds.h"
#include "cfobject.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace qmcf {

namespace {

constexpr int maxDepth = 256;

struct PlistDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist keeps dates as 32-bit seconds and microseconds. XML holds whole seconds, which
// libplist would cut toward zero: before 2001 that is a second late, so they are floored here.
plist_t newDate(CFAbsoluteTime at, bool wholeSeconds)
{
    if (wholeSeconds)
        at = std::floor(at);
    const double seconds = std::floor(at);
    if (!std::isfinite(at) || seconds < std::numeric_limits<int32_t>::min()
        || seconds > std::numeric_limits<int32_t>::max())
        return nullptr;
    int32_t micro = static_cast<int32_t>(std::lround((at - seconds) * 1e6));
    int32_t whole = static_cast<int32_t>(seconds);
    if (micro >= 1000000) {
        if (whole == std::numeric_limits<int32_t>::max())
            micro = 999999;
        else {
            ++whole;
            micro = 0;
        }
    }
    return plist_new_date(whole, micro);
}

plist_t toNode(CFTypeRef ref, int depth, bool wholeSeconds)
{
    if (depth > maxDepth)
        return nullptr;
    bool boolean = false;
    if (booleanValue(ref, &boolean))
        return plist_new_bool(boolean);
    int64_t integer = 0;
    double real = 0;
    if (isNumber(ref)) {
        if (numberValue(ref, &integer, &real))
            return plist_new_real(real);
        return plist_new_uint(static_cast<uint64_t>(integer));
    }
    std::string text;
    if (stringUtf8(ref, &text)) {
        // libplist strings end at the first NUL; a string with one would come back cut.
        if (text.find('\0') != std::string::npos)
            return nullptr;
        return plist_new_string(text.c_str());
    }
    if (const std::vector<UInt8> *bytes = dataBytes(ref))
        return plist_new_data(reinterpret_cast<const char *>(bytes->data()), bytes->size());
    CFAbsoluteTime at = 0;
    if (dateValue(ref, &at))
        return newDate(at, wholeSeconds);
    std::vector<CFTypeRef> items;
    if (arrayItems(ref, &items)) {
        PlistPtr array(plist_new_array());
        for (CFTypeRef item : items) {
            plist_t node = toNode(item, depth + 1, wholeSeconds);
            if (!node)
                return nullptr;
            plist_array_append_item(array.get(), node);
        }
        return array.release();
    }
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
    if (dictionaryEntries(ref, &entries)) {
        PlistPtr dict(plist_new_dict());
        for (const auto &entry : entries) {
            std::string key;
            if (!stringUtf8(entry.first, &key) || key.find('\0') != std::string::npos)
                return nullptr;
            plist_t node = toNode(entry.second, depth + 1, wholeSeconds);
            if (!node)
                return nullptr;
            plist_dict_set_item(dict.get(), key.c_str(), node);
        }
        return dict.release();
    }
    return nullptr;
}

// Owned references, released together unless handed on.
class RefList
{
public:
    ~RefList()
    {
        for (CFTypeRef ref : refs)
            CFRelease(ref);
    }
    std::vector<CFTypeRef> refs;
};

CFTypeRef fromNode(plist_t node, int depth);

CFTypeRef fromDictionary(plist_t node, int depth)
{
    RefList keys;
    RefList values;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    if (!it)
        return nullptr;
    bool ok = true;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!key)
            break;
        CFTypeRef keyRef = createStringLenient(key, std::strlen(key));
        free(key);
        CFTypeRef valueRef = value ? fromNode(value, depth + 1) : nullptr;
        keys.refs.push_back(keyRef);
        if (!valueRef) {
            ok = false;
            break;
        }
        values.refs.push_back(valueRef);
    }
    free(it);
    if (!ok)
        return nullptr;
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
    for (size_t i = 0; i < values.refs.size(); ++i)
        entries.emplace_back(keys.refs[i], values.refs[i]);
    return createFrozenDictionary(entries);
}

CFTypeRef fromNode(plist_t node, int depth)
{
    if (!node || depth > maxDepth)
        return nullptr;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return createInteger(static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return createReal(value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *value = nullptr;
        if (plist_get_node_type(node) == PLIST_KEY)
            plist_get_key_val(node, &value);
        else
            plist_get_string_val(node, &value);
        CFTypeRef result = createStringLenient(value ? value : "", value ? std::strlen(value) : 0);
        free(value);
        return result;
    }
    case PLIST_DATA: {
        char *value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        CFTypeRef result = createData(value, value ? length : 0);
        free(value);
        return result;
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t micro = 0;
        plist_get_date_val(node, &seconds, &micro);
        // libplist hands out the fraction without its sign.
        const double fraction = std::abs(micro) / 1e6;
        return createDate(seconds < 0 ? seconds - fraction : seconds + fraction);
    }
    case PLIST_ARRAY: {
        RefList items;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size; ++i) {
            CFTypeRef item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (!item)
                return nullptr;
            items.refs.push_back(item);
        }
        return createFrozenArray(items.refs);
    }
    case PLIST_DICT:
        return fromDictionary(node, depth);
    case PLIST_UID: {
        // Archived object references read as {"CF$UID": n}, as their XML form shows them.
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        RefList parts;
        parts.refs.push_back(createStringLenient("CF$UID", 6));
        parts.refs.push_back(createInteger(static_cast<int64_t>(value)));
        return createFrozenDictionary({ { parts.refs[0], parts.refs[1] } });
    }
    default:
        return nullptr;
    }
}

// The deepest nesting of <array> and <dict> in an XML property list, counted before
// libplist sees it. Stops counting once past the limit.
bool xmlNestingWithinLimit(const char *text, size_t length)
{
    int depth = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        if (text[i] != '<')
            continue;
        const bool closing = text[i + 1] == '/';
        const size_t nameStart = i + (closing ? 2 : 1);
        const auto startsWith = [&](const char *name) {
            const size_t n = std::strlen(name);
            return nameStart + n <= length && std::memcmp(text + nameStart, name, n) == 0;
        };
        if (!startsWith("array") && !startsWith("dict"))
            continue;
        size_t end = nameStart;
        while (end < length && text[end] != '>')
            ++end;
        if (end < length && text[end - 1] == '/')
            continue;
        depth += closing ? -1 : 1;
        if (depth > maxDepth)
            return false;
    }
    return true;
}

uint64_t readBigEndian(const UInt8 *p, int n)
{
    uint64_t value = 0;
    for (int i = 0; i < n; ++i)
        value = (value << 8) | p[i];
    return value;
}

// The containers of a binary property list and their item references, so that its
// nesting can be measured before libplist, which recurses without limit, reads it.
class BinaryObjects
{
public:
    explicit BinaryObjects(const std::vector<UInt8> &bytes)
        : m_bytes(bytes)
    {
        const size_t size = bytes.size();
        if (size < 8 + 32)
            return;
        const UInt8 *trailer = bytes.data() + size - 32;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_count = readBigEndian(trailer + 8, 8);
        m_top = readBigEndian(trailer + 16, 8);
        m_table = readBigEndian(trailer + 24, 8);
        m_valid = m_offsetSize >= 1 && m_offsetSize <= 8 && m_refSize >= 1 && m_refSize <= 8
            && m_top < m_count && m_table < size && m_count <= (size - m_table) / m_offsetSize;
    }

    bool valid() const { return m_valid; }
    uint64_t count() const { return m_count; }
    uint64_t top() const { return m_top; }
    uint64_t offsetOf(uint64_t object) const
    {
        return readBigEndian(m_bytes.data() + m_table + object * m_offsetSize, m_offsetSize);
    }

    // The objects a container refers to; false for a malformed one. Scalars have none.
    bool children(uint64_t object, std::vector<uint64_t> *out) const
    {
        out->clear();
        const size_t end = m_bytes.size() - 32;
        const uint64_t offset = offsetOf(object);
        if (offset < 8 || offset >= end)
            return false;
        const UInt8 marker = m_bytes[offset];
        const int kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            return true;
        uint64_t items = marker & 0x0F;
        uint64_t position = offset + 1;
        if (items == 0x0F) {
            if (position >= end || (m_bytes[position] >> 4) != 0x1)
                return false;
            const int width = 1 << (m_bytes[position] & 0x0F);
            if (width > 8 || position + 1 + width > end)
                return false;
            items = readBigEndian(m_bytes.data() + position + 1, width);
            position += 1 + width;
        }
        const uint64_t refs = kind == 0xD ? items * 2 : items;
        if (items > end || refs > (end - position) / m_refSize)
            return false;
        for (uint64_t i = 0; i < refs; ++i) {
            const uint64_t child
                = readBigEndian(m_bytes.data() + position + i * m_refSize, m_refSize);
            if (child >= m_count)
                return false;
            out->push_back(child);
        }
        return true;
    }

private:
    const std::vector<UInt8> &m_bytes;
    bool m_valid = false;
    int m_offsetSize = 0;
    int m_refSize = 0;
    uint64_t m_count = 0;
    uint64_t m_top = 0;
    uint64_t m_table = 0;
};

// False for a binary property list nested deeper than the limit, holding a cycle, or
// malformed in its containers.
bool binaryNestingWithinLimit(const std::vector<UInt8> &bytes)
{
    const BinaryObjects objects(bytes);
    if (!objects.valid())
        return false;
    // Depth below each object, computed once per object: -1 unknown, -2 on the path.
    std::vector<int> depth(static_cast<size_t>(objects.count()), -1);
    struct Frame
    {
        uint64_t object;
        std::vector<uint64_t> children;
        size_t next;
        int deepest;
    };
    std::vector<Frame> path;
    const auto enter = [&](uint64_t object) {
        Frame frame { object, {}, 0, 0 };
        if (!objects.children(object, &frame.children))
            return false;
        depth[object] = -2;
        path.push_back(std::move(frame));
        return path.size() <= static_cast<size_t>(maxDepth);
    };
    if (!enter(objects.top()))
        return false;
    while (!path.empty()) {
        Frame &frame = path.back();
        if (frame.next == frame.children.size()) {
            depth[frame.object] = frame.deepest + 1;
            const int done = depth[frame.object];
            path.pop_back();
            if (!path.empty())
                path.back().deepest = std::max(path.back().deepest, done);
            continue;
        }
        const uint64_t child = frame.children[frame.next++];
        if (depth[child] == -2)
            return false;
        if (depth[child] >= 0) {
            frame.deepest = std::max(frame.deepest, depth[child]);
            if (path.size() + static_cast<size_t>(depth[child]) > static_cast<size_t>(maxDepth))
                return false;
            continue;
        }
        if (!enter(child))
            return false;
    }
    return true;
}

// A binary property list whose top object is a date: libplist 2.2 misreads that one.
bool binaryRootDate(const std::vector<UInt8> &bytes, CFAbsoluteTime *at)
{
    const BinaryObjects objects(bytes);
    if (!objects.valid())
        return false;
    const uint64_t objectOffset = objects.offsetOf(objects.top());
    if (objectOffset < 8 || objectOffset + 9 > bytes.size() - 32 || bytes[objectOffset] != 0x33)
        return false;
    const uint64_t bits = readBigEndian(bytes.data() + objectOffset + 1, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    *at = value;
    return true;
}

} // namespace

} // namespace qmcf

using namespace qmcf;

extern "C" {

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
    CFPropertyListFormat format, CFOptionFlags, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return nullptr;
    PlistPtr root(toNode(propertyList, 0, format == kCFPropertyListXMLFormat_v1_0));
    if (!root)
        return nullptr;
    char *bytes = nullptr;
    uint32_t length = 0;
    if (format == kCFPropertyListXMLFormat_v1_0)
        plist_to_xml(static_cast<plist_t>(root.get()), &bytes, &length);
    else
        plist_to_bin(static_cast<plist_t>(root.get()), &bytes, &length);
    if (!bytes)
        return nullptr;
    CFDataRef data = createData(bytes, length);
    free(bytes);
    return data;
}

CFPropertyListRef CFPropertyListCreateWithData(
    CFAllocatorRef, CFDataRef data, CFOptionFlags, CFPropertyListFormat *format, CFErrorRef *error)
{
    if (error)
        *error = nullptr;
    const std::vector<UInt8> *bytes = dataBytes(data);
    if (!bytes || bytes->empty() || bytes->size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    const char *text = reinterpret_cast<const char *>(bytes->data());
    const auto length = static_cast<uint32_t>(bytes->size());
    const bool binary = length >= 8 && std::memcmp(text, "bplist00", 8) == 0;
    plist_t root = nullptr;
    if (binary) {
        CFAbsoluteTime at = 0;
        if (binaryRootDate(*bytes, &at)) {
            if (format)
                *format = kCFPropertyListBinaryFormat_v1_0;
            return createDate(at);
        }
        if (binaryNestingWithinLimit(*bytes))
            plist_from_bin(text, length, &root);
    } else if (xmlNestingWithinLimit(text, length)) {
        plist_from_xml(text, length, &root);
    }
    if (!root)
        return nullptr;
    CFTypeRef result = fromNode(root, 0);
    plist_free(root);
    if (result && format)
        *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return result;
}
}
