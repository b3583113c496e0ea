#include "support/filesystemseam.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

FileSystemSeam current;

bool isDescriptorLink(const char *path)
{
    return path && std::strncmp(path, "/proc/self/fd/", 14) == 0;
}

int failWith(int code)
{
    errno = code;
    return -1;
}

// Whether a descriptor of this process is open on the entry `path` names.
bool isOpen(int folder, const char *path)
{
    struct stat named;
    if (syscall(SYS_newfstatat, folder, path, &named, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat held;
        if (syscall(SYS_fstat, fd, &held) == 0 && held.st_dev == named.st_dev
            && held.st_ino == named.st_ino)
            return true;
    }
    return false;
}

// 0 where the seam lets the rename go ahead, else -1 with errno as SMB gives it.
int renameAsSeamed(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (current.dieAtRename)
        ::raise(SIGKILL);
    if (!current.openEntriesBusy)
        return 0;
    if (isOpen(fromFolder, from)) {
        syscall(SYS_unlinkat, toFolder, to, 0);
        return failWith(EBUSY);
    }
    return isOpen(toFolder, to) ? failWith(EBUSY) : 0;
}

} // namespace

FileSystemSeam FileSystemSeam::nfs()
{
    FileSystemSeam seam;
    seam.locks = Locks::Nfs;
    seam.unnamedFiles = false;
    return seam;
}

FileSystemSeam FileSystemSeam::noLockService()
{
    FileSystemSeam seam = nfs();
    seam.locks = Locks::None;
    return seam;
}

FileSystemSeam FileSystemSeam::smb()
{
    FileSystemSeam seam;
    seam.unnamedFiles = false;
    seam.noReplaceRename = false;
    seam.hardLinks = false;
    seam.openEntriesBusy = true;
    return seam;
}

FileSystemSeam FileSystemSeam::fuseExfatDyingAtRename()
{
    FileSystemSeam seam = fuseExfat();
    seam.dieAtRename = true;
    return seam;
}

std::vector<std::pair<const char *, FileSystemSeam>> FileSystemSeam::named()
{
    return { { "nfs", nfs() }, { "no locks", noLockService() }, { "exfat", fuseExfat() },
        { "smb", smb() } };
}

FileSystemSeam FileSystemSeam::fuseExfat()
{
    FileSystemSeam seam;
    seam.unnamedFiles = false;
    seam.noReplaceRename = false;
    seam.hardLinks = false;
    return seam;
}

ScopedFileSystemSeam::ScopedFileSystemSeam(const FileSystemSeam &seam)
    : former(current)
{
    current = seam;
}

ScopedFileSystemSeam::~ScopedFileSystemSeam()
{
    current = former;
}

namespace {

int openFile(const char *path, int flags, mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE && !current.unnamedFiles)
        return failWith(EOPNOTSUPP);
    if ((flags & O_APPEND) && current.openEntriesBusy)
        return failWith(EIO);
    return int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

} // namespace

// Both names: Qt opens its files through the second.
extern "C" int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode
        = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
    va_end(args);
    return openFile(path, flags, mode);
}

// GCC wants the alias marked nothrow as it found its target; clang reads nothrow as a
// noexcept promise, which glibc's declaration of open64 does not make.
#ifdef __clang__
extern "C" int open64(const char *path, int flags, ...) __attribute__((alias("open")));
#else
extern "C" int open64(const char *path, int flags, ...) __attribute__((alias("open"), nothrow));
#endif

extern "C" int flock(int fd, int operation)
{
    if (current.locks == FileSystemSeam::Locks::None)
        return failWith(ENOLCK);
    // NFS takes an exclusive flock for a byte-range lock, which wants a writer.
    if (current.locks == FileSystemSeam::Locks::Nfs && (operation & LOCK_EX)
        && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        return failWith(EBADF);
    return int(syscall(SYS_flock, fd, operation));
}

extern "C" int stat(const char *__restrict path, struct stat *__restrict buffer)
{
    if (!current.procFs && isDescriptorLink(path))
        return failWith(ENOENT);
    return ::fstatat(AT_FDCWD, path, buffer, 0);
}

extern "C" int linkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    if (!current.procFs && isDescriptorLink(from))
        return failWith(ENOENT);
    if (!current.hardLinks)
        return failWith(EPERM);
    return int(syscall(SYS_linkat, fromFolder, from, toFolder, to, flags));
}

extern "C" int link(const char *from, const char *to)
{
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

extern "C" int renameat2(
    int fromFolder, const char *from, int toFolder, const char *to, unsigned int flags)
{
    if (flags != 0 && !current.noReplaceRename)
        return failWith(EINVAL);
    if (renameAsSeamed(fromFolder, from, toFolder, to) != 0)
        return -1;
    return int(syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

extern "C" int rename(const char *from, const char *to)
{
    if (current.beforeRename) {
        const auto hook = std::move(current.beforeRename);
        current.beforeRename = nullptr;
        hook(from, to);
    }
    if (renameAsSeamed(AT_FDCWD, from, AT_FDCWD, to) != 0)
        return -1;
    return int(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

extern "C" int unlinkat(int folder, const char *path, int flags)
{
    if (current.openEntriesBusy && isOpen(folder, path))
        return failWith(EBUSY);
    const size_t size = std::strlen(path);
    const size_t busy = current.busyRemovalOf ? std::strlen(current.busyRemovalOf) : 0;
    if (busy && size >= busy && std::strcmp(path + size - busy, current.busyRemovalOf) == 0)
        return failWith(EBUSY);
    return int(syscall(SYS_unlinkat, folder, path, flags));
}

extern "C" int unlink(const char *path)
{
    return unlinkat(AT_FDCWD, path, 0);
}

extern "C" int rmdir(const char *path)
{
    return unlinkat(AT_FDCWD, path, AT_REMOVEDIR);
}
