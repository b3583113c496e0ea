#include "cfobject.h"
#include "cfkinds.h"

#include <mutex>
#include <unordered_set>

namespace qmcf {

namespace {

struct Registry
{
    std::mutex mutex;
    std::unordered_set<const Object *> live;
};

// Never destroyed: objects may still be released while the process exits.
Registry &registry()
{
    static Registry *instance = new Registry;
    return *instance;
}

const BooleanObject trueObject(true);
const BooleanObject falseObject(false);

bool isStatic(const Object *object)
{
    return object == &trueObject || object == &falseObject;
}

void destroy(const Object *object)
{
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.live.erase(object);
    }
    // Containers release their items here, after the lock is gone.
    delete object;
}

} // namespace

const BooleanObject *booleanObject(bool value)
{
    return value ? &trueObject : &falseObject;
}

bool booleanValue(CFTypeRef ref, bool *value)
{
    if (ref != &trueObject && ref != &falseObject)
        return false;
    *value = ref == &trueObject;
    return true;
}

Object *registerObject(Object *object)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.insert(object);
    return object;
}

const Object *lookup(CFTypeRef ref)
{
    if (!ref)
        return nullptr;
    const auto *candidate = static_cast<const Object *>(ref);
    if (isStatic(candidate))
        return candidate;
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.count(candidate) ? candidate : nullptr;
}

bool equal(CFTypeRef a, CFTypeRef b)
{
    if (a == b)
        return true;
    const Object *first = lookup(a);
    const Object *second = lookup(b);
    if (!first || !second)
        return false;
    return first->type() == second->type() && first->equals(*second);
}

CFHashCode hashOf(CFTypeRef ref)
{
    const Object *object = lookup(ref);
    return object ? object->hash() : reinterpret_cast<CFHashCode>(ref);
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

const CFBooleanRef kCFBooleanTrue = toRef<CFBooleanRef>(booleanObject(true));
const CFBooleanRef kCFBooleanFalse = toRef<CFBooleanRef>(booleanObject(false));

CFTypeRef CFRetain(CFTypeRef ref)
{
    const Object *object = lookup(ref);
    if (object && !isStatic(object))
        const_cast<Object *>(object)->retainCount.fetch_add(1);
    return ref;
}

void CFRelease(CFTypeRef ref)
{
    const Object *object = lookup(ref);
    if (!object || isStatic(object))
        return;
    if (const_cast<Object *>(object)->retainCount.fetch_sub(1) == 1)
        destroy(object);
}

CFIndex CFGetRetainCount(CFTypeRef ref)
{
    const Object *object = lookup(ref);
    if (!object)
        return 0;
    return isStatic(object) ? 1 : object->retainCount.load();
}

CFTypeID CFGetTypeID(CFTypeRef ref)
{
    const Object *object = lookup(ref);
    return object ? object->type() : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b)
{
    return equal(a, b);
}

CFHashCode CFHash(CFTypeRef ref)
{
    return hashOf(ref);
}

CFTypeID CFNullGetTypeID(void)
{
    return NullType;
}

CFTypeID CFBooleanGetTypeID(void)
{
    return BooleanType;
}

CFIndex QMCFGetLiveObjectCount(void)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<CFIndex>(r.live.size());
}
}
