// Where a file named by a device database lives inside a copied "file-relay" tree.
#pragma once

#include <QDir>
#include <QString>

// Maps a device path such as "~/Library/SMS/Attachments/ab/01/x.jpg" or "/var/mobile/..."
// to its place under `fileRelayDir`. The name is untrusted: a path that would leave the
// tree (through "..", or through a symbolic link inside it) gives an empty text.
// The characters : * ? " < > | are dropped from the name; the iOS 6+ layout keeps a
// backslash, the iOS 5 one drops it too.
enum class RelayBackslash { Keep, Remove };
QString relayFilePath(
    const QDir &fileRelayDir, const QString &deviceFilename, RelayBackslash backslash);
