// The local date and time of record dates for the exports. The zone's offset from UTC is
// worked out once for each stretch between two of its changes: asking the C library for
// each of 100,000 messages costs more than writing them.
#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <QVector>

class LocalTimeCache
{
public:
    LocalTimeCache();

    // The local date-time of a record date (seconds since 2001), as dateTimeFromTime gives it.
    QDateTime at(qint32 date);

private:
    struct Span
    {
        qint64 from; // Unix seconds, inclusive
        qint64 to; // exclusive
        int offset;
    };
    Span spanAt(qint64 t) const;

    QTimeZone zone;
    QVector<Span> spans;
    int last = -1;
};
