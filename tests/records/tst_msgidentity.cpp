#include "records/msgidentity.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <climits>
#include <limits>
#include <memory>
#include <vector>

namespace {

_MsgMessage message(qint64 srcRowid, qint32 date)
{
    _MsgMessage m;
    m.srcRowid = srcRowid;
    m.date = date;
    return m;
}

const QRegularExpression guidShape(
    QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

}

class TestMsgIdentity : public QObject
{
    Q_OBJECT

private slots:
    void newGuidsAreUpperCaseWithoutBraces()
    {
        const QString a = makeGuid();
        const QString b = makeGuid();
        QVERIFY2(guidShape.match(a).hasMatch(), qPrintable(a));
        QVERIFY2(guidShape.match(b).hasMatch(), qPrintable(b));
        QVERIFY(a != b);
    }

    void guidFromDataIsTheMd5InGuidShape_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("guid");
        QTest::newRow("empty") << QByteArray() << "D41D8CD9-8F00-B204-E980-0998ECF8427E";
        QTest::newRow("abc") << QByteArray("abc") << "90015098-3CD2-4FB0-D696-3F7D28E17F72";
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << "9E107D9D-372B-B682-6BD8-1D3542A419D6";
    }
    void guidFromDataIsTheMd5InGuidShape()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, guid);
        QCOMPARE(makeGuidFromData(data), guid);
        QCOMPARE(makeGuidFromData(data), makeGuidFromData(data));
        QVERIFY(guidShape.match(makeGuidFromData(data)).hasMatch());
    }

    void groupChatIdentifierIsStable_data()
    {
        QTest::addColumn<QString>("seed");
        QTest::addColumn<QString>("identifier");
        QTest::newRow("group") << "iMessage;+;group"
                               << "chat148265369116689091";
        QTest::newRow("empty") << ""
                               << "chat922209552194357126";
        QTest::newRow("utf8") << QString::fromUtf8("Grüße") << "chat194868927943910562";
    }
    void groupChatIdentifierIsStable()
    {
        QFETCH(QString, seed);
        QFETCH(QString, identifier);
        QCOMPARE(makeGroupChatIdentifier(seed), identifier);
        QCOMPARE(makeGroupChatIdentifier(seed).size(), 22);
    }

    void digestWordsTextTakesMagnitudeWithoutOverflow_data()
    {
        QTest::addColumn<QByteArray>("digest");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << QByteArray(16, '\0') << "0";
        // Words 0x80000000, 0, 0, 0: the smallest 32-bit value.
        QTest::newRow("int-min") << QByteArray::fromHex("00000080000000000000000000000000")
                                 << "2147483648";
        QTest::newRow("minus-one")
            << QByteArray::fromHex("ffffffff000000000000000000000000") << "1";
        QTest::newRow("int-max") << QByteArray::fromHex("ffffff7f000000000000000000000000")
                                 << "2147483647";
        // 1 ^ 2 ^ 4 ^ 8 = 15.
        QTest::newRow("xor") << QByteArray::fromHex("01000000020000000400000008000000") << "15";
    }
    void digestWordsTextTakesMagnitudeWithoutOverflow()
    {
        QFETCH(QByteArray, digest);
        QFETCH(QString, text);
        QCOMPARE(msgidentity_detail::digestWordsText(digest), text);
    }

    void attributedBodyIsByteExact()
    {
        const QByteArray expected = QByteArray::fromHex(
            "040B73747265616D747970656481E803840140848484194E534D757461626C654174747269627574"
            "6564537472696E67008484124E5341747472696275746564537472696E67008484084E534F626A65"
            "63740085928484840F4E534D757461626C65537472696E67018484084E53537472696E6701958401"
            "2B03EFBFBC86840269490101928484840C4E5344696374696F6E6172790095840169029284989822"
            "5F5F6B494D46696C655472616E73666572475549444174747269627574654E616D65869284989824"
            "30313233343536372D383941422D434445462D303132332D34353637383941424344454686928498"
            "981D5F5F6B494D4D657373616765506172744174747269627574654E616D658692848484084E534E"
            "756D626572008484074E5356616C7565009584012A849B9B00868686");
        const QByteArray body
            = makeAttributedBody(QStringLiteral("01234567-89AB-CDEF-0123-456789ABCDEF"));
        QCOMPARE(body.size(), 308);
        QCOMPARE(body.toHex(), expected.toHex());
    }

    void attributedBodyKeepsStreamValidForOtherLengths()
    {
        const QString guid = QStringLiteral("at_0_01234567-89AB-CDEF-0123-456789ABCDEF");
        const QByteArray body = makeAttributedBody(guid);
        QCOMPARE(body.size(), 308 + 5);
        QCOMPARE(quint8(body.at(199)), quint8(guid.size()));
        QCOMPARE(body.mid(200, guid.size()), guid.toUtf8());

        const QString longGuid(200, QLatin1Char('A'));
        const QByteArray longBody = makeAttributedBody(longGuid);
        QCOMPARE(longBody.mid(199, 3), QByteArray::fromHex("81C800"));
        QCOMPARE(longBody.mid(202, 200), longGuid.toUtf8());
    }

    void recordDatesCountFrom2001_data()
    {
        QTest::addColumn<int>("date");
        QTest::addColumn<QString>("utc");
        QTest::newRow("epoch") << 0 << "2001-01-01T00:00:00Z";
        QTest::newRow("unix-epoch") << -978307200 << "1970-01-01T00:00:00Z";
        QTest::newRow("2013") << 400000000 << "2013-09-04T15:06:40Z";
        QTest::newRow("max") << INT_MAX << "2069-01-19T03:14:07Z";
        QTest::newRow("min") << INT_MIN << "1932-12-13T20:45:52Z";
    }
    void recordDatesCountFrom2001()
    {
        QFETCH(int, date);
        QFETCH(QString, utc);
        QCOMPARE(dateTimeFromTime(date).toUTC().toString(Qt::ISODate), utc);
    }

    void storedTimesOfEitherUnitBecomeRecordDates_data()
    {
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<qint32>("date");
        QTest::addColumn<bool>("nanoseconds");
        QTest::newRow("seconds of 2013") << Q_INT64_C(400000000) << 400000000 << false;
        QTest::newRow("nanoseconds of 2019") << Q_INT64_C(580000000123456789) << 580000000 << true;
        QTest::newRow("zero") << Q_INT64_C(0) << 0 << false;
        QTest::newRow("largest seconds") << Q_INT64_C(99999999999) << std::numeric_limits<qint32>::max() << false;
        QTest::newRow("smallest nanoseconds") << Q_INT64_C(100000000000) << 100 << true;
        QTest::newRow("before 2001 in nanoseconds") << Q_INT64_C(-31536000000000000) << -31536000 << true;
    }
    void storedTimesOfEitherUnitBecomeRecordDates()
    {
        QFETCH(qint64, stored);
        QFETCH(qint32, date);
        QFETCH(bool, nanoseconds);
        QCOMPARE(isNanosecondTime(stored), nanoseconds);
        QCOMPARE(recordDateFromStored(stored), date);
        if (stored % 1000000000 == 0 || !nanoseconds)
            if (date != std::numeric_limits<qint32>::max())
                QCOMPARE(storedTimeFromRecord(date, nanoseconds), stored);
    }

    void logicHashOfEventIsItsGuidOnly()
    {
        _MsgMessage a;
        a.item_type = 3;
        a.guid = QStringLiteral("abc");
        a.text = QStringLiteral("one");
        _MsgMessage b = a;
        b.text = QStringLiteral("two");
        b.date = 77;
        QCOMPARE(a.logicHash(), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(b.logicHash(), a.logicHash());
    }

    void logicHashOfMessageWithHandleIsByteExact()
    {
        // handle id, 4 date bytes, flag byte and text spell the fox sentence.
        _MsgHandle handle;
        handle.id = QStringLiteral("The quick ");
        _MsgMessage m;
        m.handle = &handle;
        m.date = 0x776f7262; // "brow"
        m.is_from_me = 0x16e; // low byte 'n'
        m.text = QStringLiteral(" fox jumps over the lazy dog");
        QCOMPARE(m.logicHash(), QStringLiteral("9e107d9d372bb6826bd81d3542a419d6"));
    }

    void logicHashWithoutHandleSortsLowerCaseNames()
    {
        _MsgAttachment og;
        og.filename = QStringLiteral("~/Library/SMS/Attachments/og");
        _MsgAttachment lazy;
        lazy.filename = QStringLiteral("/var/mobile/LAZY D");
        _MsgAttachment unnamed;
        _MsgMessage m;
        m.date = 0x20656854; // "The "
        m.is_from_me = 'q';
        m.text = QString::fromUtf8("uick brown fox jumps over the\xEF\xBF\xBC ");
        m.attachments.insert(QStringLiteral("1"), &og);
        m.attachments.insert(QStringLiteral("2"), &lazy);
        m.attachments.insert(QStringLiteral("3"), &unnamed);
        QCOMPARE(m.logicHash(), QStringLiteral("9e107d9d372bb6826bd81d3542a419d6"));

        m.attachments.clear();
        m.attachments.insert(QStringLiteral("9"), &lazy);
        m.attachments.insert(QStringLiteral("0"), &og);
        QCOMPARE(m.logicHash(), QStringLiteral("9e107d9d372bb6826bd81d3542a419d6"));
    }

    void ordersCloseRowsByStorageAndDistantRowsByDate_data()
    {
        QTest::addColumn<qint64>("rowA");
        QTest::addColumn<int>("dateA");
        QTest::addColumn<qint64>("rowB");
        QTest::addColumn<int>("dateB");
        QTest::addColumn<bool>("aFirst");
        QTest::newRow("close rows, dates within two minutes")
            << qint64(100) << 1000 << qint64(110) << 900 << true;
        QTest::newRow("close rows, dates far apart")
            << qint64(100) << 1000 << qint64(110) << 800 << false;
        QTest::newRow("21 apart by date") << qint64(100) << 1000 << qint64(121) << 999 << false;
        QTest::newRow("20 apart by row") << qint64(100) << 1000 << qint64(120) << 999 << true;
        QTest::newRow("exactly 120 s by row") << qint64(5) << 1120 << qint64(6) << 1000 << true;
        QTest::newRow("extreme keys") << qint64(LLONG_MIN) << 10 << qint64(LLONG_MAX) << 5 << false;
    }
    void ordersCloseRowsByStorageAndDistantRowsByDate()
    {
        QFETCH(qint64, rowA);
        QFETCH(int, dateA);
        QFETCH(qint64, rowB);
        QFETCH(int, dateB);
        QFETCH(bool, aFirst);
        const _MsgMessage a = message(rowA, dateA);
        const _MsgMessage b = message(rowB, dateB);
        QCOMPARE(compareMessages(&a, &b), aFirst);
        QCOMPARE(compareMessages(&b, &a), !aFirst);
        QCOMPARE(compareMessagesDesc(&a, &b), !aFirst);

        MsgMessageList list { const_cast<_MsgMessage *>(&b), const_cast<_MsgMessage *>(&a) };
        sortMessages(list);
        QCOMPARE(list.first() == &a, aFirst);
        sortMessages(list, true);
        QCOMPARE(list.first() == &a, !aFirst);
    }

    void descendingOrderIsIrreflexive()
    {
        const _MsgMessage a = message(7, 7);
        const _MsgMessage b = message(7, 7);
        QVERIFY(!compareMessages(&a, &a));
        QVERIFY(!compareMessagesDesc(&a, &a));
        QVERIFY(!compareMessagesDesc(&a, &b));
        QVERIFY(!compareMessagesDesc(&b, &a));
    }

    void sortsCyclicTripleWithoutHarm()
    {
        // a < b and b < c by row id, c < a by date: the relation runs in a circle.
        _MsgMessage a = message(0, 100);
        _MsgMessage b = message(15, 0);
        _MsgMessage c = message(30, 50);
        QVERIFY(compareMessages(&a, &b));
        QVERIFY(compareMessages(&b, &c));
        QVERIFY(compareMessages(&c, &a));

        for (bool descending : { false, true }) {
            MsgMessageList list { &a, &b, &c };
            sortMessages(list, descending);
            QCOMPARE(QSet<_MsgMessage *>(list.begin(), list.end()),
                (QSet<_MsgMessage *> { &a, &b, &c }));
        }
    }

    void sortsManyContradictoryMessagesIntoAPermutation()
    {
        // Many interleaved cycles: enough elements for any unguarded sort to run off its
        // range under the address sanitizer.
        std::vector<std::unique_ptr<_MsgMessage>> owned;
        MsgMessageList list;
        quint32 state = 12345;
        for (int i = 0; i < 3000; ++i) {
            state = state * 1103515245u + 12345u;
            owned.push_back(std::make_unique<_MsgMessage>(
                message(qint64(i % 97) * 11, qint32((state >> 8) % 400))));
            list.append(owned.back().get());
        }
        const QSet<_MsgMessage *> before(list.begin(), list.end());
        // The plain negation of the order even claims a < a; the sort must survive it too.
        const MessageLess negation
            = [](const _MsgMessage *a, const _MsgMessage *b) { return !compareMessages(a, b); };
        for (MessageLess less :
            { MessageLess(compareMessages), MessageLess(compareMessagesDesc), negation }) {
            MsgMessageList sorted = list;
            sortMessages(sorted, less);
            QCOMPARE(sorted.size(), list.size());
            QCOMPARE(QSet<_MsgMessage *>(sorted.begin(), sorted.end()), before);
        }
    }

    void sortsSameSecondMessagesSafely()
    {
        // Forty messages of one second, rows far apart: the order holds them all equal, and
        // the plain negation calls every pair less both ways. std::sort given that negation
        // reads before the start of this very list under the address sanitizer.
        std::vector<_MsgMessage> messages;
        for (int i = 0; i < 40; ++i)
            messages.push_back(message(qint64(i) * 30, 100));
        MsgMessageList list;
        for (_MsgMessage &m : messages)
            list.append(&m);
        const MessageLess negation
            = [](const _MsgMessage *a, const _MsgMessage *b) { return !compareMessages(a, b); };
        MsgMessageList sorted = list;
        sortMessages(sorted, negation);
        QCOMPARE(QSet<_MsgMessage *>(sorted.begin(), sorted.end()),
            QSet<_MsgMessage *>(list.begin(), list.end()));

        // Equal messages keep their input order either way.
        for (bool descending : { false, true }) {
            sorted = list;
            sortMessages(sorted, descending);
            QCOMPARE(sorted, list);
        }
    }

    void sortKeepsOrderWhereRelationIsConsistent()
    {
        // Rows far apart, so the order is by date; equal dates keep their input order.
        std::vector<_MsgMessage> messages;
        const int dates[] = { 50, 10, 30, 10, 40, 20, 30 };
        for (int i = 0; i < 7; ++i)
            messages.push_back(message(qint64(i) * 100, dates[i]));
        MsgMessageList list;
        for (_MsgMessage &m : messages)
            list.append(&m);
        sortMessages(list);
        QList<qint64> rows;
        for (const _MsgMessage *m : list)
            rows.append(m->srcRowid);
        QCOMPARE(rows, (QList<qint64> { 100, 300, 500, 200, 600, 400, 0 }));

        sortMessages(list, true);
        rows.clear();
        for (const _MsgMessage *m : list)
            rows.append(m->srcRowid);
        QCOMPARE(rows, (QList<qint64> { 0, 400, 200, 600, 500, 100, 300 }));
    }
};

QTEST_GUILESS_MAIN(TestMsgIdentity)
#include "tst_msgidentity.moc"
