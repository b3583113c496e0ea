// The message, chat, handle and attachment records shared by every part of the program, the
// set that owns one database's loaded records, and the operations that turn records into
// display text.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

#include "records/recordarena.h"

struct _MsgHandle;
struct _MsgChat;
struct _MsgAttachment;

// One message: the columns of the iOS 6+ `message` table plus links into its set.
struct _MsgMessage
{
    qint64 rowid = 0;
    QString guid;
    QString text; // U+FFFC marks where attachments stand
    QString service_center;
    qint64 handle_id = 0;
    QString subject;
    QString country;
    QByteArray attributedBody;
    qint32 version = 10;
    qint32 type = 0;
    QString service;
    QString account;
    QString account_guid;
    // The 32-bit fields lie together, so that the record wastes no room between fields.
    qint32 replace = 0;
    qint32 error = 0;
    qint32 date = 0; // seconds since 2001-01-01 00:00 UTC
    qint32 date_read = 0;
    qint32 date_delivered = 0;
    qint32 is_delivered = 0;
    qint32 is_finished = 0;
    qint32 is_emote = 0;
    qint32 is_from_me = 0;
    qint32 is_empty = 0;
    qint32 is_delayed = 0;
    qint32 is_auto_reply = 0;
    qint32 is_prepared = 0;
    qint32 is_read = 0;
    qint32 is_system_message = 0;
    qint32 is_sent = 0;
    qint32 has_dd_results = 0;
    qint32 is_service_message = 0;
    qint32 is_forward = 0;
    qint32 was_downgraded = 0;
    qint32 is_archive = 0;
    qint32 cache_has_attachments = 0;
    QString cache_roomnames;
    qint32 was_data_detected = 0;
    qint32 was_deduplicated = 0;
    qint64 srcRowid = 0; // key in the message set
    qint32 is_audio_message = 0;
    qint32 is_played = 0;
    qint32 date_played = 0;
    qint32 item_type = 0; // non-zero: group or system event
    qint32 other_handle = -1;
    bool isDeleted = false; // a deleted row brought back from the recycle store
    QString group_title;
    qint32 group_action_type = 0;
    qint32 share_status = 0;
    qint32 share_direction = 0;
    qint32 is_expirable = 0;
    qint32 expire_state = 0;
    qint32 message_action_type = 0;
    _MsgHandle *handle = nullptr;
    _MsgChat *chat = nullptr;
    // Keyed by the decimal row id (iOS 6+) or by the attachment guid (iOS 5).
    QMap<QString, _MsgAttachment *> attachments;
    _MsgHandle *otherHandle = nullptr;

    QString chatLabel() const;
    QString plainText() const;
    QString displayText() const;
    QList<_MsgAttachment *> sortedAttachments() const;
    // Content key that recognises the same message in two databases.
    QString logicHash() const;
};

// One conversation: the columns of the iOS 6+ `chat` table plus its handles and messages.
struct _MsgChat
{
    qint64 rowid = 0;
    QString guid;
    qint32 style = 45; // 45 one-to-one, 43 group
    qint32 state = 3;
    QString account_id;
    QByteArray properties;
    QString chat_identifier;
    QString service_name = QStringLiteral("SMS");
    QString room_name;
    QString account_login = QStringLiteral("E:");
    qint32 is_archived = 0;
    QString last_addressed_handle;
    QString display_name;
    qint32 last = 0; // column `_last`: date of the newest message
    QString group_id;
    QMap<QString, _MsgHandle *> handles;
    QMap<QString, _MsgMessage *> messages; // keyed by the decimal message row id

    bool isGroup() const;
    QString title(bool withNumbers) const;
};

// One correspondent address.
struct _MsgHandle
{
    qint64 rowid = 0;
    QString id; // phone number or e-mail address
    QString country;
    QString service = QStringLiteral("SMS");
    QString uncanonicalized_id;
    QString contactName; // column `_ct_name`
    QByteArray photo; // column `_photo`

    QString displayName(bool withNumber) const;
};

// One attachment row plus the absolute path of its file on this computer.
struct _MsgAttachment
{
    qint64 rowid = 0;
    QString guid;
    qint32 created_date = 0;
    qint32 start_date = 0;
    QString filename; // the device path as stored
    QString uti;
    QString mime_type;
    qint32 transfer_state = 5;
    qint32 is_outgoing = 0;
    QByteArray user_info;
    QString transfer_name;
    qint64 total_bytes = 0;
    QString localPath;
};

// The loaded content of one message database. The set owns every record its maps reach;
// links between records and message lists point into it and must not outlive it.
class MsgMessageSet
{
public:
    MsgMessageSet() = default;
    ~MsgMessageSet();
    MsgMessageSet(const MsgMessageSet &) = delete;
    MsgMessageSet &operator=(const MsgMessageSet &) = delete;

    // Resets the pointer to a new empty set.
    static void create(QSharedPointer<MsgMessageSet> &set);

    QList<_MsgMessage *> messages() const;
    QList<_MsgChat *> chats() const;

    QMap<qint64, _MsgChat *> chatMap;
    QMap<qint64, _MsgHandle *> handleMap;
    QMap<qint64, _MsgMessage *> messageMap; // keyed by srcRowid
    QMap<qint64, _MsgAttachment *> attachmentMap;
    // Where loaders make records in bulk. A record of the maps made elsewhere with new is
    // deleted on its own; those made here go with the arena.
    RecordArena arena;
};

typedef QList<_MsgMessage *> MsgMessageList;

// A handle with a selection flag, carried by list items as "HandleItem".
struct HandleItem
{
    bool checked = false;
    _MsgHandle handle;
};
Q_DECLARE_METATYPE(HandleItem)

// A recovered message with the chat identifier and handle address it was found with.
struct ExtMsgRecord
{
    _MsgMessage message;
    QString chat_identifier;
    QString handle;
};

// The chats of one set that share a chat_identifier, and the newest `last` among them.
struct ChatGroup
{
    QList<_MsgChat *> chats;
    qint32 last = 0;
};

MsgMessageSet *messageSetOf(const QSharedPointer<MsgMessageSet> &set);
MsgMessageList messagesOfChats(const QList<_MsgChat *> &chats);
QList<ChatGroup> regroupChats(const MsgMessageSet &set);
// Newest group first.
bool compareChatGroups(const ChatGroup &a, const ChatGroup &b);

// The fixed flags an iOS 5 row takes in the iOS 6+ record: finished, prepared, read, sent and
// data-detected; every other flag cleared.
void setIos5MessageFlags(_MsgMessage &message);

// The message text with attachment markers, or the sentence of a group or system event.
QString messageText(const _MsgMessage &message);
// Path of a small preview picture in the data folder's "thumb_cache", made on first use; no
// file exists there when the attachment is not a readable picture.
QString attachmentThumbnail(const _MsgAttachment &attachment);
// One CSV field.
QString csvQuote(const QString &text);

// The name shown above the bubbles of a received message in a group chat; empty otherwise.
QString groupSenderName(const _MsgMessage &message);

// How bubbles, HTML pages and printed pages show an attachment, by its MIME type (case
// ignored): "image/...", "video/...", "audio/...", "text/x-vCard" or "text/vcard",
// "text/plain", anything else.
enum class AttachmentKind { Image, Video, Audio, VCard, Text, Other };
AttachmentKind attachmentKind(const QString &mimeType);
// What is shown for an attachment that is not drawn: "[VIDEO]", "[AUDIO]", "[VCARD]" or
// "[ATTACHMENT]".
QString attachmentLabel(AttachmentKind kind);
