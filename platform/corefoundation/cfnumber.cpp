// Numbers keep one of six canonical kinds: four signed integer sizes and two float sizes.
// Reading one as another kind stores the converted value and says whether it was exact.
#include "cfobject.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace qmcf {

namespace {

class NumberObject : public Object
{
public:
    NumberObject(CFNumberType kind, int64_t integer, double real)
        : Object(NumberType)
        , kind(kind)
        , integer(integer)
        , real(real)
    {
    }

    bool isFloat() const { return kind == kCFNumberFloat32Type || kind == kCFNumberFloat64Type; }

    bool equals(const Object &other) const override
    {
        const auto &number = static_cast<const NumberObject &>(other);
        if (!isFloat() && !number.isFloat())
            return integer == number.integer;
        return asDouble() == number.asDouble();
    }

    CFHashCode hash() const override
    {
        // Equal values of different kinds must hash alike.
        const double value = asDouble();
        if (!isFloat()
            || (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9e18))
            return static_cast<CFHashCode>(isFloat() ? static_cast<int64_t>(value) : integer);
        CFHashCode bits = 0;
        std::memcpy(&bits, &value, sizeof bits < sizeof value ? sizeof bits : sizeof value);
        return bits;
    }

    double asDouble() const { return isFloat() ? real : static_cast<double>(integer); }

    const CFNumberType kind;
    const int64_t integer;
    const double real;
};

// The canonical kind of a requested type; 0 for an unknown one. long is 64-bit here.
CFNumberType canonical(CFNumberType type)
{
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
        return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
        return kCFNumberFloat64Type;
    default:
        return 0;
    }
}

template <typename T> bool storeInteger(void *out, int64_t value)
{
    const T converted = static_cast<T>(value);
    std::memcpy(out, &converted, sizeof converted);
    return static_cast<int64_t>(converted) == value;
}

template <typename T> bool storeIntegerFromReal(void *out, double value)
{
    T converted = 0;
    bool exact = false;
    // Casting a float outside the target's range is undefined: clamp instead.
    if (std::isnan(value)) {
        converted = 0;
    } else if (value <= static_cast<double>(std::numeric_limits<T>::min())) {
        converted = std::numeric_limits<T>::min();
        exact = value == static_cast<double>(converted);
    } else if (value >= static_cast<double>(std::numeric_limits<T>::max())) {
        converted = std::numeric_limits<T>::max();
        exact = value == static_cast<double>(converted);
    } else {
        converted = static_cast<T>(value);
        exact = static_cast<double>(converted) == value;
    }
    std::memcpy(out, &converted, sizeof converted);
    return exact;
}

template <typename T> bool storeReal(void *out, double value)
{
    const T converted = static_cast<T>(value);
    std::memcpy(out, &converted, sizeof converted);
    return std::isnan(value) || static_cast<double>(converted) == value;
}

template <typename T> bool storeRealFromInteger(void *out, int64_t value)
{
    const T converted = static_cast<T>(value);
    std::memcpy(out, &converted, sizeof converted);
    const double back = static_cast<double>(converted);
    return back >= -9.2e18 && back <= 9.2e18 && static_cast<int64_t>(back) == value;
}

bool storeFromInteger(CFNumberType kind, void *out, int64_t value)
{
    switch (kind) {
    case kCFNumberSInt8Type:
        return storeInteger<int8_t>(out, value);
    case kCFNumberSInt16Type:
        return storeInteger<int16_t>(out, value);
    case kCFNumberSInt32Type:
        return storeInteger<int32_t>(out, value);
    case kCFNumberSInt64Type:
        return storeInteger<int64_t>(out, value);
    case kCFNumberFloat32Type:
        return storeRealFromInteger<float>(out, value);
    default:
        return storeRealFromInteger<double>(out, value);
    }
}

bool storeFromReal(CFNumberType kind, void *out, double value)
{
    switch (kind) {
    case kCFNumberSInt8Type:
        return storeIntegerFromReal<int8_t>(out, value);
    case kCFNumberSInt16Type:
        return storeIntegerFromReal<int16_t>(out, value);
    case kCFNumberSInt32Type:
        return storeIntegerFromReal<int32_t>(out, value);
    case kCFNumberSInt64Type:
        return storeIntegerFromReal<int64_t>(out, value);
    case kCFNumberFloat32Type:
        return storeReal<float>(out, value);
    default:
        return storeReal<double>(out, value);
    }
}

template <typename T> T load(const void *in)
{
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}

} // namespace

CFNumberRef createInteger(int64_t value)
{
    return toRef<CFNumberRef>(create<NumberObject>(CFNumberType(kCFNumberSInt64Type), value, 0.0));
}

CFNumberRef createReal(double value)
{
    return toRef<CFNumberRef>(create<NumberObject>(CFNumberType(kCFNumberFloat64Type), 0, value));
}

bool numberValue(CFTypeRef ref, int64_t *integer, double *real)
{
    const auto *number = lookupAs<NumberObject>(ref, NumberType);
    if (!number)
        return false;
    *integer = number->integer;
    *real = number->real;
    return number->isFloat();
}

bool isNumber(CFTypeRef ref)
{
    return lookupAs<NumberObject>(ref, NumberType) != nullptr;
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

CFTypeID CFNumberGetTypeID(void)
{
    return NumberType;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void *valuePtr)
{
    const CFNumberType kind = canonical(type);
    if (!kind || !valuePtr)
        return nullptr;
    int64_t integer = 0;
    double real = 0;
    switch (kind) {
    case kCFNumberSInt8Type:
        integer = load<int8_t>(valuePtr);
        break;
    case kCFNumberSInt16Type:
        integer = load<int16_t>(valuePtr);
        break;
    case kCFNumberSInt32Type:
        integer = load<int32_t>(valuePtr);
        break;
    case kCFNumberSInt64Type:
        integer = load<int64_t>(valuePtr);
        break;
    case kCFNumberFloat32Type:
        real = load<float>(valuePtr);
        break;
    default:
        real = load<double>(valuePtr);
        break;
    }
    return toRef<CFNumberRef>(create<NumberObject>(kind, integer, real));
}

Boolean CFNumberGetValue(CFNumberRef ref, CFNumberType type, void *valuePtr)
{
    const CFNumberType kind = canonical(type);
    if (!kind || !valuePtr)
        return false;
    // A boolean reads as the number 0 or 1 of any kind.
    if (const auto *boolean = lookupAs<BooleanObject>(ref, BooleanType))
        return storeFromInteger(kind, valuePtr, boolean->value ? 1 : 0);
    const auto *number = lookupAs<NumberObject>(ref, NumberType);
    if (!number)
        return false;
    return number->isFloat() ? storeFromReal(kind, valuePtr, number->real)
                             : storeFromInteger(kind, valuePtr, number->integer);
}

CFNumberType CFNumberGetType(CFNumberRef ref)
{
    const auto *number = lookupAs<NumberObject>(ref, NumberType);
    return number ? number->kind : 0;
}
}
