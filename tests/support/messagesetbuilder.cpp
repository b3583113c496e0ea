#include "support/messagesetbuilder.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>

#include <stdexcept>

MessageSetBuilder::MessageSetBuilder(const QString &fileFolder)
    : folder(fileFolder)
{
    MsgMessageSet::create(set);
}

_MsgHandle *MessageSetBuilder::handle(
    const QString &id, const QString &contactName, const QString &service)
{
    auto *h = new _MsgHandle;
    h->rowid = nextRowid++;
    h->id = id;
    h->service = service;
    h->country = QStringLiteral("us");
    h->contactName = contactName;
    set->handleMap.insert(h->rowid, h);
    return h;
}

_MsgChat *MessageSetBuilder::chat(
    const QString &identifier, const QList<_MsgHandle *> &handles, const QString &displayName)
{
    auto *c = new _MsgChat;
    c->rowid = nextRowid++;
    const bool group = handles.size() > 1;
    c->style = group ? 43 : 45;
    c->chat_identifier = identifier;
    c->service_name = handles.isEmpty() ? QStringLiteral("SMS") : handles.first()->service;
    c->guid
        = c->service_name + (group ? QStringLiteral(";+;") : QStringLiteral(";-;")) + identifier;
    c->display_name = displayName;
    for (_MsgHandle *h : handles)
        c->handles.insert(QString::number(h->rowid), h);
    set->chatMap.insert(c->rowid, c);
    return c;
}

_MsgMessage *MessageSetBuilder::message(
    _MsgChat *chat, _MsgHandle *from, qint32 date, const QString &text, bool fromMe)
{
    auto *m = new _MsgMessage;
    m->rowid = nextRowid++;
    m->srcRowid = m->rowid;
    m->guid = QStringLiteral("MSG-%1-%2").arg(m->rowid).arg(date);
    m->text = text;
    m->date = date;
    m->is_from_me = fromMe ? 1 : 0;
    m->is_sent = m->is_from_me;
    m->service = chat ? chat->service_name : QStringLiteral("SMS");
    m->chat = chat;
    m->handle = from;
    m->handle_id = from ? from->rowid : 0;
    if (chat) {
        chat->messages.insert(QString::number(m->rowid), m);
        chat->last = qMax(chat->last, date);
    }
    set->messageMap.insert(m->srcRowid, m);
    made.append(m);
    return m;
}

_MsgAttachment *MessageSetBuilder::attach(_MsgMessage *message, const QString &fileName,
    const QString &mimeType, const QByteArray &content)
{
    auto *a = new _MsgAttachment;
    a->rowid = nextRowid++;
    a->guid = QStringLiteral("ATT-%1").arg(a->rowid);
    a->filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2").arg(a->rowid).arg(fileName);
    a->mime_type = mimeType;
    a->transfer_name = fileName;
    a->total_bytes = content.size();
    const QString dir = QDir(folder).filePath(QString::number(a->rowid));
    a->localPath = QDir(dir).filePath(fileName);
    if (!content.isNull()) {
        QDir().mkpath(dir);
        QFile file(a->localPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            throw std::runtime_error("cannot write an attachment file");
    }
    message->attachments.insert(QString::number(a->rowid), a);
    message->cache_has_attachments = 1;
    message->text += QChar(0xFFFC);
    set->attachmentMap.insert(a->rowid, a);
    return a;
}

QByteArray MessageSetBuilder::jpegPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    QPainter(&image).fillRect(0, 0, width / 2, height / 2, QColor(240, 200, 40));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

QByteArray MessageSetBuilder::vCard(const QString &fullName, const QString &phone)
{
    return QStringLiteral(
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%1\r\nTEL;TYPE=CELL:%2\r\nEND:VCARD\r\n")
        .arg(fullName, phone)
        .toUtf8();
}

MsgMessageList buildSampleChats(MessageSetBuilder &b, qint32 firstDate)
{
    qint32 t = firstDate;
    _MsgHandle *alice = b.handle(QStringLiteral("+15550001111"), QStringLiteral("Alice Doe"));
    _MsgHandle *bob
        = b.handle(QStringLiteral("bob@example.com"), QString(), QStringLiteral("iMessage"));
    _MsgHandle *carol = b.handle(QStringLiteral("+15550003333"), QStringLiteral("Carol <C&C>"));
    _MsgHandle *dave = b.handle(QStringLiteral("+15550004444"));

    _MsgChat *one = b.chat(alice->id, { alice });
    b.message(one, alice, t += 10, QStringLiteral("Hello \U0001F600 there"));
    b.message(one, alice, t += 5, QStringLiteral("Second line\r\nthird line"), true);
    _MsgMessage *picture = b.message(one, alice, t += 100, QString());
    b.attach(picture, QStringLiteral("IMG_0001.jpg"), QStringLiteral("image/jpeg"),
        MessageSetBuilder::jpegPicture());
    _MsgMessage *subject = b.message(one, alice, t += 100, QStringLiteral("body text"));
    subject->subject = QStringLiteral("Re: <plans>");

    _MsgChat *two = b.chat(bob->id, { bob });
    b.message(two, bob, t += 100, QStringLiteral("He said \"hi\", then left\nfor good"));
    _MsgMessage *card = b.message(two, bob, t += 100, QStringLiteral("my card"), true);
    b.attach(card, QStringLiteral("Carol.vcf"), QStringLiteral("text/x-vCard"),
        MessageSetBuilder::vCard(QStringLiteral("Carol Example"), QStringLiteral("+15550003333")));
    _MsgMessage *note = b.message(two, bob, t += 100, QString());
    b.attach(note, QStringLiteral("notes.txt"), QStringLiteral("text/plain"),
        QByteArray("first <b>line</b>\nsecond & last"));
    _MsgMessage *lost = b.message(two, bob, t += 100, QStringLiteral("lost file"));
    b.attach(lost, QStringLiteral("gone.mov"), QStringLiteral("video/quicktime"), QByteArray());

    _MsgChat *group = b.chat(QStringLiteral("chat123456789012345678"), { alice, carol, dave },
        QStringLiteral("Weekend & friends"));
    b.message(group, carol, t += 100, QStringLiteral("Who's coming?"));
    b.message(group, dave, t += 30, QStringLiteral("me, \u2600 maybe"));
    b.message(group, nullptr, t += 30, QStringLiteral("I am"), true);
    _MsgMessage *event = b.message(group, alice, t += 30, QString());
    event->item_type = 2;
    event->group_title = QStringLiteral("Weekend & friends");
    return b.messages();
}
