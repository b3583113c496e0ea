// One message of a merge into a device database: a row the device already has or a message
// to add, and the chronological order in which the merge inserts them.
#pragma once

#include "records/msgrecords.h"

#include <QVector>

struct RestoreEntry
{
    qint64 rowid = 0;
    qint32 date = 0; // seconds since 2001-01-01 UTC, whatever unit the file stores
    qint64 storedDate = 0; // a device row's date as the file stores it
    _MsgMessage *message = nullptr; // a message to add
    bool existing = false;
};

Q_DECLARE_TYPEINFO(RestoreEntry, Q_MOVABLE_TYPE);

// True when a goes before b. Entries far apart (row ids more than 20 or dates more than 120
// seconds apart) follow their dates; close ones follow their row ids. On a tie a row of the
// device goes before a message to add; two entries of the same kind are equal, so a stable
// sort keeps their order. The relation is not transitive: sort with sortRestoreEntries.
bool compareRestoreEntries(const RestoreEntry &a, const RestoreEntry &b);

// A stable merge sort that stays well defined for the relation above.
void sortRestoreEntries(QVector<RestoreEntry> &entries);
