// The C interface of our CoreFoundation library: reference-counted objects (numbers,
// booleans, strings, data, dates, time zones, dictionaries, arrays) and property lists.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QM_COREFOUNDATION_BUILD)
#define QMCF_EXPORT __attribute__((visibility("default")))
#else
#define QMCF_EXPORT
#endif

typedef const void *CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef int32_t SInt32;
typedef uint32_t CFStringEncoding;
typedef double CFAbsoluteTime;
typedef double CFTimeInterval;
typedef CFIndex CFNumberType;
typedef CFIndex CFPropertyListFormat;

typedef const struct QMCFAllocator *CFAllocatorRef;
typedef const struct QMCFString *CFStringRef;
typedef const struct QMCFNumber *CFNumberRef;
typedef const struct QMCFBoolean *CFBooleanRef;
typedef const struct QMCFData *CFDataRef;
typedef const struct QMCFDate *CFDateRef;
typedef const struct QMCFTimeZone *CFTimeZoneRef;
typedef const struct QMCFDictionary *CFDictionaryRef;
typedef struct QMCFDictionary *CFMutableDictionaryRef;
typedef const struct QMCFArray *CFArrayRef;
typedef struct QMCFArray *CFMutableArrayRef;
typedef struct QMCFError *CFErrorRef;
typedef CFTypeRef CFPropertyListRef;

typedef struct
{
    CFIndex location;
    CFIndex length;
} CFRange;

typedef struct
{
    SInt32 year;
    SInt8 month;
    SInt8 day;
    SInt8 hour;
    SInt8 minute;
    double second;
} CFGregorianDate;

typedef const void *(*CFRetainCallBack)(CFAllocatorRef allocator, const void *value);
typedef void (*CFReleaseCallBack)(CFAllocatorRef allocator, const void *value);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void *value);
typedef Boolean (*CFEqualCallBack)(const void *value1, const void *value2);
typedef CFHashCode (*CFHashCallBack)(const void *value);

typedef struct
{
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
    CFHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct
{
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
} CFDictionaryValueCallBacks;

typedef CFDictionaryValueCallBacks CFArrayCallBacks;

enum {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16
};

enum {
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100
};

enum { kCFPropertyListXMLFormat_v1_0 = 100, kCFPropertyListBinaryFormat_v1_0 = 200 };

QMCF_EXPORT extern const CFBooleanRef kCFBooleanTrue;
QMCF_EXPORT extern const CFBooleanRef kCFBooleanFalse;
QMCF_EXPORT extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
QMCF_EXPORT extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
QMCF_EXPORT extern const CFArrayCallBacks kCFTypeArrayCallBacks;

QMCF_EXPORT CFTypeRef CFRetain(CFTypeRef object);
QMCF_EXPORT void CFRelease(CFTypeRef object);
QMCF_EXPORT CFIndex CFGetRetainCount(CFTypeRef object);
QMCF_EXPORT CFTypeID CFGetTypeID(CFTypeRef object);
QMCF_EXPORT Boolean CFEqual(CFTypeRef object1, CFTypeRef object2);
QMCF_EXPORT CFHashCode CFHash(CFTypeRef object);

QMCF_EXPORT CFTypeID CFNullGetTypeID(void);
QMCF_EXPORT CFTypeID CFBooleanGetTypeID(void);
QMCF_EXPORT CFTypeID CFNumberGetTypeID(void);
QMCF_EXPORT CFTypeID CFStringGetTypeID(void);
QMCF_EXPORT CFTypeID CFDataGetTypeID(void);
QMCF_EXPORT CFTypeID CFDateGetTypeID(void);
QMCF_EXPORT CFTypeID CFTimeZoneGetTypeID(void);
QMCF_EXPORT CFTypeID CFDictionaryGetTypeID(void);
QMCF_EXPORT CFTypeID CFArrayGetTypeID(void);

QMCF_EXPORT CFNumberRef CFNumberCreate(
    CFAllocatorRef allocator, CFNumberType type, const void *valuePtr);
QMCF_EXPORT Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void *valuePtr);
QMCF_EXPORT CFNumberType CFNumberGetType(CFNumberRef number);

QMCF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8 *bytes,
    CFIndex numBytes, CFStringEncoding encoding, Boolean isExternalRepresentation);
QMCF_EXPORT CFIndex CFStringGetLength(CFStringRef string);
QMCF_EXPORT CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding,
    UInt8 lossByte, Boolean isExternalRepresentation, UInt8 *buffer, CFIndex maxBufLen,
    CFIndex *usedBufLen);

QMCF_EXPORT CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length);
QMCF_EXPORT CFIndex CFDataGetLength(CFDataRef data);
QMCF_EXPORT void CFDataGetBytes(CFDataRef data, CFRange range, UInt8 *buffer);

QMCF_EXPORT CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
QMCF_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date);
QMCF_EXPORT CFAbsoluteTime CFGregorianDateGetAbsoluteTime(
    CFGregorianDate gdate, CFTimeZoneRef timeZone);
QMCF_EXPORT CFGregorianDate CFAbsoluteTimeGetGregorianDate(
    CFAbsoluteTime at, CFTimeZoneRef timeZone);
QMCF_EXPORT CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(
    CFAllocatorRef allocator, CFTimeInterval interval);
QMCF_EXPORT CFTimeZoneRef CFTimeZoneCreateWithName(
    CFAllocatorRef allocator, CFStringRef name, Boolean tryAbbrev);

QMCF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator,
    CFIndex capacity, const CFDictionaryKeyCallBacks *keyCallBacks,
    const CFDictionaryValueCallBacks *valueCallBacks);
QMCF_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
QMCF_EXPORT const void *CFDictionaryGetValue(CFDictionaryRef dictionary, const void *key);
QMCF_EXPORT void CFDictionarySetValue(
    CFMutableDictionaryRef dictionary, const void *key, const void *value);
QMCF_EXPORT void CFDictionaryGetKeysAndValues(
    CFDictionaryRef dictionary, const void **keys, const void **values);

QMCF_EXPORT CFMutableArrayRef CFArrayCreateMutable(
    CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks *callBacks);
QMCF_EXPORT CFIndex CFArrayGetCount(CFArrayRef array);
QMCF_EXPORT const void *CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);
QMCF_EXPORT void CFArrayAppendValue(CFMutableArrayRef array, const void *value);

QMCF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator,
    CFPropertyListRef propertyList, CFPropertyListFormat format, CFOptionFlags options,
    CFErrorRef *error);
QMCF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
    CFOptionFlags options, CFPropertyListFormat *format, CFErrorRef *error);

// Test hook: the number of objects created and not yet freed.
QMCF_EXPORT CFIndex QMCFGetLiveObjectCount(void);

#ifdef __cplusplus
}
#endif
