// Where a file of the phone's file system lives in a backup: its domain and its path in the
// domain, and the way back for a restore.
#pragma once

#include <QString>

struct DomainPath
{
    QString domain;
    QString path;

    bool isValid() const { return !domain.isEmpty(); }
};

// For a path below the file system root ("var/mobile/Library/SMS/sms.db"); invalid for
// what a backup does not hold.
DomainPath domainPathOf(const QString &devicePath);
// The file system path of a backup entry; empty for unknown domains and for paths that would
// lead outside the domain's folder.
QString devicePathOf(const QString &domain, const QString &path);
