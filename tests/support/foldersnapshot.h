// The whole content of a folder tree, to check that an operation changed nothing in it.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Relative path of every file (hidden ones too) to its bytes; folders appear with a
// trailing "/" and no bytes.
QMap<QString, QByteArray> snapshotFolder(const QString &root);
// The bytes of one file; empty when it cannot be read.
QByteArray fileBytes(const QString &path);
