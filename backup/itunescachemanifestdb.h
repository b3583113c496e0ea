// The index "manifest.db" of a backup cache folder: for every copied file its modification
// time in the backup, so that an unchanged file is not copied again.
#pragma once

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QString>

class ITunesCacheManifestDb
{
public:
    explicit ITunesCacheManifestDb(const QString &path);
    // Commits what the transaction holds.
    ~ITunesCacheManifestDb();
    ITunesCacheManifestDb(const ITunesCacheManifestDb &) = delete;
    ITunesCacheManifestDb &operator=(const ITunesCacheManifestDb &) = delete;

    // Opens (or creates) the file and begins the transaction that lasts until commit.
    void open();
    void createSchema();

    // The time remembered for the file id; 0 when there is none or on any error. `found`
    // tells a missing row from a remembered 0.
    qint64 lastDate(const QString &fileId, bool *found = nullptr);
    // Errors are swallowed: a file not remembered is only copied again.
    void setLastDate(const QString &fileId, qint64 date);
    void remove(const QString &fileId);

    // Commits and closes; the next use opens again.
    void commit();
    // Rolls back what this connection wrote and closes, for a copy that was abandoned.
    void discard();

    QString path() const { return m_path; }

private:
    QString m_path;
    Sqlite3DB m_db;
};
