#include "platform/durablefile/durablefile.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names taken meanwhile before an unnamed file gives up getting a partial name.
const int linkAttempts = 100;

int syncDescriptor(int fd)
{
    int result;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result;
}

QString systemText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QByteArray descriptorPath(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// A file without a name in `folder`, or -1 where there is none to be had: the file system has
// no such files, or there is no /proc (a chroot, a container) to link one in through.
int openUnnamed(const QString &folder)
{
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat own, seen;
    if (::fstat(fd, &own) == 0 && ::stat(descriptorPath(fd).constData(), &seen) == 0
        && own.st_dev == seen.st_dev && own.st_ino == seen.st_ino)
        return fd;
    ::close(fd);
    return -1;
}

// 0, or the system's error code.
int reserveThenRename(const QByteArray &source, const QByteArray &target, bool folder)
{
    // An exclusive make of the name is the one test-and-take every file system has; the
    // rename then replaces only that reservation.
    if (folder) {
        if (::mkdir(target.constData(), 0700) != 0)
            return errno;
    } else {
        const int fd = ::open(
            target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno;
        ::close(fd);
    }
    if (::rename(source.constData(), target.constData()) == 0)
        return 0;
    const int code = errno;
    if (folder)
        ::rmdir(target.constData());
    else
        ::unlink(target.constData());
    return code;
}

} // namespace

void DurableFile::removeLeftovers(const QString &path)
{
    durable::removeLeftovers(path, false, [](const QString &file) { QFile::remove(file); });
}

DurableFile::DurableFile(const QString &target)
    : targetPath(target)
{
}

DurableFile::~DurableFile()
{
    // Still held: no other run's file can have taken the name.
    if (!partial.isEmpty())
        ::unlink(QFile::encodeName(partial).constData());
}

bool DurableFile::fail(int code)
{
    return fail(systemText(code));
}

bool DurableFile::fail(const QString &reason)
{
    error = reason;
    return false;
}

bool DurableFile::open()
{
    // Through a link, the file it leads to is written, as a program writing in place would.
    const QFileInfo info(targetPath);
    if (info.isSymLink() && info.exists())
        targetPath = info.canonicalFilePath();
    const QByteArray name = QFile::encodeName(targetPath);
    struct stat st;
    replacing = ::stat(name.constData(), &st) == 0;
    if (replacing && !S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    // A renamed file replaces one that this user may not write: that file stays as it is.
    if (replacing && ::access(name.constData(), W_OK) != 0)
        return fail(errno);

    // Unnamed where the file system has such files, and held from the start, so that no
    // cleanup takes it once it is linked under a partial name: a killed run leaves nothing.
    // Elsewhere a partial file beside the target, held for as long as it is filled.
    int fd = openUnnamed(QFileInfo(targetPath).absolutePath());
    unnamed = fd >= 0;
    if (unnamed) {
        lock.lockDescriptor(fd, QString());
    } else if (const int code = durable::makePartial(targetPath, false, &partial, &lock, &fd)) {
        return fail(code);
    }
    if (replacing)
        ::fchmod(fd, st.st_mode & 07777);
    file = std::make_unique<QFile>();
    file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle);
    return true;
}

bool DurableFile::write(const char *data, qint64 size)
{
    return durable::writeAll(*file, data, size, targetPath, &error);
}

int DurableFile::linkUnnamed(const QString &name)
{
    // A link never replaces anything.
    return ::linkat(AT_FDCWD, descriptorPath(file->handle()).constData(), AT_FDCWD,
               QFile::encodeName(name).constData(), AT_SYMLINK_FOLLOW)
            == 0
        ? 0
        : errno;
}

bool DurableFile::commit()
{
    if (!durable::sync(*file, targetPath, &error))
        return false;
    if (unnamed && !replacing) {
        if (const int code = linkUnnamed(targetPath))
            return fail(code);
    } else {
        if (unnamed) {
            // A name of its own first: a rename is what replaces a file whole.
            int code = EEXIST;
            for (int attempt = 0; attempt < linkAttempts && code == EEXIST; ++attempt) {
                const QString name = durable::partialPath(targetPath);
                code = linkUnnamed(name);
                if (code == 0)
                    partial = name;
            }
            if (code != 0)
                return fail(code);
        }
        // Renamed while still held, so that no cleanup takes it first.
        const QByteArray from = QFile::encodeName(partial);
        const int code = replacing
            ? (::rename(from.constData(), QFile::encodeName(targetPath).constData()) == 0 ? 0
                                                                                          : errno)
            : durable::renameNew(partial, targetPath);
        if (code != 0)
            return fail(code);
        partial.clear();
    }
    file->close();
    lock.unlock();
    durable::syncFolder(QFileInfo(targetPath).absolutePath());
    return true;
}

namespace durable {

int renameNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without that rename. A file is linked in, which never replaces anything;
    // where there are no links either (exFAT, vfat), and for a folder, the name is reserved.
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return errno;
    const bool folder = S_ISDIR(st.st_mode);
    if (!folder) {
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return 0;
        }
        if (errno == EEXIST)
            return EEXIST;
    }
    return reserveThenRename(source, target, folder);
}

QString writeFailure(const QString &path, const QString &qtReason)
{
    QString reason = qtReason;
    // Qt says "Unknown error" when the system took part of a write without failing it, as
    // it does on a full disk: then the disk's own state is the reason.
    if (reason.isEmpty() || reason == QLatin1String("Unknown error")) {
        const QStorageInfo storage(QFileInfo(path).absolutePath());
        if (storage.isValid() && storage.bytesAvailable() < 64 * 1024)
            reason = systemText(ENOSPC);
        else if (reason.isEmpty())
            reason = QStringLiteral("the file could not be written whole");
    }
    return reason;
}

bool writeAll(QFileDevice &file, const char *data, qint64 size, const QString &path, QString *error)
{
    qint64 done = 0;
    bool stalled = false;
    while (done < size) {
        const qint64 written = file.write(data + done, size - done);
        if (written < 0 || (written == 0 && stalled)) {
            if (error)
                *error = writeFailure(path, file.errorString());
            return false;
        }
        stalled = written == 0;
        done += written;
    }
    return true;
}

bool sync(QFileDevice &file, const QString &path, QString *error)
{
    // A flush that wrote part of its buffer keeps the rest: the second one meets the
    // failure itself and names it.
    if (!file.flush() && !file.flush()) {
        if (error)
            *error = writeFailure(path, file.errorString());
        return false;
    }
    const int fd = file.handle();
    if (fd >= 0 && syncDescriptor(fd) != 0) {
        if (error)
            *error = writeFailure(path, systemText(errno));
        return false;
    }
    return true;
}

int syncPath(const QString &path, bool folder)
{
    const int fd = ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return errno;
    const int code = syncDescriptor(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code;
}

bool syncFolder(const QString &folder)
{
    return syncPath(folder, true) == 0;
}

bool renameOver(const QString &from, const QString &to, QString *error)
{
    if (const int code = syncPath(from)) {
        if (error)
            *error = QDir::toNativeSeparators(from) + QStringLiteral(": ") + systemText(code);
        return false;
    }
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        if (error)
            *error = QDir::toNativeSeparators(to) + QStringLiteral(": ") + systemText(errno);
        return false;
    }
    const QString toFolder = QFileInfo(to).absolutePath();
    const QString fromFolder = QFileInfo(from).absolutePath();
    syncFolder(toFolder);
    if (fromFolder != toFolder)
        syncFolder(fromFolder);
    return true;
}

bool writeFile(const QString &target, const QByteArray &content, QString *error)
{
    DurableFile::removeLeftovers(target);
    DurableFile out(target);
    if (out.open() && out.write(content) && out.commit())
        return true;
    if (error)
        *error = QDir::toNativeSeparators(target) + QStringLiteral(": ") + out.errorString();
    return false;
}

bool copyFile(const QString &source, const QString &target, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QDir::toNativeSeparators(source) + QStringLiteral(": ") + in.errorString();
        return false;
    }
    DurableFile::removeLeftovers(target);
    DurableFile out(target);
    const auto failTarget = [&] {
        if (error)
            *error = QDir::toNativeSeparators(target) + QStringLiteral(": ") + out.errorString();
        return false;
    };
    if (!out.open())
        return failTarget();
    QByteArray buffer(1 << 18, Qt::Uninitialized);
    for (;;) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read == 0)
            break;
        if (read < 0) {
            if (error)
                *error = QDir::toNativeSeparators(source) + QStringLiteral(": ") + in.errorString();
            return false;
        }
        if (!out.write(buffer.constData(), read))
            return failTarget();
    }
    return out.commit() || failTarget();
}

} // namespace durable
