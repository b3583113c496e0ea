#include "operations/exportmessagesdb.h"

#include "operations/messagerows.h"

#include <QFileInfo>
#include <QtDebug>

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
    if (isUnknownChat(*m.chat)) {
        qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
        return;
    }
    const _MsgChat &chat = *m.chat;

    const qint64 chatRowid = chatRowidOrInsert(db, chat);
    const qint64 handleRowid = m.handle ? joinedHandleRowid(db, chatRowid, *m.handle) : 0;

    qint64 messageRowid = db.messageRowidByLogicHash(m);
    if (messageRowid == 0)
        messageRowid = db.messageRowidByGuid(m.guid);
    if (messageRowid == 0) {
        const qint64 otherRowid
            = m.otherHandle ? joinedHandleRowid(db, chatRowid, *m.otherHandle) : 0;
        messageRowid = db.insertMessage(m, handleRowid, otherRowid, QString());
        db.addChatMessageJoin(chatRowid, messageRowid);
        db.updateChatLast(chatRowid, m.date);
    }

    if (chat.isGroup() && m.handle)
        db.setLastAddressedHandle(chatRowid, m.handle->id);

    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        copyAttachmentFile(*attachment);
        joinAttachment(db, messageRowid, *attachment);
    }
    ++writtenCount;
}

void ExportMessagesDb::end()
{
    db.endTransaction(true);
    db.close();
    created.forget();
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
