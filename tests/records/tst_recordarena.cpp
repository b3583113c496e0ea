#include "records/recordarena.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// Counts its destructions, and carries a text as records do.
struct Counted
{
    // A large arena destroys its objects on several threads.
    static std::atomic<int> destroyed;
    QString text;
    char padding[200] = {};
    ~Counted() { ++destroyed; }
};
std::atomic<int> Counted::destroyed { 0 };

} // namespace

class TestRecordArena : public QObject
{
    Q_OBJECT

private slots:
    void init() { Counted::destroyed = 0; }
    void destroysEachObjectOnceWhenItGoes_data();
    void destroysEachObjectOnceWhenItGoes();
    void adoptedObjectsLiveAsLongAsTheAdopter();
    void ownsOnlyWhatItMade();
    void textsDecodeAsQtDoes_data();
    void textsDecodeAsQtDoes();
    void bytesKeepEveryByte();
    void copiesOutliveTheArena();
    void changingACopyLeavesTheArenaTextAlone();
    void trimmingKeepsWhatWasMadeAndMakingGoesOn();
    void copiesOutliveALargeArenaReleasedOnSeveralThreads();
    void lastingTextsDecodeAsQtDoesAndAreMadeOnce_data();
    void lastingTextsDecodeAsQtDoesAndAreMadeOnce();
    void lastingTextsStayWholePastTheirBound();
};

void TestRecordArena::destroysEachObjectOnceWhenItGoes_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    // Past the small first block and several huge ones.
    QTest::newRow("many blocks") << 40000;
    // Enough to be shared among four threads at the end.
    QTest::newRow("destroyed on several threads") << 150000;
}

void TestRecordArena::destroysEachObjectOnceWhenItGoes()
{
    QFETCH(int, count);
    {
        RecordArena arena;
        for (int i = 0; i < count; ++i)
            arena.make<Counted>()->text = arena.latin1Text("record", 6);
        QCOMPARE(arena.objectCount(), size_t(count));
        QCOMPARE(Counted::destroyed, 0);
    }
    QCOMPARE(Counted::destroyed, count);
}

void TestRecordArena::adoptedObjectsLiveAsLongAsTheAdopter()
{
    auto adopter = std::make_unique<RecordArena>();
    Counted *own = adopter->make<Counted>();
    Counted *adopted = nullptr;
    {
        RecordArena maker;
        adopted = maker.make<Counted>();
        adopted->text = maker.utf8Text("from a thread", 13);
        adopter->adopt(maker);
        QCOMPARE(maker.objectCount(), size_t(0));
    }
    QCOMPARE(Counted::destroyed, 0);
    QCOMPARE(adopted->text, QString("from a thread"));
    // Filling goes on after an adoption.
    adopter->make<Counted>();
    QVERIFY(adopter->owns(own) && adopter->owns(adopted));
    adopter.reset();
    QCOMPARE(Counted::destroyed, 3);
}

void TestRecordArena::ownsOnlyWhatItMade()
{
    RecordArena arena;
    RecordArena other;
    const auto heap = std::make_unique<Counted>();
    QVERIFY(!arena.owns(heap.get()));
    Counted *made = arena.make<Counted>();
    QVERIFY(arena.owns(made));
    QVERIFY(!other.owns(made));
    QVERIFY(!arena.owns(heap.get()));
    QVERIFY(!arena.owns(other.make<Counted>()));
}

void TestRecordArena::textsDecodeAsQtDoes_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::newRow("null") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("plain") << QByteArray("A0000000-0000-4000-8000-000000000001");
    QTest::newRow("accents and emoji") << QString("h\u00e9llo \u2713 \U0001F600").toUtf8();
    QTest::newRow("object replacement") << QString(QChar(0xFFFC)).toUtf8();
    QTest::newRow("invalid bytes") << QByteArray("a\xff\xfe"
                                                 "b\xc3");
    QTest::newRow("inner zero") << QByteArray("a\0b", 3);
}

void TestRecordArena::textsDecodeAsQtDoes()
{
    QFETCH(QByteArray, utf8);
    RecordArena arena;
    const QString text = arena.utf8Text(utf8.isNull() ? nullptr : utf8.constData(), utf8.size());
    const QString expected
        = QString::fromUtf8(utf8.isNull() ? nullptr : utf8.constData(), utf8.size());
    QCOMPARE(text, expected);
    QCOMPARE(text.isNull(), expected.isNull());
    QCOMPARE(text.constData()[text.size()], QChar(0));
}

void TestRecordArena::bytesKeepEveryByte()
{
    RecordArena arena;
    const QByteArray body("\x04\x0bstreamtyped\x00\x81\xe8", 16);
    const QByteArray kept = arena.bytes(body.constData(), body.size());
    QCOMPARE(kept, body);
    QCOMPARE(kept.constData()[kept.size()], '\0');
    QVERIFY(arena.bytes(nullptr, 0).isNull());
}

void TestRecordArena::copiesOutliveTheArena()
{
    QString text;
    QByteArray bytes;
    QList<QString> keys;
    {
        RecordArena arena;
        Counted *record = arena.make<Counted>();
        record->text = arena.utf8Text("words that outlive their set", 28);
        text = record->text;
        bytes = arena.bytes("body", 4);
        for (int i = 0; i < 1000; ++i)
            keys.append(arena.latin1Text("12345", 5));
    }
    QCOMPARE(Counted::destroyed, 1);
    QCOMPARE(text, QString("words that outlive their set"));
    QCOMPARE(bytes, QByteArray("body"));
    QCOMPARE(keys.last(), QString("12345"));
    text.append(" and grow");
    QCOMPARE(text, QString("words that outlive their set and grow"));
    const QString again = keys.first();
    keys.clear();
    QCOMPARE(again, QString("12345"));
}

void TestRecordArena::changingACopyLeavesTheArenaTextAlone()
{
    RecordArena arena;
    const QString kept = arena.latin1Text("kept", 4);
    QString copy = kept;
    copy[0] = QLatin1Char('w');
    copy.append('!');
    QCOMPARE(kept, QString("kept"));
    QCOMPARE(copy, QString("wept!"));
    QString cleared = kept;
    cleared.clear();
    QCOMPARE(kept, QString("kept"));
}

void TestRecordArena::trimmingKeepsWhatWasMadeAndMakingGoesOn()
{
    // Past the first blocks, into blocks of huge pages, in every kind of block.
    RecordArena arena;
    const auto fill
        = [&arena](int from, int to, QVector<Counted *> &made, QVector<QByteArray> &bytes) {
              for (int i = from; i < to; ++i) {
                  Counted *c = arena.make<Counted>();
                  c->text = arena.latin1Text(
                      QByteArray::number(i).constData(), QByteArray::number(i).size());
                  made.append(c);
                  const QByteArray b = QByteArray::number(i * 7).repeated(20);
                  bytes.append(arena.bytes(b.constData(), b.size()));
              }
          };
    QVector<Counted *> made;
    QVector<QByteArray> bytes;
    fill(0, 20000, made, bytes);
    QVERIFY(arena.reservedBytes() > std::size_t(3) << 21);
    arena.trim();
    fill(20000, 40000, made, bytes);
    arena.trim();
    arena.trim();
    for (int i = 0; i < made.size(); ++i) {
        QCOMPARE(made.at(i)->text, QString::number(i));
        QCOMPARE(bytes.at(i), QByteArray::number(i * 7).repeated(20));
    }
}

void TestRecordArena::copiesOutliveALargeArenaReleasedOnSeveralThreads()
{
    const int count = 150000;
    QVector<QString> texts;
    QVector<QByteArray> bytes;
    {
        RecordArena arena;
        for (int i = 0; i < count; ++i) {
            const QByteArray digits = QByteArray::number(i);
            Counted *c = arena.make<Counted>();
            c->text = arena.latin1Text(digits.constData(), digits.size());
            const QByteArray body = digits.repeated(9);
            const QByteArray kept = arena.bytes(body.constData(), body.size());
            // One of each kind from the first, middle and last blocks.
            if (i == 0 || i == count / 2 || i == count - 1) {
                texts.append(c->text);
                bytes.append(kept);
            }
        }
    }
    QCOMPARE(Counted::destroyed, count);
    const QVector<int> at { 0, count / 2, count - 1 };
    for (int k = 0; k < at.size(); ++k) {
        QCOMPARE(texts.at(k), QString::number(at.at(k)));
        QCOMPARE(bytes.at(k), QByteArray::number(at.at(k)).repeated(9));
    }
}

void TestRecordArena::lastingTextsDecodeAsQtDoesAndAreMadeOnce_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::newRow("ascii") << QByteArray("iMessage");
    QTest::newRow("accents") << QByteArray("e:andr\xc3\xa9@example.com");
    QTest::newRow("invalid sequence") << QByteArray("p:+33\xff\xfe");
    QTest::newRow("longest made once") << QByteArray(256, 'a');
    QTest::newRow("too long, ordinary") << QByteArray(257, 'b');
}

void TestRecordArena::lastingTextsDecodeAsQtDoesAndAreMadeOnce()
{
    QFETCH(QByteArray, utf8);
    const QString expected = QString::fromUtf8(utf8);
    QString first = lastingText(utf8.constData(), utf8.size());
    QString second;
    std::thread other([&] { second = lastingText(utf8.constData(), utf8.size()); });
    other.join();
    QCOMPARE(first, expected);
    QCOMPARE(second, expected);
    QCOMPARE(first.constData() == second.constData(), utf8.size() <= 256);
    // A change is the changer's own.
    QString changed = first;
    changed[0] = QLatin1Char('X');
    changed.append(QLatin1String("!"));
    QCOMPARE(lastingText(utf8.constData(), utf8.size()), expected);
    first.clear();
    QCOMPARE(second, expected);
}

void TestRecordArena::lastingTextsStayWholePastTheirBound()
{
    // Null and empty stay apart, as QString::fromUtf8 keeps them.
    QVERIFY(lastingText(nullptr, 0).isNull());
    QVERIFY(!lastingText("", 0).isNull() && lastingText("", 0).isEmpty());
    // Far more distinct texts than are ever made for the process.
    for (int i = 0; i < 3000; ++i) {
        const QByteArray utf8 = "account " + QByteArray::number(i);
        QCOMPARE(lastingText(utf8.constData(), utf8.size()), QString::fromUtf8(utf8));
    }
}

QTEST_GUILESS_MAIN(TestRecordArena)
#include "tst_recordarena.moc"
