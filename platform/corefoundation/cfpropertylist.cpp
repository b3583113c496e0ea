// Property lists in XML and binary form, through libplist. What comes in is untrusted:
// nesting is bounded and anything that does not convert gives null, never a crash.
#include "cfkinds.h"
#include "cfobject.h"
#include "platform/plistinput/plistinput.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace qmcf {

namespace {

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
    if (depth > plistinput::maxDepth)
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
    if (!node || depth > plistinput::maxDepth)
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
        const std::string value = plistinput::text(node);
        return createStringLenient(value.data(), value.size());
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
        // A binary date beyond libplist's 32-bit seconds comes back as garbage, its fraction
        // out of range: refused like one at the top.
        if (micro <= -1000000 || micro >= 1000000)
            return nullptr;
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
    const size_t length = bytes->size();
    const bool binary = length >= 8 && std::memcmp(text, "bplist00", 8) == 0;
    CFAbsoluteTime at = 0;
    if (plistinput::binaryRootDate(text, length, &at)) {
        if (format)
            *format = kCFPropertyListBinaryFormat_v1_0;
        return createDate(at);
    }
    plist_t root = plistinput::parse(text, length);
    if (!root)
        return nullptr;
    CFTypeRef result = fromNode(root, 0);
    plist_free(root);
    if (result && format)
        *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return result;
}
}
