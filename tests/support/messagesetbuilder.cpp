#include "support/messagesetbuilder.h"

MessageSetBuilder::MessageSetBuilder()
{
    MsgMessageSet::create(set);
}

_MsgHandle *MessageSetBuilder::handle(const QString &id, const QString &service)
{
    auto *h = new _MsgHandle;
    h->rowid = nextHandle++;
    h->id = id;
    h->service = service;
    h->country = QStringLiteral("us");
    set->handleMap.insert(h->rowid, h);
    return h;
}

_MsgChat *MessageSetBuilder::chat(const QList<_MsgHandle *> &handles, const QString &service, qint64 key)
{
    auto *c = new _MsgChat;
    c->rowid = key != 0 ? key : nextChat++;
    c->service_name = service;
    if (handles.size() == 1) {
        c->chat_identifier = handles.first()->id;
        c->guid = service + QStringLiteral(";-;") + c->chat_identifier;
    } else {
        c->chat_identifier = QStringLiteral("chat%1").arg(c->rowid);
        c->guid = service + QStringLiteral(";+;") + c->chat_identifier;
        c->style = 43;
    }
    for (_MsgHandle *h : handles)
        c->handles.insert(h->id, h);
    set->chatMap.insert(c->rowid, c);
    return c;
}

_MsgMessage *MessageSetBuilder::message(
    _MsgChat *chat, _MsgHandle *from, qint32 date, const QString &text, const QString &guid)
{
    auto *m = new _MsgMessage;
    m->srcRowid = m->rowid = nextMessage++;
    m->guid = guid.isEmpty() ? QStringLiteral("MSG-%1").arg(m->rowid) : guid;
    m->text = text;
    m->service = chat ? chat->service_name : QStringLiteral("SMS");
    m->date = date;
    m->date_read = date;
    m->date_delivered = date;
    m->is_from_me = from ? 0 : 1;
    m->is_finished = 1;
    m->is_sent = m->is_from_me;
    m->is_read = 1;
    m->chat = chat;
    m->handle = from ? from : (chat && !chat->handles.isEmpty() ? chat->handles.first() : nullptr);
    if (m->handle)
        m->handle_id = m->handle->rowid;
    if (chat)
        chat->messages.insert(QString::number(m->rowid), m);
    set->messageMap.insert(m->srcRowid, m);
    list.append(m);
    return m;
}

_MsgAttachment *MessageSetBuilder::attach(_MsgMessage *message, const QString &filename,
    const QString &localPath, const QString &mimeType)
{
    auto *a = new _MsgAttachment;
    a->rowid = nextAttachment++;
    a->guid = QStringLiteral("ATT-%1").arg(a->rowid);
    a->filename = filename;
    a->mime_type = mimeType;
    a->transfer_name = filename.section(QLatin1Char('/'), -1);
    a->localPath = localPath;
    set->attachmentMap.insert(a->rowid, a);
    message->attachments.insert(QString::number(a->rowid), a);
    message->text += QChar(0xFFFC);
    return a;
}
