#include "platform/samplephones/currentphonesmsdb.h"
#include "records/attributedbody.h"
#include "records/msgidentity.h"

#include <QtTest>

class TestAttributedBody : public QObject
{
    Q_OBJECT

private slots:
    void readsStringOfArchive_data();
    void readsStringOfArchive();
    void damagedArchiveGivesEmptyText_data();
    void damagedArchiveGivesEmptyText();
};

void TestAttributedBody::readsStringOfArchive_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");

    const QString accents = QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                              "e \xf0\x9f\x98\x80 \xe6\x97\xa5");
    const QString medium = QString(200, QChar('m'));
    const QString large = QString(40000, QChar('L')) + accents;
    for (const QString &text : { QStringLiteral("Hello"), accents, medium, large })
        QTest::addRow("%d units", text.size()) << CurrentPhoneSmsDb::attributedBody(text) << text;
    QTest::newRow("attachment placeholder")
        << makeAttributedBody(QStringLiteral("3F2504E0-4F89-11D3-9A0C-0305E82C3301"))
        << QString(QChar(0xFFFC));
}

void TestAttributedBody::readsStringOfArchive()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    QCOMPARE(attributedBodyText(body), text);
}

void TestAttributedBody::damagedArchiveGivesEmptyText_data()
{
    QTest::addColumn<QByteArray>("body");

    const QByteArray good = CurrentPhoneSmsDb::attributedBody(QStringLiteral("hello world"));
    const int stringAt = good.indexOf("hello world");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("plain text") << QByteArray("hello world");
    QTest::newRow("header only") << good.left(13);
    QTest::newRow("cut inside the string") << good.left(stringAt + 4);
    QByteArray longer = good;
    longer[stringAt - 1] = char(0x7f);
    QTest::newRow("length past the end") << longer.left(stringAt + 40);
    QByteArray negative = good;
    negative.replace(stringAt - 1, 1, QByteArray("\x81\xff\xff", 3));
    QTest::newRow("negative length") << negative;
    QByteArray invalid = good;
    invalid[stringAt + 2] = char(0xff);
    QTest::newRow("invalid UTF-8") << invalid;
    QByteArray otherHeader = good;
    otherHeader[2] = 'S';
    QTest::newRow("other header") << otherHeader;
    QByteArray noString = good;
    noString.replace("NSString", "NSNumber");
    QTest::newRow("no string class") << noString;
}

void TestAttributedBody::damagedArchiveGivesEmptyText()
{
    QFETCH(QByteArray, body);
    QCOMPARE(attributedBodyText(body), QString());
}

QTEST_APPLESS_MAIN(TestAttributedBody)
#include "tst_attributedbody.moc"
