// Unpacking the archive a device's file-relay service sent. The archive comes from the device
// and is not trusted: entries that would land outside the target folder, links and special
// files are skipped; only the end of the archive ends it.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <functional>

// Called with a progress title before each entry and a detail before each block of a file's
// data; it may throw to stop.
using FileRelayProgress = std::function<void(const QString &title, const QString &detail)>;

// Throws std::runtime_error when the archive cannot be read whole or a file not written.
void extractFileRelayArchive(
    const QString &archivePath, const QDir &target, const FileRelayProgress &progress);

// A buffered write is known to be on disk only once its file is closed: a full disk shows
// here. Throws `failure` filled with the file's name and error.
void closeOrThrow(QFile &file, const QString &failure);
