// Linux stand-ins for the handful of Windows calls the program makes: machine registry
// strings, the common program files folder, the PATH variable, opening URLs, files and
// folders with the desktop, and drive type and free space.
#pragma once

#include "mounttable.h"

#include <QDateTime>
#include <QString>

namespace winplatform {

// One text value of the machine registry (HKEY_LOCAL_MACHINE, 32-bit view). On Linux
// the registry is a small text file (see registryFilePath); empty on any failure.
QString readRegistryString(const QString &keyPath, const QString &valueName);

// The file standing in for the machine registry: $QUILLMARROW_REGISTRY, else
// "/etc/quillmarrow/registry.conf". Lines "[key path]" open a key; "name=value" lines
// under it are its values.
QString registryFilePath();

// The common program files folder: $QUILLMARROW_COMMON_FILES, else "/opt".
QString commonProgramFilesFolder();

// Separator between the folders of PATH (';' on Windows, ':' here).
QChar pathListSeparator();
QString environmentPath();
bool setEnvironmentPath(const QString &value);

// The folder of the running program.
QString programFolder();

// Looks for the shared library `name` in the folders of PATH, then in the program's own
// folder, and returns its absolute file path, or `name` itself when none holds it (the
// loader then uses its own rules).
QString findLibraryOnPath(const QString &name);

// Opens a web address or a file with the desktop's handler; never through a shell.
bool shellOpen(const QString &urlOrPath);
// Shows a folder in the desktop's file manager.
bool openFolder(const QString &path);

enum class DriveType { Unknown, NoRootDir, Removable, Fixed, Remote, CdRom, RamDisk };

// The type of the drive whose mount holds `path` (see mountOf), from the table alone: Remote on
// an untouchable mount (a FUSE daemon's too) or below one, Unknown on a mount that holds no
// volume. A block device is removable by its flag under $QUILLMARROW_SYS_BLOCK, else
// /sys/class/block.
DriveType mountDriveType(const MountTable &mounts, const QString &path);
// As mountDriveType, and NoRootDir for a local path that does not exist; a remote path is
// never touched.
DriveType driveType(const QString &path, const MountTable &mounts = mountTable());
// Bytes free for the current user on the volume holding `path`; -1 when unknown, or when the
// mount may not be asked (see mayAsk).
qint64 freeSpace(const QString &path, const MountTable &mounts = mountTable());

// Sets the last access and last write times of the open file `fd` in one call, as Windows's
// SetFileTime does; false on failure.
bool setFileTime(int fd, const QDateTime &lastAccess, const QDateTime &lastWrite);

// Copies up to `length` bytes from the open file `in` at `*inOffset` to the open file `out`
// at `*outOffset` without passing them through the program, and advances both offsets.
// Returns the bytes copied, 0 at the end of `in`, or -1 when the system cannot copy these
// files so (the caller then copies through memory, which also names any error).
qint64 copyFileRange(int in, qint64 *inOffset, int out, qint64 *outOffset, qint64 length);

} // namespace winplatform
