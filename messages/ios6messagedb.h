// The iOS 6+ message database: a device's or backup's copied sms.db, every local message
// database of the data folder (created from the built-in layout and upgraded in place) and
// the target of merges into a device database.
#pragma once

#include "messages/ioscontactsmemdb.h"
#include "records/absdb.h"
#include "records/countrylibdb.h"
#include "records/msgrecords.h"
#include "recovery/messagerecycledb.h"
#include "recovery/sqlite3file.h"

#include <QDir>
#include <QHash>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <memory>

class ProgressForm;

class IOS6MessageDb : public AbsIOSMessageDb
{
public:
    IOS6MessageDb(const QDir &dataFolder, const QString &countryCode, bool upgradeSchema);
    ~IOS6MessageDb() override;

    // Opens the file, creating it from the local layout when missing and, with
    // upgradeSchema, adding missing columns; returns at once when open.
    void open() override;
    void chats(QSharedPointer<MsgMessageSet> &set) override;
    void messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId) override;
    int version() override { return 6; }

    // Works on another file (a copy) instead; call before the first open.
    void setSmsDbPath(const QString &path);
    QString smsDbPath() const { return dbPath; }
    QDir dataFolder() const { return dataDir; }
    QDir fileRelayFolder() const { return fileRelayDir; }
    MessageRecycleDb &recycleDb() { return recycle; }

    bool hasItemTypeColumn() const;
    // True when the file stores its times in nanoseconds since 2001, as phones do since
    // iOS 11: decided once on open from the newest stored message date, or without one from
    // the columns iOS 11 added. Older layouts without dates and every local database keep
    // seconds. Every message and chat date written goes in this unit; attachment dates
    // follow the attachment table's own rows, since phones that write messages in
    // nanoseconds keep attachment times in seconds.
    bool storesNanosecondDates() const { return nanosecondDates; }

    // The absolute path of an attachment's file in the file-relay tree, or empty when the
    // stored name is empty or would lead outside that tree.
    QString attachmentLocalPath(const QString &filename) const;

    qint64 messageRowidByGuid(const QString &guid);
    qint64 chatRowidByGuid(const QString &guid);
    qint64 attachmentRowidByGuid(const _MsgAttachment &attachment);
    qint64 handleRowid(const _MsgHandle &handle);
    bool hasChatHandleJoin(qint64 chatId, qint64 handleId);
    qint64 messageRowidByLogicHash(const _MsgMessage &message);
    qint64 messageCount();

    // Inserts never look for an existing row: callers look up first.
    qint64 insertHandle(const _MsgHandle &handle);
    // A `rowid` above 0 is the row id the message gets; 0 lets the file choose.
    qint64 insertMessage(const _MsgMessage &message, qint64 handleRowid, qint64 otherHandleRowid,
        const QString &logicHash, qint64 rowid = 0);
    qint64 insertAttachment(const _MsgAttachment &attachment);
    qint64 insertChat(const _MsgChat &chat);
    void addChatHandleJoin(qint64 chatId, qint64 handleId);
    void addChatMessageJoin(qint64 chatId, qint64 messageId);
    void addMessageAttachmentJoin(qint64 messageId, qint64 attachmentId);
    void setLastAddressedHandle(qint64 chatId, const QString &handleId);
    // Raises the chat's _last to the date; _last never goes down.
    void updateChatLast(qint64 chatId, qint32 date);
    // Removes the message, its joins and its chat when no message is left in it.
    void deleteMessage(const _MsgMessage &message);

    // Find rows deleted from the message or handle table in the raw file and store the new
    // ones in the recycle store. The chats name the conversations of live handles. A null
    // form reports nothing and cannot cancel.
    void scanDeletedMessages(const QList<_MsgChat *> &chats, ProgressForm *form);
    void scanDeletedHandles(ProgressForm *form);
    // Adds the recycle store's messages that the live table does not hold to the set,
    // grouped into chats; creates the set when null.
    void dropLiveFromRecycled(QSharedPointer<MsgMessageSet> &set);
    // The record of a carved or decoded handle row; false refuses the row.
    bool rawHandleRowToRecordIOS6(const Sqlite3File::Row &row, _MsgHandle &handle);

private:
    void createLayout();
    void upgradeLayout();
    void registerFunctions();
    void detectDateUnit();
    // Sets each chat's `last` from its newest message, for files without a `_last` column,
    // calling `meanwhile` while the dates are read.
    void deriveChatDates(MsgMessageSet &set, const std::function<void()> &meanwhile);
    // A record date in the unit of this file.
    qint64 storedTime(qint32 date) const;
    qint64 storedAttachmentTime(qint32 date) const;
    void normalizeHandle(_MsgHandle &handle, QHash<QString, _CountryInfo> &countries);

    // The chat-message join read while the chats' dates were derived, kept for the load of
    // all messages that follows while the file stays as it was.
    struct KeptJoin;
    std::shared_ptr<KeptJoin> keptJoin;

    QDir dataDir;
    QDir fileRelayDir;
    IOSContactsMemDb contacts;
    MessageRecycleDb recycle;
    CountryLibDb country;
    QString dbPath;
    bool upgradeSchema;
    bool nanosecondDates = false;
    bool attachmentNanosecondDates = false;
};
