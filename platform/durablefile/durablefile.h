// Files that appear under their name only when complete, and stay complete through a kill or a
// power loss. Every writer that makes or replaces a file goes through here: the file is filled
// unnamed where the file system allows, else under a partial name of its run beside its target
// (writerruns.h), synced, closed, then linked or renamed into place, and the folder synced
// after. Nothing is renamed or removed while open, as SMB refuses that.
#pragma once

#include <QFile>
#include <QString>

#include <memory>

class DurableFile
{
public:
    explicit DurableFile(const QString &target);
    // Discards what was written unless commit succeeded.
    ~DurableFile();
    Q_DISABLE_COPY(DurableFile)

    // Starts the file. The target must be a regular file (or a link to one, whose file is
    // then written) or nothing. False, with errorString(), when it cannot be created, or
    // when an existing target is one this user may not write.
    bool open();
    QFileDevice &device() { return *file; }
    // Writes all of `size` bytes; false, with errorString() giving the system's reason (a
    // full disk says so), when they could not be.
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &data) { return write(data.constData(), data.size()); }
    // Puts the file in place, synced: an existing regular file is replaced, keeping its
    // permissions; a new name is never taken from anything that appeared there meanwhile.
    // False, with errorString(), when it failed; the target is then as it was.
    bool commit();
    QString errorString() const { return error; }

    // Removes what killed runs left beside the file that `target` names (or leads to).
    static void removeLeftovers(const QString &target);

private:
    bool fail(int code);
    // Gives the unnamed file the name `name`, or without one a new partial name; 0 or the
    // system's error code.
    int linkUnnamed(const QString &name);

    QString targetPath;
    std::unique_ptr<QFile> file;
    QString error;
    bool replacing = false;
    bool unnamed = false;
    QString partial; // the name the file has beside the target until it is put in place
};

namespace durable {

// Makes the file `path` exclusively, with `content`, synced when `sync`, and closes it. 0, or
// the system's error code (EEXIST when something is there).
int createWith(const QString &path, const QByteArray &content, bool sync);

// Makes a new file (with `folder`, a folder) under a partial name of this run beside `target`.
// 0 with its path (and a file's descriptor, open for reading and writing), or the system's
// error code.
int makePartial(const QString &target, bool folder, QString *path, int *fd = nullptr);

// Renames `from` to `to`, never over anything (an empty folder included) on any file system.
// 0, or the system's error code (EEXIST when something is there).
int renameNew(const QString &from, const QString &to);

// Writes all of `size` bytes to `file`. An unbuffered file may take only part of them on a
// full disk without telling why; the rest is tried again so that the system says it.
// False, with *error giving the reason, when they could not all be written.
bool writeAll(
    QFileDevice &file, const char *data, qint64 size, const QString &path, QString *error);

// Flushes `file` and makes its data reach the disk. False, with *error as writeAll's.
bool sync(QFileDevice &file, const QString &path, QString *error);

// Makes the data of the file (with `folder`, the entries of the folder) at `path` reach the
// disk. 0, or the system's error code; syncFolder, true when it did.
int syncPath(const QString &path, bool folder = false);
bool syncFolder(const QString &folder);

// Puts the complete, closed file `from` in place of `to` (replacing it), synced, and the folders
// after. False, with *error, when the rename failed; `to` is then as it was.
bool renameOver(const QString &from, const QString &to, QString *error = nullptr);

// Makes `target` hold exactly `content`, through a DurableFile, after removing what killed
// writes left beside it. False, with *error as "<path>: <reason>", when it could not; the
// target is then as it was.
bool writeFile(const QString &target, const QByteArray &content, QString *error = nullptr);

// Copies `source` to `target` as writeFile writes: the target is replaced only by a complete
// copy. False, with *error as "<path>: <reason>" of the file that failed, otherwise.
bool copyFile(const QString &source, const QString &target, QString *error = nullptr);

// The reason a write to `path` failed: Qt's text, or, where Qt says "Unknown error" (the
// system took part of a write without failing it), what the file system says (a full disk).
QString writeFailure(const QString &path, const QString &qtReason);

} // namespace durable
