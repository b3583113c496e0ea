// Writes messages into a message database of the local (iOS 6+) layout: finds or inserts
// each message's chat, handles, row, joins and attachments, and copies the attachment files
// into the database's "file-relay" tree, so that writing the same messages twice adds nothing.
#pragma once

#include "messages/ios6messagedb.h"
#include "operations/absformatexport.h"
#include "operations/createdpaths.h"

#include <QDir>
#include <QString>

class ExportMessagesDb : public AbsFormatExport<_MsgMessage>
{
public:
    ExportMessagesDb(const QDir &folder, const QString &countryCode);
    // Without end: rolls the transaction back, closes the file and removes what this
    // writer created (copied attachment files, a database file it made).
    ~ExportMessagesDb() override;

    // Opens the database, creating it from the local layout when missing, and begins one
    // transaction. First removes what a save that was killed part-way left unused.
    void begin() override;
    void write(_MsgMessage *message) override;
    // Commits and closes the file.
    void end() override;
    // Rolls the transaction back, closes the file and removes what this writer created;
    // the destructor does the same when end was not called.
    void rollback();

    // Messages stored since begin (inserted, or found already present); skipped ones are
    // not counted.
    int written() const { return writtenCount; }

private:
    void copyAttachmentFile(const _MsgAttachment &attachment);
    QString journalPath() const;
    void removeUnfinishedSave();

    IOS6MessageDb db;
    CreatedPaths created;
    int writtenCount = 0;
};
