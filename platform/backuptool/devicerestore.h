// Restoring the phone from its backup below a root: every file of the backup is checked
// against the digest in the index first, in a staging folder, and only a backup that checks
// out whole is written into the phone's file system.
#pragma once

#include "backupcrypto.h"
#include "indexfile.h"
#include "phonefolder.h"

#include <QDir>
#include <QList>

class DeviceRestore
{
public:
    DeviceRestore(const PhoneFolder &phone, const QDir &root, const QString &sourceUdid);

    // Throws std::runtime_error; the phone is left as it was when anything fails.
    void run();

private:
    struct Staged
    {
        QString stagedPath;
        QString devicePath;
        quint32 mtime;
    };

    void stage(const IndexRecord &record, const QString &devicePath, const QString &stagedPath);
    QString targetPath(const QString &devicePath) const;

    const PhoneFolder &m_phone;
    QDir m_folder;
    bool m_encrypted = false;
    BackupKeys m_keys;
    QList<Staged> m_staged;
};
