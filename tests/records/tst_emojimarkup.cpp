#include "records/emojimarkup.h"

#include <QtTest>

namespace {

QString bracketed(void *userData, const QString &hex)
{
    if (userData)
        ++*static_cast<int *>(userData);
    return QLatin1Char('[') + hex + QLatin1Char(']');
}

QString units(std::initializer_list<ushort> codes)
{
    QString s;
    for (ushort c : codes)
        s += QChar(c);
    return s;
}

}

class TestEmojiMarkup : public QObject
{
    Q_OBJECT

private slots:
    void marksEmoji_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("marked");

        QTest::newRow("no emoji") << "plain text"
                                  << "plain text";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("private use E415") << units({ 0xE415 }) << "[E415]";
        QTest::newRow("private use first") << units({ 0xE000 }) << "[E000]";
        QTest::newRow("private use last") << units({ 0xE537 }) << "[E537]";
        QTest::newRow("private use past end") << units({ 0xE538 }) << units({ 0xE538 });
        QTest::newRow("private use far past end") << units({ 0xF8FF }) << units({ 0xF8FF });
        QTest::newRow("listed 203C") << units({ 0x203C }) << "[203C]";
        QTest::newRow("listed 2714") << units({ 0x2714 }) << "[2714]";
        QTest::newRow("listed 3030") << units({ 0x3030 }) << "[3030]";
        QTest::newRow("listed 2B1C") << units({ 0x2B1C }) << "[2B1C]";
        QTest::newRow("unlisted 263A") << units({ 0x263A }) << units({ 0x263A });
        QTest::newRow("unlisted 2713") << units({ 0x2713 }) << units({ 0x2713 });
        QTest::newRow("pair 1F604") << units({ 0xD83D, 0xDE04 }) << "[1F604]";
        QTest::newRow("pair 1F000") << units({ 0xD83C, 0xDC00 }) << "[1F000]";
        QTest::newRow("pair 1F7FF") << units({ 0xD83D, 0xDFFF }) << "[1F7FF]";
        QTest::newRow("pair D83E left alone")
            << units({ 0xD83E, 0xDD14 }) << units({ 0xD83E, 0xDD14 });
        QTest::newRow("lone high at end") << units({ 'a', 0xD83D }) << units({ 'a', 0xD83D });
        QTest::newRow("high before letter") << units({ 0xD83D, 'A' }) << units({ 0xD83D, 'A' });
        QTest::newRow("high before private use")
            << units({ 0xD83D, 0xE415 }) << units({ 0xD83D }) + "[E415]";
        QTest::newRow("two highs then low")
            << units({ 0xD83D, 0xD83C, 0xDC04 }) << units({ 0xD83D }) + "[1F004]";
        QTest::newRow("lone low") << units({ 0xDE04 }) << units({ 0xDE04 });
        QTest::newRow("reversed pair") << units({ 0xDE04, 0xD83D }) << units({ 0xDE04, 0xD83D });
        QTest::newRow("start and end")
            << units({ 0xE415 }) + " mid " + units({ 0xD83D, 0xDE04 }) << "[E415] mid [1F604]";
        QTest::newRow("adjacent") << units({ 0x2049, 0x2049, 0xD83C, 0xDF89 })
                                  << "[2049][2049][1F389]";
    }
    void marksEmoji()
    {
        QFETCH(QString, text);
        QFETCH(QString, marked);
        QString inOut = text;
        QCOMPARE(markEmoji(inOut, bracketed, nullptr), marked);
        QCOMPARE(inOut, marked);
    }

    void callsBackOncePerEmojiWithUserData()
    {
        int calls = 0;
        QString text = units({ 0xE001, 'x', 0xD83D, 0xDE00, 0x231A });
        markEmoji(text, bracketed, &calls);
        QCOMPARE(calls, 3);
        QCOMPARE(text, QStringLiteral("[E001]x[1F600][231A]"));
    }

    void everyListedSymbolIsMarked()
    {
        const ushort listed[] = { 0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A,
            0x231B, 0x23EB, 0x23EC, 0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD,
            0x25FE, 0x2611, 0x267B, 0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F,
            0x2712, 0x2714, 0x2744, 0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935,
            0x2B1B, 0x2B1C, 0x3030 };
        int count = 0;
        for (ushort code : listed) {
            QString text = units({ code });
            markEmoji(text, bracketed, &count);
            QCOMPARE(text, QStringLiteral("[%1]").arg(code, 0, 16).toUpper());
        }
        QCOMPARE(count, 44);
        // Nothing else of the basic plane outside the private-use range is marked.
        int others = 0;
        for (uint code = 0x2000; code < 0xD800; ++code) {
            if (std::find(std::begin(listed), std::end(listed), code) != std::end(listed))
                continue;
            QString text = units({ ushort(code) });
            markEmoji(text, bracketed, &others);
        }
        QCOMPARE(others, 0);
    }
};

QTEST_GUILESS_MAIN(TestEmojiMarkup)
#include "tst_emojimarkup.moc"
