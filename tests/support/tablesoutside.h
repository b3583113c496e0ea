// What a rewrite of some tables of an SQLite file must leave as it was: every other table, the
// sequence numbers of those tables and the whole schema.
#pragma once

#include <QString>
#include <QStringList>

class Sqlite3DB;

// One line for each row of every table not in `tables`, for each sequence number of those
// tables and for each schema entry (triggers and indexes with their SQL), in a fixed order.
QStringList rowsOutsideTables(const QString &databasePath, const QStringList &tables);

// The triggers an iOS 6 phone keeps on its joins (a message, attachment or handle that
// nothing joins any more goes with its last join) and its properties table.
void addIos6PhoneTriggers(Sqlite3DB &db);
