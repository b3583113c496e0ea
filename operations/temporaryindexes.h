// Indexes that live for one transaction. The clean-up triggers of a message database look
// rows up by columns that no index leads with (a join's attachment_id or handle_id), which
// costs a scan of the table for every deleted row; an index made for the deletion and
// dropped before the commit keeps that cheap and leaves the file's schema as it was.
#pragma once

#include <QString>
#include <QStringList>

class Sqlite3DB;

class TemporaryIndexes
{
public:
    // Indexes the column, unless the table lacks it or an index already leads with it.
    void create(Sqlite3DB &db, const QString &table, const QString &column);
    // Drops the indexes made here.
    void dropAll(Sqlite3DB &db);

    QStringList names() const { return made; }

private:
    QStringList made;
};
