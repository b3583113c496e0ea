// Builds message records in memory, as a database reader would fill them, with attachment
// files written into a folder; and a standard sample of chats that the export and save
// tests share.
#pragma once

#include "records/msgrecords.h"

#include <QByteArray>
#include <QList>
#include <QSharedPointer>
#include <QString>

class MessageSetBuilder
{
public:
    // Attachment files go below `fileFolder`.
    explicit MessageSetBuilder(const QString &fileFolder);

    QSharedPointer<MsgMessageSet> set;

    _MsgHandle *handle(const QString &id, const QString &contactName = QString(),
        const QString &service = QStringLiteral("SMS"));
    // A one-to-one chat for one handle, a group chat for several.
    _MsgChat *chat(const QString &identifier, const QList<_MsgHandle *> &handles,
        const QString &displayName = QString());
    // Messages get rising row ids; the chat's `last` follows the newest date.
    _MsgMessage *message(
        _MsgChat *chat, _MsgHandle *from, qint32 date, const QString &text, bool fromMe = false);
    // An attachment stored on the phone as "~/Library/SMS/Attachments/<n>/<fileName>". A null
    // `content` leaves its file missing.
    _MsgAttachment *attach(_MsgMessage *message, const QString &fileName, const QString &mimeType,
        const QByteArray &content);

    // Every message made so far, in the order made.
    MsgMessageList messages() const { return made; }

    // A small JPEG picture.
    static QByteArray jpegPicture(int width = 64, int height = 48);
    static QByteArray vCard(const QString &fullName, const QString &phone);

private:
    QString folder;
    qint64 nextRowid = 1;
    MsgMessageList made;
};

// The standard sample: a one-to-one chat with emoji, a picture and a subject; a second
// one-to-one chat with a vCard, a text attachment, a missing attachment and text with
// quotes, commas and line breaks; a group chat with three senders and a group event.
// Dates start at `firstDate` (seconds since 2001) and rise.
MsgMessageList buildSampleChats(MessageSetBuilder &builder, qint32 firstDate = 400000000);
