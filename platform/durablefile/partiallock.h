// What a run fills beside its target before it puts it in place: a partial name that the next
// run knows for the program's own, and a lock that tells a live run's partial from what a
// killed run left. Cleanup removes a partial only while it holds its lock.
//
// The lock is flock on a descriptor open for writing: NFS grants an exclusive lock only on such
// a one, and a folder cannot be opened so, so a folder is held through a lock file in it. It
// ends with the process. Where the file system takes no locks at all (a share without a lock
// service), a run goes on unlocked: it still removes what it made itself, but no cleanup can
// then tell another run's partial from a killed one's, so all of them stay.
#pragma once

#include <QString>

#include <functional>

class PartialLock
{
public:
    enum State {
        Unlocked,
        Locked, // no other run can take it until unlocked or this process ends
        NoLocks, // open, but the file system keeps no one out; error() says why
        Busy, // another run holds it
        Failed, // not opened, not a regular file, or its name no longer leads to it; see error()
    };

    // The file in a held folder that carries its lock.
    static const char folderLockName[];

    PartialLock() = default;
    PartialLock(PartialLock &&other) noexcept;
    PartialLock &operator=(PartialLock &&other) noexcept;
    ~PartialLock();

    // Locks the regular file at `path`, never through a link.
    State lockFile(const QString &path);
    // Locks the folder at `path` through its lock file, which is made when missing; with
    // `newLockFile` only a lock file made now is taken (Failed with EEXIST otherwise).
    State lockFolder(const QString &path, bool newLockFile = false);
    // Locks the open file `fd` (the caller keeps it) whose name is `path`; without a path,
    // a file that has no name yet.
    State lockDescriptor(int fd, const QString &path);
    // A held folder that was renamed: its lock file is found under the new name.
    void folderMoved(const QString &path);
    // Lets go. The lock file of a folder goes first, when it is the one held, so that no
    // run leaves it behind.
    void unlock();
    // Lets go of a folder about to be removed: its lock file goes after the descriptor is
    // closed, as NFS keeps a file removed while open under another name until it is closed,
    // and the folder could not be removed then.
    void release();

    State state() const { return current; }
    bool holds() const { return current == Locked || current == NoLocks; }
    // The system's error code behind NoLocks or Failed.
    int error() const { return code; }

private:
    State hold(int fd, const QByteArray &name, bool made);

    int fd = -1;
    State current = Unlocked;
    int code = 0;
    QByteArray lockName; // a folder's lock file, removed on unlock
    bool madeLockFile = false;
};

namespace durable {

// A new name beside `target` for a file or folder that a run fills and then puts in place:
// "<name>.<twelve letters or digits>.partial". The last six check the name and the first six
// (35 bits), so that a user's own "<name>.<anything>.partial" is not taken for one of ours.
QString partialPath(const QString &target);
// Whether `entry` is a name that partialPath gives for a target named `name`.
bool isPartialName(const QString &entry, const QString &name);

// Makes a new file or folder beside `target` under a partial name and locks it, trying other
// names while one is taken: the one way every partial comes to be, bounded. 0 with its path,
// its lock and (for a file) its descriptor open for reading and writing; or the system's
// error code, with nothing left.
int makePartial(
    const QString &target, bool folder, QString *path, PartialLock *lock, int *fd = nullptr);

// Calls `remove` with each file (with `folders`, each folder) beside `target` that has a name
// partialPath gives it, exactly, while holding its lock; links are passed over. False when a
// live run holds one of them, which is left as it is; so is one where nothing can be locked.
bool removeLeftovers(
    const QString &target, bool folders, const std::function<void(const QString &)> &remove);

// Removes the partial files in `folder` that killed runs left, whatever their targets.
void removeLeftoversIn(const QString &folder);

} // namespace durable
