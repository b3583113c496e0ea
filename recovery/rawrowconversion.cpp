#include "recovery/rawrowconversion.h"

#include "records/msgidentity.h"

namespace {

enum Flag { None = 0, NotNull = 1, Default = 2, Key = 4 };

struct ColumnSpec
{
    const char *name;
    const char *type;
    int flags;
};

const ColumnSpec kMessageIOS5[] = {
    { "ROWID", "INTEGER", Key },
    { "address", "TEXT", None },
    { "date", "INTEGER", None },
    { "text", "TEXT", None },
    { "flags", "INTEGER", None },
    { "replace", "INTEGER", None },
    { "svc_center", "TEXT", None },
    { "group_id", "INTEGER", None },
    { "association_id", "INTEGER", None },
    { "height", "INTEGER", None },
    { "UIFlags", "INTEGER", None },
    { "version", "INTEGER", None },
    { "subject", "TEXT", None },
    { "country", "TEXT", None },
    { "headers", "BLOB", None },
    { "recipients", "BLOB", None },
    { "read", "INTEGER", None },
    { "madrid_attributedBody", "BLOB", None },
    { "madrid_handle", "TEXT", None },
    { "madrid_version", "INTEGER", None },
    { "madrid_guid", "TEXT", None },
    { "madrid_type", "INTEGER", None },
    { "madrid_roomname", "TEXT", None },
    { "madrid_service", "TEXT", None },
    { "madrid_account", "TEXT", None },
    { "madrid_flags", "INTEGER", None },
    { "madrid_attachmentInfo", "BLOB", None },
    { "madrid_url", "TEXT", None },
    { "madrid_error", "INTEGER", None },
    { "is_madrid", "INTEGER", None },
    { "madrid_date_read", "INTEGER", None },
    { "madrid_date_delivered", "INTEGER", None },
    { "madrid_account_guid", "TEXT", None },
};

const ColumnSpec kMessageIOS6[] = {
    { "ROWID", "INTEGER", Key },
    { "guid", "TEXT", NotNull },
    { "text", "TEXT", None },
    { "replace", "INTEGER", Default },
    { "service_center", "TEXT", None },
    { "handle_id", "INTEGER", Default },
    { "subject", "TEXT", None },
    { "country", "TEXT", None },
    { "attributedBody", "BLOB", None },
    { "version", "INTEGER", Default },
    { "type", "INTEGER", Default },
    { "service", "TEXT", None },
    { "account", "TEXT", None },
    { "account_guid", "TEXT", None },
    { "error", "INTEGER", Default },
    { "date", "INTEGER", None },
    { "date_read", "INTEGER", None },
    { "date_delivered", "INTEGER", None },
    { "is_delivered", "INTEGER", Default },
    { "is_finished", "INTEGER", Default },
    { "is_emote", "INTEGER", Default },
    { "is_from_me", "INTEGER", Default },
    { "is_empty", "INTEGER", Default },
    { "is_delayed", "INTEGER", Default },
    { "is_auto_reply", "INTEGER", Default },
    { "is_prepared", "INTEGER", Default },
    { "is_read", "INTEGER", Default },
    { "is_system_message", "INTEGER", Default },
    { "is_sent", "INTEGER", Default },
    { "has_dd_results", "INTEGER", Default },
    { "is_service_message", "INTEGER", Default },
    { "is_forward", "INTEGER", Default },
    { "was_downgraded", "INTEGER", Default },
    { "is_archive", "INTEGER", Default },
    { "cache_has_attachments", "INTEGER", Default },
    { "cache_roomnames", "TEXT", None },
    { "was_data_detected", "INTEGER", Default },
    { "was_deduplicated", "INTEGER", Default },
    { "is_audio_message", "INTEGER", Default },
    { "is_played", "INTEGER", Default },
    { "date_played", "INTEGER", None },
    { "item_type", "INTEGER", Default },
    { "other_handle", "INTEGER", Default },
    { "group_title", "TEXT", None },
    { "group_action_type", "INTEGER", Default },
    { "share_status", "INTEGER", None },
    { "share_direction", "INTEGER", None },
    { "is_expirable", "INTEGER", Default },
    { "expire_state", "INTEGER", Default },
    { "message_action_type", "INTEGER", Default },
    { "message_source", "INTEGER", Default },
};

const ColumnSpec kHandleIOS6[] = {
    { "ROWID", "INTEGER", Key },
    { "id", "TEXT", NotNull },
    { "country", "TEXT", None },
    { "service", "TEXT", NotNull },
    { "uncanonicalized_id", "TEXT", None },
};

template <size_t N>
Sqlite3File::Template firstColumns(const ColumnSpec (&specs)[N], int count)
{
    Sqlite3File::Template columns;
    for (int i = 0; i < count && size_t(i) < N; ++i) {
        const ColumnSpec &s = specs[i];
        columns.append(_SqliteCol(QLatin1String(s.name), QLatin1String(s.type),
            s.flags & NotNull, s.flags & Default, s.flags & Key));
    }
    return columns;
}

// The framework's conversions, with a 64-bit value keeping its low 32 bits.
qint32 asInt(const QVariant &v)
{
    return qint32(quint32(quint64(v.toLongLong())));
}

qint64 asInt64(const QVariant &v)
{
    return v.toLongLong();
}

QString asText(const QVariant &v)
{
    return v.toString();
}

bool isZeroOrOne(qint32 value)
{
    return quint32(value) <= 1;
}

bool isPlausibleUiFlags(qint32 flags)
{
    return flags == 0 || flags == 4 || flags == 5 || flags == 6;
}

bool isMessageService(const QString &service)
{
    return service.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0
        || service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

// Stored times of either unit, the readers' rule.
qint32 storedDate(const QVariant &v)
{
    return recordDateFromStored(asInt64(v));
}

} // namespace

QList<Sqlite3File::Template> messageTemplatesIOS5()
{
    return { firstColumns(kMessageIOS5, 33), firstColumns(kMessageIOS5, 32),
        firstColumns(kMessageIOS5, 17) };
}

QList<Sqlite3File::Template> messageTemplatesIOS6()
{
    return { firstColumns(kMessageIOS6, 38), firstColumns(kMessageIOS6, 51) };
}

Sqlite3File::Template handleTemplateIOS6()
{
    return firstColumns(kHandleIOS6, 5);
}

bool acceptRawMessageRowIOS5(const Sqlite3File::Row &row)
{
    const QVector<QVariant> &v = row.values;
    if (v.size() <= 16)
        return false;
    if (!isZeroOrOne(asInt(v.at(16))) || !isPlausibleUiFlags(asInt(v.at(10))))
        return false;
    return v.size() <= 32 || isZeroOrOne(asInt(v.at(29)));
}

bool acceptRawMessageRowIOS6(const Sqlite3File::Row &row)
{
    return row.values.size() > 37 && isMessageService(asText(row.values.at(11)));
}

bool acceptRawHandleRowIOS6(const Sqlite3File::Row &row)
{
    return row.values.size() > 4 && isMessageService(asText(row.values.at(3)));
}

bool rawMessageRowToRecordIOS5(
    const Sqlite3File::Row &row, ExtMsgRecord &record, CountryLibDb &countries, qint64 nowUnix)
{
    const QVector<QVariant> &v = row.values;
    if (v.size() <= 16)
        return false;
    _MsgMessage &m = record.message;
    m.rowid = row.rowid;
    m.replace = asInt(v.at(5));
    if (!isZeroOrOne(asInt(v.at(16))) || !isPlausibleUiFlags(asInt(v.at(10))))
        return false;
    m.text = asText(v.at(3));
    m.service_center = asText(v.at(6));
    m.subject = asText(v.at(12));
    m.country = asText(v.at(13));
    m.version = asInt(v.at(11));
    setIos5MessageFlags(m);

    bool iMessage = false;
    if (v.size() > 32) {
        const qint32 madrid = asInt(v.at(29));
        if (!isZeroOrOne(madrid))
            return false;
        iMessage = madrid == 1;
        if (!iMessage) {
            for (int i = 17; i <= 31; ++i) {
                if (i != 29 && v.at(i).isValid())
                    return false;
            }
        }
    }

    // The cheap refusals come before the country look-up, which queries the table.
    QString address;
    if (iMessage) {
        if (asText(v.at(23)) != QLatin1String("Madrid"))
            return false;
        m.date = asInt(v.at(2));
    } else {
        address = asText(v.at(1));
        if (address.isEmpty())
            return false;
        m.date = qint32(asInt64(v.at(2)) - RecordEpochOffset);
    }
    if (m.date <= 0 || m.date > nowUnix - RecordEpochOffset)
        return false;

    bool found = false;
    const _CountryInfo country = countries.countryBySn(m.country, &found);
    if (!m.country.isEmpty() && !found)
        return false;

    if (iMessage) {
        m.guid = asText(v.at(20));
        m.service = QStringLiteral("iMessage");
        m.account = asText(v.at(24));
        m.account_guid = asText(v.at(32));
        m.error = asInt(v.at(28));
        m.date_read = asInt(v.at(30));
        m.date_delivered = asInt(v.at(31));
        m.is_from_me = m.date_delivered > 0 ? 1 : 0;
        record.handle = CountryLibDb::normalizeNumber(country, asText(v.at(18)));
        const QString room = asText(v.at(22));
        record.chat_identifier = room.isEmpty() ? record.handle : room;
    } else {
        m.guid = makeGuid();
        m.service = QStringLiteral("SMS");
        m.account = QStringLiteral("e:");
        m.error = 0;
        m.date_read = m.date;
        m.date_delivered = m.date;
        m.is_from_me = asInt(v.at(4)) == 3 ? 1 : 0;
        record.handle = CountryLibDb::normalizeNumber(country, address);
        record.chat_identifier = record.handle;
    }
    return true;
}

bool rawMessageRowToRecordIOS6(const Sqlite3File::Row &row, ExtMsgRecord &record)
{
    const QVector<QVariant> &v = row.values;
    if (v.size() <= 37)
        return false;
    _MsgMessage &m = record.message;
    m.rowid = row.rowid;
    m.guid = asText(v.at(1));
    m.text = asText(v.at(2));
    m.replace = asInt(v.at(3));
    m.service_center = asText(v.at(4));
    m.handle_id = asInt64(v.at(5));
    m.subject = asText(v.at(6));
    m.country = asText(v.at(7));
    m.attributedBody = v.at(8).toByteArray();
    m.version = asInt(v.at(9));
    m.type = asInt(v.at(10));
    m.service = asText(v.at(11));
    if (!isMessageService(m.service))
        return false;

    m.account = asText(v.at(12));
    m.account_guid = asText(v.at(13));
    m.error = asInt(v.at(14));
    m.date = storedDate(v.at(15));
    m.date_read = storedDate(v.at(16));
    m.date_delivered = storedDate(v.at(17));
    qint32 *const flags[] = { &m.is_delivered, &m.is_finished, &m.is_emote, &m.is_from_me,
        &m.is_empty, &m.is_delayed, &m.is_auto_reply, &m.is_prepared, &m.is_read,
        &m.is_system_message, &m.is_sent, &m.has_dd_results, &m.is_service_message,
        &m.is_forward, &m.was_downgraded, &m.is_archive, &m.cache_has_attachments };
    for (int i = 0; i < 17; ++i)
        *flags[i] = asInt(v.at(18 + i));
    m.cache_roomnames = asText(v.at(35));
    m.was_data_detected = asInt(v.at(36));
    m.was_deduplicated = asInt(v.at(37));

    // A row written before its table gained the later columns has only some of them; the
    // fields of the others keep their defaults.
    auto later = [&v](int i, auto &field, auto convert) {
        if (i < v.size())
            field = convert(v.at(i));
    };
    later(38, m.is_audio_message, asInt);
    later(39, m.is_played, asInt);
    later(40, m.date_played, storedDate);
    later(41, m.item_type, asInt);
    later(42, m.other_handle, asInt);
    later(43, m.group_title, asText);
    later(44, m.group_action_type, asInt);
    later(45, m.share_status, asInt);
    later(46, m.share_direction, asInt);
    later(47, m.is_expirable, asInt);
    later(48, m.expire_state, asInt);
    later(49, m.message_action_type, asInt);
    return true;
}

bool rawHandleRowToRecordIOS6(
    const Sqlite3File::Row &row, _MsgHandle &handle, CountryLibDb &countries)
{
    const QVector<QVariant> &v = row.values;
    if (v.size() <= 4)
        return false;
    handle.rowid = row.rowid;
    handle.id = asText(v.at(1));
    handle.country = asText(v.at(2));
    handle.service = asText(v.at(3));
    // Checked before the country look-up, which queries the table; the result is the same.
    if (!isMessageService(handle.service))
        return false;
    bool found = false;
    const _CountryInfo country = countries.countryBySn(handle.country, &found);
    if (!handle.country.isEmpty() && !found)
        return false;
    handle.id = CountryLibDb::normalizeNumber(country, handle.id);
    handle.uncanonicalized_id = asText(v.at(4));
    return true;
}
