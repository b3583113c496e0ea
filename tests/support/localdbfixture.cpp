#include "support/localdbfixture.h"

#include "messages/ios6messagedb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

LocalDbFixture::LocalDbFixture(const QString &folder)
    : m_folder(folder)
{
}

QString LocalDbFixture::path() const
{
    return QDir(m_folder).filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}

void LocalDbFixture::write(const MsgMessageList &messages)
{
    IOS6MessageDb db(QDir(m_folder), QString(), true);
    db.beginTransaction();
    for (const _MsgMessage *m : messages) {
        qint64 chat = 0;
        if (m->chat) {
            chat = db.chatRowidByGuid(m->chat->guid);
            if (chat == 0)
                chat = db.insertChat(*m->chat);
        }
        qint64 handle = 0;
        if (m->handle) {
            handle = db.handleRowid(*m->handle);
            if (handle == 0)
                handle = db.insertHandle(*m->handle);
        }
        const qint64 message = db.insertMessage(*m, handle, 0, QString());
        if (chat != 0) {
            db.addChatMessageJoin(chat, message);
            db.updateChatLast(chat, m->date);
        }
        for (const _MsgAttachment *a : m->sortedAttachments()) {
            qint64 attachment = db.attachmentRowidByGuid(*a);
            if (attachment == 0)
                attachment = db.insertAttachment(*a);
            db.addMessageAttachmentJoin(message, attachment);
        }
    }
    db.endTransaction(true);
}

void LocalDbFixture::writeAttachmentFiles(const MsgMessageList &messages) const
{
    for (const _MsgMessage *m : messages) {
        for (const _MsgAttachment *a : m->attachments) {
            QFile source(a->localPath);
            if (!a->localPath.isEmpty() && source.open(QIODevice::ReadOnly))
                writeAttachmentFile(a->filename, source.readAll());
        }
    }
}

QString LocalDbFixture::writeAttachmentFile(
    const QString &filename, const QByteArray &content) const
{
    IOS6MessageDb db(QDir(m_folder), QString(), false);
    const QString target = db.attachmentLocalPath(filename);
    if (target.isEmpty())
        throw std::runtime_error("attachment name leads outside the database folder");
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        throw std::runtime_error("can not write attachment file");
    return target;
}

QSharedPointer<MsgMessageSet> LocalDbFixture::load() const
{
    IOS6MessageDb db(QDir(m_folder), QString(), false);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.messages(set, 0);
    return set;
}
