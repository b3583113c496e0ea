// The one reader of untrusted property lists: what it refuses before libplist sees it.
#include "platform/plistinput/plistinput.h"
#include "support/binaryplist.h"

#include <QtTest>

class TestPlistInput : public QObject
{
    Q_OBJECT

private slots:
    void sharedItemsCountOncePerReference_data();
    void sharedItemsCountOncePerReference();
};

void TestPlistInput::sharedItemsCountOncePerReference_data()
{
    using namespace binaryplist;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    QTest::newRow("8191 nodes") << sharedArrays(12) << true;
    QTest::newRow("just past a million nodes") << sharedArrays(20) << false;
    QTest::newRow("2^81 nodes in 363 bytes") << sharedArrays(80) << false;
    // Below a key of a dictionary, 2^31 nodes.
    QList<QByteArray> keyed { QByteArray("\xD1\x01\x02", 3), ascii("k") };
    for (int i = 3; i < 33; ++i)
        keyed << QByteArray("\xA2", 1) + char(i) + char(i);
    keyed << ascii("x");
    QTest::newRow("shared below a dictionary") << list(keyed) << false;
}

void TestPlistInput::sharedItemsCountOncePerReference()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    plist_t root = plistinput::parse(bytes.constData(), size_t(bytes.size()));
    QCOMPARE(root != nullptr, read);
    plist_free(root);
}

QTEST_GUILESS_MAIN(TestPlistInput)
#include "tst_plistinput.moc"
