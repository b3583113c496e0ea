// Which run of the program made which partial file, and whether that run still lives, kept in
// the program's own folder (the data folder) and never beside the user's files: there a writer
// only creates entries exclusively, writes, syncs, closes, renames or links, and removes its own
// closed entries, which every file system does alike (SMB renames or removes nothing open, FUSE
// file systems lack links or no-replace renames, a share may grant no locks).
//
// A run is a process. Its record is a folder named "<tag>-<pid>-<start>-<machine>" (the start
// time of the process, a hash of the boot and of the host): whether it lives is read off the
// name, and a run of another host is taken to live, as nothing here can tell. In it a run notes
// each folder where it makes partials, synced once per folder, and each empty entry it reserves
// under a user's name where the file system cannot rename without replacing. The next run that
// writes in such a folder removes what a dead run left there.
//
// Not covered: two machines, or two users (each with a data folder of their own), writing into
// one shared folder at the same moment. Neither removes the other's partials, nor keeps the
// other out.
#pragma once

#include <QString>

namespace writerruns {

// Where the records are kept ("<data folder>/writers"); child processes inherit it. Without
// one, partials are still named for the run, but what a killed run left stays.
void setFolder(const QString &folder);
QString folder();

// The name of this process's record; its first eight letters or digits, the run's tag, are in
// every partial name it makes.
QString name();
// Whether the run of a record of that name still lives.
bool isLive(const QString &record);

// The path as every run names it: links, "." and ".." resolved as far as it exists.
QString canonicalPath(const QString &path);
// The first `size` hexadecimal digits of the text's SHA-1.
QString hashOf(const QString &text, int size = 16);

// A new hidden name beside `target` for a file or folder this run fills and then puts in
// place: ".<name>.<tag><six random>.partial".
QString partialPath(const QString &target);

// Notes, once per folder, that this run makes partials in the folder of `entry`; not inside a
// partial folder of its own (notePartialFolder), which goes whole.
void noteFolderOf(const QString &entry);
void notePartialFolder(const QString &folder);

// Notes the empty file or folder just made exclusively at `path` to hold a new name until a
// rename fills it. Dropped once the rename is done or undone; a killed run's stays noted, and
// its entry is removed only while it is still that empty entry.
class Reservation
{
public:
    explicit Reservation(const QString &path);
    ~Reservation();
    Q_DISABLE_COPY(Reservation)

private:
    QString note;
};

// Removes what dead runs left in `folder`: their partials, and their reservations while still
// the empty entries they made. Touches the folder only when a record names it.
void removeDeadLeftovers(const QString &folder);

} // namespace writerruns
