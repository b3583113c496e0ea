// The store of deleted messages and handles carved out of a message database ("recycle.db"
// beside it), and the read-back that shows them as chats of a message set.
#pragma once

#include "records/absdb.h"
#include "records/msgrecords.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

class MessageRecycleDb : public AbsDb
{
public:
    // Keys of records read back into a message set: messages get -rowid - MessageKeyBase,
    // chats and handles of a known address -handle_id - KnownChatKeyBase, chats and handles
    // of messages without an address -handle_id - UnknownChatKeyBase.
    static constexpr qint64 MessageKeyBase = 2047483648LL;
    static constexpr qint64 KnownChatKeyBase = 1947483647LL;
    static constexpr qint64 UnknownChatKeyBase = 2047483647LL;

    explicit MessageRecycleDb(const QString &path);
    ~MessageRecycleDb() override;

    // Creates the file with its layout when missing; returns at once when open.
    void open() override;

    QString filePath() const { return m_path; }

    qint64 insertHandle(const _MsgHandle &handle, qint64 srcRowid);
    qint64 findHandle(const _MsgHandle &handle);
    qint64 insertMessage(const _MsgMessage &message, const QString &chatIdentifier,
        const QString &handleText, qint64 srcRowid);
    // A stored row with the same guid, or with the same date, direction and text.
    qint64 findMessage(const _MsgMessage &message);
    void setMessageNumber(
        const _MsgMessage &message, const QString &chatIdentifier, const QString &handleText);
    _MsgHandle handleBySrcRowid(qint64 srcRowid);

    QList<ExtMsgRecord> loadMessages();
    QList<_MsgHandle> loadHandles();

    // Adds the records as deleted messages grouped into chats by their chat identifier.
    static void buildChats(
        const QSharedPointer<MsgMessageSet> &set, const QList<ExtMsgRecord> &records);
    static _MsgChat *chatForHandle(
        const QSharedPointer<MsgMessageSet> &set, qint64 key, const QString &address);

private:
    QString m_path;
};
