#include "cfkinds.h"
#include "cfobject.h"

#include <cstring>

namespace qmcf {

namespace {

class DataObject : public Object
{
public:
    explicit DataObject(std::vector<UInt8> bytes)
        : Object(DataType)
        , bytes(std::move(bytes))
    {
    }

    bool equals(const Object &other) const override
    {
        return bytes == static_cast<const DataObject &>(other).bytes;
    }

    CFHashCode hash() const override { return hashUnits(bytes.data(), bytes.size()); }

    const std::vector<UInt8> bytes;
};

} // namespace

CFDataRef createData(const void *bytes, size_t length)
{
    const auto *begin = static_cast<const UInt8 *>(bytes);
    return toRef<CFDataRef>(create<DataObject>(
        length ? std::vector<UInt8>(begin, begin + length) : std::vector<UInt8>()));
}

const std::vector<UInt8> *dataBytes(CFTypeRef ref)
{
    const auto *data = lookupAs<DataObject>(ref, DataType);
    return data ? &data->bytes : nullptr;
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

CFTypeID CFDataGetTypeID(void)
{
    return DataType;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8 *bytes, CFIndex length)
{
    if (length < 0 || (!bytes && length > 0))
        return nullptr;
    return createData(bytes, static_cast<size_t>(length));
}

CFIndex CFDataGetLength(CFDataRef ref)
{
    const std::vector<UInt8> *bytes = dataBytes(ref);
    return bytes ? static_cast<CFIndex>(bytes->size()) : 0;
}

void CFDataGetBytes(CFDataRef ref, CFRange range, UInt8 *buffer)
{
    const std::vector<UInt8> *bytes = dataBytes(ref);
    const CFIndex size = bytes ? static_cast<CFIndex>(bytes->size()) : 0;
    if (!bytes || !buffer || range.location < 0 || range.length < 0 || range.location > size
        || range.length > size - range.location)
        return;
    if (range.length)
        std::memcpy(buffer, bytes->data() + range.location, static_cast<size_t>(range.length));
}
}
