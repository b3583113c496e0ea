#include "records/msgidentity.h"
#include "recovery/rawrowconversion.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 Now = 1700000000; // Unix seconds

using Changes = QList<QPair<int, QVariant>>;

Sqlite3File::Row row(int width, const Changes &changes, qint64 rowid = 9)
{
    Sqlite3File::Row r;
    r.rowid = rowid;
    for (int i = 0; i < width; ++i)
        r.values.append(QVariant());
    for (const auto &c : changes) {
        if (c.first < width)
            r.values[c.first] = c.second;
    }
    return r;
}

// An SMS row of the iOS 5 table: address, Unix date, text, flags, UIFlags, read, country.
Changes sms(qint64 unixDate = Now - 3600)
{
    return { { 1, QStringLiteral("+15551230000") }, { 2, unixDate }, { 3, QStringLiteral("hi") },
        { 4, 2 }, { 10, 0 }, { 16, 1 }, { 13, QStringLiteral("us") } };
}

// An iMessage row: date in seconds since 2001, the madrid columns.
Changes iMessage(const QString &room = QString())
{
    return { { 2, int(Now - RecordEpochOffset - 60) }, { 3, QStringLiteral("yo") }, { 10, 0 },
        { 16, 1 }, { 18, QStringLiteral("+15557654321") },
        { 20, QStringLiteral("11111111-2222-3333-4444-555555555555") },
        { 22, room.isEmpty() ? QVariant() : QVariant(room) },
        { 23, QStringLiteral("Madrid") }, { 24, QStringLiteral("e:me@example.com") },
        { 28, 0 }, { 29, 1 }, { 31, 12345 } };
}

Changes with(Changes base, const Changes &more)
{
    return base + more;
}

Changes ios6(const QString &service = QStringLiteral("SMS"))
{
    return { { 1, QStringLiteral("AAAAAAAA-1111-2222-3333-444444444444") },
        { 2, QStringLiteral("text") }, { 5, 4 }, { 11, service }, { 15, 400000000 },
        { 21, 1 }, { 36, 1 } };
}

} // namespace

class TestRawRowConversion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void templates();
    void ios5Rows_data();
    void ios5Rows();
    void ios5DateTest_data();
    void ios5DateTest();
    void ios6Messages_data();
    void ios6Messages();
    void ios6Handles_data();
    void ios6Handles();

private:
    QTemporaryDir m_home;
    std::unique_ptr<CountryLibDb> m_countries;
};

void TestRawRowConversion::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    m_countries = std::make_unique<CountryLibDb>(QStringLiteral("310"));
}

void TestRawRowConversion::templates()
{
    const QList<Sqlite3File::Template> ios5 = messageTemplatesIOS5();
    QCOMPARE(ios5.size(), 3);
    QCOMPARE(ios5.at(0).size(), 33);
    QCOMPARE(ios5.at(1).size(), 32);
    QCOMPARE(ios5.at(2).size(), 17);
    QCOMPARE(ios5.at(0).at(29).name, QStringLiteral("is_madrid"));
    QCOMPARE(ios5.at(0).at(32).name, QStringLiteral("madrid_account_guid"));
    const QList<Sqlite3File::Template> ios6 = messageTemplatesIOS6();
    QCOMPARE(ios6.at(0).size(), 38);
    QCOMPARE(ios6.at(1).size(), 51);
    QVERIFY(ios6.at(1).at(0).primaryKey);
    QVERIFY(ios6.at(1).at(1).notNull);
    QVERIFY(ios6.at(1).at(42).hasDefault);
    QVERIFY(!ios6.at(1).at(45).hasDefault);
    QCOMPARE(handleTemplateIOS6().at(3).name, QStringLiteral("service"));
    QVERIFY(handleTemplateIOS6().at(3).notNull);
}

void TestRawRowConversion::ios5Rows_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<Changes>("changes");
    QTest::addColumn<bool>("filtered");
    QTest::addColumn<bool>("converted");
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("chat");

    const QString smsChat = QStringLiteral("+15551230000");
    QTest::newRow("SMS row") << 33 << sms() << true << true << "SMS" << smsChat;
    QTest::newRow("16 values") << 16 << Changes() << false << false << "" << "";
    for (const int read : { -1, 2 })
        QTest::addRow("read %d", read) << 33 << with(sms(), { { 16, read } }) << false << false
                                       << "" << "";
    for (const int flags : { 3, 7 })
        QTest::addRow("UIFlags %d", flags)
            << 33 << with(sms(), { { 10, flags } }) << false << false << "" << "";
    for (const int flags : { 0, 4, 5, 6 })
        QTest::addRow("UIFlags %d kept", flags)
            << 33 << with(sms(), { { 10, flags } }) << true << true << "SMS" << smsChat;
    QTest::newRow("is_madrid 2") << 33 << with(sms(), { { 29, 2 } }) << false << false << ""
                                 << "";
    QTest::newRow("32 values with is_madrid 1 convert as SMS")
        << 32 << with(sms(), { { 29, 1 } }) << true << true << "SMS" << smsChat;
    QTest::newRow("32 values as SMS need an address")
        << 32 << with(iMessage(), {}) << true << false << "" << "";
    QTest::newRow("SMS with a madrid_guid")
        << 33 << with(sms(), { { 20, QStringLiteral("g") } }) << true << false << "" << "";
    QTest::newRow("SMS with only madrid_account_guid")
        << 33 << with(sms(), { { 32, QStringLiteral("acc") } }) << true << true << "SMS"
        << smsChat;
    QTest::newRow("iMessage") << 33 << iMessage() << true << true << "iMessage"
                              << "+15557654321";
    QTest::newRow("iMessage in a room") << 33 << iMessage(QStringLiteral("chat0042")) << true
                                        << true << "iMessage" << "chat0042";
    QTest::newRow("iMessage of service madrid")
        << 33 << with(iMessage(), { { 23, QStringLiteral("madrid") } }) << true << false << ""
        << "";
    QTest::newRow("unknown country") << 33 << with(sms(), { { 13, QStringLiteral("zz") } })
                                     << true << false << "" << "";
    QTest::newRow("no country: the current one")
        << 33 << with(sms(), { { 13, QVariant() } }) << true
        << true << "SMS" << smsChat;
}

void TestRawRowConversion::ios5Rows()
{
    QFETCH(int, width);
    QFETCH(Changes, changes);
    QFETCH(bool, filtered);
    QFETCH(bool, converted);
    QFETCH(QString, service);
    QFETCH(QString, chat);
    const Sqlite3File::Row r = row(width, changes);
    QCOMPARE(acceptRawMessageRowIOS5(r), filtered);
    ExtMsgRecord record;
    QCOMPARE(rawMessageRowToRecordIOS5(r, record, *m_countries, Now), converted);
    if (!converted)
        return;
    const _MsgMessage &m = record.message;
    QCOMPARE(m.rowid, qint64(9));
    QCOMPARE(m.service, service);
    QCOMPARE(record.chat_identifier, chat);
    if (service == QLatin1String("SMS")) {
        QCOMPARE(m.date, qint32(Now - 3600 - RecordEpochOffset));
        QCOMPARE(m.date_read, m.date);
        QCOMPARE(m.account, QStringLiteral("e:"));
        QCOMPARE(m.guid.size(), 36);
        QCOMPARE(record.handle, chat);
    } else {
        QCOMPARE(m.guid, QStringLiteral("11111111-2222-3333-4444-555555555555"));
        QCOMPARE(m.is_from_me, 1);
        QCOMPARE(m.date_delivered, 12345);
        QCOMPARE(record.handle, QStringLiteral("+15557654321"));
    }
    QCOMPARE(m.is_finished, 1);
    QCOMPARE(m.was_data_detected, 1);
}

void TestRawRowConversion::ios5DateTest_data()
{
    QTest::addColumn<qint64>("unixDate");
    QTest::addColumn<bool>("converted");
    QTest::newRow("the 2001 epoch is 0") << qint64(RecordEpochOffset) << false;
    QTest::newRow("one second later") << qint64(RecordEpochOffset + 1) << true;
    QTest::newRow("now") << Now << true;
    QTest::newRow("a second after now") << Now + 1 << false;
}

void TestRawRowConversion::ios5DateTest()
{
    QFETCH(qint64, unixDate);
    QFETCH(bool, converted);
    ExtMsgRecord record;
    QCOMPARE(rawMessageRowToRecordIOS5(row(33, sms(unixDate)), record, *m_countries, Now),
        converted);
}

void TestRawRowConversion::ios6Messages_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<Changes>("changes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("itemType");
    QTest::addColumn<int>("otherHandle");

    QTest::newRow("38 values keep the defaults") << 38 << ios6() << true << 0 << -1;
    QTest::newRow("37 values") << 37 << ios6() << false << 0 << -1;
    QTest::newRow("51 values") << 51 << with(ios6(), { { 41, 4 }, { 42, qint64(7) } }) << true
                               << 4 << 7;
    // Rows written before the table gained all the later columns.
    QTest::newRow("42 values") << 42 << with(ios6(), { { 41, 4 } }) << true << 4 << -1;
    QTest::newRow("45 values") << 45 << with(ios6(), { { 41, 4 }, { 42, qint64(7) } }) << true << 4
                               << 7;
    QTest::newRow("lower-case service") << 38 << ios6(QStringLiteral("sms")) << true << 0 << -1;
    QTest::newRow("madrid service") << 38 << ios6(QStringLiteral("Madrid")) << false << 0 << -1;
}

void TestRawRowConversion::ios6Messages()
{
    QFETCH(int, width);
    QFETCH(Changes, changes);
    QFETCH(bool, accepted);
    QFETCH(int, itemType);
    QFETCH(int, otherHandle);
    const Sqlite3File::Row r = row(width, changes);
    QCOMPARE(acceptRawMessageRowIOS6(r), accepted);
    ExtMsgRecord record;
    QCOMPARE(rawMessageRowToRecordIOS6(r, record), accepted);
    if (!accepted)
        return;
    QCOMPARE(record.message.service, r.values.at(11).toString());
    QCOMPARE(record.message.item_type, itemType);
    QCOMPARE(record.message.other_handle, otherHandle);
    QCOMPARE(record.message.handle_id, qint64(4));
    QCOMPARE(record.message.date, 400000000);
    QCOMPARE(record.message.is_from_me, 1);
    QCOMPARE(record.message.was_data_detected, 1);
}

void TestRawRowConversion::ios6Handles_data()
{
    QTest::addColumn<Changes>("changes");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("filtered");
    QTest::addColumn<bool>("converted");
    QTest::addColumn<QString>("id");

    const Changes mail { { 1, QStringLiteral("Foo@Example.COM") }, { 2, QStringLiteral("us") },
        { 3, QStringLiteral("iMessage") }, { 4, QStringLiteral("Foo@Example.COM") } };
    QTest::newRow("e-mail address") << mail << 5 << true << true << "foo@example.com";
    QTest::newRow("national number")
        << Changes { { 1, QStringLiteral("(415) 555-2671") }, { 2, QStringLiteral("us") },
               { 3, QStringLiteral("SMS") } }
        << 5 << true << true << "+14155552671";
    QTest::newRow("4 values") << mail << 4 << false << false << "";
    QTest::newRow("madrid service") << with(mail, { { 3, QStringLiteral("Madrid") } }) << 5
                                    << false << false << "";
    QTest::newRow("unknown country")
        << with(mail, { { 2, QStringLiteral("zz") } }) << 5 << true << false << "";
}

void TestRawRowConversion::ios6Handles()
{
    QFETCH(Changes, changes);
    QFETCH(int, width);
    QFETCH(bool, filtered);
    QFETCH(bool, converted);
    QFETCH(QString, id);
    const Sqlite3File::Row r = row(width, changes);
    QCOMPARE(acceptRawHandleRowIOS6(r), filtered);
    _MsgHandle handle;
    QCOMPARE(rawHandleRowToRecordIOS6(r, handle, *m_countries), converted);
    if (!converted)
        return;
    QCOMPARE(handle.rowid, qint64(9));
    QCOMPARE(handle.id, id);
    QCOMPARE(handle.uncanonicalized_id, r.values.at(4).toString());
}

QTEST_GUILESS_MAIN(TestRawRowConversion)
#include "tst_rawrowconversion.moc"
