// Dictionaries and arrays. Their callbacks decide how items are kept: the standard ones
// retain what goes in and compare keys by value; without callbacks items are raw pointers.
#include "cfkinds.h"
#include "cfobject.h"

#include <unordered_map>

namespace qmcf {

namespace {

const void *retainCallback(CFAllocatorRef, const void *value)
{
    return CFRetain(value);
}

void releaseCallback(CFAllocatorRef, const void *value)
{
    CFRelease(value);
}

Boolean equalCallback(const void *a, const void *b)
{
    return equal(a, b);
}

CFHashCode hashCallback(const void *value)
{
    return hashOf(value);
}

class Items
{
public:
    explicit Items(const CFDictionaryValueCallBacks *callbacks)
        : m_callbacks(callbacks ? *callbacks : CFDictionaryValueCallBacks {})
    {
    }
    explicit Items(const CFDictionaryKeyCallBacks *callbacks)
        : m_callbacks(callbacks
                ? CFDictionaryValueCallBacks { callbacks->version, callbacks->retain,
                    callbacks->release, callbacks->copyDescription, callbacks->equal }
                : CFDictionaryValueCallBacks {})
    {
    }

    const void *retain(const void *value) const
    {
        return m_callbacks.retain && value ? m_callbacks.retain(nullptr, value) : value;
    }

    void release(const void *value) const
    {
        if (m_callbacks.release && value)
            m_callbacks.release(nullptr, value);
    }

    bool equal(const void *a, const void *b) const
    {
        if (a == b)
            return true;
        return m_callbacks.equal && a && b && m_callbacks.equal(a, b);
    }

private:
    CFDictionaryValueCallBacks m_callbacks;
};

class DictionaryObject : public Object
{
public:
    DictionaryObject(bool isMutable, const CFDictionaryKeyCallBacks *keyCallbacks,
        const CFDictionaryValueCallBacks *valueCallbacks)
        : Object(DictionaryType)
        , isMutable(isMutable)
        , m_keys(keyCallbacks)
        , m_keyHash(keyCallbacks ? keyCallbacks->hash : nullptr)
        , m_values(valueCallbacks)
    {
    }

    ~DictionaryObject() override
    {
        for (const Entry &entry : m_entries) {
            m_keys.release(entry.key);
            m_values.release(entry.value);
        }
    }

    const void *value(const void *key) const
    {
        const long index = find(key);
        return index < 0 ? nullptr : m_entries[index].value;
    }

    void set(const void *key, const void *value)
    {
        const void *kept = m_values.retain(value);
        const long index = find(key);
        if (index >= 0) {
            m_values.release(m_entries[index].value);
            m_entries[index].value = kept;
            return;
        }
        m_index.emplace(hashKey(key), m_entries.size());
        m_entries.push_back({ m_keys.retain(key), kept });
    }

    bool equals(const Object &other) const override
    {
        const auto &dictionary = static_cast<const DictionaryObject &>(other);
        if (m_entries.size() != dictionary.m_entries.size())
            return false;
        for (const Entry &entry : m_entries) {
            const long index = dictionary.find(entry.key);
            if (index < 0 || !qmcf::equal(entry.value, dictionary.m_entries[index].value))
                return false;
        }
        return true;
    }

    CFHashCode hash() const override { return m_entries.size(); }

    struct Entry
    {
        const void *key;
        const void *value;
    };
    const std::vector<Entry> &entries() const { return m_entries; }

    const bool isMutable;

private:
    CFHashCode hashKey(const void *key) const
    {
        return m_keyHash ? m_keyHash(key) : reinterpret_cast<CFHashCode>(key);
    }

    long find(const void *key) const
    {
        const auto range = m_index.equal_range(hashKey(key));
        for (auto it = range.first; it != range.second; ++it) {
            if (m_keys.equal(m_entries[it->second].key, key))
                return static_cast<long>(it->second);
        }
        return -1;
    }

    Items m_keys;
    CFHashCallBack m_keyHash;
    Items m_values;
    std::vector<Entry> m_entries;
    std::unordered_multimap<CFHashCode, size_t> m_index;
};

class ArrayObject : public Object
{
public:
    ArrayObject(bool isMutable, const CFArrayCallBacks *callbacks)
        : Object(ArrayType)
        , isMutable(isMutable)
        , m_items(callbacks)
    {
    }

    ~ArrayObject() override
    {
        for (const void *item : items)
            m_items.release(item);
    }

    void append(const void *value) { items.push_back(m_items.retain(value)); }

    bool equals(const Object &other) const override
    {
        const auto &array = static_cast<const ArrayObject &>(other);
        if (items.size() != array.items.size())
            return false;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!qmcf::equal(items[i], array.items[i]))
                return false;
        }
        return true;
    }

    CFHashCode hash() const override { return items.size(); }

    const bool isMutable;
    std::vector<const void *> items;

private:
    Items m_items;
};

} // namespace

CFDictionaryRef createFrozenDictionary(const std::vector<std::pair<CFTypeRef, CFTypeRef>> &entries)
{
    auto *dictionary = create<DictionaryObject>(
        false, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto &entry : entries)
        dictionary->set(entry.first, entry.second);
    return toRef<CFDictionaryRef>(dictionary);
}

CFArrayRef createFrozenArray(const std::vector<CFTypeRef> &items)
{
    auto *array = create<ArrayObject>(false, &kCFTypeArrayCallBacks);
    for (CFTypeRef item : items)
        array->append(item);
    return toRef<CFArrayRef>(array);
}

bool dictionaryEntries(CFTypeRef ref, std::vector<std::pair<CFTypeRef, CFTypeRef>> *out)
{
    const auto *dictionary = lookupAs<DictionaryObject>(ref, DictionaryType);
    if (!dictionary)
        return false;
    out->clear();
    for (const auto &entry : dictionary->entries())
        out->emplace_back(entry.key, entry.value);
    return true;
}

bool arrayItems(CFTypeRef ref, std::vector<CFTypeRef> *out)
{
    const auto *array = lookupAs<ArrayObject>(ref, ArrayType);
    if (!array)
        return false;
    *out = array->items;
    return true;
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks
    = { 0, retainCallback, releaseCallback, nullptr, equalCallback, hashCallback };
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks
    = { 0, retainCallback, releaseCallback, nullptr, equalCallback };
const CFArrayCallBacks kCFTypeArrayCallBacks
    = { 0, retainCallback, releaseCallback, nullptr, equalCallback };

CFTypeID CFDictionaryGetTypeID(void)
{
    return DictionaryType;
}

CFTypeID CFArrayGetTypeID(void)
{
    return ArrayType;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
    const CFDictionaryKeyCallBacks *keyCallBacks, const CFDictionaryValueCallBacks *valueCallBacks)
{
    if (capacity < 0)
        return nullptr;
    return toRef<CFMutableDictionaryRef>(
        create<DictionaryObject>(true, keyCallBacks, valueCallBacks));
}

CFIndex CFDictionaryGetCount(CFDictionaryRef ref)
{
    const auto *dictionary = lookupAs<DictionaryObject>(ref, DictionaryType);
    return dictionary ? static_cast<CFIndex>(dictionary->entries().size()) : 0;
}

const void *CFDictionaryGetValue(CFDictionaryRef ref, const void *key)
{
    const auto *dictionary = lookupAs<DictionaryObject>(ref, DictionaryType);
    return dictionary ? dictionary->value(key) : nullptr;
}

void CFDictionarySetValue(CFMutableDictionaryRef ref, const void *key, const void *value)
{
    auto *dictionary = lookupMutableAs<DictionaryObject>(ref, DictionaryType);
    if (dictionary && dictionary->isMutable)
        dictionary->set(key, value);
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef ref, const void **keys, const void **values)
{
    const auto *dictionary = lookupAs<DictionaryObject>(ref, DictionaryType);
    if (!dictionary)
        return;
    size_t i = 0;
    for (const auto &entry : dictionary->entries()) {
        if (keys)
            keys[i] = entry.key;
        if (values)
            values[i] = entry.value;
        ++i;
    }
}

CFMutableArrayRef CFArrayCreateMutable(
    CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks *callBacks)
{
    if (capacity < 0)
        return nullptr;
    return toRef<CFMutableArrayRef>(create<ArrayObject>(true, callBacks));
}

CFIndex CFArrayGetCount(CFArrayRef ref)
{
    const auto *array = lookupAs<ArrayObject>(ref, ArrayType);
    return array ? static_cast<CFIndex>(array->items.size()) : 0;
}

const void *CFArrayGetValueAtIndex(CFArrayRef ref, CFIndex index)
{
    const auto *array = lookupAs<ArrayObject>(ref, ArrayType);
    if (!array || index < 0 || static_cast<size_t>(index) >= array->items.size())
        return nullptr;
    return array->items[static_cast<size_t>(index)];
}

void CFArrayAppendValue(CFMutableArrayRef ref, const void *value)
{
    auto *array = lookupMutableAs<ArrayObject>(ref, ArrayType);
    if (array && array->isMutable)
        array->append(value);
}
}
