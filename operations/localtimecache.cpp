#include "operations/localtimecache.h"

#include "records/msgidentity.h"

#include <limits>

namespace {

// Without the zone's rules the offset is taken per quarter hour: zone changes fall on them.
const qint64 quarterHour = 900;
const int maxSpans = 64;

}

LocalTimeCache::LocalTimeCache()
    : zone(QTimeZone::systemTimeZone())
{
}

QDateTime LocalTimeCache::at(qint32 date)
{
    const qint64 t = qint64(date) + RecordEpochOffset;
    if (last < 0 || t < spans.at(last).from || t >= spans.at(last).to) {
        last = -1;
        for (int i = 0; i < spans.size() && last < 0; ++i) {
            if (t >= spans.at(i).from && t < spans.at(i).to)
                last = i;
        }
        if (last < 0) {
            if (spans.size() >= maxSpans)
                spans.clear();
            spans.append(spanAt(t));
            last = spans.size() - 1;
        }
    }
    return QDateTime::fromSecsSinceEpoch(t, Qt::OffsetFromUTC, spans.at(last).offset);
}

LocalTimeCache::Span LocalTimeCache::spanAt(qint64 t) const
{
    // The C library's answer is the one dateTimeFromTime gives; the zone's rules only say
    // how long it holds, and only when both agree.
    const int offset = QDateTime::fromSecsSinceEpoch(t, Qt::LocalTime).offsetFromUtc();
    const qint64 quarter = (t >= 0 ? t : t - quarterHour + 1) / quarterHour * quarterHour;
    Span span { quarter, quarter + quarterHour, offset };
    const QDateTime utc = QDateTime::fromSecsSinceEpoch(t, Qt::UTC);
    if (!zone.isValid() || zone.offsetFromUtc(utc) != offset)
        return span;
    span.from = std::numeric_limits<qint64>::min();
    span.to = std::numeric_limits<qint64>::max();
    if (zone.hasTransitions()) {
        const QTimeZone::OffsetData before = zone.previousTransition(utc.addSecs(1));
        const QTimeZone::OffsetData after = zone.nextTransition(utc);
        if (before.atUtc.isValid())
            span.from = before.atUtc.toSecsSinceEpoch();
        if (after.atUtc.isValid())
            span.to = after.atUtc.toSecsSinceEpoch();
    }
    return span;
}
