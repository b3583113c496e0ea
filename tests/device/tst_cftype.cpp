// The CoreFoundation value type over our CoreFoundation, loaded by name as the program
// loads it: conversions, containers, property lists and ownership, with no object left
// alive after any test.
#include "device/cftype.h"
#include "support/devicelibraries.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>

class TestCFType : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void nullValueHasDefaultsEverywhere();
    void integerSizesKeepTheirValues_data();
    void integerSizesKeepTheirValues();
    void lossyReadsGiveTheDefault();
    void booleansReadAsOneByte();
    void stringsRoundTripUtf8_data();
    void stringsRoundTripUtf8();
    void dataRoundTrips();
    void toTextWritesEachScalar();
    void datesRoundTripThroughFields_data();
    void datesRoundTripThroughFields();
    void datesReadInOtherZones();
    void nonDatesGiveInvalidDateTimes();
    void dictionariesTakeAnyKey();
    void containersIgnoreWrongOperations();
    void arraysGiveNullPastTheirEnd();
    void borrowedValuesKeepTheirContainerAlive();
    void ownedValuesAreReleasedOnceAfterTheLastCopy();
    void propertyListsReadTheSameInBothFormats();
    void propertyListFilesAndCopies();
    void unreadablePropertyListsGiveNull();

private:
    QTemporaryDir m_dir;
};

void TestCFType::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
}

void TestCFType::cleanup()
{
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

void TestCFType::nullValueHasDefaultsEverywhere()
{
    const CFType null;
    QCOMPARE(null.typeId(), MOBILEDEVICE_CF(CFNullGetTypeID)());
    QVERIFY(!null.isNumber() && !null.isBoolean() && !null.isString() && !null.isData());
    QVERIFY(!null.isDate() && !null.isDictionary() && !null.isArray());
    QCOMPARE(null.toInt(7), 7);
    QCOMPARE(null.toLongLong(-8), qint64(-8));
    QCOMPARE(null.toBool(true), true);
    QCOMPARE(null.toString(), QString());
    QCOMPARE(null.toText(), QString());
    QCOMPARE(null.dictionaryCount(), CFIndex(0));
    QVERIFY(null.value(QStringLiteral("any")).isNull());
    QVERIFY(null.keys().isEmpty());
    QVERIFY(CFType::toPlistBytes(null, CFType::XmlFormat).isEmpty());
}

void TestCFType::integerSizesKeepTheirValues_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("value");
    QTest::newRow("8-bit") << 8 << qint64(-128);
    QTest::newRow("16-bit") << 16 << qint64(32767);
    QTest::newRow("32-bit") << 32 << qint64(std::numeric_limits<qint32>::min());
    QTest::newRow("64-bit") << 64 << std::numeric_limits<qint64>::max();
    QTest::newRow("index") << 0 << qint64(-1);
}

void TestCFType::integerSizesKeepTheirValues()
{
    QFETCH(int, size);
    QFETCH(qint64, value);
    CFType number;
    switch (size) {
    case 8:
        number = CFType::fromNumber(qint8(value));
        break;
    case 16:
        number = CFType::fromNumber(qint16(value));
        break;
    case 32:
        number = CFType::fromNumber(qint32(value));
        break;
    case 64:
        number = CFType::fromNumber(qint64(value));
        break;
    default:
        number = CFType::fromNumber(long(value));
        break;
    }
    QVERIFY(number.isNumber());
    QCOMPARE(number.toLongLong(), value);
    QCOMPARE(number.toText(), QString::number(value));
    const bool fitsInt
        = value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
    QCOMPARE(number.toInt(99), fitsInt ? int(value) : 99);
}

void TestCFType::lossyReadsGiveTheDefault()
{
    QCOMPARE(CFType::fromNumber(qint64(1) << 40).toInt(-1), -1);
    QCOMPARE(CFType::fromNumber(2.5).toInt(-1), -1);
    QCOMPARE(CFType::fromNumber(2.5).toLongLong(-1), qint64(-1));
    QCOMPARE(CFType::fromNumber(3.0).toInt(-1), 3);
    QCOMPARE(CFType::fromNumber(1.5f).toDouble(0), 1.5);
    QCOMPARE(CFType::fromString(QStringLiteral("12")).toInt(-1), -1);
}

void TestCFType::booleansReadAsOneByte()
{
    QVERIFY(CFType::fromBool(true).isBoolean());
    QVERIFY(!CFType::fromBool(true).isNumber());
    QCOMPARE(CFType::fromBool(true).toBool(false), true);
    QCOMPARE(CFType::fromBool(false).toBool(true), false);
    QCOMPARE(CFType::fromNumber(qint32(1)).toBool(false), false);
}

void TestCFType::stringsRoundTripUtf8_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("length");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("ascii") << QStringLiteral("UniqueDeviceID") << 14;
    QTest::newRow("accents") << QStringLiteral("Jo\u00e9l\u00e8") << 5;
    QTest::newRow("four-byte emoji")
        << QString::fromUtf8("hi \xf0\x9f\x98\x80\xf0\x9f\x91\x8d") << 7;
    QTest::newRow("han") << QString::fromUtf8("\xe4\xbd\xa0\xe5\xa5\xbd") << 2;
}

void TestCFType::stringsRoundTripUtf8()
{
    QFETCH(QString, text);
    QFETCH(int, length);
    const CFType string = CFType::fromString(text);
    QVERIFY(string.isString());
    QCOMPARE(string.stringLength(), CFIndex(length));
    QCOMPARE(string.toString(), text);
    QCOMPARE(string.toText(), text);
    QCOMPARE(string.dataLength(), CFIndex(0));
}

void TestCFType::dataRoundTrips()
{
    const QByteArray bytes("\x00\x01\xfe\xff", 4);
    const CFType data = CFType::fromData(bytes);
    QVERIFY(data.isData());
    QCOMPARE(data.dataLength(), CFIndex(4));
    QCOMPARE(data.toByteArray(), bytes);
    const CFType empty = CFType::fromData(QByteArray());
    QVERIFY(empty.isData());
    QVERIFY(empty.toByteArray().isEmpty());
    QCOMPARE(CFType::fromData("caf\xc3\xa9").toText(), QStringLiteral("caf\u00e9"));
}

// The values are made here rather than in rows: they must be gone before cleanup().
void TestCFType::toTextWritesEachScalar()
{
    const QList<QPair<CFType, QString>> cases {
        { CFType::fromBool(true), QStringLiteral("1") },
        { CFType::fromBool(false), QStringLiteral("0") },
        { CFType::fromNumber(2.5), QStringLiteral("2.5") },
        { CFType::fromNumber(1e20), QStringLiteral("1e+20") },
        { CFType::fromNumber(float(0.25)), QStringLiteral("0.25") },
        { CFType::fromNumber(qint64(1) << 40), QStringLiteral("1099511627776") },
        { CFType::fromNumber(qint8(-3)), QStringLiteral("-3") },
        { CFType::fromDateTime(QDateTime(QDate(2013, 5, 6), QTime(7, 8, 9))),
            QDateTime(QDate(2013, 5, 6), QTime(7, 8, 9)).toString() },
        { CFType::newArray(), QString() },
    };
    for (const auto &entry : cases)
        QCOMPARE(entry.first.toText(), entry.second);
}

void TestCFType::datesRoundTripThroughFields_data()
{
    QTest::addColumn<QDateTime>("dateTime");
    QTest::newRow("reference date") << QDateTime(QDate(2001, 1, 1), QTime(0, 0));
    QTest::newRow("before 2001") << QDateTime(QDate(1986, 10, 3), QTime(23, 59, 58));
    QTest::newRow("unix epoch") << QDateTime(QDate(1970, 1, 1), QTime(0, 0, 1));
    QTest::newRow("leap day") << QDateTime(QDate(2012, 2, 29), QTime(12, 30, 45));
}

void TestCFType::datesRoundTripThroughFields()
{
    QFETCH(QDateTime, dateTime);
    const CFType date = CFType::fromDateTime(dateTime.addMSecs(999));
    QVERIFY(date.isDate());
    // Milliseconds are dropped; the fields come back as they went in.
    QCOMPARE(date.toDateTime(), dateTime);
    QCOMPARE(date.toDateTime(QString()), dateTime);
    const qint64 seconds = dateTime.date().toJulianDay() * 86400
        - QDate(2001, 1, 1).toJulianDay() * 86400 + QTime(0, 0).secsTo(dateTime.time());
    QCOMPARE(MOBILEDEVICE_CF(CFDateGetAbsoluteTime)(static_cast<CFDateRef>(date.ref())),
        double(seconds));
}

void TestCFType::datesReadInOtherZones()
{
    const CFType date = CFType::fromDateTime(QDateTime(QDate(2013, 7, 1), QTime(12, 0)));
    QCOMPARE(date.toDateTime(QStringLiteral("Europe/Paris")).time(), QTime(14, 0));
    QCOMPARE(date.toDateTime(QStringLiteral("America/New_York")).time(), QTime(8, 0));
    QCOMPARE(date.toDateTime(qint32(-3600)).time(), QTime(11, 0));
    QCOMPARE(date.toDateTime(qint32(5 * 3600 + 1800)).time(), QTime(17, 30));
    // An unknown zone is no zone: GMT.
    QCOMPARE(date.toDateTime(QStringLiteral("Nowhere/Else")).time(), QTime(12, 0));
    QCOMPARE(date.toDateTime().timeSpec(), Qt::LocalTime);
}

void TestCFType::nonDatesGiveInvalidDateTimes()
{
    QVERIFY(!CFType::fromString(QStringLiteral("2013-07-01")).toDateTime().isValid());
    QVERIFY(!CFType().toDateTime(QStringLiteral("Europe/Paris")).isValid());
    QVERIFY(!CFType::fromNumber(qint32(5)).toDateTime(qint32(0)).isValid());
    QVERIFY(CFType::fromDateTime(QDateTime()).isNull());
}

void TestCFType::dictionariesTakeAnyKey()
{
    CFType dictionary = CFType::newDictionary();
    dictionary
        .setValue(
            CFType::fromString(QStringLiteral("name")), CFType::fromString(QStringLiteral("Jo")))
        .setValue(CFType::fromNumber(qint32(7)), CFType::fromString(QStringLiteral("seven")))
        .setValue(
            CFType::fromString(QStringLiteral("name")), CFType::fromString(QStringLiteral("Al")));
    QCOMPARE(dictionary.dictionaryCount(), CFIndex(2));
    QCOMPARE(dictionary.value(QStringLiteral("name")).toString(), QStringLiteral("Al"));
    // Keys compare by value: another number object with the same value finds the entry.
    QCOMPARE(dictionary.value(CFType::fromNumber(qint64(7))).toString(), QStringLiteral("seven"));
    QVERIFY(dictionary.value(QStringLiteral("absent")).isNull());
    const QList<CFType> keys = dictionary.keys();
    QCOMPARE(keys.size(), 2);
    QCOMPARE(keys.at(0).toString(), QStringLiteral("name"));
    QCOMPARE(keys.at(1).toInt(), 7);
    // A property list holds only text keys.
    QVERIFY(CFType::toPlist(dictionary, CFType::BinaryFormat).isNull());
}

void TestCFType::containersIgnoreWrongOperations()
{
    CFType text = CFType::fromString(QStringLiteral("x"));
    text.setValue(CFType::fromString(QStringLiteral("k")), CFType::fromBool(true));
    text.append(CFType::fromBool(true));
    QCOMPARE(text.toString(), QStringLiteral("x"));
    CFType array = CFType::newArray();
    array.setValue(CFType::fromString(QStringLiteral("k")), CFType::fromBool(true));
    QCOMPARE(array.arrayCount(), CFIndex(0));
    CFType dictionary = CFType::newDictionary();
    dictionary.append(CFType::fromBool(true));
    QCOMPARE(dictionary.dictionaryCount(), CFIndex(0));
    QVERIFY(dictionary.at(0).isNull());
}

void TestCFType::arraysGiveNullPastTheirEnd()
{
    CFType array = CFType::newArray();
    array.append(CFType::fromString(QStringLiteral("a"))).append(CFType::fromNumber(qint32(2)));
    QCOMPARE(array.arrayCount(), CFIndex(2));
    QCOMPARE(array.at(0).toString(), QStringLiteral("a"));
    QCOMPARE(array.at(1).toInt(), 2);
    QVERIFY(array.at(2).isNull());
    QVERIFY(array.at(-1).isNull());
    QVERIFY(array.at(std::numeric_limits<int>::max()).isNull());
}

void TestCFType::borrowedValuesKeepTheirContainerAlive()
{
    CFType inner;
    CFType key;
    {
        CFType outer = CFType::fromPlistBytes(
            "<plist version=\"1.0\"><dict><key>list</key><array><string>kept</string>"
            "</array></dict></plist>");
        QVERIFY(outer.isDictionary());
        inner = outer.value(QStringLiteral("list")).at(0);
        key = outer.keys().value(0);
    }
    // The parsed tree is gone as far as its wrapper is concerned, but not what was borrowed.
    QCOMPARE(inner.toString(), QStringLiteral("kept"));
    QCOMPARE(key.toString(), QStringLiteral("list"));
    QVERIFY(devicetest::liveObjects() > 0);
    inner = CFType();
    key = CFType();
}

void TestCFType::ownedValuesAreReleasedOnceAfterTheLastCopy()
{
    CFType first = CFType::fromString(QStringLiteral("shared"));
    const CFTypeRef ref = first.ref();
    {
        const CFType second = first;
        const CFType third(second);
        QCOMPARE(MOBILEDEVICE_CF(CFGetRetainCount)(ref), CFIndex(1));
    }
    QCOMPARE(devicetest::liveObjects(), CFIndex(1));
    // A borrowed wrapper of the same object releases nothing.
    {
        const CFType borrowed(ref, false);
    }
    QCOMPARE(MOBILEDEVICE_CF(CFGetRetainCount)(ref), CFIndex(1));
    first = CFType();
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
    {
        const CFType boolean = CFType::fromBool(true);
    }
    QVERIFY(CFType::fromBool(true).toBool());
}

void TestCFType::propertyListsReadTheSameInBothFormats()
{
    CFType message = CFType::newDictionary();
    CFType list = CFType::newArray();
    list.append(CFType::fromString(QString::fromUtf8("\xf0\x9f\x98\x80")))
        .append(CFType::fromData(QByteArray()))
        .append(CFType::fromString(QString()))
        .append(CFType::fromDateTime(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59))));
    message.setValue(CFType::fromString(QStringLiteral("Items")), list)
        .setValue(CFType::fromString(QStringLiteral("Count")), CFType::fromNumber(qint64(-4)));
    const QByteArray xml = CFType::toPlistBytes(message, CFType::XmlFormat);
    const QByteArray binary = CFType::toPlistBytes(message, CFType::BinaryFormat);
    QVERIFY(xml.startsWith("<?xml"));
    QVERIFY(binary.startsWith("bplist00"));
    const CFType fromXml = CFType::fromPlistBytes(xml);
    const CFType fromBinary = CFType::fromPlistBytes(binary);
    QVERIFY(MOBILEDEVICE_CF(CFEqual)(fromXml.ref(), fromBinary.ref()));
    QVERIFY(MOBILEDEVICE_CF(CFEqual)(fromXml.ref(), message.ref()));
    QCOMPARE(fromBinary.value(QStringLiteral("Count")).toInt(), -4);
    QCOMPARE(fromBinary.value(QStringLiteral("Items")).at(3).toDateTime(),
        QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)));
}

void TestCFType::propertyListFilesAndCopies()
{
    QVERIFY(CFType::fromPlistFile(m_dir.filePath("missing.plist")).isNull());
    CFType original = CFType::newArray();
    original.append(CFType::fromString(QStringLiteral("one")));
    QFile file(m_dir.filePath("list.plist"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(CFType::toPlistBytes(original, CFType::BinaryFormat));
    file.close();
    const CFType read = CFType::fromPlistFile(file.fileName());
    QCOMPARE(read.at(0).toString(), QStringLiteral("one"));
    const CFType copy = CFType::deepCopy(original);
    QVERIFY(copy.ref() != original.ref());
    QVERIFY(MOBILEDEVICE_CF(CFEqual)(copy.ref(), original.ref()));
    QVERIFY(CFType::deepCopy(CFType()).isNull());
}

void TestCFType::unreadablePropertyListsGiveNull()
{
    QVERIFY(CFType::fromPlistBytes(QByteArray()).isNull());
    QVERIFY(CFType::fromPlistBytes("not a property list").isNull());
    QVERIFY(CFType::fromPlistBytes("bplist00").isNull());
}

QTEST_GUILESS_MAIN(TestCFType)
#include "tst_cftype.moc"
