// Feeds arbitrary bytes to our CoreFoundation's property-list reader, as service replies and
// device-link messages reach it, and reads every value it gives back. What it reads must
// write in both forms and read again, and every object must be freed once released.
#include "platform/corefoundation/corefoundation.h"

#include <cstdlib>
#include <vector>

namespace {

void visit(CFTypeRef value, int depth);

void visitString(CFStringRef string)
{
    const CFIndex length = CFStringGetLength(string);
    CFIndex used = 0;
    CFStringGetBytes(string, { 0, length }, kCFStringEncodingUTF8, '?', false, nullptr, 0, &used);
    std::vector<UInt8> bytes(size_t(used) + 1);
    CFStringGetBytes(
        string, { 0, length }, kCFStringEncodingUTF8, '?', false, bytes.data(), used, &used);
    CFStringGetBytes(string, { 0, length }, kCFStringEncodingISOLatin1, '?', false, bytes.data(),
        CFIndex(bytes.size()), &used);
}

void visitDictionary(CFDictionaryRef dictionary, int depth)
{
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void *> keys(static_cast<size_t>(count));
    std::vector<const void *> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (CFIndex i = 0; i < count; ++i) {
        visit(keys[size_t(i)], depth + 1);
        if (CFDictionaryGetValue(dictionary, keys[size_t(i)]) != values[size_t(i)])
            abort();
        visit(values[size_t(i)], depth + 1);
    }
}

void visit(CFTypeRef value, int depth)
{
    if (!value || depth > 300)
        abort();
    CFHash(value);
    if (!CFEqual(value, value))
        abort();
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        visitString(static_cast<CFStringRef>(value));
    } else if (type == CFNumberGetTypeID()) {
        int64_t integer = 0;
        double real = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &integer);
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &real);
        int32_t small = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &small);
    } else if (type == CFDataGetTypeID()) {
        const CFIndex length = CFDataGetLength(static_cast<CFDataRef>(value));
        std::vector<UInt8> bytes(size_t(length) + 1);
        CFDataGetBytes(static_cast<CFDataRef>(value), { 0, length }, bytes.data());
    } else if (type == CFDateGetTypeID()) {
        const CFAbsoluteTime at = CFDateGetAbsoluteTime(static_cast<CFDateRef>(value));
        CFAbsoluteTimeGetGregorianDate(at, nullptr);
    } else if (type == CFDictionaryGetTypeID()) {
        visitDictionary(static_cast<CFDictionaryRef>(value), depth);
    } else if (type == CFArrayGetTypeID()) {
        const CFIndex count = CFArrayGetCount(static_cast<CFArrayRef>(value));
        for (CFIndex i = 0; i < count; ++i)
            visit(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(value), i), depth + 1);
    }
}

// What we write we read back.
void writeAndReadAgain(CFPropertyListRef list, CFPropertyListFormat format)
{
    CFDataRef written = CFPropertyListCreateData(nullptr, list, format, 0, nullptr);
    if (!written)
        return;
    CFPropertyListFormat readFormat = 0;
    CFPropertyListRef again
        = CFPropertyListCreateWithData(nullptr, written, 0, &readFormat, nullptr);
    if (!again || readFormat != format)
        abort();
    CFRelease(again);
    CFRelease(written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const CFIndex live = QMCFGetLiveObjectCount();
    CFDataRef bytes = CFDataCreate(nullptr, data, CFIndex(size));
    CFPropertyListFormat format = 0;
    CFPropertyListRef list = CFPropertyListCreateWithData(nullptr, bytes, 0, &format, nullptr);
    CFRelease(bytes);
    if (list) {
        visit(list, 0);
        writeAndReadAgain(list, kCFPropertyListXMLFormat_v1_0);
        writeAndReadAgain(list, kCFPropertyListBinaryFormat_v1_0);
        CFRelease(list);
    }
    if (QMCFGetLiveObjectCount() != live)
        abort();
    return 0;
}
