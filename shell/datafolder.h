// The per-user data folder, the local database folder, the data folder redirect and the
// small shell helpers every subsystem uses. Nothing here reports an error.
#pragma once

#include <QDir>
#include <QString>

// "QuillMarrow" in the roaming application data folder of the user; creates nothing.
QString userAppFolder();
// The folder named by the redirect file when that file is readable and names an existing
// path; otherwise empty.
QString redirectedDataRoot();
// The data folder, computed once and cached; (re)created on every call.
QDir dataFolder();
// "local_databases" in the data folder, created when missing.
QDir localDbFolder();
// Replaces the redirect file's content with the path (UTF-8); takes effect at next start.
// The old file stays whole until the new one is complete. False when it cannot be written.
bool writeDataRedirect(const QString &path);

// Shows a folder in the desktop's file manager; false when nothing on this system can.
bool openInExplorer(const QString &path);
// Opens a web address or a file with the desktop's handler; false when nothing on this
// system can.
bool openUrl(const QString &url);

// The name without \ / : * ? " < > | and without white space at both ends.
QString sanitizeFileName(const QString &name);
// True when the name, as given by a device or a backup, names exactly one entry of a folder:
// not empty, not "." or "..", without / \ or NUL.
bool isOneFolderEntry(const QString &name);
// The path when nothing exists there, else the first free "base(n).suffix" beside it.
QString uniqueFilePath(const QString &path);
// MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits.
QString md5Hex(const QString &text);
// Deletes a folder tree, hidden entries included; symbolic links are removed, never
// followed. Errors are ignored.
void removeFolderRecursively(const QString &path);
