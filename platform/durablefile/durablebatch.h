// Many complete files put in place as durable::renameOver puts one, at a fraction of the cost:
// a file handed in is synced on the batch's own threads while its writer goes on, many syncs
// under way at once, which the disk commits together, and renamed over its target once
// synced; commit() waits for them all and syncs each folder once.
#pragma once

#include <QFileDevice>
#include <QString>

#include <memory>

class DurableBatch
{
public:
    DurableBatch();
    // Removes the files handed in that were not put in place.
    ~DurableBatch();
    DurableBatch(const DurableBatch &) = delete;
    DurableBatch &operator=(const DurableBatch &) = delete;

    // `file`, written whole beside `target`, is to replace it: its data starts for the disk
    // at once. A `late` file is renamed only by commit(), for a caller that must note
    // something first. Closes the file. Safe to call from many threads.
    void add(QFileDevice &file, const QString &target, bool late = false);
    // Waits for every sync, renames the late files in the order they were added, then syncs
    // the folders. False, with *error as "<target>: <reason>" of the first in that order,
    // when a sync or a rename failed: no late file is renamed then, and the files not in
    // place are removed with the batch.
    bool commit(QString *error = nullptr);

private:
    struct Syncs;
    std::unique_ptr<Syncs> syncs;
};
