// The value type over one CoreFoundation object: device values, service messages and
// property lists, converted to and from texts, numbers, dates, bytes and containers.
#pragma once

#include "platform/corefoundation/corefoundation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSharedPointer>
#include <QString>

// The record all copies of one value share. Releases an owned reference once, when the
// last copy goes; a borrowed reference keeps the holder of its container alive instead.
class CFRefHolder
{
public:
    CFRefHolder(CFTypeRef ref, bool owned, QSharedPointer<CFRefHolder> container = {});
    ~CFRefHolder();
    CFRefHolder(const CFRefHolder &) = delete;
    CFRefHolder &operator=(const CFRefHolder &) = delete;

    CFTypeRef ref() const { return m_ref; }
    bool owned() const { return m_owned; }

private:
    void release();

    CFTypeRef m_ref;
    bool m_owned;
    QSharedPointer<CFRefHolder> m_container;
};

class CFType
{
public:
    // The null value.
    CFType();
    CFType(CFTypeRef ref, bool owned);
    virtual ~CFType();
    CFType(const CFType &) = default;
    CFType &operator=(const CFType &) = default;

    CFTypeRef ref() const;
    CFTypeID typeId() const;
    bool isNull() const { return ref() == nullptr; }
    bool isNumber() const;
    bool isBoolean() const;
    bool isString() const;
    bool isData() const;
    bool isDate() const;
    bool isDictionary() const;
    bool isArray() const;

    int toInt(int defaultValue = 0) const;
    qint64 toLongLong(qint64 defaultValue = 0) const;
    double toDouble(double defaultValue = 0) const;
    bool toBool(bool defaultValue = false) const;
    CFIndex stringLength() const;
    QString toString() const;
    CFIndex dataLength() const;
    QByteArray toByteArray() const;
    // Calendar fields of the zone (null: GMT), labelled as local time.
    QDateTime toDateTime(CFTimeZoneRef zone = nullptr) const;
    QDateTime toDateTime(qint32 offsetFromGmt) const;
    QDateTime toDateTime(const QString &zoneName) const;
    QString toText() const;

    CFIndex dictionaryCount() const;
    CFIndex arrayCount() const;
    // Borrowed values: each keeps this container alive for as long as it is kept.
    CFType value(const CFType &key) const;
    CFType value(const QString &key) const;
    // Null when not an array or the index is outside it.
    CFType at(int index) const;
    QList<CFType> keys() const;
    CFType &setValue(const CFType &key, const CFType &value);
    CFType &append(const CFType &item);

    static CFType fromBool(bool value);
    static CFType fromNumber(qint8 value);
    static CFType fromNumber(qint16 value);
    static CFType fromNumber(qint32 value);
    static CFType fromNumber(qint64 value);
    static CFType fromNumber(float value);
    static CFType fromNumber(double value);
    static CFType fromNumber(long value);
    static CFType fromString(const QString &text);
    static CFType fromData(const QByteArray &bytes);
    static CFType fromDateTime(const QDateTime &dateTime);
    static CFType newDictionary();
    static CFType newArray();

    enum PlistFormat { XmlFormat = 100, BinaryFormat = 200 };
    static CFType toPlist(const CFType &value, int format);
    static QByteArray toPlistBytes(const CFType &value, int format);
    static CFType fromPlistBytes(const QByteArray &bytes);
    static CFType deepCopy(const CFType &value);
    static CFType fromPlistFile(const QString &path);

private:
    CFType(CFTypeRef ref, bool owned, const QSharedPointer<CFRefHolder> &container);
    bool typeIs(CFTypeID type) const;

    QSharedPointer<CFRefHolder> holder;
    // By the address of the key's holder: the key's and the value's holder.
    QMap<const CFRefHolder *, QPair<QSharedPointer<CFRefHolder>, QSharedPointer<CFRefHolder>>>
        keptEntries;
    QList<QSharedPointer<CFRefHolder>> keptItems;
};
