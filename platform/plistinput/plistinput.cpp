#include "plistinput.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace plistinput {

namespace {

constexpr size_t trailerSize = 32;

uint64_t readBigEndian(const unsigned char *p, int n)
{
    uint64_t value = 0;
    for (int i = 0; i < n; ++i)
        value = (value << 8) | p[i];
    return value;
}

// The trailer of a binary list, valid when its offset table lies between the header and the
// trailer and its top object is one of the table's.
struct Trailer
{
    explicit Trailer(const unsigned char *bytes, size_t size)
    {
        if (size < 8 + trailerSize)
            return;
        const unsigned char *p = bytes + size - trailerSize;
        offsetSize = p[6];
        refSize = p[7];
        count = readBigEndian(p + 8, 8);
        top = readBigEndian(p + 16, 8);
        table = readBigEndian(p + 24, 8);
        valid = offsetSize >= 1 && offsetSize <= 8 && refSize >= 1 && refSize <= 8 && top < count
            && table >= 8 && table <= size - trailerSize
            && count <= (size - trailerSize - table) / offsetSize;
    }

    bool valid = false;
    int offsetSize = 0;
    int refSize = 0;
    uint64_t count = 0;
    uint64_t top = 0;
    uint64_t table = 0;
};

// The objects of a binary list and the items of its containers.
class BinaryObjects
{
public:
    BinaryObjects(const unsigned char *bytes, size_t size)
        : m_bytes(bytes)
        , m_end(size - std::min(size, trailerSize))
        , m_trailer(bytes, size)
    {
    }

    bool valid() const { return m_trailer.valid; }
    uint64_t count() const { return m_trailer.count; }
    uint64_t top() const { return m_trailer.top; }
    // Where an object starts; 0 when that is outside the objects.
    uint64_t offsetOf(uint64_t object) const
    {
        const uint64_t offset = readBigEndian(
            m_bytes + m_trailer.table + object * m_trailer.offsetSize, m_trailer.offsetSize);
        return offset >= 8 && offset < m_end ? offset : 0;
    }
    // The bytes of an object from its start up to the offset table.
    const unsigned char *objectAt(uint64_t offset) const { return m_bytes + offset; }
    uint64_t bytesAfter(uint64_t offset) const { return m_end - offset; }

    // The objects a container refers to; false for a malformed one. Scalars have none.
    bool children(uint64_t object, std::vector<uint64_t> *out) const
    {
        out->clear();
        const uint64_t offset = offsetOf(object);
        if (offset == 0)
            return false;
        const unsigned char marker = m_bytes[offset];
        const int kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            return true;
        uint64_t items = marker & 0x0F;
        uint64_t position = offset + 1;
        if (items == 0x0F) {
            if (position >= m_end || (m_bytes[position] >> 4) != 0x1)
                return false;
            const uint64_t width = uint64_t(1) << (m_bytes[position] & 0x0F);
            if (width > 8 || width + 1 > m_end - position)
                return false;
            items = readBigEndian(m_bytes + position + 1, static_cast<int>(width));
            position += 1 + width;
        }
        const uint64_t refs = kind == 0xD ? items * 2 : items;
        if (items > m_end || refs > (m_end - position) / m_trailer.refSize)
            return false;
        for (uint64_t i = 0; i < refs; ++i) {
            const uint64_t child
                = readBigEndian(m_bytes + position + i * m_trailer.refSize, m_trailer.refSize);
            if (child >= m_trailer.count)
                return false;
            out->push_back(child);
        }
        return true;
    }

private:
    const unsigned char *m_bytes;
    uint64_t m_end;
    Trailer m_trailer;
};

// False for a binary list nested deeper than the limit, holding a cycle, malformed in its
// containers, or expanding past `nodeBudget` nodes: libplist copies an object for each
// reference to it, so containers that share their items grow as two to the power of their
// depth. Depth and size below each object are computed once, in the same walk.
bool binaryShapeWithinLimits(const unsigned char *bytes, size_t size, uint64_t nodeBudget)
{
    const BinaryObjects objects(bytes, size);
    if (!objects.valid())
        return false;
    // Depth below each object: -1 unknown, -2 on the path.
    std::vector<int> depth(static_cast<size_t>(objects.count()), -1);
    std::vector<uint64_t> nodes(static_cast<size_t>(objects.count()), 0);
    struct Frame
    {
        uint64_t object;
        std::vector<uint64_t> children;
        size_t next;
        int deepest;
        uint64_t nodes;
    };
    std::vector<Frame> path;
    const auto enter = [&](uint64_t object) {
        Frame frame { object, {}, 0, 0, 1 };
        if (!objects.children(object, &frame.children))
            return false;
        depth[object] = -2;
        path.push_back(std::move(frame));
        return path.size() <= static_cast<size_t>(maxDepth);
    };
    // Counts stay at most the budget, so the sum cannot wrap.
    const auto add = [&](Frame &frame, int childDepth, uint64_t childNodes) {
        frame.deepest = std::max(frame.deepest, childDepth);
        frame.nodes += childNodes;
        return frame.nodes <= nodeBudget;
    };
    if (!enter(objects.top()))
        return false;
    while (!path.empty()) {
        Frame &frame = path.back();
        if (frame.next == frame.children.size()) {
            depth[frame.object] = frame.deepest + 1;
            nodes[frame.object] = frame.nodes;
            const Frame done = std::move(frame);
            path.pop_back();
            if (!path.empty() && !add(path.back(), depth[done.object], done.nodes))
                return false;
            continue;
        }
        const uint64_t child = frame.children[frame.next++];
        if (depth[child] == -2)
            return false;
        if (depth[child] >= 0) {
            if (!add(frame, depth[child], nodes[child]))
                return false;
            if (path.size() + static_cast<size_t>(depth[child]) > static_cast<size_t>(maxDepth))
                return false;
            continue;
        }
        if (!enter(child))
            return false;
    }
    return true;
}

// The deepest nesting of <array> and <dict> in an XML list, counted before libplist sees it.
// Stops counting once past the limit.
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

enum class Utf16Scan { Clean, Cut, Unreadable };

// libplist's binary reader keeps a UTF-16 string's U+0000 inside the converted UTF-8 but
// records the longer length, on which its getters abort; for a key there is no other getter.
// Cutting the declared length of such a string at its first zero gives the text up to the
// zero, as libplist already does for ASCII strings, and leaves every other value exact.
// Objects are found through the offset table, so a shorter length moves nothing.
Utf16Scan cutUtf16StringsAtZero(std::string &bin)
{
    const uint64_t size = bin.size();
    auto *p = reinterpret_cast<unsigned char *>(&bin[0]);
    const Trailer trailer(p, bin.size());
    // libplist reads other offset widths its own way; those lists take the safe road.
    const int width = trailer.offsetSize;
    if (!trailer.valid || (width != 1 && width != 2 && width != 4 && width != 8))
        return Utf16Scan::Unreadable;

    // Bounds are the whole list, wider than libplist's, so no string it accepts is missed.
    // Overlapping strings could make the scan quadratic: past a budget the list is not vouched
    // for.
    uint64_t budget = 4 * size;
    Utf16Scan result = Utf16Scan::Clean;
    for (uint64_t i = 0; i < trailer.count; ++i) {
        const uint64_t at = readBigEndian(p + trailer.table + i * width, width);
        if (at >= size || (p[at] & 0xF0) != 0x60)
            continue;
        uint64_t length = p[at] & 0x0F;
        uint64_t chars = at + 1;
        uint64_t lengthAt = 0;
        int lengthWidth = 0;
        if (length == 0x0F) {
            if (chars >= size || (p[chars] & 0xF0) != 0x10 || (p[chars] & 0x0F) > 3)
                return Utf16Scan::Unreadable;
            lengthWidth = 1 << (p[chars] & 0x0F);
            lengthAt = chars + 1;
            if (size - lengthAt < static_cast<uint64_t>(lengthWidth))
                return Utf16Scan::Unreadable;
            length = readBigEndian(p + lengthAt, lengthWidth);
            chars = lengthAt + lengthWidth;
        }
        if (length > (size - chars) / 2)
            continue; // runs past the end: libplist refuses it
        if (length > budget)
            return Utf16Scan::Unreadable;
        budget -= length;
        for (uint64_t k = 0; k < length; ++k) {
            if (p[chars + 2 * k] != 0 || p[chars + 2 * k + 1] != 0)
                continue;
            if (k == 0) {
                p[at] = 0x50; // libplist refuses an empty UTF-16 string but takes ASCII
            } else if (lengthWidth == 0) {
                p[at] = static_cast<unsigned char>(0x60 | k);
            } else {
                uint64_t v = k;
                for (int b = lengthWidth - 1; b >= 0; --b, v >>= 8)
                    p[lengthAt + b] = static_cast<unsigned char>(v & 0xFF);
            }
            result = Utf16Scan::Cut;
            break;
        }
    }
    return result;
}

// The slow road for lists the scan cannot vouch for: through XML, every key comes back
// consistent, at the price of the fractions of a second in dates.
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

plist_t fromBinary(const char *bytes, size_t length)
{
    const uint64_t nodeBudget = std::max<uint64_t>(maxNodes, length);
    if (!binaryShapeWithinLimits(
            reinterpret_cast<const unsigned char *>(bytes), length, nodeBudget))
        return nullptr;
    std::string bin(bytes, length);
    Utf16Scan scan = cutUtf16StringsAtZero(bin);
    // Strings may overlap in a crafted list, so a cut one is only trusted when checked.
    if (scan == Utf16Scan::Cut)
        scan = cutUtf16StringsAtZero(bin);
    plist_t node = nullptr;
    plist_from_bin(bin.data(), static_cast<uint32_t>(bin.size()), &node);
    if (node && scan != Utf16Scan::Clean)
        node = throughXml(node);
    return node;
}

// XML strings keep a NUL inside and their whole length, on which libplist's getters abort and
// its copies read past the end: each such string is cut at its NUL.
void cutStringsAtNul(plist_t root)
{
    std::vector<plist_t> pending { root };
    while (!pending.empty()) {
        plist_t node = pending.back();
        pending.pop_back();
        switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            uint64_t length = 0;
            const char *value = plist_get_string_ptr(node, &length);
            if (value && std::strlen(value) != length)
                plist_set_string_val(node, std::string(value).c_str());
            break;
        }
        case PLIST_ARRAY:
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
                pending.push_back(plist_array_get_item(node, i));
            break;
        case PLIST_DICT: {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                plist_t value = nullptr;
                plist_dict_next_item(node, it, nullptr, &value);
                if (!value)
                    break;
                pending.push_back(value);
            }
            free(it);
            break;
        }
        default:
            break;
        }
    }
}

} // namespace

plist_t parse(const char *bytes, size_t length)
{
    if (!bytes || length == 0 || length > std::numeric_limits<uint32_t>::max())
        return nullptr;
    plist_t node = nullptr;
    if (length >= 8 && std::memcmp(bytes, "bplist00", 8) == 0)
        node = fromBinary(bytes, length);
    else if (xmlNestingWithinLimit(bytes, length))
        plist_from_xml(bytes, static_cast<uint32_t>(length), &node);
    if (node)
        cutStringsAtNul(node);
    return node;
}

std::string text(plist_t node)
{
    if (!node)
        return std::string();
    if (plist_get_node_type(node) == PLIST_STRING) {
        uint64_t length = 0;
        const char *value = plist_get_string_ptr(node, &length);
        return value ? std::string(value, strnlen(value, length)) : std::string();
    }
    if (plist_get_node_type(node) != PLIST_KEY)
        return std::string();
    // No length-aware getter exists for keys; parse() leaves none that this one aborts on.
    char *value = nullptr;
    plist_get_key_val(node, &value);
    const std::string result = value ? value : "";
    free(value);
    return result;
}

bool binaryRootDate(const char *bytes, size_t length, double *at)
{
    if (!bytes || length < 8 || std::memcmp(bytes, "bplist00", 8) != 0)
        return false;
    const BinaryObjects objects(reinterpret_cast<const unsigned char *>(bytes), length);
    if (!objects.valid())
        return false;
    const uint64_t offset = objects.offsetOf(objects.top());
    if (offset == 0 || objects.bytesAfter(offset) < 9 || *objects.objectAt(offset) != 0x33)
        return false;
    const uint64_t bits = readBigEndian(objects.objectAt(offset) + 1, 8);
    std::memcpy(at, &bits, sizeof *at);
    return true;
}

} // namespace plistinput
