// Dates count seconds from 2001-01-01 00:00 GMT. Time zones are a fixed offset or a named
// zone of the system's time-zone data; a null zone is GMT.
#include "cfkinds.h"
#include "cfobject.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmcf {

namespace {

constexpr double secondsPerDay = 86400.0;
constexpr qint64 unixTimeOf2001 = 978307200;
// The times that have calendar fields, in seconds either way.
constexpr double maxCalendarSeconds = 1e15;

class DateObject : public Object
{
public:
    explicit DateObject(CFAbsoluteTime at)
        : Object(DateType)
        , at(at)
    {
    }

    bool equals(const Object &other) const override
    {
        return at == static_cast<const DateObject &>(other).at;
    }

    // Outside int64_t's range the cast is undefined: such a time hashes by its bits.
    CFHashCode hash() const override
    {
        if (std::fabs(at) < 9e18)
            return static_cast<CFHashCode>(static_cast<int64_t>(at));
        CFHashCode bits = 0;
        std::memcpy(&bits, &at, std::min(sizeof bits, sizeof at));
        return bits;
    }

    const CFAbsoluteTime at;
};

class TimeZoneObject : public Object
{
public:
    explicit TimeZoneObject(double fixedOffset)
        : Object(TimeZoneType)
        , fixedOffset(fixedOffset)
    {
    }
    explicit TimeZoneObject(const QTimeZone &zone)
        : Object(TimeZoneType)
        , zone(zone)
    {
    }

    // Seconds to add to GMT at the instant `at`.
    double offsetAt(CFAbsoluteTime at) const
    {
        if (!zone.isValid())
            return fixedOffset;
        const double seconds = std::floor(at) + unixTimeOf2001;
        if (!(std::fabs(seconds) < maxCalendarSeconds))
            return zone.standardTimeOffset(QDateTime::currentDateTimeUtc());
        return zone.offsetFromUtc(
            QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds), Qt::UTC));
    }

    const double fixedOffset = 0;
    const QTimeZone zone;
};

double offsetAt(CFTimeZoneRef ref, CFAbsoluteTime at)
{
    const auto *zone = lookupAs<TimeZoneObject>(ref, TimeZoneType);
    return zone ? zone->offsetAt(at) : 0;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr int64_t daysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t *y, int *m, int *d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

constexpr int64_t daysTo2001 = daysFromCivil(2001, 1, 1);

// Common abbreviations, for a name that is not a zone of the time-zone data.
const char *zoneForAbbreviation(const QByteArray &abbreviation)
{
    static const struct
    {
        const char *abbreviation;
        const char *zone;
    } table[] = {
        { "GMT", "UTC" },
        { "UTC", "UTC" },
        { "BST", "Europe/London" },
        { "CET", "Europe/Paris" },
        { "CEST", "Europe/Paris" },
        { "EET", "Europe/Athens" },
        { "EST", "America/New_York" },
        { "EDT", "America/New_York" },
        { "CST", "America/Chicago" },
        { "CDT", "America/Chicago" },
        { "MST", "America/Denver" },
        { "MDT", "America/Denver" },
        { "PST", "America/Los_Angeles" },
        { "PDT", "America/Los_Angeles" },
        { "JST", "Asia/Tokyo" },
        { "HKT", "Asia/Hong_Kong" },
    };
    for (const auto &entry : table) {
        if (abbreviation == entry.abbreviation)
            return entry.zone;
    }
    return nullptr;
}

} // namespace

CFDateRef createDate(CFAbsoluteTime at)
{
    return toRef<CFDateRef>(create<DateObject>(at));
}

bool dateValue(CFTypeRef ref, CFAbsoluteTime *at)
{
    const auto *date = lookupAs<DateObject>(ref, DateType);
    if (!date)
        return false;
    *at = date->at;
    return true;
}

} // namespace qmcf

using namespace qmcf;

extern "C" {

CFTypeID CFDateGetTypeID(void)
{
    return DateType;
}

CFTypeID CFTimeZoneGetTypeID(void)
{
    return TimeZoneType;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
    return createDate(at);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef ref)
{
    CFAbsoluteTime at = 0;
    return dateValue(ref, &at) ? at : 0;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef timeZone)
{
    // Months outside 1..12 carry into the year, as a calendar would count them.
    int64_t year = gdate.year;
    int64_t month = gdate.month - 1;
    year += month >= 0 ? month / 12 : (month - 11) / 12;
    month = ((month % 12) + 12) % 12 + 1;
    const int64_t days = daysFromCivil(year, month, 1) + (gdate.day - 1) - daysTo2001;
    const double local
        = days * secondsPerDay + gdate.hour * 3600.0 + gdate.minute * 60.0 + gdate.second;
    // The zone's offset at the wall-clock time, settled once more for a change of offset.
    double offset = offsetAt(timeZone, local);
    offset = offsetAt(timeZone, local - offset);
    return local - offset;
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef timeZone)
{
    CFGregorianDate result {};
    const double local = at + offsetAt(timeZone, at);
    // Some 30 million years from 2001 is past any real date and short of where the day count
    // and the SInt32 year overflow: a time beyond has no calendar date, as NaN has none.
    if (!(std::fabs(local) < maxCalendarSeconds))
        return result;
    const double dayIndex = std::floor(local / secondsPerDay);
    double rest = local - dayIndex * secondsPerDay;
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(static_cast<int64_t>(dayIndex) + daysTo2001, &year, &month, &day);
    const int hour = std::min(23, static_cast<int>(rest / 3600));
    rest -= hour * 3600.0;
    const int minute = std::min(59, static_cast<int>(rest / 60));
    rest -= minute * 60.0;
    result.year = static_cast<SInt32>(year);
    result.month = static_cast<SInt8>(month);
    result.day = static_cast<SInt8>(day);
    result.hour = static_cast<SInt8>(hour);
    result.minute = static_cast<SInt8>(minute);
    result.second = rest;
    return result;
}

CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef, CFTimeInterval interval)
{
    if (!std::isfinite(interval) || std::fabs(interval) > 18 * 3600.0)
        return nullptr;
    return toRef<CFTimeZoneRef>(create<TimeZoneObject>(interval));
}

CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef, CFStringRef name, Boolean tryAbbrev)
{
    std::string text;
    if (!stringUtf8(name, &text) || text.empty())
        return nullptr;
    QByteArray id = QByteArray::fromStdString(text);
    if (!QTimeZone::isTimeZoneIdAvailable(id)) {
        const char *zone = tryAbbrev ? zoneForAbbreviation(id) : nullptr;
        if (!zone)
            return nullptr;
        id = zone;
    }
    const QTimeZone zone(id);
    if (!zone.isValid())
        return nullptr;
    return toRef<CFTimeZoneRef>(create<TimeZoneObject>(zone));
}
}
