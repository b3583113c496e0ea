// The flows that merge messages into a device's message database inside a backup: into an
// iTunes backup on this computer, or into a fresh backup of a connected iPhone that is then
// restored to it.
#pragma once

#include "records/msgrecords.h"

#include <QCoreApplication>

class AbsMessageDb;
class BackupManifest;
class FlowHost;
class IOS6RestoreMessagesThread;
class IOSDevice;
class QDir;

class RestoreFlow
{
    Q_DECLARE_TR_FUNCTIONS(RestoreFlow)
public:
    explicit RestoreFlow(FlowHost &host);

    void exportToITunesBackup(const MsgMessageList &messages);
    // The phone whose database is `sourceDb`, if any, is not offered as a target.
    void transferToIPhone(const MsgMessageList &messages, const AbsMessageDb *sourceDb);

private:
    // Caches the backup's message folder and checks that its database has the iOS 6+
    // layout; false, after the worker or a box has said why, when not.
    bool cacheBackup(BackupManifest &backup, QDir *cacheDir);
    void reportMerge(int restored, int skipped);
    // The numbered notes asked before a transfer, with the guide's link when there is a host.
    static QString transferNotes();
    // False when the device's node has left the tree: its handle may be gone with it.
    bool stillAttached(void *handle) const;
    // Caches the device's messages anew from the backup just restored to it, which holds
    // what the device holds now, and reopens its node on them.
    void refreshDevice(const IOSDevice &device, const QDir &backupRoot);

    FlowHost &m_host;
};
