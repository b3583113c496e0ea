// A local message database for tests: the program's own layout with its triggers, filled
// from message records and read back the way the main window reads it.
#pragma once

#include "records/msgrecords.h"

#include <QByteArray>
#include <QSharedPointer>
#include <QString>

class LocalDbFixture
{
public:
    // The database lives in `folder` (its sms.db under "file-relay"); nothing is made yet.
    explicit LocalDbFixture(const QString &folder);

    // Inserts the messages with their chats, handles and attachment rows in one
    // transaction, creating the file on first use. Attachment files are not written.
    void write(const MsgMessageList &messages);
    // Copies the file of every attachment that has one (see MessageSetBuilder::attach) to
    // where the database keeps it.
    void writeAttachmentFiles(const MsgMessageList &messages) const;
    // Writes the file that a stored attachment name stands for and returns its path.
    QString writeAttachmentFile(const QString &filename, const QByteArray &content) const;
    // Every chat and message with its attachments, as a fresh set.
    QSharedPointer<MsgMessageSet> load() const;

    QString folder() const { return m_folder; }
    QString path() const;

private:
    QString m_folder;
};
