#include "cftype.h"

#include "mobiledevice.h"

#include <QFile>
#include <QTimeZone>

#include <cmath>
#include <exception>
#include <vector>

namespace {

// The callback records of mutable containers, resolved once for the life of the process.
struct ContainerCallbacks
{
    const CFDictionaryKeyCallBacks *dictionaryKeys;
    const CFDictionaryValueCallBacks *dictionaryValues;
    const CFArrayCallBacks *arrayItems;
};

const ContainerCallbacks &containerCallbacks()
{
    static const ContainerCallbacks callbacks {
        static_cast<const CFDictionaryKeyCallBacks *>(
            mobiledevice_require_cf("kCFTypeDictionaryKeyCallBacks")),
        static_cast<const CFDictionaryValueCallBacks *>(
            mobiledevice_require_cf("kCFTypeDictionaryValueCallBacks")),
        static_cast<const CFArrayCallBacks *>(mobiledevice_require_cf("kCFTypeArrayCallBacks")),
    };
    return callbacks;
}

template <typename T> CFType numberOf(CFNumberType type, T value)
{
    return CFType(MOBILEDEVICE_CF(CFNumberCreate)(nullptr, type, &value), true);
}

} // namespace

CFRefHolder::CFRefHolder(CFTypeRef ref, bool owned, QSharedPointer<CFRefHolder> container)
    : m_ref(ref)
    , m_owned(owned)
    , m_container(std::move(container))
{
}

CFRefHolder::~CFRefHolder()
{
    release();
}

void CFRefHolder::release()
{
    if (!m_ref || !m_owned)
        return;
    // A destructor must not throw: without CFRelease the object is left alone.
    try {
        MOBILEDEVICE_CF(CFRelease)(m_ref);
    } catch (const std::exception &) {
    }
    m_ref = nullptr;
}

CFType::CFType()
    : CFType(nullptr, true)
{
}

CFType::CFType(CFTypeRef ref, bool owned)
    : holder(QSharedPointer<CFRefHolder>::create(ref, owned))
{
}

CFType::CFType(CFTypeRef ref, bool owned, const QSharedPointer<CFRefHolder> &container)
    : holder(QSharedPointer<CFRefHolder>::create(ref, owned, container))
{
}

CFType::~CFType() = default;

CFTypeRef CFType::ref() const
{
    return holder ? holder->ref() : nullptr;
}

CFTypeID CFType::typeId() const
{
    const CFTypeRef object = ref();
    return object ? MOBILEDEVICE_CF(CFGetTypeID)(object) : MOBILEDEVICE_CF(CFNullGetTypeID)();
}

bool CFType::typeIs(CFTypeID type) const
{
    return ref() && MOBILEDEVICE_CF(CFGetTypeID)(ref()) == type;
}

bool CFType::isNumber() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFNumberGetTypeID)());
}

bool CFType::isBoolean() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFBooleanGetTypeID)());
}

bool CFType::isString() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFStringGetTypeID)());
}

bool CFType::isData() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFDataGetTypeID)());
}

bool CFType::isDate() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFDateGetTypeID)());
}

bool CFType::isDictionary() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFDictionaryGetTypeID)());
}

bool CFType::isArray() const
{
    return ref() && typeIs(MOBILEDEVICE_CF(CFArrayGetTypeID)());
}

int CFType::toInt(int defaultValue) const
{
    qint32 value = 0;
    if (isNumber()
        && MOBILEDEVICE_CF(CFNumberGetValue)(
            static_cast<CFNumberRef>(ref()), kCFNumberSInt32Type, &value))
        return value;
    return defaultValue;
}

qint64 CFType::toLongLong(qint64 defaultValue) const
{
    qint64 value = 0;
    if (isNumber()
        && MOBILEDEVICE_CF(CFNumberGetValue)(
            static_cast<CFNumberRef>(ref()), kCFNumberSInt64Type, &value))
        return value;
    return defaultValue;
}

double CFType::toDouble(double defaultValue) const
{
    double value = 0;
    if (isNumber()
        && MOBILEDEVICE_CF(CFNumberGetValue)(
            static_cast<CFNumberRef>(ref()), kCFNumberFloat64Type, &value))
        return value;
    return defaultValue;
}

bool CFType::toBool(bool defaultValue) const
{
    if (!isBoolean())
        return defaultValue;
    // One byte, preset to the default, filled with 0 or 1.
    qint8 value = defaultValue ? 1 : 0;
    MOBILEDEVICE_CF(CFNumberGetValue)(static_cast<CFNumberRef>(ref()), kCFNumberSInt8Type, &value);
    return value != 0;
}

CFIndex CFType::stringLength() const
{
    return isString() ? MOBILEDEVICE_CF(CFStringGetLength)(static_cast<CFStringRef>(ref())) : 0;
}

QString CFType::toString() const
{
    if (!isString())
        return QString();
    const auto string = static_cast<CFStringRef>(ref());
    const CFRange all { 0, MOBILEDEVICE_CF(CFStringGetLength)(string) };
    const auto getBytes = MOBILEDEVICE_CF(CFStringGetBytes);
    CFIndex needed = 0;
    if (getBytes(string, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &needed) == 0)
        return QString();
    QByteArray bytes(static_cast<int>(needed), '\0');
    CFIndex used = 0;
    if (getBytes(string, all, kCFStringEncodingUTF8, '?', false,
            reinterpret_cast<UInt8 *>(bytes.data()), needed, &used)
        == 0)
        return QString();
    bytes.truncate(static_cast<int>(used));
    return QString::fromUtf8(bytes);
}

CFIndex CFType::dataLength() const
{
    return isData() ? MOBILEDEVICE_CF(CFDataGetLength)(static_cast<CFDataRef>(ref())) : 0;
}

QByteArray CFType::toByteArray() const
{
    const CFIndex length = dataLength();
    if (length <= 0)
        return QByteArray();
    QByteArray bytes(static_cast<int>(length), '\0');
    MOBILEDEVICE_CF(CFDataGetBytes)
    (static_cast<CFDataRef>(ref()), CFRange { 0, length }, reinterpret_cast<UInt8 *>(bytes.data()));
    return bytes;
}

QDateTime CFType::toDateTime(CFTimeZoneRef zone) const
{
    if (!isDate())
        return QDateTime();
    const CFAbsoluteTime at = MOBILEDEVICE_CF(CFDateGetAbsoluteTime)(static_cast<CFDateRef>(ref()));
    const CFGregorianDate date = MOBILEDEVICE_CF(CFAbsoluteTimeGetGregorianDate)(at, zone);
    return QDateTime(QDate(date.year, date.month, date.day),
        QTime(date.hour, date.minute, static_cast<int>(date.second), 0), Qt::LocalTime);
}

QDateTime CFType::toDateTime(qint32 offsetFromGmt) const
{
    if (!isDate())
        return QDateTime();
    const CFType zone(
        MOBILEDEVICE_CF(CFTimeZoneCreateWithTimeIntervalFromGMT)(nullptr, offsetFromGmt), true);
    return toDateTime(static_cast<CFTimeZoneRef>(zone.ref()));
}

QDateTime CFType::toDateTime(const QString &zoneName) const
{
    if (zoneName.isEmpty() || !isDate())
        return toDateTime(static_cast<CFTimeZoneRef>(nullptr));
    const CFType name = fromString(zoneName);
    const CFType zone(MOBILEDEVICE_CF(CFTimeZoneCreateWithName)(
                          nullptr, static_cast<CFStringRef>(name.ref()), true),
        true);
    return toDateTime(static_cast<CFTimeZoneRef>(zone.ref()));
}

QString CFType::toText() const
{
    if (isString())
        return toString();
    if (isNumber()) {
        switch (MOBILEDEVICE_CF(CFNumberGetType)(static_cast<CFNumberRef>(ref()))) {
        case kCFNumberFloat32Type:
        case kCFNumberFloat64Type:
        case kCFNumberFloatType:
        case kCFNumberDoubleType:
            return QString::number(toDouble(0), 'g', 6);
        case kCFNumberSInt64Type:
        case kCFNumberLongLongType:
            return QString::number(toLongLong(0));
        default:
            return QString::number(toInt(0));
        }
    }
    if (isBoolean())
        return toBool(false) ? QStringLiteral("1") : QStringLiteral("0");
    if (isDate())
        return toDateTime(static_cast<CFTimeZoneRef>(nullptr)).toString();
    if (isData())
        return QString::fromUtf8(toByteArray());
    return QString();
}

CFIndex CFType::dictionaryCount() const
{
    return isDictionary()
        ? MOBILEDEVICE_CF(CFDictionaryGetCount)(static_cast<CFDictionaryRef>(ref()))
        : 0;
}

CFIndex CFType::arrayCount() const
{
    return isArray() ? MOBILEDEVICE_CF(CFArrayGetCount)(static_cast<CFArrayRef>(ref())) : 0;
}

CFType CFType::value(const CFType &key) const
{
    if (!isDictionary())
        return CFType();
    const void *found
        = MOBILEDEVICE_CF(CFDictionaryGetValue)(static_cast<CFDictionaryRef>(ref()), key.ref());
    return found ? CFType(found, false, holder) : CFType();
}

CFType CFType::value(const QString &key) const
{
    if (!isDictionary())
        return CFType();
    return value(fromString(key));
}

CFType CFType::at(int index) const
{
    if (index < 0 || index >= arrayCount())
        return CFType();
    const void *item
        = MOBILEDEVICE_CF(CFArrayGetValueAtIndex)(static_cast<CFArrayRef>(ref()), index);
    return item ? CFType(item, false, holder) : CFType();
}

QList<CFType> CFType::keys() const
{
    QList<CFType> result;
    const CFIndex count = dictionaryCount();
    if (count <= 0)
        return result;
    std::vector<const void *> buffer(static_cast<size_t>(count), nullptr);
    MOBILEDEVICE_CF(CFDictionaryGetKeysAndValues)
    (static_cast<CFDictionaryRef>(ref()), buffer.data(), nullptr);
    for (const void *key : buffer)
        result.append(CFType(key, false, holder));
    return result;
}

CFType &CFType::setValue(const CFType &key, const CFType &value)
{
    if (!isDictionary())
        return *this;
    keptEntries[key.holder.data()] = qMakePair(key.holder, value.holder);
    MOBILEDEVICE_CF(CFDictionarySetValue)
    (const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(ref())), key.ref(),
        value.ref());
    return *this;
}

CFType &CFType::append(const CFType &item)
{
    if (!isArray())
        return *this;
    keptItems.append(item.holder);
    MOBILEDEVICE_CF(CFArrayAppendValue)
    (const_cast<CFMutableArrayRef>(static_cast<CFArrayRef>(ref())), item.ref());
    return *this;
}

CFType CFType::fromBool(bool value)
{
    const auto *symbol = static_cast<const CFBooleanRef *>(
        mobiledevice_require_cf(value ? "kCFBooleanTrue" : "kCFBooleanFalse"));
    return CFType(*symbol, false);
}

CFType CFType::fromNumber(qint8 value)
{
    return numberOf(kCFNumberSInt8Type, value);
}

CFType CFType::fromNumber(qint16 value)
{
    return numberOf(kCFNumberSInt16Type, value);
}

CFType CFType::fromNumber(qint32 value)
{
    return numberOf(kCFNumberSInt32Type, value);
}

CFType CFType::fromNumber(qint64 value)
{
    return numberOf(kCFNumberSInt64Type, value);
}

CFType CFType::fromNumber(float value)
{
    return numberOf(kCFNumberFloat32Type, value);
}

CFType CFType::fromNumber(double value)
{
    return numberOf(kCFNumberFloat64Type, value);
}

CFType CFType::fromNumber(long value)
{
    return numberOf(kCFNumberCFIndexType, value);
}

CFType CFType::fromString(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return CFType(MOBILEDEVICE_CF(CFStringCreateWithBytes)(nullptr,
                      reinterpret_cast<const UInt8 *>(bytes.constData()), bytes.size(),
                      kCFStringEncodingUTF8, false),
        true);
}

CFType CFType::fromData(const QByteArray &bytes)
{
    return CFType(MOBILEDEVICE_CF(CFDataCreate)(
                      nullptr, reinterpret_cast<const UInt8 *>(bytes.constData()), bytes.size()),
        true);
}

CFType CFType::fromDateTime(const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return CFType();
    // The fields as they stand, read as GMT; milliseconds are dropped.
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    CFGregorianDate fields {};
    fields.year = date.year();
    fields.month = static_cast<SInt8>(date.month());
    fields.day = static_cast<SInt8>(date.day());
    fields.hour = static_cast<SInt8>(time.hour());
    fields.minute = static_cast<SInt8>(time.minute());
    fields.second = time.second();
    const CFAbsoluteTime at = MOBILEDEVICE_CF(CFGregorianDateGetAbsoluteTime)(fields, nullptr);
    return CFType(MOBILEDEVICE_CF(CFDateCreate)(nullptr, at), true);
}

CFType CFType::newDictionary()
{
    const ContainerCallbacks &callbacks = containerCallbacks();
    return CFType(MOBILEDEVICE_CF(CFDictionaryCreateMutable)(
                      nullptr, 0, callbacks.dictionaryKeys, callbacks.dictionaryValues),
        true);
}

CFType CFType::newArray()
{
    return CFType(
        MOBILEDEVICE_CF(CFArrayCreateMutable)(nullptr, 0, containerCallbacks().arrayItems), true);
}

CFType CFType::toPlist(const CFType &value, int format)
{
    if (value.isNull())
        return CFType();
    CFErrorRef error = nullptr;
    return CFType(
        MOBILEDEVICE_CF(CFPropertyListCreateData)(nullptr, value.ref(), format, 0, &error), true);
}

QByteArray CFType::toPlistBytes(const CFType &value, int format)
{
    return toPlist(value, format).toByteArray();
}

CFType CFType::fromPlistBytes(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return CFType();
    const CFType data = fromData(bytes);
    CFPropertyListFormat format = 0;
    CFErrorRef error = nullptr;
    return CFType(MOBILEDEVICE_CF(CFPropertyListCreateWithData)(
                      nullptr, static_cast<CFDataRef>(data.ref()), 0, &format, &error),
        true);
}

CFType CFType::deepCopy(const CFType &value)
{
    return fromPlistBytes(toPlistBytes(value, XmlFormat));
}

CFType CFType::fromPlistFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CFType();
    return fromPlistBytes(file.readAll());
}
