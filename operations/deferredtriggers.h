// Table-wide clean-up triggers set aside while many rows are deleted in one transaction.
// A trigger such as "after delete on chat_message_join: delete every message without a
// chat" scans a whole table for each deleted row; run once at the end it leaves the same
// rows, in time that grows with the table instead of with the table times the deletions.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class Sqlite3DB;

class DeferredTriggers
{
public:
    // Drops the AFTER DELETE triggers on the tables whose body is made of DELETE statements
    // only, refers to neither OLD nor NEW and has no WHEN clause. Call inside the
    // transaction that deletes.
    void defer(Sqlite3DB &db, const QStringList &tables);
    // Runs the body of each dropped trigger once and creates the trigger again, in the same
    // transaction. Throws the wrapper's error text.
    void restore(Sqlite3DB &db);

    QStringList names() const;

private:
    struct Trigger
    {
        QString name;
        QString createSql;
        QString body;
    };
    QList<Trigger> deferred;
};
