#include "platform/durablefile/durablefile.h"

#include "platform/durablefile/writerruns.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names taken meanwhile before a partial name is given up.
const int nameAttempts = 100;

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

} // namespace

void DurableFile::removeLeftovers(const QString &target)
{
    // Beside the file a link leads to, which is the one written.
    const QString file = QFileInfo(target).canonicalFilePath();
    writerruns::removeDeadLeftovers(QFileInfo(file.isEmpty() ? target : file).absolutePath());
}

DurableFile::DurableFile(const QString &target)
    : targetPath(target)
{
}

DurableFile::~DurableFile()
{
    // Closed first: SMB removes no open file.
    file.reset();
    if (!partial.isEmpty())
        ::unlink(QFile::encodeName(partial).constData());
}

bool DurableFile::fail(int code)
{
    error = systemText(code);
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

    // Unnamed where the file system has such files: a killed run leaves nothing. Elsewhere a
    // partial file of this run beside the target.
    int fd = openUnnamed(QFileInfo(targetPath).absolutePath());
    unnamed = fd >= 0;
    if (!unnamed) {
        if (const int code = durable::makePartial(targetPath, false, &partial, &fd))
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
    if (name.isEmpty())
        writerruns::noteFolderOf(targetPath);
    const QByteArray from = descriptorPath(file->handle());
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        const QString to = name.isEmpty() ? writerruns::partialPath(targetPath) : name;
        // A link never replaces anything.
        if (::linkat(AT_FDCWD, from.constData(), AT_FDCWD, QFile::encodeName(to).constData(),
                AT_SYMLINK_FOLLOW)
            == 0) {
            partial = name.isEmpty() ? to : QString();
            return 0;
        }
        if (errno != EEXIST || !name.isEmpty())
            return errno;
    }
    return EEXIST;
}

bool DurableFile::commit()
{
    if (!durable::sync(*file, targetPath, &error))
        return false;
    if (unnamed) {
        // A new file takes its name by a link; one that replaces another gets a name of its
        // own first, as only a rename replaces a file whole.
        const int code = linkUnnamed(replacing ? QString() : targetPath);
        if (code != 0)
            return fail(code);
    }
    file->close();
    if (!partial.isEmpty()) {
        const QByteArray from = QFile::encodeName(partial);
        const int code = replacing
            ? (::rename(from.constData(), QFile::encodeName(targetPath).constData()) == 0 ? 0
                                                                                          : errno)
            : durable::renameNew(partial, targetPath);
        if (code != 0)
            return fail(code);
        partial.clear();
    }
    durable::syncFolder(QFileInfo(targetPath).absolutePath());
    return true;
}

namespace durable {

int createWith(const QString &path, const QByteArray &content, bool sync)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd
        = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    // A few bytes: a short write means a full disk.
    const ssize_t written
        = content.isEmpty() ? 0 : ::write(fd, content.constData(), size_t(content.size()));
    int code = written < 0 ? errno : written < content.size() ? ENOSPC : 0;
    if (code == 0 && sync && syncDescriptor(fd) != 0)
        code = errno;
    ::close(fd);
    if (code != 0)
        ::unlink(name.constData());
    return code;
}

int makePartial(const QString &target, bool folder, QString *path, int *fd)
{
    writerruns::noteFolderOf(target);
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        *path = writerruns::partialPath(target);
        const QByteArray name = QFile::encodeName(*path);
        // With the permissions of a file or folder made directly.
        const int made = folder
            ? ::mkdir(name.constData(), 0777)
            : ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (made < 0 && errno != EEXIST)
            return errno;
        if (made < 0)
            continue;
        if (folder)
            writerruns::notePartialFolder(*path);
        else if (fd)
            *fd = made;
        else
            ::close(made);
        return 0;
    }
    return EEXIST;
}

int renameNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without that rename (NFS, exFAT and NTFS through FUSE). An exclusive make
    // of the name is the one test-and-take every file system has: the rename then replaces
    // only that reservation, which this run's record names meanwhile.
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return errno;
    const int made = S_ISDIR(st.st_mode) ? (::mkdir(target.constData(), 0700) == 0 ? 0 : errno)
                                         : createWith(to, QByteArray(), false);
    if (made != 0)
        return made;
    const writerruns::Reservation reserved(to);
    if (::rename(source.constData(), target.constData()) == 0)
        return 0;
    const int code = errno;
    ::remove(target.constData());
    return code;
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
    DurableFile out(target);
    const auto failed = [error](const QString &path, const QString &reason) {
        if (error)
            *error = QDir::toNativeSeparators(path) + QStringLiteral(": ") + reason;
        return false;
    };
    if (!in.open(QIODevice::ReadOnly))
        return failed(source, in.errorString());
    DurableFile::removeLeftovers(target);
    if (!out.open())
        return failed(target, out.errorString());
    QByteArray buffer(1 << 18, Qt::Uninitialized);
    for (qint64 read; (read = in.read(buffer.data(), buffer.size())) != 0;) {
        if (read < 0)
            return failed(source, in.errorString());
        if (!out.write(buffer.constData(), read))
            return failed(target, out.errorString());
    }
    return out.commit() || failed(target, out.errorString());
}

} // namespace durable
