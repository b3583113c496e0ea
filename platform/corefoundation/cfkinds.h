// What the property-list conversion needs of each kind of object, beyond the C interface.
#pragma once

#include "corefoundation.h"

#include <string>
#include <utility>
#include <vector>

namespace qmcf {

CFNumberRef createInteger(int64_t value);
CFNumberRef createReal(double value);
// False when `ref` is no number; otherwise fills both and says whether it is a float.
bool numberValue(CFTypeRef ref, int64_t *integer, double *real);
bool isNumber(CFTypeRef ref);

// Invalid UTF-8 becomes U+FFFD: what a device sends is taken as far as it can be read.
CFStringRef createStringLenient(const char *utf8, size_t length);
// The string as UTF-8; false when `ref` is no string. Lone surrogates become U+FFFD.
bool stringUtf8(CFTypeRef ref, std::string *out);

CFDataRef createData(const void *bytes, size_t length);
const std::vector<UInt8> *dataBytes(CFTypeRef ref);

CFDateRef createDate(CFAbsoluteTime at);
bool dateValue(CFTypeRef ref, CFAbsoluteTime *at);

bool booleanValue(CFTypeRef ref, bool *value);

// Immutable containers that retain their items, as property lists are made.
CFDictionaryRef createFrozenDictionary(const std::vector<std::pair<CFTypeRef, CFTypeRef>> &entries);
CFArrayRef createFrozenArray(const std::vector<CFTypeRef> &items);
bool dictionaryEntries(CFTypeRef ref, std::vector<std::pair<CFTypeRef, CFTypeRef>> *out);
bool arrayItems(CFTypeRef ref, std::vector<CFTypeRef> *out);

} // namespace qmcf
