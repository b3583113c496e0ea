// Builds message records for tests the way the database readers link them: handles, chats
// holding their handles and messages, and attachments, all owned by one message set.
#pragma once

#include "messages/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

class MessageSetBuilder
{
public:
    MessageSetBuilder();

    _MsgHandle *handle(const QString &id, const QString &service = QStringLiteral("SMS"));
    // A chat of the handles: one-to-one ("<service>;-;<id>") for one handle, a group
    // ("<service>;+;chat<key>") for several. `key` 0 takes the next free positive key.
    _MsgChat *chat(const QList<_MsgHandle *> &handles, const QString &service = QStringLiteral("SMS"),
        qint64 key = 0);
    // A message of the chat; `from` null means sent by the phone's owner (then the handle is
    // the chat's first one). The guid defaults to "MSG-<key>", the key counts up from 1.
    _MsgMessage *message(_MsgChat *chat, _MsgHandle *from, qint32 date, const QString &text,
        const QString &guid = QString());
    // An attachment of the message with its stored name and the file on this computer.
    _MsgAttachment *attach(_MsgMessage *message, const QString &filename,
        const QString &localPath, const QString &mimeType = QStringLiteral("image/jpeg"));

    // The messages in the order they were made.
    MsgMessageList messages() const { return list; }
    QSharedPointer<MsgMessageSet> set;

private:
    MsgMessageList list;
    qint64 nextChat = 1;
    qint64 nextHandle = 1;
    qint64 nextMessage = 1;
    qint64 nextAttachment = 1;
};
