#include "records/msgrecords.h"

#include "records/emojimarkup.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QLocale>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>

namespace {

[[maybe_unused]] const int registeredHandleItem = qRegisterMetaType<HandleItem>("HandleItem");

QString emojiText(void *, const QString &)
{
    return QStringLiteral("[EMOJI]");
}

QString actorName(const _MsgHandle *handle)
{
    return handle ? handle->displayName(false) : QStringLiteral("You");
}

QString attachmentMarker(const QString &mimeType)
{
    if (mimeType.startsWith(QLatin1String("image/"), Qt::CaseInsensitive))
        return QStringLiteral(" [IMAGE]");
    if (mimeType.startsWith(QLatin1String("video/"), Qt::CaseInsensitive))
        return QStringLiteral(" [VIDEO]");
    if (mimeType.startsWith(QLatin1String("audio/"), Qt::CaseInsensitive))
        return QStringLiteral(" [AUDIO]");
    if (mimeType.compare(QLatin1String("text/x-vCard"), Qt::CaseInsensitive) == 0
        || mimeType.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0)
        return QStringLiteral(" [VCARD]");
    return QStringLiteral(" [ATTA]");
}

}

namespace {

template <typename Record>
void deleteOutsideArena(const QMap<qint64, Record *> &map, const RecordArena &arena)
{
    for (Record *record : map) {
        if (!arena.owns(record))
            delete record;
    }
}

} // namespace

QString _MsgHandle::displayName(bool withNumber) const
{
    if (contactName.isEmpty())
        return id;
    return withNumber ? QStringLiteral("%1 (%2)").arg(contactName, id) : contactName;
}

bool _MsgChat::isGroup() const
{
    return handles.size() > 1;
}

QString _MsgChat::title(bool withNumbers) const
{
    if (!display_name.isEmpty())
        return display_name;
    if (handles.isEmpty())
        return QStringLiteral("Unknown");
    QStringList names;
    for (const _MsgHandle *handle : handles) {
        if (handle)
            names.append(handle->displayName(withNumbers));
    }
    return names.join(QLatin1String(", "));
}

QString _MsgMessage::chatLabel() const
{
    if (!chat)
        return QStringLiteral("unknown");
    QString label = chat->title(true);
    if (chat->handles.size() > 1 && handle) {
        label += QStringLiteral(" (%1)").arg(
            handle->contactName.isEmpty() ? handle->id : handle->contactName);
    }
    return label;
}

QString _MsgMessage::plainText() const
{
    QString plain = text;
    plain.remove(QChar(0xFFFC));
    return plain;
}

QString _MsgMessage::displayText() const
{
    QString display = messageText(*this);
    return markEmoji(display, emojiText, nullptr);
}

QList<_MsgAttachment *> _MsgMessage::sortedAttachments() const
{
    QList<_MsgAttachment *> list;
    for (_MsgAttachment *attachment : attachments) {
        if (attachment)
            list.append(attachment);
    }
    std::stable_sort(list.begin(), list.end(),
        [](const _MsgAttachment *a, const _MsgAttachment *b) { return a->rowid < b->rowid; });
    return list;
}

QString _MsgMessage::logicHash() const
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (item_type != 0) {
        hash.addData(guid.toUtf8());
        return QString::fromLatin1(hash.result().toHex());
    }
    if (handle)
        hash.addData(handle->id.toUtf8());
    char dateBytes[4];
    qToLittleEndian<qint32>(date, dateBytes);
    hash.addData(dateBytes, 4);
    const char fromMe = char(is_from_me & 0xFF);
    hash.addData(&fromMe, 1);
    hash.addData(plainText().toUtf8());
    QStringList names;
    for (const _MsgAttachment *attachment : attachments) {
        if (attachment && !attachment->filename.isEmpty())
            names.append(attachment->filename.section(QLatin1Char('/'), -1).toLower());
    }
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names))
        hash.addData(name.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

MsgMessageSet::~MsgMessageSet()
{
    deleteOutsideArena(attachmentMap, arena);
    deleteOutsideArena(messageMap, arena);
    deleteOutsideArena(handleMap, arena);
    deleteOutsideArena(chatMap, arena);
}

void MsgMessageSet::create(QSharedPointer<MsgMessageSet> &set)
{
    set.reset(new MsgMessageSet);
}

QList<_MsgMessage *> MsgMessageSet::messages() const
{
    return messageMap.values();
}

QList<_MsgChat *> MsgMessageSet::chats() const
{
    return chatMap.values();
}

MsgMessageSet *messageSetOf(const QSharedPointer<MsgMessageSet> &set)
{
    return set.data();
}

MsgMessageList messagesOfChats(const QList<_MsgChat *> &chats)
{
    MsgMessageList list;
    for (const _MsgChat *chat : chats) {
        if (!chat)
            continue;
        for (_MsgMessage *message : chat->messages) {
            if (message)
                list.append(message);
        }
    }
    return list;
}

QList<ChatGroup> regroupChats(const MsgMessageSet &set)
{
    QList<ChatGroup> groups;
    QHash<QString, int> indexOfIdentifier;
    for (_MsgChat *chat : set.chatMap) {
        if (!chat)
            continue;
        const auto found = indexOfIdentifier.constFind(chat->chat_identifier);
        if (found == indexOfIdentifier.constEnd()) {
            ChatGroup group;
            group.chats.append(chat);
            group.last = chat->last;
            indexOfIdentifier.insert(chat->chat_identifier, groups.size());
            groups.append(group);
        } else {
            ChatGroup &group = groups[found.value()];
            group.chats.append(chat);
            group.last = std::max(group.last, chat->last);
        }
    }
    return groups;
}

bool compareChatGroups(const ChatGroup &a, const ChatGroup &b)
{
    return a.last > b.last;
}

void setIos5MessageFlags(_MsgMessage &m)
{
    m.type = 0;
    m.is_delivered = 0;
    m.is_finished = 1;
    m.is_emote = 0;
    m.is_empty = 0;
    m.is_delayed = 0;
    m.is_auto_reply = 0;
    m.is_prepared = 1;
    m.is_read = 1;
    m.is_system_message = 0;
    m.is_sent = 1;
    m.has_dd_results = 0;
    m.is_service_message = 0;
    m.is_forward = 0;
    m.was_downgraded = 0;
    m.is_archive = 0;
    m.cache_has_attachments = 0;
    m.was_data_detected = 1;
    m.was_deduplicated = 0;
    m.handle_id = 0;
}

QString messageText(const _MsgMessage &message)
{
    if (message.item_type != 0) {
        const QString date = QLocale::c().toString(
            dateTimeFromTime(message.date), QStringLiteral("dd MMM yyyy h:m AP"));
        const QString actor = actorName(message.handle);
        // Multi-argument arg() so that a "%" in a name is never taken for a placeholder.
        switch (message.item_type) {
        case 1:
            return QStringLiteral("%1 Added %2 to the conversation.\n%3")
                .arg(actor, actorName(message.otherHandle), date);
        case 2:
            return QStringLiteral("%1 named the conversation \"%2\".\n%3")
                .arg(actor, message.group_title, date);
        case 3:
            return QStringLiteral("%1 left the conversation.\n%2").arg(actor, date);
        case 4:
            return QStringLiteral("%1 %2 sharing location with %3.\n%4")
                .arg(actor,
                    message.share_status != 0 ? QStringLiteral("stopped")
                                              : QStringLiteral("started"),
                    actorName(message.otherHandle), date);
        default:
            return QStringLiteral("System Information.\n%1").arg(date);
        }
    }
    QString text = message.plainText();
    for (const _MsgAttachment *attachment : message.attachments) {
        if (attachment)
            text += attachmentMarker(attachment->mime_type);
    }
    return text.trimmed();
}

QString attachmentThumbnail(const _MsgAttachment &attachment)
{
    // A folder of the user's own, never the shared temporary folder, and keyed by the
    // file's identity so that a replaced picture gets a new thumbnail.
    const QFileInfo source(attachment.localPath);
    const QString key = source.absoluteFilePath() + QLatin1Char('\n')
        + QString::number(source.size()) + QLatin1Char('\n')
        + QString::number(source.lastModified().toMSecsSinceEpoch());
    const QString folder = dataFolder().filePath(QStringLiteral("thumb_cache"));
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(md5Hex(key) + QStringLiteral(".thumb"));
    if (QFileInfo::exists(path) || !source.isFile())
        return path;
    QImage image;
    const char *format = "JPEG";
    if (!image.load(attachment.localPath, format)) {
        format = "PNG";
        if (!image.load(attachment.localPath, format))
            return path;
    }
    const QImage scaled = image.width() >= image.height()
        ? image.scaledToWidth(120, Qt::SmoothTransformation)
        : image.scaledToHeight(120, Qt::SmoothTransformation);
    // Written whole or not at all: a torn file would be served from the cache for good.
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && scaled.save(&out, format))
        out.commit();
    return path;
}

QString csvQuote(const QString &text)
{
    // A lone carriage return ends a record for CSV readers just as a line feed does.
    const auto special = [](QChar c) {
        return c == QLatin1Char('"') || c == QLatin1Char('\n') || c == QLatin1Char('\r')
            || c == QLatin1Char(',');
    };
    if (std::none_of(text.cbegin(), text.cend(), special))
        return text;
    QString field;
    field.reserve(text.size() + 4);
    field += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            field += QLatin1Char('"');
        field += c;
    }
    field += QLatin1Char('"');
    return field;
}

QString groupSenderName(const _MsgMessage &m)
{
    if (m.chat && m.chat->isGroup() && m.is_from_me == 0 && m.handle)
        return m.handle->displayName(false);
    return QString();
}

AttachmentKind attachmentKind(const QString &mimeType)
{
    const auto is = [&mimeType](const char *type) {
        return mimeType.compare(QLatin1String(type), Qt::CaseInsensitive) == 0;
    };
    const auto startsWith = [&mimeType](const char *prefix) {
        return mimeType.startsWith(QLatin1String(prefix), Qt::CaseInsensitive);
    };
    if (startsWith("image/"))
        return AttachmentKind::Image;
    if (startsWith("video/"))
        return AttachmentKind::Video;
    if (startsWith("audio/"))
        return AttachmentKind::Audio;
    if (is("text/x-vCard") || is("text/vcard"))
        return AttachmentKind::VCard;
    if (is("text/plain"))
        return AttachmentKind::Text;
    return AttachmentKind::Other;
}

QString attachmentLabel(AttachmentKind kind)
{
    switch (kind) {
    case AttachmentKind::Video:
        return QStringLiteral("[VIDEO]");
    case AttachmentKind::Audio:
        return QStringLiteral("[AUDIO]");
    case AttachmentKind::VCard:
        return QStringLiteral("[VCARD]");
    default:
        return QStringLiteral("[ATTACHMENT]");
    }
}
