// Property lists from untrusted bytes through libplist, whose getters abort on a text with a
// NUL inside and whose binary reader recurses without limit: the one way in for every reader.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace plistinput {

// Arrays and dictionaries nested deeper than this are refused.
constexpr int maxDepth = 256;
// A binary list may refer to one object from many places, and libplist copies it for each:
// a list that would expand past this many nodes, and past one node a byte, is refused.
// Without shared containers a list has fewer nodes than bytes.
constexpr uint64_t maxNodes = uint64_t(1) << 20;

// XML or binary, told apart by the "bplist00" mark: a tree owned by the caller, or null when
// the bytes do not parse, nest too deep or expand too far. Every string and key in it ends at
// its first NUL, as libplist's binary reader already cuts ASCII strings, so no getter or copy
// trips on one.
plist_t parse(const char *bytes, size_t length);

// The text of a string or key node up to its first NUL, read with the node's length; empty
// for anything else.
std::string text(plist_t node);

// The time of a binary list whose top object is a date, which libplist 2.2 misreads; false
// for any other list.
bool binaryRootDate(const char *bytes, size_t length, double *at);

} // namespace plistinput
