// Files that appear under their name only when complete, and stay complete through a kill
// or a power loss. Every writer that makes or replaces a file goes through here: it is
// written beside its target, synced, renamed into place, and the folder synced after.
#pragma once

#include <QFileDevice>
#include <QString>

#include <functional>
#include <memory>

// A hold on a file or folder that one run fills beside its target under a partial name
// (durable::partialPath): an advisory lock on an open descriptor of it, which no other run, in
// this window or another, can take meanwhile, and which ends with the process, so that what a
// killed run left can be taken. Cleanup removes a partial only while holding it.
class PartialLock
{
public:
    PartialLock() = default;
    PartialLock(PartialLock &&other) noexcept;
    PartialLock &operator=(PartialLock &&other) noexcept;
    ~PartialLock();

    // Locks the file or folder at `path`, never through a link. False when another holds it
    // or the name no longer leads to what was locked (removed or replaced meanwhile).
    bool tryLock(const QString &path);
    // Locks the open file the same way.
    bool tryLock(QFileDevice &file);
    void unlock();

private:
    bool hold(int descriptor, const QString &path);

    int fd = -1;
};

class DurableFile
{
public:
    explicit DurableFile(const QString &target);
    // Discards what was written unless commit succeeded.
    ~DurableFile();
    DurableFile(const DurableFile &) = delete;
    DurableFile &operator=(const DurableFile &) = delete;

    // Starts the file beside the target (which must be a regular file or nothing). False,
    // with errorString(), when it cannot be created.
    bool open();
    QFileDevice &device() { return *file; }
    // Writes all of `size` bytes; false, with errorString() giving the system's reason (a
    // full disk says so), when they could not be.
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &data) { return write(data.constData(), data.size()); }
    // Puts the file in place, synced: an existing regular file is replaced; a new name is
    // never taken from anything that appeared there meanwhile. False, with errorString(),
    // when it failed; the target is then as it was.
    bool commit();
    QString errorString() const { return error; }
    QString target() const { return targetPath; }

    // Removes the partial files that killed runs left beside the target; those of live runs
    // stay. A folder listing: for the few files a user names, not for every copied picture.
    static void removeLeftovers(const QString &target);

private:
    bool fail(const QString &reason);

    QString targetPath;
    std::unique_ptr<QFileDevice> file;
    QString error;
    bool replacing = false;
    QString partial; // the name of a new file being filled beside the target, if it has one
    PartialLock lock;
};

// Many complete files put in place as durable::renameOver puts one, at a fraction of the
// cost: a file handed in is synced on the batch's own threads while its writer goes on, many
// syncs under way at once, which the disk commits together, and renamed over its target once
// synced; commit() waits for them all and syncs each folder once.
class DurableBatch
{
public:
    DurableBatch();
    // Removes the files handed in that were not put in place.
    ~DurableBatch();
    DurableBatch(const DurableBatch &) = delete;
    DurableBatch &operator=(const DurableBatch &) = delete;

    // `file`, written whole beside `target`, is to replace it: its data starts for the disk
    // at once. A `late` file is renamed only by commit(), for a caller that must note
    // something first. The file may be closed afterwards. Safe to call from many threads.
    void add(QFileDevice &file, const QString &target, bool late = false);
    // Waits for every sync, renames the late files in the order they were added, then syncs
    // the folders. False, with *error as "<target>: <reason>" of the first in that order,
    // when a sync or a rename failed: no late file is renamed then, and the files not in
    // place are removed with the batch.
    bool commit(QString *error = nullptr);

private:
    struct Syncs;
    std::unique_ptr<Syncs> syncs;
};

namespace durable {

// A new name beside `target` for a file or folder that a run fills and then puts in place:
// "<name>.<six letters or digits>.partial". The last two characters check the name and the
// first four, so that a user's own "notes.txt.backup.partial" is not taken for one of ours.
QString partialPath(const QString &target);

// Calls `remove` with each file (with `folders`, each folder) beside `target` that has a name
// partialPath gives it, exactly, while holding its lock; links are passed over. False when a
// live run holds one of them, which is left as it is.
bool removeLeftovers(
    const QString &target, bool folders, const std::function<void(const QString &)> &remove);

// Renames `from` to `to`, where nothing may be: never over anything, an empty folder
// included. 0, or the system's error code (EEXIST when something is there).
int renameNew(const QString &from, const QString &to);

// Writes all of `size` bytes to `file`. An unbuffered file may take only part of them on a
// full disk without telling why; the rest is tried again so that the system says it.
// False, with *error giving the reason, when they could not all be written.
bool writeAll(
    QFileDevice &file, const char *data, qint64 size, const QString &path, QString *error);

// Flushes `file` and makes its data reach the disk. False, with *error as writeAll's.
bool sync(QFileDevice &file, const QString &path, QString *error);

// Makes a folder's entries (files renamed or made in it) reach the disk.
bool syncFolder(const QString &folder);

// Puts the complete file `from` in place of `to` (replacing it): `from` is synced first and
// the folders after. False, with *error, when the rename failed; `to` is then as it was.
bool renameOver(const QString &from, const QString &to, QString *error = nullptr);

// Makes `target` hold exactly `content`, through a DurableFile. False, with *error as
// "<path>: <reason>", when it could not; the target is then as it was.
bool writeFile(const QString &target, const QByteArray &content, QString *error = nullptr);

// Copies `source` to `target` through a DurableFile: the target is replaced only by a
// complete copy. False, with *error as "<path>: <reason>" of the file that failed, otherwise.
bool copyFile(const QString &source, const QString &target, QString *error = nullptr);

// The reason a write to `path` failed: Qt's text, or, where Qt says "Unknown error" (the
// system took part of a write without failing it), what the file system says (a full disk).
QString writeFailure(const QString &path, const QString &qtReason);

} // namespace durable
