// The base of every object of our CoreFoundation: its type, its reference count, and the
// process-wide set of live objects through which every reference handed in is checked.
#pragma once

#include "corefoundation.h"

#include <atomic>
#include <cstddef>
#include <utility>

namespace qmcf {

enum TypeId : CFTypeID {
    NullType = 1,
    BooleanType,
    NumberType,
    StringType,
    DataType,
    DateType,
    TimeZoneType,
    DictionaryType,
    ArrayType,
};

class Object
{
public:
    explicit Object(CFTypeID type)
        : m_type(type)
    {
    }
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    CFTypeID type() const { return m_type; }
    // Value equality for equal types; identity by default.
    virtual bool equals(const Object &other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }

    std::atomic<long> retainCount { 1 };

private:
    const CFTypeID m_type;
};

// The two booleans are static objects, outside the live set.
class BooleanObject : public Object
{
public:
    explicit BooleanObject(bool value)
        : Object(BooleanType)
        , value(value)
    {
    }
    const bool value;
};

const BooleanObject *booleanObject(bool value);

// Makes the object live (retain count 1, counted by QMCFGetLiveObjectCount).
Object *registerObject(Object *object);

template <typename T, typename... Args> T *create(Args &&...args)
{
    return static_cast<T *>(registerObject(new T(std::forward<Args>(args)...)));
}

// The live object behind a reference, or null for null, freed or foreign pointers.
const Object *lookup(CFTypeRef ref);

template <typename T> const T *lookupAs(CFTypeRef ref, CFTypeID type)
{
    const Object *object = lookup(ref);
    return object && object->type() == type ? static_cast<const T *>(object) : nullptr;
}

template <typename T> T *lookupMutableAs(CFTypeRef ref, CFTypeID type)
{
    return const_cast<T *>(lookupAs<T>(ref, type));
}

// FNV-1a over a run of code units or bytes, for the hash of strings and data.
template <typename Unit> CFHashCode hashUnits(const Unit *units, size_t count)
{
    CFHashCode h = 1469598103934665603ull;
    for (size_t i = 0; i < count; ++i)
        h = (h ^ static_cast<CFHashCode>(units[i])) * 1099511628211ull;
    return h;
}

// Value equality and hash of two references, as CFEqual and CFHash give them.
bool equal(CFTypeRef a, CFTypeRef b);
CFHashCode hashOf(CFTypeRef ref);

template <typename Ref> Ref toRef(const Object *object)
{
    return reinterpret_cast<Ref>(const_cast<Object *>(object));
}

} // namespace qmcf
