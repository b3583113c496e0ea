#include "support/messagesetdump.h"

#include <QVariant>

namespace {

QString rowidOf(const _MsgHandle *handle)
{
    return handle ? QString::number(handle->rowid) : QStringLiteral("-");
}

QString joined(const QList<QVariant> &values)
{
    QStringList parts;
    for (const QVariant &value : values)
        parts.append(value.type() == QVariant::ByteArray
                ? QString::fromLatin1(value.toByteArray().toHex())
                : value.toString());
    return parts.join(QLatin1Char('|'));
}

QString messageLine(qint64 key, const _MsgMessage &m)
{
    return QStringLiteral("message %1: ").arg(key)
        + joined({ m.rowid, m.guid, m.text, m.replace, m.service_center, m.handle_id, m.subject,
            m.country, m.attributedBody, m.version, m.type, m.service, m.account, m.account_guid,
            m.error, m.date, m.date_read, m.date_delivered, m.is_delivered, m.is_finished,
            m.is_emote, m.is_from_me, m.is_empty, m.is_delayed, m.is_auto_reply, m.is_prepared,
            m.is_read, m.is_system_message, m.is_sent, m.has_dd_results, m.is_service_message,
            m.is_forward, m.was_downgraded, m.is_archive, m.cache_has_attachments,
            m.cache_roomnames, m.was_data_detected, m.was_deduplicated, m.isDeleted, m.srcRowid,
            m.is_audio_message, m.is_played, m.date_played, m.item_type, m.other_handle,
            m.group_title, m.group_action_type, m.share_status, m.share_direction, m.is_expirable,
            m.expire_state, m.message_action_type, rowidOf(m.handle),
            m.chat ? QString::number(m.chat->rowid) : QStringLiteral("-"),
            QStringList(m.attachments.keys()).join(QLatin1Char(',')), rowidOf(m.otherHandle) });
}

} // namespace

QStringList messageSetLines(const MsgMessageSet &set)
{
    QStringList lines;
    for (auto it = set.chatMap.cbegin(); it != set.chatMap.cend(); ++it) {
        const _MsgChat &c = **it;
        lines << QStringLiteral("chat %1: ").arg(it.key())
                + joined({ c.rowid, c.guid, c.style, c.state, c.account_id, c.properties,
                    c.chat_identifier, c.service_name, c.room_name, c.account_login, c.is_archived,
                    c.last_addressed_handle, c.display_name, c.last, c.group_id,
                    QStringList(c.handles.keys()).join(QLatin1Char(',')),
                    QStringList(c.messages.keys()).join(QLatin1Char(',')) });
    }
    for (auto it = set.handleMap.cbegin(); it != set.handleMap.cend(); ++it) {
        const _MsgHandle &h = **it;
        lines << QStringLiteral("handle %1: ").arg(it.key())
                + joined({ h.rowid, h.id, h.country, h.service, h.uncanonicalized_id, h.contactName,
                    h.photo });
    }
    for (auto it = set.messageMap.cbegin(); it != set.messageMap.cend(); ++it)
        lines << messageLine(it.key(), **it);
    for (auto it = set.attachmentMap.cbegin(); it != set.attachmentMap.cend(); ++it) {
        const _MsgAttachment &a = **it;
        lines << QStringLiteral("attachment %1: ").arg(it.key())
                + joined({ a.rowid, a.guid, a.created_date, a.start_date, a.filename, a.uti,
                    a.mime_type, a.transfer_state, a.is_outgoing, a.user_info, a.transfer_name,
                    a.total_bytes, a.localPath });
    }
    return lines;
}
