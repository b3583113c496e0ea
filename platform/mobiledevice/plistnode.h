// An owned libplist tree: read from and written to files, converted to and from our
// CoreFoundation objects, and read by key without ever trusting its types.
#pragma once

#include "platform/corefoundation/corefoundation.h"

#include <plist/plist.h>

#include <string>

class PlistNode
{
public:
    PlistNode() = default;
    explicit PlistNode(plist_t node)
        : m_node(node)
    {
    }
    ~PlistNode();
    PlistNode(PlistNode &&other) noexcept;
    PlistNode &operator=(PlistNode &&other) noexcept;
    PlistNode(const PlistNode &) = delete;
    PlistNode &operator=(const PlistNode &) = delete;

    // XML or binary, told apart by the "bplist00" mark; null when unreadable.
    static PlistNode fromBytes(const char *bytes, size_t length);
    static PlistNode fromFile(const std::string &path);
    // A copy of a CoreFoundation property list; null for anything else.
    static PlistNode fromCF(CFTypeRef value);
    PlistNode copy() const;

    bool isNull() const { return m_node == nullptr; }
    plist_t get() const { return m_node; }
    plist_t release();

    // A new CoreFoundation object owned by the caller; null when the tree is null.
    CFTypeRef toCF() const;
    // The binary or the XML form; empty when the tree is null.
    std::string serialise(bool binary) const;
    // Written beside `path`, synced and renamed over it, so a kill or power loss leaves
    // the old file or the new one.
    bool writeXmlFile(const std::string &path) const;

    bool isDict() const { return isType(m_node, PLIST_DICT); }
    // The entry under `key` of a dictionary, still owned by this tree; null otherwise.
    plist_t item(const char *key) const { return entryOf(m_node, key); }
    // A copy of the dictionary under `key`; null when there is none.
    PlistNode dictItem(const char *key) const;
    std::string stringItem(const char *key, const std::string &fallback = std::string()) const
    {
        return textOf(item(key), fallback);
    }
    bool boolItem(const char *key, bool fallback) const { return boolOf(item(key), fallback); }
    // An integer entry; `found` tells whether there was one.
    long long integerItem(const char *key, bool *found) const;

    // Readers of any node, trusting no type: anything else gives null or the fallback.
    static bool isType(plist_t node, plist_type type);
    static plist_t entryOf(plist_t dictionary, const char *key);
    static std::string textOf(plist_t node, const std::string &fallback = std::string());
    static bool boolOf(plist_t node, bool fallback = false);

    // A dictionary of one text entry, as short replies are made.
    static PlistNode textDictionary(const char *key, const std::string &text);

private:
    plist_t m_node = nullptr;
};
