// Strings of our CoreFoundation, for tests that call its C interface directly.
#pragma once

#include "platform/corefoundation/corefoundation.h"

#include <QByteArray>

inline CFStringRef cfString(const QByteArray &utf8)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.constData()),
        utf8.size(), kCFStringEncodingUTF8, false);
}

// The UTF-8 of a string; empty for anything else.
inline QByteArray cfUtf8(CFTypeRef ref)
{
    if (!ref || CFGetTypeID(ref) != CFStringGetTypeID())
        return QByteArray();
    const auto string = static_cast<CFStringRef>(ref);
    const CFRange all { 0, CFStringGetLength(string) };
    CFIndex needed = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &needed);
    QByteArray bytes(static_cast<int>(needed), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false,
        reinterpret_cast<UInt8 *>(bytes.data()), needed, &needed);
    return bytes;
}
