// File names made from texts that come from phones (chat titles, attachment names), for the
// files an export or an extraction writes.
#pragma once

#include <QString>

// Longest name, in bytes of UTF-8, that an export gives a file: room is left below the
// usual 255-byte limit for the counter that keeps names unique.
constexpr int MaxExportNameBytes = 200;

// The name without path separators, control characters, lone surrogates and the characters
// \ / : * ? " < > |, trimmed, shortened to MaxExportNameBytes with its suffix kept; never
// "." or ".."; `fallback` when nothing is left.
QString safeFileName(const QString &name, const QString &fallback);
