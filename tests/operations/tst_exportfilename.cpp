#include "operations/exportfilename.h"

#include <QtTest>

class TestExportFileName : public QObject
{
    Q_OBJECT

private slots:
    void cleansNamesFromPhones_data();
    void cleansNamesFromPhones();
    void shortensLongNamesKeepingTheSuffix_data();
    void shortensLongNamesKeepingTheSuffix();
};

void TestExportFileName::cleansNamesFromPhones_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "Alice (+1555).pdf"
                           << "Alice (+1555).pdf";
    QTest::newRow("separators") << "../../etc/passwd"
                                << "....etcpasswd";
    QTest::newRow("windows characters") << "a\\b:c*d?e\"f<g>h|i"
                                        << "abcdefghi";
    QTest::newRow("control characters") << QString("a\nb\tc") + QChar(0) + "d"
                                        << "abcd";
    QTest::newRow("trimmed") << "  name  "
                             << "name";
    QTest::newRow("dots only") << ".."
                               << "fallback";
    QTest::newRow("dot") << "."
                         << "fallback";
    QTest::newRow("nothing left") << " /// "
                                  << "fallback";
    QTest::newRow("lone surrogate") << QString("a") + QChar(0xD800) + "b"
                                    << "a_b";
    QTest::newRow("pair kept") << QString::fromUcs4(U"smile \U0001F600")
                               << QString::fromUcs4(U"smile \U0001F600");
}

void TestExportFileName::cleansNamesFromPhones()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(safeFileName(name, "fallback"), expected);
}

void TestExportFileName::shortensLongNamesKeepingTheSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("suffix");

    QTest::newRow("ascii") << QString(300, 'a') + ".jpeg"
                           << ".jpeg";
    QTest::newRow("two-byte characters") << QString(150, QChar(0x00E9)) + ".txt"
                                         << ".txt";
    QTest::newRow("surrogate pairs") << QString::fromUcs4(U"\U0001F600").repeated(80) + ".vcf"
                                     << ".vcf";
    QTest::newRow("no suffix") << QString(300, 'b') << "";
}

void TestExportFileName::shortensLongNamesKeepingTheSuffix()
{
    QFETCH(QString, name);
    QFETCH(QString, suffix);
    const QString result = safeFileName(name, "x");
    QVERIFY(result.toUtf8().size() <= MaxExportNameBytes);
    QVERIFY(result.toUtf8().size() > MaxExportNameBytes - 4);
    QVERIFY(result.endsWith(suffix));
    QVERIFY(name.startsWith(result.left(result.size() - suffix.size())));
    QVERIFY(!result.at(result.size() - suffix.size() - 1).isHighSurrogate());
}

QTEST_MAIN(TestExportFileName)
#include "tst_exportfilename.moc"
