// Strings hold UTF-16 code units, as CoreFoundation's do: lengths and ranges count units,
// so a character outside the basic plane counts two.
#include "cfkinds.h"
#include "cfobject.h"

#include <QString>

namespace qmcf {

namespace {

class StringObject : public Object
{
public:
    explicit StringObject(std::u16string units)
        : Object(StringType)
        , units(std::move(units))
    {
    }

    bool equals(const Object &other) const override
    {
        return units == static_cast<const StringObject &>(other).units;
    }

    CFHashCode hash() const override { return hashUnits(units.data(), units.size()); }

    const std::u16string units;
};

bool isHighSurrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void appendCodePoint(std::u16string &out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, nothing cut short.
bool decodeUtf8(const UInt8 *bytes, size_t length, std::u16string &out)
{
    size_t i = 0;
    while (i < length) {
        const UInt8 lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (length - i <= static_cast<size_t>(extra))
            return false;
        for (int k = 1; k <= extra; ++k) {
            const UInt8 next = bytes[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || isHighSurrogate(cp) || isLowSurrogate(cp))
            return false;
        appendCodePoint(out, cp);
        i += extra + 1;
    }
    return true;
}

// The bytes of one code point in `encoding`; false when it has none there.
bool encodeCodePoint(char32_t cp, CFStringEncoding encoding, UInt8 *out, int *count)
{
    if (encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingISOLatin1) {
        const char32_t limit = encoding == kCFStringEncodingASCII ? 0x80 : 0x100;
        if (cp >= limit)
            return false;
        out[0] = static_cast<UInt8>(cp);
        *count = 1;
        return true;
    }
    if (isHighSurrogate(cp) || isLowSurrogate(cp))
        return false;
    if (cp < 0x80) {
        out[0] = static_cast<UInt8>(cp);
        *count = 1;
    } else if (cp < 0x800) {
        out[0] = static_cast<UInt8>(0xC0 | (cp >> 6));
        out[1] = static_cast<UInt8>(0x80 | (cp & 0x3F));
        *count = 2;
    } else if (cp < 0x10000) {
        out[0] = static_cast<UInt8>(0xE0 | (cp >> 12));
        out[1] = static_cast<UInt8>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<UInt8>(0x80 | (cp & 0x3F));
        *count = 3;
    } else {
        out[0] = static_cast<UInt8>(0xF0 | (cp >> 18));
        out[1] = static_cast<UInt8>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<UInt8>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<UInt8>(0x80 | (cp & 0x3F));
        *count = 4;
    }
    return true;
}

bool supported(CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII
        || encoding == kCFStringEncodingISOLatin1;
}

CFStringRef createFromUnits(std::u16string units)
{
    return toRef<CFStringRef>(create<StringObject>(std::move(units)));
}

} // namespace

CFStringRef createStringLenient(const char *utf8, size_t length)
{
    const QString text = QString::fromUtf8(utf8, static_cast<int>(length));
    return createFromUnits(std::u16string(
        reinterpret_cast<const char16_t *>(text.utf16()), static_cast<size_t>(text.size())));
}

bool stringUtf8(CFTypeRef ref, std::string *out)
{
    const auto *string = lookupAs<StringObject>(ref, StringType);
    if (!string)
        return false;
    const QString text
        = QString::fromUtf16(string->units.data(), static_cast<int>(string->units.size()));
    *out = text.toStdString();
    return true;
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

CFTypeID CFStringGetTypeID(void)
{
    return StringType;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8 *bytes, CFIndex numBytes,
    CFStringEncoding encoding, Boolean isExternalRepresentation)
{
    if (numBytes < 0 || (!bytes && numBytes > 0) || !supported(encoding))
        return nullptr;
    size_t length = static_cast<size_t>(numBytes);
    if (isExternalRepresentation && encoding == kCFStringEncodingUTF8 && length >= 3
        && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        length -= 3;
    }
    std::u16string units;
    if (encoding == kCFStringEncodingUTF8) {
        if (!decodeUtf8(bytes, length, units))
            return nullptr;
    } else {
        for (size_t i = 0; i < length; ++i) {
            if (encoding == kCFStringEncodingASCII && bytes[i] >= 0x80)
                return nullptr;
            units.push_back(bytes[i]);
        }
    }
    return createFromUnits(std::move(units));
}

CFIndex CFStringGetLength(CFStringRef ref)
{
    const auto *string = lookupAs<StringObject>(ref, StringType);
    return string ? static_cast<CFIndex>(string->units.size()) : 0;
}

CFIndex CFStringGetBytes(CFStringRef ref, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
    Boolean, UInt8 *buffer, CFIndex maxBufLen, CFIndex *usedBufLen)
{
    if (usedBufLen)
        *usedBufLen = 0;
    const auto *string = lookupAs<StringObject>(ref, StringType);
    const CFIndex size = string ? static_cast<CFIndex>(string->units.size()) : 0;
    if (!string || !supported(encoding) || range.location < 0 || range.length < 0
        || range.location > size || range.length > size - range.location)
        return 0;

    const std::u16string &units = string->units;
    const CFIndex end = range.location + range.length;
    CFIndex converted = 0;
    CFIndex used = 0;
    for (CFIndex i = range.location; i < end;) {
        char32_t cp = units[i];
        CFIndex width = 1;
        if (isHighSurrogate(cp) && i + 1 < end && isLowSurrogate(units[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            width = 2;
        }
        UInt8 encoded[4];
        int count = 0;
        if (!encodeCodePoint(cp, encoding, encoded, &count)) {
            if (!lossByte)
                break;
            encoded[0] = lossByte;
            count = 1;
        }
        if (buffer) {
            if (used + count > maxBufLen)
                break;
            for (int k = 0; k < count; ++k)
                buffer[used + k] = encoded[k];
        }
        used += count;
        converted += width;
        i += width;
    }
    if (usedBufLen)
        *usedBufLen = used;
    return converted;
}
}
