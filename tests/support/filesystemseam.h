// Makes this test process meet another file system than the one its files are on, in the
// calls where file systems differ for our writers: locks (NFS grants flock only on a
// descriptor open for writing; a share without a lock service grants none), unnamed files,
// /proc to link them in through, the no-replace rename and hard links that exFAT through
// FUSE lacks, and SMB's refusal to rename or remove an open file or to open one for append. The
// system's calls are overridden for the whole test binary, and pass through unless a seam is in
// force; a child forked meanwhile keeps it.
#pragma once

#include <functional>
#include <utility>
#include <vector>

struct FileSystemSeam
{
    enum class Locks { Local, Nfs, None };

    Locks locks = Locks::Local;
    bool unnamedFiles = true;
    bool procFs = true;
    bool noReplaceRename = true;
    bool hardLinks = true;
    // As SMB: renaming or removing an entry this process holds open fails with EBUSY, and a
    // rename of an open file over another removes that other first; an open for append
    // fails with EIO.
    bool openEntriesBusy = false;
    // Removing a file whose name ends so fails with EBUSY, as SMB may refuse to remove a file
    // at the moment it was closed.
    const char *busyRemovalOf = nullptr;
    // Called once, before the next rename, with its paths: acts between a check and the
    // rename it guards.
    std::function<void(const char *from, const char *to)> beforeRename;
    // The process dies (SIGKILL) at any rename, in whichever of its threads comes first.
    bool dieAtRename = false;

    static FileSystemSeam nfs();
    static FileSystemSeam noLockService();
    static FileSystemSeam fuseExfat();
    static FileSystemSeam smb();
    // exFAT's, where the process dies (SIGKILL) at its next rename.
    static FileSystemSeam fuseExfatDyingAtRename();
    // The seams above but the dying one, named, for data-driven tests.
    static std::vector<std::pair<const char *, FileSystemSeam>> named();
};

// Puts a seam in force for its lifetime; the one before comes back after.
class ScopedFileSystemSeam
{
public:
    explicit ScopedFileSystemSeam(const FileSystemSeam &seam);
    ~ScopedFileSystemSeam();
    ScopedFileSystemSeam(const ScopedFileSystemSeam &) = delete;
    ScopedFileSystemSeam &operator=(const ScopedFileSystemSeam &) = delete;

private:
    FileSystemSeam former;
};
