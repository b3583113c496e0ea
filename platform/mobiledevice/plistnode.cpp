#include "plistnode.h"

#include "platform/durablefile/durablefile.h"
#include "platform/plistinput/plistinput.h"

#include <QByteArray>
#include <QFile>

#include <cstdlib>
#include <fstream>
#include <iterator>

PlistNode::~PlistNode()
{
    if (m_node)
        plist_free(m_node);
}

PlistNode::PlistNode(PlistNode &&other) noexcept
    : m_node(other.release())
{
}

PlistNode &PlistNode::operator=(PlistNode &&other) noexcept
{
    if (this != &other) {
        if (m_node)
            plist_free(m_node);
        m_node = other.release();
    }
    return *this;
}

plist_t PlistNode::release()
{
    plist_t node = m_node;
    m_node = nullptr;
    return node;
}

PlistNode PlistNode::fromBytes(const char *bytes, size_t length)
{
    return PlistNode(plistinput::parse(bytes, length));
}

PlistNode PlistNode::fromFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return PlistNode();
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return fromBytes(bytes.data(), bytes.size());
}

PlistNode PlistNode::fromCF(CFTypeRef value)
{
    if (!value)
        return PlistNode();
    CFDataRef data
        = CFPropertyListCreateData(nullptr, value, kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
    if (!data)
        return PlistNode();
    const CFIndex length = CFDataGetLength(data);
    std::string bytes(static_cast<size_t>(length), '\0');
    CFDataGetBytes(data, CFRange { 0, length }, reinterpret_cast<UInt8 *>(&bytes[0]));
    CFRelease(data);
    return fromBytes(bytes.data(), bytes.size());
}

PlistNode PlistNode::copy() const
{
    return PlistNode(m_node ? plist_copy(m_node) : nullptr);
}

CFTypeRef PlistNode::toCF() const
{
    const std::string bytes = serialise(true);
    if (bytes.empty())
        return nullptr;
    CFDataRef data = CFDataCreate(
        nullptr, reinterpret_cast<const UInt8 *>(bytes.data()), static_cast<CFIndex>(bytes.size()));
    CFTypeRef value = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    CFRelease(data);
    return value;
}

std::string PlistNode::serialise(bool binary) const
{
    if (!m_node)
        return std::string();
    char *bytes = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(m_node, &bytes, &length);
    else
        plist_to_xml(m_node, &bytes, &length);
    std::string result = bytes ? std::string(bytes, length) : std::string();
    free(bytes);
    return result;
}

bool PlistNode::writeXmlFile(const std::string &path) const
{
    const std::string text = serialise(false);
    if (text.empty())
        return false;
    return durable::writeFile(
        QFile::decodeName(path.c_str()), QByteArray(text.data(), static_cast<int>(text.size())));
}

PlistNode PlistNode::dictItem(const char *key) const
{
    plist_t found = item(key);
    return PlistNode(isType(found, PLIST_DICT) ? plist_copy(found) : nullptr);
}

long long PlistNode::integerItem(const char *key, bool *found) const
{
    plist_t node = item(key);
    *found = isType(node, PLIST_UINT);
    if (!*found)
        return 0;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return static_cast<long long>(value);
}

bool PlistNode::isType(plist_t node, plist_type type)
{
    return node && plist_get_node_type(node) == type;
}

plist_t PlistNode::entryOf(plist_t dictionary, const char *key)
{
    return key && isType(dictionary, PLIST_DICT) ? plist_dict_get_item(dictionary, key) : nullptr;
}

std::string PlistNode::textOf(plist_t node, const std::string &fallback)
{
    return isType(node, PLIST_STRING) ? plistinput::text(node) : fallback;
}

bool PlistNode::boolOf(plist_t node, bool fallback)
{
    if (!isType(node, PLIST_BOOLEAN))
        return fallback;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

PlistNode PlistNode::textDictionary(const char *key, const std::string &text)
{
    PlistNode dictionary(plist_new_dict());
    plist_dict_set_item(dictionary.get(), key, plist_new_string(text.c_str()));
    return dictionary;
}
