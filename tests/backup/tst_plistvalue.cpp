#include "backup/plistvalue.h"
#include "support/binaryplist.h"

#include <QtTest>

using namespace binaryplist;

namespace {

const QByteArray kXmlDict = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<plist version=\"1.0\"><dict>"
                            "<key>Name</key><string>Ann \xC3\xA9</string>"
                            "<key>Count</key><integer>7</integer>"
                            "<key>Blob</key><data>AAEC</data>"
                            "<key>When</key><date>2001-01-02T00:00:00Z</date>"
                            "<key>List</key><array><string>a</string><true/></array>"
                            "</dict></plist>";

} // namespace

class tst_PlistValue : public QObject
{
    Q_OBJECT

private slots:
    void parsesXmlAndBinaryAlike()
    {
        const PlistValue xml = PlistValue::fromData(kXmlDict);
        QVERIFY(xml.isDict());
        const PlistValue bin = PlistValue::fromData(xml.toBinary());
        QVERIFY(bin.toBinary().startsWith("bplist00"));
        for (const PlistValue &v : { xml, bin }) {
            QCOMPARE(v.item("Name").toString(), QString::fromUtf8("Ann \xC3\xA9"));
            QCOMPARE(v.item("Count").toUInt64(), quint64(7));
            QCOMPARE(v.item("Blob").toByteArray(), QByteArray("\x00\x01\x02", 3));
            QCOMPARE(v.item("When").toDateTime().toUTC(),
                QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
            QCOMPARE(v.item("List").arraySize(), 2);
            QVERIFY(v.item("List").arrayItem(1).toBool());
        }
    }

    void unparsableBytesGiveNull_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("bplist00 alone") << QByteArray("bplist00");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("not a property list at all");
        QTest::newRow("cut binary") << QByteArray("bplist00\xD1\x01\x02", 11);
        QTest::newRow("cut xml") << kXmlDict.left(80);
    }
    void unparsableBytesGiveNull()
    {
        QFETCH(QByteArray, bytes);
        const PlistValue v = PlistValue::fromData(bytes);
        QVERIFY(!v.isDict());
        if (bytes.size() <= 8)
            QVERIFY(v.isNull());
    }

    void binaryListsKeepExactValues_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("valueText");
        QTest::newRow("plain") << ascii("k") << ascii("v") << "k"
                               << "v";
        QTest::newRow("zero in UTF-16 value") << ascii("k") << utf16("x\0y", 3) << "k"
                                              << "x";
        QTest::newRow("zero in UTF-16 key") << utf16("a\0b", 3) << ascii("v") << "a"
                                            << "v";
        QTest::newRow("zero first") << utf16("\0a", 2) << utf16("\0b", 2) << ""
                                    << "";
        const QByteArray longText = QByteArray(20, 'l') + QByteArray(1, '\0') + "tail";
        QTest::newRow("zero in long UTF-16 string")
            << ascii("k") << utf16(longText.constData(), longText.size()) << "k"
            << QString(20, QLatin1Char('l'));
        QTest::newRow("zero in ASCII string") << ascii(QByteArray("a\0b", 3)) << ascii("v") << "a"
                                              << "v";
    }
    void binaryListsKeepExactValues()
    {
        // libplist aborts on U+0000 inside UTF-16 strings, and the way around it must not cost
        // the fractions of a second of dates or the precision of reals.
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(QString, keyText);
        QFETCH(QString, valueText);
        const QByteArray bin = dictionary(
            { { key, value }, { ascii("When"), date(86400.25) }, { ascii("Ratio"), real(0.1) } });
        const PlistValue v = PlistValue::fromData(bin);
        QVERIFY(v.isDict());
        const QMap<QString, PlistValue> map = v.toMap();
        QCOMPARE(map.size(), 3);
        QVERIFY(map.contains(keyText));
        QCOMPARE(map.value(keyText).toString(), valueText);
        QCOMPARE(v.item("When").toDateTime().toUTC(),
            QDateTime(QDate(2001, 1, 2), QTime(0, 0, 0, 250), Qt::UTC));
        QCOMPARE(v.item("Ratio").toDouble(), 0.1);
    }

    void listsTheScanCannotFollowStillDoNotAbort()
    {
        // libplist reads 3-byte offsets its own way; such a list goes the safe road.
        const QByteArray bin
            = list({ QByteArray("\xD1\x01\x02", 3), utf16("a\0b", 3), utf16("x\0y", 3) }, 3);
        const QMap<QString, PlistValue> map = PlistValue::fromData(bin).toMap();
        QCOMPARE(map.size(), 1);
        for (const PlistValue &value : map)
            QVERIFY(value.toString().startsWith(QLatin1Char('x')));
    }

    void wrongTypeGivesEmptyValue()
    {
        const PlistValue v = PlistValue::fromData(kXmlDict);
        QVERIFY(v.item("Missing").isNull());
        QCOMPARE(v.item("Missing").toString(), QString());
        QCOMPARE(v.item("Count").toString(), QString());
        QCOMPARE(v.item("Name").toUInt64(), quint64(0));
        QVERIFY(v.item("Name").toByteArray().isNull());
        QVERIFY(!v.item("Name").toDateTime().isValid());
        QVERIFY(v.item("Name").item("x").isNull());
        QVERIFY(v.item("List").arrayItem(5).isNull());
        QVERIFY(v.item("List").arrayItem(-1).isNull());
    }

    void datesCountFrom2001()
    {
        const PlistValue half(plist_new_date(0, 500000), true);
        QCOMPARE(
            half.toDateTime().toUTC(), QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 500), Qt::UTC));
        const PlistValue day
            = PlistValue::fromDateTime(QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
        int32_t sec = -1, usec = -1;
        plist_get_date_val(day.node(), &sec, &usec);
        QCOMPARE(sec, 86400);
        QCOMPARE(usec, 0);
    }

    void setItemReplacesAndMovesToEnd()
    {
        PlistValue dict = PlistValue::newDict();
        dict.setItem("a", PlistValue::fromUInt64(1));
        dict.setItem("b", PlistValue::fromUInt64(2));
        dict.setItem("a", PlistValue::fromUInt64(3));
        QCOMPARE(dict.dictSize(), 2);
        QCOMPARE(dict.item("a").toUInt64(), quint64(3));
        const QString xml = dict.toXml();
        QVERIFY(xml.indexOf("<key>b</key>") < xml.indexOf("<key>a</key>"));
    }

    void childOutlivesItsRoot()
    {
        PlistValue name;
        PlistValue list;
        {
            const PlistValue root = PlistValue::fromData(kXmlDict);
            name = root.item("Name");
            list = root.item("List");
        }
        // The children still hold the tree they point into.
        QCOMPARE(name.toString(), QString::fromUtf8("Ann \xC3\xA9"));
        QCOMPARE(list.arrayItem(0).toString(), QStringLiteral("a"));
    }

    void insertedValueBelongsToContainer()
    {
        PlistValue inner = PlistValue::fromString("kept");
        {
            PlistValue array = PlistValue::newArray();
            array.arrayAppend(inner);
            QCOMPARE(array.arraySize(), 1);
        }
        // Still usable after the container's last handle went away.
        QCOMPARE(inner.toString(), QStringLiteral("kept"));

        PlistValue dict = PlistValue::newDict();
        {
            PlistValue child = PlistValue::fromUInt64(9);
            dict.setItem("n", child);
        }
        QCOMPARE(dict.item("n").toUInt64(), quint64(9));
    }

    void insertingANodeTwiceCopiesIt()
    {
        PlistValue a = PlistValue::newDict();
        PlistValue b = PlistValue::newDict();
        PlistValue v = PlistValue::fromString("x");
        a.setItem("k", v);
        b.setItem("k", a.item("k")); // already in a's tree
        a.setItem("self", a); // would make a cycle
        QCOMPARE(b.item("k").toString(), QStringLiteral("x"));
        QVERIFY(a.item("self").isDict());
    }

    void toMapGivesIndependentCopies()
    {
        QMap<QString, PlistValue> map;
        {
            const PlistValue root = PlistValue::fromData(kXmlDict);
            map = root.toMap();
        }
        QCOMPARE(map.keys(), QStringList({ "Blob", "Count", "List", "Name", "When" }));
        QCOMPARE(map.value("Count").toUInt64(), quint64(7));
    }

    void keysAndScalars()
    {
        const PlistValue key = PlistValue::fromKey("Lockdown");
        QVERIFY(key.isKey());
        QCOMPARE(key.keyString(), QStringLiteral("Lockdown"));
        QVERIFY(PlistValue::fromDouble(2.5).isReal());
        QCOMPARE(PlistValue::fromDouble(2.5).toDouble(), 2.5);
        QVERIFY(PlistValue().isNull());
        QVERIFY(PlistValue().toXml().isEmpty());
        const PlistValue copy = PlistValue::copy(PlistValue::fromString("c"));
        QCOMPARE(copy.toString(), QStringLiteral("c"));
    }

    void booleanRootSerialisesAsDocument()
    {
        const QString xml = PlistValue::fromBool(true).toXml();
        QVERIFY(xml.contains("<plist"));
        QVERIFY(xml.contains("<true/>"));
        QVERIFY(PlistValue::fromData(xml.toUtf8()).toBool());
    }

    void freeNodeClearsTheValue()
    {
        PlistValue v = PlistValue::fromString("gone");
        v.freeNode();
        QVERIFY(v.isNull());
        v.freeNode();
    }

    // Values held into a part of a tree that goes away become null instead of dangling.
    void heldValuesOfAFreedPartBecomeNull_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("entriesLeft");
        QTest::newRow("entry replaced") << "replace" << 5;
        QTest::newRow("entry freed") << "free entry" << 4;
        QTest::newRow("array item freed") << "free item" << 5;
        QTest::newRow("root freed") << "free root" << 0;
        QTest::newRow("inserted tree replaced") << "replace inserted" << 6;
    }
    void heldValuesOfAFreedPartBecomeNull()
    {
        QFETCH(QString, action);
        QFETCH(int, entriesLeft);
        PlistValue root = PlistValue::fromData(kXmlDict);
        PlistValue list = root.item("List");
        PlistValue first = list.arrayItem(0);
        const PlistValue name = root.item("Name");
        PlistValue inner = PlistValue::fromData(kXmlDict);
        const PlistValue innerName = inner.item("Name");
        if (action == "replace") {
            root.setItem("List", PlistValue::fromString("new"));
        } else if (action == "free entry") {
            list.freeNode();
        } else if (action == "free item") {
            first.freeNode();
            QCOMPARE(list.arraySize(), 1);
            QVERIFY(list.arrayItem(0).toBool());
        } else if (action == "free root") {
            root.freeNode();
        } else {
            root.setItem("Inner", inner);
            QCOMPARE(innerName.toString(), QString::fromUtf8("Ann \xC3\xA9"));
            root.setItem("Inner", PlistValue::fromString("new"));
            QVERIFY(!innerName.node());
            QVERIFY(!inner.node());
        }
        const bool listGone = action != "free item" && action != "replace inserted";
        QCOMPARE(first.node() == nullptr, action != "replace inserted");
        QCOMPARE(list.node() == nullptr, listGone);
        QCOMPARE(root.dictSize(), entriesLeft);
        if (action != "free root")
            QCOMPARE(name.toString(), QString::fromUtf8("Ann \xC3\xA9"));
        // The rest of the tree is whole: it serialises and frees cleanly.
        QCOMPARE(PlistValue::fromData(root.toBinary()).dictSize(), entriesLeft);
    }
};

QTEST_GUILESS_MAIN(tst_PlistValue)
#include "tst_plistvalue.moc"
