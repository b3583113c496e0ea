// Reader of a device's sms.db in the iOS 5 layout (SMS/MMS groups, MMS parts and iMessage
// "madrid" chats), turning it into the shared records. It never writes to sms.db.
#pragma once

#include "messages/ioscontactsmemdb.h"
#include "records/absdb.h"
#include "records/countrylibdb.h"
#include "records/msgrecords.h"
#include "records/relaypath.h"
#include "recovery/messagerecycledb.h"
#include "recovery/sqlite3file.h"

#include <QDir>
#include <QHash>
#include <QSet>
#include <QSharedPointer>
#include <QString>

class ProgressForm;

// Keys in the set: SMS chats, handles, messages and MMS parts keep their positive row ids;
// iMessage chats, handles and attachments get negative keys, clones of messages with more
// than one MMS part keys below CloneKeyBase, so the two never meet.
class IOS5MessageDb : public AbsIOSMessageDb
{
public:
    static constexpr qint64 CloneKeyBase = -1647483648LL;

    IOS5MessageDb(const QDir &dataFolder, const QString &countryCode);
    ~IOS5MessageDb() override;

    void open() override;
    void chats(QSharedPointer<MsgMessageSet> &set) override;
    // chatId: positive = one msg_group, negative = one madrid_chat, 0 = all messages.
    void messages(QSharedPointer<MsgMessageSet> &set, qint64 chatId) override;
    int version() override { return 5; }

    MessageRecycleDb &recycleDb() { return recycle; }
    void recycledChats(QSharedPointer<MsgMessageSet> &set);
    qint64 messageCount();

    // Finds rows deleted from the message table in the raw file and stores the new ones in
    // the recycle store. A null form reports nothing and cannot cancel.
    void scanDeletedMessages(ProgressForm *form);
    // The record of a carved or decoded message row; false refuses the row. `nowUnix` is the
    // present in seconds since 1970.
    bool rawMessageRowToRecordIOS5(
        const Sqlite3File::Row &row, ExtMsgRecord &record, qint64 nowUnix);

    QString smsDbPath() const { return dbPath; }
    QDir fileRelayFolder() const { return fileRelayDir; }

private:
    _MsgHandle *newIMessageHandle(MsgMessageSet &set, const QString &id);
    void loadSmsChats(MsgMessageSet &set);
    void loadSmsMembers(MsgMessageSet &set);
    void loadIMessageChats(MsgMessageSet &set);
    // `paths` places the device's file names ("/var/mobile/...", "~/...") in the file-relay
    // tree, one for a whole load.
    void readIMessage(MsgMessageSet &set, const Sqlite3Cursor &c, _MsgMessage &message,
        const QHash<QString, _MsgChat *> &chatsById, RelayPathResolver &paths);
    void readSms(MsgMessageSet &set, const Sqlite3Cursor &c, _MsgMessage &message);
    void readIMessageAttachments(
        MsgMessageSet &set, const QByteArray &info, _MsgMessage &message, RelayPathResolver &paths);
    void readPieces(MsgMessageSet &set, qint64 chatId, const QSet<qint64> &newMessages,
        RelayPathResolver &paths);
    _CountryInfo countryOf(const QString &sn);

    QDir fileRelayDir;
    IOSContactsMemDb contacts;
    MessageRecycleDb recycle;
    CountryLibDb country;
    QString dbPath;
    QHash<QString, _CountryInfo> countriesBySn;
};
