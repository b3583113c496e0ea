// Small file helpers for tests that check what a writer left on disk.
#pragma once

#include <QByteArray>
#include <QString>

namespace filebytes {

// Writes the bytes, making the file's folder first; fails the current test when it cannot.
void write(const QString &path, const QByteArray &bytes);
// The file's bytes, or "<unreadable>".
QByteArray read(const QString &path);
// A second name for the file ("<path>.old"), which keeps the old content when the file is
// replaced rather than rewritten in place; empty when it could not be made.
QString hardLink(const QString &path);

} // namespace filebytes
