// The steps that the flows reading an iTunes or device backup share: building its file
// tree and copying its message folder into the backup's cache.
#pragma once

#include <QDir>
#include <QString>

class BackupManifest;
class QWidget;

// False, after the error box, when Manifest.mbdb cannot be read.
bool loadBackupFileTree(BackupManifest &backup);
// Runs the caching worker into the backup's own cache folder; false when it did not finish
// (it has said why).
bool cacheBackupMessages(BackupManifest &backup, QWidget *parent, QDir *cacheDir);
// Where the message database of a cache folder lies.
QString cachedSmsDbPath(const QDir &cacheDir);
