// Writes messages into a message database of the local (iOS 6+) layout: finds or inserts
// each message's chat, handles, row, joins and attachments, and copies the attachment files
// into the database's "file-relay" tree, so that writing the same messages twice adds nothing.
// One writer at a time per database, in any window: its lock (in the program's own folder) is
// held from begin to end. A new database is built beside its folder and appears under its
// name only when complete; a killed save into an existing one is undone by the next save,
// from the notes its writer keeps beside the lock. Failures name the database the user chose.
#pragma once

#include "messages/ios6messagedb.h"
#include "operations/absformatexport.h"
#include "operations/createdpaths.h"
#include "operations/localdblock.h"

#include <QDir>
#include <QString>

#include <functional>
#include <memory>

class ExportMessagesDb : public AbsFormatExport<_MsgMessage>
{
public:
    ExportMessagesDb(const QDir &folder, const QString &countryCode);
    // Without end: rolls the transaction back, closes the file and removes what this
    // writer created (copied attachment files, a database file it made).
    ~ExportMessagesDb() override;

    // Takes the database's lock, opens the database, creating it from the local layout when
    // missing, and begins one transaction. First removes what a save that was killed
    // part-way left. Throws, touching nothing, when another writer holds the lock.
    void begin() override;
    void write(_MsgMessage *message) override;
    // Commits, closes the file, puts a new database in place and releases the lock.
    void end() override;
    // Rolls the transaction back, closes the file, removes what this writer created and
    // releases the lock; the destructor does the same when end was not called.
    void rollback();

    // Messages stored since begin (inserted, or found already present); skipped ones are
    // not counted.
    int written() const { return writtenCount; }

private:
    void store(_MsgMessage &message);
    void copyAttachmentFile(const _MsgAttachment &attachment);
    void removeUnfinishedSave();
    // Runs `work`; what it throws names the database's folder, not where it is being built.
    void shownAsChosen(const std::function<void()> &work) const;
    void publish();

    QDir folder;
    QString countryCode;
    std::unique_ptr<IOS6MessageDb> db;
    LocalDbLock writerLock;
    // Where a new database is built until end; empty when writing in place.
    QString staging;
    CreatedPaths created;
    int writtenCount = 0;
};
