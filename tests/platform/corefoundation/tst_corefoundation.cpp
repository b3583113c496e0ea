// Our CoreFoundation through its C interface: numbers and their kinds, UTF-16 strings,
// data, dates and zones, containers and their callbacks, property lists, and reference
// counts that end with no object alive.
#include "platform/corefoundation/corefoundation.h"
#include "support/binaryplist.h"
#include "support/corefoundationtext.h"

#include <QtTest>

#include <cmath>
#include <cstring>

Q_DECLARE_METATYPE(CFNumberType)

namespace {

CFStringRef string(const char *utf8)
{
    return cfString(QByteArray(utf8));
}

CFNumberRef int64Number(qint64 value)
{
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

CFNumberRef doubleNumber(double value)
{
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &value);
}

CFDataRef dataOf(const QByteArray &bytes)
{
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(bytes.constData()), bytes.size());
}

QByteArray bytesOf(CFDataRef data)
{
    QByteArray bytes(static_cast<int>(CFDataGetLength(data)), '\0');
    CFDataGetBytes(data, CFRange { 0, bytes.size() }, reinterpret_cast<UInt8 *>(bytes.data()));
    return bytes;
}

CFMutableDictionaryRef newDictionary()
{
    return CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFMutableArrayRef newArray()
{
    return CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
}

CFPropertyListRef parse(const QByteArray &bytes, CFPropertyListFormat *format = nullptr)
{
    CFDataRef data = dataOf(bytes);
    CFPropertyListRef result = CFPropertyListCreateWithData(nullptr, data, 0, format, nullptr);
    CFRelease(data);
    return result;
}

QByteArray serialise(CFPropertyListRef value, CFPropertyListFormat format)
{
    CFDataRef data = CFPropertyListCreateData(nullptr, value, format, 0, nullptr);
    if (!data)
        return QByteArray();
    const QByteArray bytes = bytesOf(data);
    CFRelease(data);
    return bytes;
}

CFAbsoluteTime absoluteOf(
    int year, int month, int day, int hour, int minute, double second, CFTimeZoneRef zone = nullptr)
{
    CFGregorianDate date {};
    date.year = year;
    date.month = static_cast<SInt8>(month);
    date.day = static_cast<SInt8>(day);
    date.hour = static_cast<SInt8>(hour);
    date.minute = static_cast<SInt8>(minute);
    date.second = second;
    return CFGregorianDateGetAbsoluteTime(date, zone);
}

void appendBigEndian(QByteArray &bytes, quint64 value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        bytes.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A binary property list of `count` arrays, each holding the next; the last one holds
// the first when `loop` is set.
QByteArray binaryChain(int count, bool loop)
{
    QByteArray bytes("bplist00");
    QList<quint64> offsets;
    for (int i = 0; i < count; ++i) {
        offsets << quint64(bytes.size());
        const bool last = i == count - 1;
        if (last && !loop) {
            bytes.append(char(0xa0));
            continue;
        }
        bytes.append(char(0xa1));
        // A loop of more than one object points past the end instead.
        appendBigEndian(bytes, last ? (count == 1 ? 0 : quint64(count) + 5) : quint64(i + 1), 4);
    }
    const quint64 table = quint64(bytes.size());
    for (quint64 offset : offsets)
        appendBigEndian(bytes, offset, 4);
    bytes.append(QByteArray(6, '\0'));
    bytes.append(char(4));
    bytes.append(char(4));
    appendBigEndian(bytes, quint64(count), 8);
    appendBigEndian(bytes, 0, 8);
    appendBigEndian(bytes, table, 8);
    return bytes;
}

} // namespace

class TestCoreFoundation : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void numbersKeepTheirCanonicalKind_data();
    void numbersKeepTheirCanonicalKind();
    void readingNumbersSaysWhetherTheyFit_data();
    void readingNumbersSaysWhetherTheyFit();
    void booleansReadAsOneByte();
    void refusesUnknownNumberTypes();

    void stringsCountUtf16Units_data();
    void stringsCountUtf16Units();
    void refusesMalformedUtf8_data();
    void refusesMalformedUtf8();
    void getBytesConvertsWholeCharactersOnly();
    void getBytesReplacesOrStopsAtUnencodable();
    void getBytesRefusesRangesOutside();

    void dataKeepsBytesAndEmptiness();

    void gregorianDatesRoundTrip_data();
    void gregorianDatesRoundTrip();
    void zonesShiftCalendarFields();
    void namedZonesFollowDaylightSaving();
    void unknownZoneNamesGiveNull();
    void timesBeyondTheCalendarHaveNoFields_data();
    void timesBeyondTheCalendarHaveNoFields();

    void dictionariesCompareKeysByValue();
    void dictionariesTakeNonStringKeys();
    void settingAValueAgainReleasesTheOldOne();
    void containersWithoutCallbacksKeepRawPointers();
    void arraysRefuseIndexesOutside();
    void freedObjectsReadAsNothing();

    void propertyListsRoundTripInBothFormats_data();
    void propertyListsRoundTripInBothFormats();
    void propertyListDatesKeepTheirTime_data();
    void propertyListDatesKeepTheirTime();
    void propertyListsRefuseWhatTheyCannotHold();
    void parsedContainersAreImmutable();
    void binaryNestingWithinTheLimitIsRead();
    void textsWithANulReadUpToIt_data();
    void textsWithANulReadUpToIt();
    void unreadableDataGivesNull_data();
    void unreadableDataGivesNull();
};

void TestCoreFoundation::cleanup()
{
    QCOMPARE(QMCFGetLiveObjectCount(), CFIndex(0));
}

void TestCoreFoundation::numbersKeepTheirCanonicalKind_data()
{
    QTest::addColumn<CFNumberType>("created");
    QTest::addColumn<CFNumberType>("kind");
    QTest::newRow("SInt8") << CFNumberType(kCFNumberSInt8Type) << CFNumberType(kCFNumberSInt8Type);
    QTest::newRow("char") << CFNumberType(kCFNumberCharType) << CFNumberType(kCFNumberSInt8Type);
    QTest::newRow("short") << CFNumberType(kCFNumberShortType) << CFNumberType(kCFNumberSInt16Type);
    QTest::newRow("int") << CFNumberType(kCFNumberIntType) << CFNumberType(kCFNumberSInt32Type);
    QTest::newRow("long") << CFNumberType(kCFNumberLongType) << CFNumberType(kCFNumberSInt64Type);
    QTest::newRow("CFIndex") << CFNumberType(kCFNumberCFIndexType)
                             << CFNumberType(kCFNumberSInt64Type);
    QTest::newRow("float") << CFNumberType(kCFNumberFloatType)
                           << CFNumberType(kCFNumberFloat32Type);
    QTest::newRow("double") << CFNumberType(kCFNumberDoubleType)
                            << CFNumberType(kCFNumberFloat64Type);
}

void TestCoreFoundation::numbersKeepTheirCanonicalKind()
{
    QFETCH(CFNumberType, created);
    QFETCH(CFNumberType, kind);
    const qint64 storage = 0;
    CFNumberRef number = CFNumberCreate(nullptr, created, &storage);
    QCOMPARE(CFGetTypeID(number), CFNumberGetTypeID());
    QCOMPARE(CFNumberGetType(number), kind);
    CFRelease(number);
}

void TestCoreFoundation::readingNumbersSaysWhetherTheyFit_data()
{
    QTest::addColumn<bool>("isReal");
    QTest::addColumn<qint64>("integer");
    QTest::addColumn<double>("real");
    QTest::addColumn<CFNumberType>("readAs");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<double>("stored");

    QTest::newRow("small int as SInt32")
        << false << qint64(-7) << 0.0 << CFNumberType(kCFNumberSInt32Type) << true << -7.0;
    QTest::newRow("2^40 as SInt32")
        << false << (qint64(1) << 40) << 0.0 << CFNumberType(kCFNumberSInt32Type) << false << 0.0;
    QTest::newRow("300 as SInt8") << false << qint64(300) << 0.0 << CFNumberType(kCFNumberSInt8Type)
                                  << false << 44.0;
    QTest::newRow("-32768 as SInt16")
        << false << qint64(-32768) << 0.0 << CFNumberType(kCFNumberSInt16Type) << true << -32768.0;
    QTest::newRow("2^53+1 as Float64")
        << false << ((qint64(1) << 53) + 1) << 0.0 << CFNumberType(kCFNumberFloat64Type) << false
        << 9007199254740992.0;
    QTest::newRow("3.0 as SInt32")
        << true << qint64(0) << 3.0 << CFNumberType(kCFNumberSInt32Type) << true << 3.0;
    QTest::newRow("2.5 as SInt32")
        << true << qint64(0) << 2.5 << CFNumberType(kCFNumberSInt32Type) << false << 2.0;
    QTest::newRow("1e20 as SInt64")
        << true << qint64(0) << 1e20 << CFNumberType(kCFNumberSInt64Type) << false
        << 9223372036854775807.0;
    QTest::newRow("NaN as SInt32")
        << true << qint64(0) << std::nan("") << CFNumberType(kCFNumberSInt32Type) << false << 0.0;
    QTest::newRow("0.1 as Float32")
        << true << qint64(0) << 0.1 << CFNumberType(kCFNumberFloat32Type) << false << double(0.1f);
    QTest::newRow("0.5 as Float32")
        << true << qint64(0) << 0.5 << CFNumberType(kCFNumberFloat32Type) << true << 0.5;
}

void TestCoreFoundation::readingNumbersSaysWhetherTheyFit()
{
    QFETCH(bool, isReal);
    QFETCH(qint64, integer);
    QFETCH(double, real);
    QFETCH(CFNumberType, readAs);
    QFETCH(bool, fits);
    QFETCH(double, stored);

    CFNumberRef number = isReal ? doubleNumber(real) : int64Number(integer);
    char buffer[8] = {};
    QCOMPARE(bool(CFNumberGetValue(number, readAs, buffer)), fits);
    double got = 0;
    switch (readAs) {
    case kCFNumberSInt8Type:
        got = *reinterpret_cast<qint8 *>(buffer);
        break;
    case kCFNumberSInt16Type:
        got = *reinterpret_cast<qint16 *>(buffer);
        break;
    case kCFNumberSInt32Type:
        got = *reinterpret_cast<qint32 *>(buffer);
        break;
    case kCFNumberSInt64Type:
        got = static_cast<double>(*reinterpret_cast<qint64 *>(buffer));
        break;
    case kCFNumberFloat32Type:
        got = *reinterpret_cast<float *>(buffer);
        break;
    default:
        got = *reinterpret_cast<double *>(buffer);
        break;
    }
    if (readAs != kCFNumberSInt32Type || !std::isnan(real) || !isReal)
        QCOMPARE(got, stored);
    CFRelease(number);
}

void TestCoreFoundation::booleansReadAsOneByte()
{
    // The byte around the one read must stay as it was.
    qint8 bytes[3] = { 55, 55, 55 };
    QVERIFY(CFNumberGetValue(
        reinterpret_cast<CFNumberRef>(kCFBooleanTrue), kCFNumberSInt8Type, &bytes[1]));
    QCOMPARE(bytes[1], qint8(1));
    QVERIFY(CFNumberGetValue(
        reinterpret_cast<CFNumberRef>(kCFBooleanFalse), kCFNumberSInt8Type, &bytes[1]));
    QCOMPARE(bytes[1], qint8(0));
    QCOMPARE(bytes[0], qint8(55));
    QCOMPARE(bytes[2], qint8(55));
    QCOMPARE(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    QVERIFY(CFBooleanGetTypeID() != CFNumberGetTypeID());
    // The booleans are not counted and never freed.
    CFRelease(kCFBooleanTrue);
    QCOMPARE(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
}

void TestCoreFoundation::refusesUnknownNumberTypes()
{
    const qint64 value = 1;
    QVERIFY(!CFNumberCreate(nullptr, 0, &value));
    QVERIFY(!CFNumberCreate(nullptr, 17, &value));
    QVERIFY(!CFNumberCreate(nullptr, kCFNumberSInt32Type, nullptr));
    CFNumberRef number = int64Number(1);
    qint64 out = 0;
    QVERIFY(!CFNumberGetValue(number, 99, &out));
    CFStringRef text = string("1");
    QVERIFY(!CFNumberGetValue(reinterpret_cast<CFNumberRef>(text), kCFNumberSInt64Type, &out));
    CFRelease(number);
    CFRelease(text);
}

void TestCoreFoundation::stringsCountUtf16Units_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<int>("units");
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("ascii") << QByteArray("Hello") << 5;
    QTest::newRow("two-byte") << QByteArray("caf\xc3\xa9") << 4;
    QTest::newRow("three-byte") << QByteArray("\xe2\x82\xac") << 1;
    QTest::newRow("emoji") << QByteArray("\xf0\x9f\x98\x80") << 2;
    QTest::newRow("emoji and text") << QByteArray("a\xf0\x9f\x98\x80"
                                                  "b\xf0\x9f\x91\x8d")
                                    << 6;
    QTest::newRow("embedded NUL") << QByteArray("a\0b", 3) << 3;
}

void TestCoreFoundation::stringsCountUtf16Units()
{
    QFETCH(QByteArray, utf8);
    QFETCH(int, units);
    CFStringRef ref
        = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.constData()),
            utf8.size(), kCFStringEncodingUTF8, false);
    QVERIFY(ref);
    QCOMPARE(CFStringGetLength(ref), CFIndex(units));
    QCOMPARE(cfUtf8(ref), utf8);
    CFRelease(ref);
}

void TestCoreFoundation::refusesMalformedUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("lone continuation") << QByteArray("\x80");
    QTest::newRow("cut short") << QByteArray("\xf0\x9f\x98");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("invalid lead") << QByteArray("\xff");
}

void TestCoreFoundation::refusesMalformedUtf8()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(!CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(bytes.constData()),
        bytes.size(), kCFStringEncodingUTF8, false));
    QVERIFY(!CFStringCreateWithBytes(nullptr, nullptr, 3, kCFStringEncodingUTF8, false));
    QVERIFY(!CFStringCreateWithBytes(
        nullptr, reinterpret_cast<const UInt8 *>("a"), -1, kCFStringEncodingUTF8, false));
}

void TestCoreFoundation::getBytesConvertsWholeCharactersOnly()
{
    CFStringRef ref = string("a\xf0\x9f\x98\x80"
                             "b");
    UInt8 buffer[8] = {};
    CFIndex used = -1;
    // Four bytes of room: "a" fits, the emoji's four bytes do not.
    QCOMPARE(
        CFStringGetBytes(ref, CFRange { 0, 4 }, kCFStringEncodingUTF8, 0, false, buffer, 4, &used),
        CFIndex(1));
    QCOMPARE(used, CFIndex(1));
    QCOMPARE(
        CFStringGetBytes(ref, CFRange { 1, 2 }, kCFStringEncodingUTF8, 0, false, buffer, 8, &used),
        CFIndex(2));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), static_cast<int>(used)),
        QByteArray("\xf0\x9f\x98\x80"));
    CFRelease(ref);
}

void TestCoreFoundation::getBytesReplacesOrStopsAtUnencodable()
{
    CFStringRef ref = string("x\xc3\xa9y");
    UInt8 buffer[8] = {};
    CFIndex used = 0;
    QCOMPARE(CFStringGetBytes(
                 ref, CFRange { 0, 3 }, kCFStringEncodingASCII, '?', false, buffer, 8, &used),
        CFIndex(3));
    QCOMPARE(
        QByteArray(reinterpret_cast<char *>(buffer), static_cast<int>(used)), QByteArray("x?y"));
    QCOMPARE(
        CFStringGetBytes(ref, CFRange { 0, 3 }, kCFStringEncodingASCII, 0, false, buffer, 8, &used),
        CFIndex(1));
    QCOMPARE(used, CFIndex(1));
    QCOMPARE(CFStringGetBytes(
                 ref, CFRange { 0, 3 }, kCFStringEncodingISOLatin1, 0, false, buffer, 8, &used),
        CFIndex(3));
    QCOMPARE(buffer[1], UInt8(0xe9));
    CFRelease(ref);
}

void TestCoreFoundation::getBytesRefusesRangesOutside()
{
    CFStringRef ref = string("abc");
    UInt8 buffer[8] = {};
    CFIndex used = 9;
    QCOMPARE(CFStringGetBytes(
                 ref, CFRange { 2, 2 }, kCFStringEncodingUTF8, '?', false, buffer, 8, &used),
        CFIndex(0));
    QCOMPARE(used, CFIndex(0));
    QCOMPARE(CFStringGetBytes(
                 ref, CFRange { -1, 1 }, kCFStringEncodingUTF8, '?', false, buffer, 8, &used),
        CFIndex(0));
    QCOMPARE(CFStringGetBytes(
                 ref, CFRange { 3, 0 }, kCFStringEncodingUTF8, '?', false, buffer, 8, &used),
        CFIndex(0));
    CFRelease(ref);
}

void TestCoreFoundation::dataKeepsBytesAndEmptiness()
{
    const QByteArray bytes("\x00\x01\xff\x7f", 4);
    CFDataRef data = dataOf(bytes);
    QCOMPARE(bytesOf(data), bytes);
    UInt8 part[2] = {};
    CFDataGetBytes(data, CFRange { 2, 2 }, part);
    QCOMPARE(part[0], UInt8(0xff));
    // A range outside the data copies nothing.
    UInt8 untouched[2] = { 9, 9 };
    CFDataGetBytes(data, CFRange { 3, 2 }, untouched);
    QCOMPARE(untouched[0], UInt8(9));
    CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
    QVERIFY(empty);
    QCOMPARE(CFDataGetLength(empty), CFIndex(0));
    QVERIFY(!CFDataCreate(nullptr, nullptr, 4));
    QVERIFY(!CFDataCreate(nullptr, part, -1));
    QVERIFY(CFEqual(empty, empty));
    QVERIFY(!CFEqual(empty, data));
    CFRelease(data);
    CFRelease(empty);
}

void TestCoreFoundation::gregorianDatesRoundTrip_data()
{
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("day");
    QTest::addColumn<int>("hour");
    QTest::addColumn<int>("minute");
    QTest::addColumn<double>("second");
    QTest::addColumn<double>("absolute");

    QTest::newRow("reference date") << 2001 << 1 << 1 << 0 << 0 << 0.0 << 0.0;
    QTest::newRow("a day later") << 2001 << 1 << 2 << 0 << 0 << 0.0 << 86400.0;
    QTest::newRow("unix epoch") << 1970 << 1 << 1 << 0 << 0 << 0.0 << -978307200.0;
    QTest::newRow("before 2001 with fraction") << 2000 << 12 << 31 << 23 << 59 << 59.5 << -0.5;
    QTest::newRow("leap day 2000") << 2000 << 2 << 29 << 12 << 0 << 0.0 << -26481600.0;
    QTest::newRow("far future") << 2100 << 3 << 1 << 6 << 30 << 15.25 << 3129258615.25;
}

void TestCoreFoundation::gregorianDatesRoundTrip()
{
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, day);
    QFETCH(int, hour);
    QFETCH(int, minute);
    QFETCH(double, second);
    QFETCH(double, absolute);

    QCOMPARE(absoluteOf(year, month, day, hour, minute, second), absolute);
    const CFGregorianDate date = CFAbsoluteTimeGetGregorianDate(absolute, nullptr);
    QCOMPARE(int(date.year), year);
    QCOMPARE(int(date.month), month);
    QCOMPARE(int(date.day), day);
    QCOMPARE(int(date.hour), hour);
    QCOMPARE(int(date.minute), minute);
    QCOMPARE(date.second, second);
    CFDateRef ref = CFDateCreate(nullptr, absolute);
    QCOMPARE(CFDateGetAbsoluteTime(ref), absolute);
    CFRelease(ref);
}

void TestCoreFoundation::zonesShiftCalendarFields()
{
    CFTimeZoneRef plusTwo = CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 7200);
    const CFGregorianDate date
        = CFAbsoluteTimeGetGregorianDate(absoluteOf(2001, 1, 1, 23, 0, 0), plusTwo);
    QCOMPARE(int(date.day), 2);
    QCOMPARE(int(date.hour), 1);
    QCOMPARE(absoluteOf(2001, 1, 2, 1, 0, 0, plusTwo), absoluteOf(2001, 1, 1, 23, 0, 0));
    QVERIFY(!CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 30 * 3600));
    QCOMPARE(CFGetTypeID(plusTwo), CFTimeZoneGetTypeID());
    CFRelease(plusTwo);
}

void TestCoreFoundation::namedZonesFollowDaylightSaving()
{
    CFStringRef name = string("Europe/Paris");
    CFTimeZoneRef paris = CFTimeZoneCreateWithName(nullptr, name, false);
    QVERIFY(paris);
    QCOMPARE(int(CFAbsoluteTimeGetGregorianDate(absoluteOf(2013, 7, 1, 12, 0, 0), paris).hour), 14);
    QCOMPARE(int(CFAbsoluteTimeGetGregorianDate(absoluteOf(2013, 1, 1, 12, 0, 0), paris).hour), 13);
    // Before 2001 too.
    QCOMPARE(int(CFAbsoluteTimeGetGregorianDate(absoluteOf(1995, 7, 1, 12, 0, 0), paris).hour), 14);
    QCOMPARE(absoluteOf(2013, 7, 1, 14, 0, 0, paris), absoluteOf(2013, 7, 1, 12, 0, 0));
    CFStringRef abbreviation = string("PST");
    CFTimeZoneRef pacific = CFTimeZoneCreateWithName(nullptr, abbreviation, true);
    QVERIFY(pacific);
    QCOMPARE(
        int(CFAbsoluteTimeGetGregorianDate(absoluteOf(2013, 1, 1, 12, 0, 0), pacific).hour), 4);
    QVERIFY(!CFTimeZoneCreateWithName(nullptr, abbreviation, false));
    for (CFTypeRef ref :
        { CFTypeRef(name), CFTypeRef(paris), CFTypeRef(abbreviation), CFTypeRef(pacific) })
        CFRelease(ref);
}

void TestCoreFoundation::timesBeyondTheCalendarHaveNoFields_data()
{
    QTest::addColumn<double>("absolute");
    QTest::newRow("40 million years on") << 1.3e15;
    QTest::newRow("huge") << 5.6e162;
    QTest::newRow("huge before") << -1e300;
    QTest::newRow("infinite") << qInf();
    QTest::newRow("not a number") << qQNaN();
}

// Under the sanitizers the day count and the hash once converted such times undefined.
void TestCoreFoundation::timesBeyondTheCalendarHaveNoFields()
{
    QFETCH(double, absolute);
    CFStringRef name = string("Europe/Paris");
    CFTimeZoneRef paris = CFTimeZoneCreateWithName(nullptr, name, false);
    for (CFTimeZoneRef zone : { CFTimeZoneRef(nullptr), paris }) {
        const CFGregorianDate date = CFAbsoluteTimeGetGregorianDate(absolute, zone);
        QCOMPARE(int(date.year), 0);
        QCOMPARE(int(date.month), 0);
        QCOMPARE(int(date.day), 0);
    }
    CFDateRef ref = CFDateCreate(nullptr, absolute);
    QCOMPARE(CFHash(ref), CFHash(ref));
    for (CFTypeRef object : { CFTypeRef(ref), CFTypeRef(paris), CFTypeRef(name) })
        CFRelease(object);
}

void TestCoreFoundation::unknownZoneNamesGiveNull()
{
    CFStringRef name = string("Mars/Olympus_Mons");
    QVERIFY(!CFTimeZoneCreateWithName(nullptr, name, true));
    CFRelease(name);
    QVERIFY(!CFTimeZoneCreateWithName(nullptr, nullptr, true));
}

void TestCoreFoundation::dictionariesCompareKeysByValue()
{
    CFMutableDictionaryRef dictionary = newDictionary();
    CFStringRef key = string("DeviceName");
    CFStringRef sameKey = string("DeviceName");
    CFStringRef value = string("Jo's iPhone");
    CFDictionarySetValue(dictionary, key, value);
    QCOMPARE(CFDictionaryGetValue(dictionary, sameKey), static_cast<const void *>(value));
    QCOMPARE(CFDictionaryGetCount(dictionary), CFIndex(1));
    // The dictionary holds its own references.
    QCOMPARE(CFGetRetainCount(key), CFIndex(2));
    QCOMPARE(CFGetRetainCount(value), CFIndex(2));
    const void *keys[1] = {};
    const void *values[1] = {};
    CFDictionaryGetKeysAndValues(dictionary, keys, values);
    QCOMPARE(keys[0], static_cast<const void *>(key));
    QCOMPARE(values[0], static_cast<const void *>(value));
    for (CFTypeRef ref : { CFTypeRef(key), CFTypeRef(sameKey), CFTypeRef(value) })
        CFRelease(ref);
    QCOMPARE(cfUtf8(static_cast<CFStringRef>(CFDictionaryGetValue(dictionary, keys[0]))),
        QByteArray("Jo's iPhone"));
    CFRelease(dictionary);
}

void TestCoreFoundation::dictionariesTakeNonStringKeys()
{
    CFMutableDictionaryRef dictionary = newDictionary();
    CFNumberRef integerKey = int64Number(3);
    CFNumberRef realKey = doubleNumber(3.0);
    CFStringRef value = string("three");
    CFDictionarySetValue(dictionary, integerKey, value);
    // 3 and 3.0 are equal numbers, so they are one key.
    QCOMPARE(CFDictionaryGetValue(dictionary, realKey), static_cast<const void *>(value));
    CFDictionarySetValue(dictionary, kCFBooleanTrue, value);
    QCOMPARE(CFDictionaryGetCount(dictionary), CFIndex(2));
    QVERIFY(serialise(dictionary, kCFPropertyListXMLFormat_v1_0).isEmpty());
    for (CFTypeRef ref :
        { CFTypeRef(integerKey), CFTypeRef(realKey), CFTypeRef(value), CFTypeRef(dictionary) })
        CFRelease(ref);
}

void TestCoreFoundation::settingAValueAgainReleasesTheOldOne()
{
    CFMutableDictionaryRef dictionary = newDictionary();
    CFStringRef key = string("k");
    CFStringRef first = string("first");
    CFStringRef second = string("second");
    CFDictionarySetValue(dictionary, key, first);
    CFDictionarySetValue(dictionary, key, second);
    QCOMPARE(CFGetRetainCount(first), CFIndex(1));
    QCOMPARE(CFGetRetainCount(second), CFIndex(2));
    QCOMPARE(CFDictionaryGetCount(dictionary), CFIndex(1));
    CFMutableArrayRef array = newArray();
    CFArrayAppendValue(array, first);
    CFArrayAppendValue(array, first);
    QCOMPARE(CFGetRetainCount(first), CFIndex(3));
    for (CFTypeRef ref :
        { CFTypeRef(key), CFTypeRef(first), CFTypeRef(second), CFTypeRef(dictionary) })
        CFRelease(ref);
    QCOMPARE(QMCFGetLiveObjectCount(), CFIndex(2));
    CFRelease(array);
}

void TestCoreFoundation::containersWithoutCallbacksKeepRawPointers()
{
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, nullptr);
    static const int marker = 0;
    CFArrayAppendValue(array, &marker);
    QCOMPARE(CFArrayGetValueAtIndex(array, 0), static_cast<const void *>(&marker));
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
    CFStringRef key = string("k");
    CFStringRef sameKey = string("k");
    CFDictionarySetValue(dictionary, key, &marker);
    QCOMPARE(CFGetRetainCount(key), CFIndex(1));
    // Without callbacks keys are compared by address.
    QVERIFY(!CFDictionaryGetValue(dictionary, sameKey));
    QCOMPARE(CFDictionaryGetValue(dictionary, key), static_cast<const void *>(&marker));
    for (CFTypeRef ref :
        { CFTypeRef(array), CFTypeRef(dictionary), CFTypeRef(key), CFTypeRef(sameKey) })
        CFRelease(ref);
}

void TestCoreFoundation::arraysRefuseIndexesOutside()
{
    CFMutableArrayRef array = newArray();
    CFStringRef item = string("only");
    CFArrayAppendValue(array, item);
    QCOMPARE(CFArrayGetValueAtIndex(array, 0), static_cast<const void *>(item));
    QVERIFY(!CFArrayGetValueAtIndex(array, 1));
    QVERIFY(!CFArrayGetValueAtIndex(array, -1));
    QVERIFY(!CFArrayGetValueAtIndex(reinterpret_cast<CFArrayRef>(item), 0));
    CFRelease(item);
    CFRelease(array);
}

void TestCoreFoundation::freedObjectsReadAsNothing()
{
    CFMutableArrayRef array = newArray();
    CFStringRef item = string("gone");
    CFArrayAppendValue(array, item);
    CFRelease(item);
    CFRelease(array);
    QCOMPARE(CFArrayGetCount(array), CFIndex(0));
    QVERIFY(!CFArrayGetValueAtIndex(array, 0));
    QCOMPARE(CFGetTypeID(array), CFTypeID(0));
    QCOMPARE(CFStringGetLength(item), CFIndex(0));
    CFRelease(array);
    CFRelease(nullptr);
    QCOMPARE(CFGetTypeID(nullptr), CFTypeID(0));
}

void TestCoreFoundation::propertyListsRoundTripInBothFormats_data()
{
    QTest::addColumn<CFPropertyListFormat>("format");
    QTest::newRow("XML") << CFPropertyListFormat(kCFPropertyListXMLFormat_v1_0);
    QTest::newRow("binary") << CFPropertyListFormat(kCFPropertyListBinaryFormat_v1_0);
}

void TestCoreFoundation::propertyListsRoundTripInBothFormats()
{
    QFETCH(CFPropertyListFormat, format);
    CFMutableDictionaryRef root = newDictionary();
    CFMutableArrayRef list = newArray();
    const QList<CFTypeRef> items { string("text \xf0\x9f\x98\x80"), string(""), int64Number(-5),
        int64Number(Q_INT64_C(1) << 40), doubleNumber(2.5), dataOf(QByteArray("\x00\xff", 2)),
        dataOf(QByteArray()), CFDateCreate(nullptr, 86400.0) };
    for (CFTypeRef item : items) {
        CFArrayAppendValue(list, item);
        CFRelease(item);
    }
    CFArrayAppendValue(list, kCFBooleanFalse);
    CFStringRef listKey = string("list");
    CFStringRef emptyKey = string("");
    CFDictionarySetValue(root, listKey, list);
    CFDictionarySetValue(root, emptyKey, kCFBooleanTrue);

    const QByteArray bytes = serialise(root, format);
    QVERIFY(!bytes.isEmpty());
    QCOMPARE(bytes.startsWith("bplist00"), format == kCFPropertyListBinaryFormat_v1_0);
    CFPropertyListFormat found = 0;
    CFPropertyListRef back = parse(bytes, &found);
    QCOMPARE(found, format);
    QVERIFY(CFEqual(back, root));
    QCOMPARE(CFNumberGetType(static_cast<CFNumberRef>(
                 CFArrayGetValueAtIndex(static_cast<CFArrayRef>(CFDictionaryGetValue(
                                            static_cast<CFDictionaryRef>(back), listKey)),
                     4))),
        CFNumberType(kCFNumberFloat64Type));
    for (CFTypeRef ref : { CFTypeRef(back), CFTypeRef(root), CFTypeRef(list), CFTypeRef(listKey),
             CFTypeRef(emptyKey) })
        CFRelease(ref);
}

void TestCoreFoundation::propertyListDatesKeepTheirTime_data()
{
    QTest::addColumn<double>("at");
    QTest::addColumn<CFPropertyListFormat>("format");
    QTest::addColumn<double>("expected");
    const CFPropertyListFormat xml = kCFPropertyListXMLFormat_v1_0;
    const CFPropertyListFormat binary = kCFPropertyListBinaryFormat_v1_0;
    QTest::newRow("binary after 2001") << 12345.25 << binary << 12345.25;
    QTest::newRow("binary before 2001") << -299999999.75 << binary << -299999999.75;
    QTest::newRow("xml keeps whole seconds") << 12345.25 << xml << 12345.0;
    QTest::newRow("xml before 2001 rounds down") << -299999999.75 << xml << -300000000.0;
}

void TestCoreFoundation::propertyListDatesKeepTheirTime()
{
    QFETCH(double, at);
    QFETCH(CFPropertyListFormat, format);
    QFETCH(double, expected);
    CFDateRef date = CFDateCreate(nullptr, at);
    CFMutableArrayRef array = newArray();
    CFArrayAppendValue(array, date);
    for (CFTypeRef root : { CFTypeRef(date), CFTypeRef(array) }) {
        CFPropertyListRef back = parse(serialise(root, format));
        QVERIFY(back);
        CFTypeRef value
            = root == array ? CFArrayGetValueAtIndex(static_cast<CFArrayRef>(back), 0) : back;
        QCOMPARE(CFDateGetAbsoluteTime(static_cast<CFDateRef>(value)), expected);
        CFRelease(back);
    }
    CFRelease(array);
    CFRelease(date);
    // libplist keeps 32-bit seconds: a date it cannot hold is refused, not cut.
    CFDateRef far = CFDateCreate(nullptr, 5e9);
    QVERIFY(serialise(far, format).isEmpty());
    CFRelease(far);
}

void TestCoreFoundation::propertyListsRefuseWhatTheyCannotHold()
{
    CFTimeZoneRef zone = CFTimeZoneCreateWithTimeIntervalFromGMT(nullptr, 0);
    QVERIFY(serialise(zone, kCFPropertyListXMLFormat_v1_0).isEmpty());
    CFStringRef withNul = CFStringCreateWithBytes(
        nullptr, reinterpret_cast<const UInt8 *>("a\0b"), 3, kCFStringEncodingUTF8, false);
    QVERIFY(serialise(withNul, kCFPropertyListBinaryFormat_v1_0).isEmpty());
    CFStringRef text = string("x");
    QVERIFY(serialise(text, 1).isEmpty());
    CFErrorRef error = reinterpret_cast<CFErrorRef>(&text);
    QVERIFY(!CFPropertyListCreateData(nullptr, nullptr, kCFPropertyListXMLFormat_v1_0, 0, &error));
    QVERIFY(!error);
    // Nesting deeper than a reader would take is not written.
    CFMutableArrayRef outer = newArray();
    CFMutableArrayRef inner = outer;
    for (int depth = 0; depth < 300; ++depth) {
        CFMutableArrayRef next = newArray();
        CFArrayAppendValue(inner, next);
        CFRelease(next);
        inner = next;
    }
    QVERIFY(serialise(outer, kCFPropertyListBinaryFormat_v1_0).isEmpty());
    for (CFTypeRef ref : { CFTypeRef(zone), CFTypeRef(withNul), CFTypeRef(text), CFTypeRef(outer) })
        CFRelease(ref);
}

void TestCoreFoundation::parsedContainersAreImmutable()
{
    CFPropertyListRef parsed = parse(
        "<plist "
        "version=\"1.0\"><dict><key>a</key><array><integer>1</integer></array></dict></plist>");
    QVERIFY(parsed);
    CFStringRef key = string("b");
    CFDictionarySetValue(
        const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(parsed)), key, key);
    QCOMPARE(CFDictionaryGetCount(static_cast<CFDictionaryRef>(parsed)), CFIndex(1));
    CFStringRef a = string("a");
    auto array
        = static_cast<CFArrayRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(parsed), a));
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(array), key);
    QCOMPARE(CFArrayGetCount(array), CFIndex(1));
    for (CFTypeRef ref : { CFTypeRef(parsed), CFTypeRef(key), CFTypeRef(a) })
        CFRelease(ref);
}

void TestCoreFoundation::unreadableDataGivesNull_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("hello, world");
    QTest::newRow("binary mark only") << QByteArray("bplist00");
    QTest::newRow("binary cut short") << QByteArray("bplist00\xd1\x01\x02", 11);
    QTest::newRow("unclosed xml") << QByteArray("<plist><dict><key>a</key>");
    QByteArray deep = "<plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i)
        deep += "<array>";
    for (int i = 0; i < 100000; ++i)
        deep += "</array>";
    deep += "</plist>";
    QTest::newRow("nested too deep") << deep;
    QTest::newRow("binary nested too deep") << binaryChain(100000, false);
    QTest::newRow("binary array holding itself") << binaryChain(1, true);
    QTest::newRow("binary reference outside") << binaryChain(3, true);
    // Read through libplist, which cannot hold it, unlike a date at the top.
    QTest::newRow("binary date beyond 32-bit seconds in an array")
        << binaryplist::list({ QByteArray("\xA1\x01", 2), binaryplist::date(1e300) });
    // The offset of the top object wraps past the end of 64 bits.
    QTest::newRow("binary date top object before the start")
        << binaryplist::list({ binaryplist::date(0) }, 8, { ~quint64(0) - 7 });
}

void TestCoreFoundation::textsWithANulReadUpToIt_data()
{
    using namespace binaryplist;
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("UTF-16 string in binary")
        << dictionary({ { ascii("Name"), utf16("Ph\xF6ne\0x", 7) } });
    QTest::newRow("UTF-16 key in binary")
        << dictionary({ { utf16("Name\0x", 6), utf16("Ph\xF6ne", 5) } });
    QTest::newRow("raw NUL in XML string")
        << QByteArray("<plist version=\"1.0\"><dict><key>Name</key><string>Ph\xC3\xB6ne") + '\0'
            + "x</string></dict></plist>";
}

void TestCoreFoundation::textsWithANulReadUpToIt()
{
    QFETCH(QByteArray, bytes);
    CFPropertyListRef parsed = parse(bytes);
    QCOMPARE(CFGetTypeID(parsed), CFDictionaryGetTypeID());
    CFStringRef key = string("Name");
    QCOMPARE(cfUtf8(CFDictionaryGetValue(static_cast<CFDictionaryRef>(parsed), key)),
        QByteArray("Ph\xC3\xB6ne"));
    CFRelease(key);
    CFRelease(parsed);
}

void TestCoreFoundation::binaryNestingWithinTheLimitIsRead()
{
    CFPropertyListRef chain = parse(binaryChain(200, false));
    QVERIFY(chain);
    QCOMPARE(CFArrayGetCount(static_cast<CFArrayRef>(chain)), CFIndex(1));
    CFRelease(chain);
}

void TestCoreFoundation::unreadableDataGivesNull()
{
    QFETCH(QByteArray, bytes);
    CFPropertyListFormat format = 7;
    CFErrorRef error = nullptr;
    CFDataRef data = dataOf(bytes);
    QVERIFY(!CFPropertyListCreateWithData(nullptr, data, 0, &format, &error));
    QCOMPARE(format, CFPropertyListFormat(7));
    CFRelease(data);
}

QTEST_GUILESS_MAIN(TestCoreFoundation)
#include "tst_corefoundation.moc"
