#include "operations/exportmessagesdb.h"

#include <QFileInfo>
#include <QtDebug>

namespace {

// Chats of carved messages whose address is unknown carry row ids at or below this.
const qint64 unknownChatRowidLimit = -2047483647;

}

ExportMessagesDb::ExportMessagesDb(const QDir &folder, const QString &countryCode)
    : db(folder, countryCode, true)
{
}

ExportMessagesDb::~ExportMessagesDb()
{
    rollback();
}

void ExportMessagesDb::rollback()
{
    try {
        db.endTransaction(false);
    } catch (const std::exception &e) {
        qWarning("ExportMessagesDb rollback failed: %s", e.what());
    }
    db.close();
    created.removeAll();
}

void ExportMessagesDb::begin()
{
    const QString path = db.smsDbPath();
    const bool existed = QFileInfo::exists(path);
    created.makeFolder(QFileInfo(path).absolutePath());
    try {
        db.beginTransaction();
    } catch (...) {
        if (!existed && QFileInfo::exists(path))
            created.addFile(path);
        throw;
    }
    if (!existed)
        created.addFile(path);
    writtenCount = 0;
}

void ExportMessagesDb::write(_MsgMessage *message)
{
    if (!message)
        return;
    _MsgMessage &m = *message;
    if (m.item_type != 0 && !db.hasItemTypeColumn())
        return;
    if (!m.chat) {
        qDebug("IOS6RestoreMessagesThread skip message with empty chat.");
        return;
    }
    if (m.chat->rowid <= unknownChatRowidLimit) {
        qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
        return;
    }
    const _MsgChat &chat = *m.chat;

    qint64 chatRowid = db.chatRowidByGuid(chat.guid);
    if (chatRowid == 0)
        chatRowid = db.insertChat(chat);

    const qint64 handleRowid = m.handle ? joinedHandleRowid(chatRowid, *m.handle) : 0;

    qint64 messageRowid = db.messageRowidByLogicHash(m);
    if (messageRowid == 0)
        messageRowid = db.messageRowidByGuid(m.guid);
    if (messageRowid == 0) {
        const qint64 otherRowid = m.otherHandle ? joinedHandleRowid(chatRowid, *m.otherHandle) : 0;
        messageRowid = db.insertMessage(m, handleRowid, otherRowid, QString());
        db.addChatMessageJoin(chatRowid, messageRowid);
        db.updateChatLast(chatRowid, m.date);
    }

    if (chat.isGroup() && m.handle)
        db.setLastAddressedHandle(chatRowid, m.handle->id);

    for (const _MsgAttachment *attachment : m.sortedAttachments())
        writeAttachment(messageRowid, *attachment);
    ++writtenCount;
}

void ExportMessagesDb::end()
{
    db.endTransaction(true);
    db.close();
    created.forget();
}

qint64 ExportMessagesDb::joinedHandleRowid(qint64 chatRowid, const _MsgHandle &handle)
{
    qint64 rowid = db.handleRowid(handle);
    if (rowid == 0) {
        rowid = db.insertHandle(handle);
        db.addChatHandleJoin(chatRowid, rowid);
    } else if (!db.hasChatHandleJoin(chatRowid, rowid)) {
        db.addChatHandleJoin(chatRowid, rowid);
    }
    return rowid;
}

void ExportMessagesDb::writeAttachment(qint64 messageRowid, const _MsgAttachment &attachment)
{
    copyAttachmentFile(attachment);
    qint64 rowid = db.attachmentRowidByGuid(attachment);
    if (rowid == 0)
        rowid = db.insertAttachment(attachment);
    db.addMessageAttachmentJoin(messageRowid, rowid);
}

void ExportMessagesDb::copyAttachmentFile(const _MsgAttachment &attachment)
{
    if (attachment.localPath.isEmpty() || !QFileInfo(attachment.localPath).isFile())
        return;
    // The stored name comes from a phone: the mapping refuses what would leave the tree.
    const QString target = db.attachmentLocalPath(attachment.filename);
    if (target.isEmpty()) {
        qWarning("ExportMessagesDb skip attachment file outside file-relay: %s",
            qUtf8Printable(attachment.filename));
        return;
    }
    const QFileInfo targetInfo(target);
    if (targetInfo.exists() || targetInfo.isSymLink())
        return; // an earlier save copied it
    created.makeFolder(targetInfo.absolutePath());
    if (!created.copyFile(attachment.localPath, target))
        qWarning("ExportMessagesDb cannot read attachment file: %s",
            qUtf8Printable(attachment.localPath));
}
