// Reading and writing the property lists of device folders and backups for the backup tool.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <plist/plist.h>

#include <memory>

struct PlistFree
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// XML or binary; null when the file cannot be read or parsed.
PlistPtr readPlistFile(const QString &path);
// As XML, durably through a file beside the target renamed over it; false, with *error as
// "<path>: <reason>", when it could not be.
bool writePlistFile(plist_t node, const QString &path, QString *error = nullptr);

// Entries of a dictionary, tolerant of anything else: missing or mistyped give the fallback.
plist_t dictItem(plist_t dict, const char *key);
QString stringOf(plist_t dict, const char *key);
bool boolOf(plist_t dict, const char *key, bool fallback = false);
long long integerOf(plist_t dict, const char *key, long long fallback = -1);
QByteArray dataOf(plist_t dict, const char *key);

void setString(plist_t dict, const char *key, const QString &value);
void setDate(plist_t dict, const char *key, const QDateTime &value);
