// Records what this process makes reach the disk: the files and folders handed to fsync,
// which a test executable linking this takes over from the system. The executable exports
// its symbols (ENABLE_EXPORTS) so that the calls of the libraries it loads come here too.
#pragma once

#include <QStringList>

class SyncRecorder
{
public:
    // Records from now on.
    SyncRecorder();
    ~SyncRecorder();
    SyncRecorder(const SyncRecorder &) = delete;
    SyncRecorder &operator=(const SyncRecorder &) = delete;

    // The paths synced since construction, as the system names them (links resolved).
    QStringList synced() const;
};
