// What the matrix asks of a folder after a writer ran in it: the same files as the same work
// on the local disk, nothing of the program's own beside them, and a failure that names the
// user's path and the system's reason while the user's files stay as they were.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Relative path to bytes, folders with a trailing "/", as snapshotFolder gives them.
typedef QMap<QString, QByteArray> Tree;

// The tree below a folder, every name as the file system stores it. smbnetfs lists a name
// with "@" (and "%") percent-encoded, though the share holds it as it was made: with
// `setEscapedNames` such names are read back decoded.
Tree userTree(const QString &root);
void setEscapedNames(bool escaped);

// The tree below a folder without what differs between two whole exports of one message set
// made by two processes: the moment a PDF file was made, and the names of previews, made from
// the time of their source.
Tree comparableTree(const QString &root);

// True for what only the program's bookkeeping would leave in a user's folder: hidden entries,
// partial files, lock files, journals and staging folders, and whatever is below them.
bool isBookkeeping(const QString &relative);

// The paths without those below a folder among them ("a/" stands for "a/b").
QStringList outermost(const QStringList &paths);

// What keeps `actual` from being `expected`: "missing X", "differs X" and "left X" (an entry
// that only `actual` has, or any bookkeeping entry; not those below a folder left). Empty when
// they are the same.
QStringList treeDifferences(const Tree &expected, const Tree &actual);

// What a failed run did to the user's folder: the user's entries of `before` that changed or are
// gone, and the entries that `after` adds (as in treeDifferences).
QStringList damageAfterFailure(const Tree &before, const Tree &after);

// True when the error names `target` itself or a path below it, and never a hidden, partial or
// staging name of the program's.
bool namesTarget(const QString &error, const QString &target);
// The system's text for the reason found in the error (as strerror gives it), or empty.
QString systemReasonIn(const QString &error);

// The text on one line, at most `limit` characters.
QString oneLine(QString text, int limit = 1000);
