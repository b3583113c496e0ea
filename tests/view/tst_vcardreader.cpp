#include "view/vcardreader.h"

#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray foldLines(const QByteArray &text, int width)
{
    QByteArray folded;
    for (int i = 0; i < text.size(); i += width) {
        if (i > 0)
            folded += "\r\n ";
        folded += text.mid(i, width);
    }
    return folded;
}

QByteArray pngBytes()
{
    QImage image(30, 20, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Records every callback as text, so that two parses can be compared event by event.
struct Recorder
{
    QStringList events;

    static void onProperty(void *userData, const char *name, const VCardParam *params)
    {
        QString event = QStringLiteral("P:") + QString::fromLatin1(name);
        for (const VCardParam *param = params; param->name; ++param)
            event += QStringLiteral("|%1=%2").arg(QString::fromLatin1(param->name),
                param->value ? QString::fromLatin1(param->value) : QStringLiteral("<none>"));
        static_cast<Recorder *>(userData)->events.append(event);
    }
    static void onValue(void *userData, const char *bytes, int count)
    {
        QVERIFY(count >= 0);
        QVERIFY(count == 0 || bytes);
        static_cast<Recorder *>(userData)->events.append(
            QStringLiteral("V:") + QString::fromLatin1(QByteArray(bytes, count).toHex()));
    }
};

int parseInChunks(const QByteArray &data, const QList<int> &cuts, Recorder &recorder)
{
    VCardParser parser;
    parser.setUserData(&recorder);
    parser.setPropertyCallback(Recorder::onProperty);
    parser.setValueCallback(Recorder::onValue);
    int start = 0;
    for (int cut : cuts) {
        if (!parser.parse(data.constData() + start, std::size_t(cut - start), false))
            return 0;
        start = cut;
    }
    return parser.parse(data.constData() + start, std::size_t(data.size() - start), true);
}

const VCardProperty *findProperty(const VCard &card, const QString &name)
{
    for (const VCardProperty &property : card)
        if (property.name == name)
            return &property;
    return nullptr;
}

} // namespace

class TestVCardReader : public QObject
{
    Q_OBJECT
private slots:
    void decodesFoldedBase64Photo_data();
    void decodesFoldedBase64Photo();
    void decodesQuotedPrintableWithCharset();
    void joinsQuotedPrintableSoftLineBreaks_data();
    void joinsQuotedPrintableSoftLineBreaks();
    void keepsParametersWithoutValues();
    void collectsCardsInOrderAndDropsStrayProperties();
    void acceptsLineEndsAndBlankLines_data();
    void acceptsLineEndsAndBlankLines();
    void unescapesParameterValues();
    void stopsAtMalformedHeader_data();
    void stopsAtMalformedHeader();
    void completesPartialBase64Group_data();
    void completesPartialBase64Group();
    void completesLastLineOnlyWhenFinal();
    void fallsBackToLocal8BitForUnknownCharset();
    void survivesMutatedInput();
};

void TestVCardReader::decodesFoldedBase64Photo_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::newRow("3.0 b") << QByteArray("PHOTO;ENCODING=b;TYPE=JPEG:") << QByteArray("\r\n");
    QTest::newRow("3.0 lf") << QByteArray("PHOTO;ENCODING=b;TYPE=JPEG:") << QByteArray("\n");
    // 2.1 puts the data on the next, indented line and ends it with a blank line.
    QTest::newRow("2.1 base64") << QByteArray("PHOTO;ENCODING=BASE64;TYPE=PNG:\r\n ")
                                << QByteArray("\r\n\r\n");
    QTest::newRow("2.1 bare") << QByteArray("PHOTO;PNG;BASE64:") << QByteArray("\r\n");
}

void TestVCardReader::decodesFoldedBase64Photo()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, lineEnd);
    const QByteArray photo = pngBytes();
    QByteArray data = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Jane Roe\r\n" + header
        + foldLines(photo.toBase64(), 75) + lineEnd + "TEL:+1 555 0100\r\nEND:VCARD\r\n";
    if (lineEnd == "\n")
        data.replace("\r\n", "\n");

    const QList<VCard> cards = parseVCards(data);
    QCOMPARE(cards.size(), 1);
    const VCardProperty *property = findProperty(cards.first(), QStringLiteral("PHOTO"));
    QVERIFY(property);
    QCOMPARE(property->value, photo);
    QVERIFY(!QImage::fromData(property->value).isNull());
    const VCardProperty *tel = findProperty(cards.first(), QStringLiteral("TEL"));
    QVERIFY(tel);
    QCOMPARE(tel->value, QByteArray("+1 555 0100"));
}

void TestVCardReader::decodesQuotedPrintableWithCharset()
{
    const QList<VCard> cards = parseVCards(
        "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=A9\r\n"
        "END:VCARD\r\n");
    QCOMPARE(cards.size(), 1);
    const VCardProperty *fn = findProperty(cards.first(), QStringLiteral("FN"));
    QVERIFY(fn);
    QCOMPARE(fn->value, QByteArray("\xC3\xA9"));
    QCOMPARE(vcardValueToString(*fn), QString(QChar(0xE9)));
}

void TestVCardReader::joinsQuotedPrintableSoftLineBreaks_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");
    const QString nihao = QString::fromUtf8("\xE4\xBD\xA0\xE5\xA5\xBD");
    QTest::newRow("no indent") << QByteArray("=E4=BD=A0=\r\n=E5=A5=BD") << nihao;
    QTest::newRow("indented") << QByteArray("=E4=BD=A0=\r\n =E5=A5=BD") << nihao;
    QTest::newRow("lf only") << QByteArray("=E4=BD=A0=\n=E5=A5=BD") << nihao;
    QTest::newRow("inside a byte") << QByteArray("=E4=BD=A0=E5=\r\n=A5=BD") << nihao;
    QTest::newRow("plain text") << QByteArray("Main St=\r\nreet 5")
                                << QStringLiteral("Main Street 5");
    QTest::newRow("hard break") << QByteArray("line=0D=0Anext") << QStringLiteral("line\r\nnext");
    QTest::newRow("soft break before blank line")
        << QByteArray("=E4=BD=A0=\r\n") << QString::fromUtf8("\xE4\xBD\xA0");
}

void TestVCardReader::joinsQuotedPrintableSoftLineBreaks()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);
    const QList<VCard> cards = parseVCards("BEGIN:VCARD\r\nVERSION:2.1\r\n"
                                           "NOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:"
        + value + "\r\nTEL;CELL:12345\r\nEND:VCARD\r\n");
    QCOMPARE(cards.size(), 1);
    const VCardProperty *note = findProperty(cards.first(), QStringLiteral("NOTE"));
    QVERIFY(note);
    QCOMPARE(vcardValueToString(*note), expected);
    const VCardProperty *tel = findProperty(cards.first(), QStringLiteral("TEL"));
    QVERIFY(tel);
    QCOMPARE(tel->value, QByteArray("12345"));
}

void TestVCardReader::keepsParametersWithoutValues()
{
    const QList<VCard> cards
        = parseVCards("BEGIN:VCARD\nTEL;CELL;VOICE:+44 20 7946 0000\nEND:VCARD\n");
    QCOMPARE(cards.size(), 1);
    QCOMPARE(cards.first().size(), 1);
    const VCardProperty &tel = cards.first().first();
    QCOMPARE(tel.name, QStringLiteral("TEL"));
    QCOMPARE(tel.params.size(), 2);
    QVERIFY(tel.params.contains(QStringLiteral("CELL")));
    QVERIFY(tel.params.contains(QStringLiteral("VOICE")));
    QVERIFY(tel.params.value(QStringLiteral("CELL")).isEmpty());
    QCOMPARE(tel.value, QByteArray("+44 20 7946 0000"));
}

void TestVCardReader::collectsCardsInOrderAndDropsStrayProperties()
{
    const QList<VCard> cards = parseVCards("FN:Before\r\n"
                                           "BEGIN:VCARD\r\nFN:First\r\nEND:VCARD\r\n"
                                           "NOTE:Between\r\n"
                                           "BEGIN:VCARD\r\nFN:Second\r\nEMAIL:b@example.org\r\n"
                                           "END:VCARD\r\n");
    QCOMPARE(cards.size(), 2);
    QCOMPARE(cards.at(0).size(), 1);
    QCOMPARE(cards.at(0).first().value, QByteArray("First"));
    QCOMPARE(cards.at(1).size(), 2);
    QCOMPARE(cards.at(1).at(0).value, QByteArray("Second"));
    QCOMPARE(cards.at(1).at(1).value, QByteArray("b@example.org"));
}

void TestVCardReader::acceptsLineEndsAndBlankLines_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("crlf") << QByteArray("BEGIN:VCARD\r\nFN:Ann\r\nTEL:1\r\nEND:VCARD\r\n")
                          << QByteArray("Ann");
    QTest::newRow("lf") << QByteArray("BEGIN:VCARD\nFN:Ann\nTEL:1\nEND:VCARD\n")
                        << QByteArray("Ann");
    QTest::newRow("blank crlf lines")
        << QByteArray("\r\nBEGIN:VCARD\r\n\r\nFN:Ann\r\n\r\n\r\nTEL:1\r\nEND:VCARD\r\n\r\n")
        << QByteArray("Ann");
    QTest::newRow("blank lf lines")
        << QByteArray("BEGIN:VCARD\n\nFN:Ann\n\nTEL:1\n\nEND:VCARD") << QByteArray("Ann");
    // A fold becomes one space.
    QTest::newRow("folded name") << QByteArray("BEGIN:VCARD\r\nFN:An\r\n n\r\nTEL:1\r\nEND:VCARD")
                                 << QByteArray("An n");
    // A line of blanks neither continues the value before it nor the one after it.
    QTest::newRow("blanks-only crlf line")
        << QByteArray("BEGIN:VCARD\r\nFN:Ann\r\n \r\nTEL:1\r\nEND:VCARD\r\n") << QByteArray("Ann");
    QTest::newRow("blanks-only lf line")
        << QByteArray("BEGIN:VCARD\nFN:Ann\n \t \nTEL:1\nEND:VCARD") << QByteArray("Ann");
    QTest::newRow("blanks-only line before a fold")
        << QByteArray("BEGIN:VCARD\r\nFN:An\r\n  \r\n n\r\nTEL:1\r\nEND:VCARD")
        << QByteArray("An n");
}

void TestVCardReader::acceptsLineEndsAndBlankLines()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, name);
    const QList<VCard> cards = parseVCards(data);
    QCOMPARE(cards.size(), 1);
    QCOMPARE(cards.first().size(), 2);
    QCOMPARE(cards.first().at(0).value, name);
    QCOMPARE(cards.first().at(1).value, QByteArray("1"));
}

void TestVCardReader::unescapesParameterValues()
{
    const QList<VCard> cards = parseVCards("BEGIN:VCARD\nX-A;K=a\\;b\\\\c;L=2:v\nEND:VCARD\n");
    QCOMPARE(cards.size(), 1);
    const VCardProperty &property = cards.first().first();
    QCOMPARE(property.params.value(QStringLiteral("K")), QStringLiteral("a;b\\c"));
    QCOMPARE(property.params.value(QStringLiteral("L")), QStringLiteral("2"));
    QCOMPARE(property.value, QByteArray("v"));
}

void TestVCardReader::stopsAtMalformedHeader_data()
{
    QTest::addColumn<QByteArray>("badLine");
    QTest::newRow("colon after semicolon") << QByteArray("TEL;:123");
    QTest::newRow("colon after equals") << QByteArray("TEL;TYPE=:123");
    QTest::newRow("semicolon after equals") << QByteArray("TEL;TYPE=;CELL:123");
    QTest::newRow("bad base64") << QByteArray("PHOTO;ENCODING=b:AB*D");
    QTest::newRow("bad base64 start") << QByteArray("PHOTO;ENCODING=b:=AAA");
}

void TestVCardReader::stopsAtMalformedHeader()
{
    QFETCH(QByteArray, badLine);
    const QList<VCard> cards = parseVCards("BEGIN:VCARD\r\nFN:Kept\r\n" + badLine
        + "\r\nEMAIL:lost@example.org\r\nEND:VCARD\r\n"
          "BEGIN:VCARD\r\nFN:Lost\r\nEND:VCARD\r\n");
    QCOMPARE(cards.size(), 1);
    QCOMPARE(cards.first().first().value, QByteArray("Kept"));
    QVERIFY(!findProperty(cards.first(), QStringLiteral("EMAIL")));
    // A property whose value failed never receives bytes.
    for (const VCardProperty &property : cards.first())
        if (property.name != QLatin1String("FN"))
            QVERIFY(property.value.isEmpty());
}

void TestVCardReader::completesPartialBase64Group_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("padded") << QByteArray("QUJD") << QByteArray("ABC");
    QTest::newRow("two left") << QByteArray("QUJDRA") << QByteArray("ABCD");
    QTest::newRow("three left") << QByteArray("QUJDREU") << QByteArray("ABCDE");
    QTest::newRow("one left") << QByteArray("QUJDR") << QByteArray("ABC");
}

void TestVCardReader::completesPartialBase64Group()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    const QList<VCard> cards
        = parseVCards("BEGIN:VCARD\nX;ENCODING=B:" + text + "\nFN:After\nEND:VCARD\n");
    QCOMPARE(cards.size(), 1);
    QCOMPARE(cards.first().size(), 2);
    QCOMPARE(cards.first().at(0).value, expected);
    QCOMPARE(cards.first().at(1).value, QByteArray("After"));
}

void TestVCardReader::completesLastLineOnlyWhenFinal()
{
    const QByteArray data = "BEGIN:VCARD\nFN:Tail";
    for (bool final : { false, true }) {
        Recorder recorder;
        VCardParser parser;
        parser.setUserData(&recorder);
        parser.setPropertyCallback(Recorder::onProperty);
        parser.setValueCallback(Recorder::onValue);
        QVERIFY(parser.parse(data.constData(), std::size_t(data.size()), final));
        QCOMPARE(recorder.events.contains(
                     QStringLiteral("V:") + QString::fromLatin1(QByteArray("Tail").toHex())),
            final);
    }
}

void TestVCardReader::fallsBackToLocal8BitForUnknownCharset()
{
    VCardProperty property;
    property.params.insert(QStringLiteral("CHARSET"), QStringLiteral("NO-SUCH-CODEC"));
    property.value = "abc";
    QCOMPARE(vcardValueToString(property), QStringLiteral("abc"));
    property.params.insert(QStringLiteral("CHARSET"), QStringLiteral("ISO-8859-1"));
    property.value = "\xE9";
    QCOMPARE(vcardValueToString(property), QString(QChar(0xE9)));
}

// Mutated and truncated cards must neither crash nor hang, and splitting the input into
// arbitrary chunks must not change what is reported.
void TestVCardReader::survivesMutatedInput()
{
    const QByteArray photo = foldLines(pngBytes().toBase64(), 60);
    const QList<QByteArray> seeds = {
        "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Roe;Jane;;;\r\nFN:Jane Roe\r\nPHOTO;ENCODING=b;TYPE=PNG:"
            + photo + "\r\nTEL;TYPE=CELL:+1 555 0100\r\nEND:VCARD\r\n",
        "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=A9=\r\n=C3"
        "=A9\r\nADR;HOME:;;Main St;Town;;1;Land\r\nTEL;CELL;VOICE:123\r\nEND:VCARD\r\n",
        "BEGIN:VCARD\nX-A;K=a\\;b\\\\c;L=2:v\nEMAIL;INTERNET:a@b.c\nBDAY:1980-05-17\nEND:VCARD\n"
        "BEGIN:VCARD\nFN:Two\nEND:VCARD\n",
    };
    const QByteArray specials = ":;=\\\r\n \t.BbQ";
    QRandomGenerator random(20260101);
    for (int round = 0; round < 3000; ++round) {
        QByteArray data = seeds.at(random.bounded(seeds.size()));
        const int mutations = 1 + random.bounded(8);
        for (int m = 0; m < mutations && !data.isEmpty(); ++m) {
            const int at = random.bounded(data.size());
            switch (random.bounded(5)) {
            case 0:
                data[at] = char(random.bounded(256));
                break;
            case 1:
                data.insert(at, specials.at(random.bounded(specials.size())));
                break;
            case 2:
                data.truncate(at);
                break;
            case 3:
                data.remove(at, 1 + random.bounded(16));
                break;
            default:
                data.insert(at, data.mid(random.bounded(data.size()), random.bounded(64)));
                break;
            }
        }
        Recorder whole;
        const int wholeResult = parseInChunks(data, {}, whole);
        QList<int> cuts;
        for (int pos = 0; pos < data.size();) {
            pos += 1 + random.bounded(40);
            if (pos < data.size())
                cuts.append(pos);
        }
        Recorder chunked;
        const int chunkedResult = parseInChunks(data, cuts, chunked);
        QCOMPARE(chunkedResult, wholeResult);
        QCOMPARE(chunked.events, whole.events);
        parseVCards(data);
    }
}

QTEST_GUILESS_MAIN(TestVCardReader)
#include "tst_vcardreader.moc"
