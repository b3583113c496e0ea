#include "operations/messagerows.h"

#include "messages/ios6messagedb.h"
#include "recovery/messagerecycledb.h"

bool isUnknownChat(const _MsgChat &chat)
{
    return chat.rowid <= -MessageRecycleDb::UnknownChatKeyBase;
}

qint64 chatRowidOrInsert(IOS6MessageDb &db, const _MsgChat &chat)
{
    const qint64 rowid = db.chatRowidByGuid(chat.guid);
    return rowid != 0 ? rowid : db.insertChat(chat);
}

qint64 joinedHandleRowid(IOS6MessageDb &db, qint64 chatRowid, const _MsgHandle &handle)
{
    qint64 rowid = db.handleRowid(handle);
    if (rowid == 0)
        rowid = db.insertHandle(handle);
    else if (db.hasChatHandleJoin(chatRowid, rowid))
        return rowid;
    db.addChatHandleJoin(chatRowid, rowid);
    return rowid;
}

void joinAttachment(IOS6MessageDb &db, qint64 messageRowid, const _MsgAttachment &attachment)
{
    qint64 rowid = db.attachmentRowidByGuid(attachment);
    if (rowid == 0)
        rowid = db.insertAttachment(attachment);
    db.addMessageAttachmentJoin(messageRowid, rowid);
}
