#include "platform/samplephones/fixturedb.h"
#include "records/relaypath.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class TestRelayPath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void namesOfOneTree_data();
    void namesOfOneTree();

private:
    QTemporaryDir m_dir;
    QDir m_tree;
    std::unique_ptr<RelayPathResolver> m_shared;
};

void TestRelayPath::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tree = QDir(m_dir.filePath("file-relay"));
    const QString attachments = m_tree.filePath("var/mobile/Library/SMS/Attachments");
    writeFixtureFile(attachments + "/aa/real.jpg", "real");
    writeFixtureFile(m_dir.filePath("outside/secret.txt"), "secret");
    QVERIFY(QFile::link(m_dir.filePath("outside"), attachments + "/out"));
    QVERIFY(QFile::link(m_dir.filePath("outside/secret.txt"), attachments + "/aa/link.txt"));
    QVERIFY(QFile::link(attachments + "/aa", attachments + "/in"));
    QVERIFY(QFile::link(m_dir.filePath("gone"), attachments + "/dangling"));
    // Links by relative path, one staying in the tree and one climbing out of it.
    QCOMPARE(::symlink("aa", QFile::encodeName(attachments + "/rel").constData()), 0);
    QCOMPARE(::symlink("../../../../../../../outside/secret.txt",
                 QFile::encodeName(attachments + "/aa/climb.txt").constData()),
        0);
    // One resolver for every row: what it learns of a folder must not change later answers.
    m_shared = std::make_unique<RelayPathResolver>(m_tree, RelayBackslash::Keep);
}

void TestRelayPath::namesOfOneTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // below the tree, or "-" for refused

    const QString a = "var/mobile/Library/SMS/Attachments/";
    QTest::newRow("file present") << "~/Library/SMS/Attachments/aa/real.jpg" << a + "aa/real.jpg";
    QTest::newRow("file missing beside it")
        << "~/Library/SMS/Attachments/aa/none.jpg" << a + "aa/none.jpg";
    QTest::newRow("folders missing")
        << "/var/mobile/Library/SMS/Attachments/zz/09/G/x.jpg" << a + "zz/09/G/x.jpg";
    QTest::newRow("sibling of missing folders")
        << "~/Library/SMS/Attachments/zz/09/H/y.jpg" << a + "zz/09/H/y.jpg";
    QTest::newRow("missing file below a link outside") << "~/Library/SMS/Attachments/out/new"
                                                       << "-";
    QTest::newRow("file below a link outside") << "~/Library/SMS/Attachments/out/secret.txt"
                                               << "-";
    QTest::newRow("missing folders below a link outside")
        << "~/Library/SMS/Attachments/out/a/b/c.jpg"
        << "-";
    QTest::newRow("file linked outside") << "~/Library/SMS/Attachments/aa/link.txt"
                                         << "-";
    QTest::newRow("file present after a refused sibling")
        << "~/Library/SMS/Attachments/aa/real.jpg" << a + "aa/real.jpg";
    QTest::newRow("folder linked inside")
        << "~/Library/SMS/Attachments/in/real.jpg" << a + "in/real.jpg";
    QTest::newRow("dangling link") << "~/Library/SMS/Attachments/dangling/x"
                                   << "-";
    QTest::newRow("folder linked inside by a relative path")
        << "~/Library/SMS/Attachments/rel/real.jpg" << a + "rel/real.jpg";
    QTest::newRow("file climbing out by a relative path")
        << "~/Library/SMS/Attachments/aa/climb.txt"
        << "-";
    QTest::newRow("file through a relative link and back up")
        << "~/Library/SMS/Attachments/rel/../aa/real.jpg" << a + "aa/real.jpg";
}

void TestRelayPath::namesOfOneTree()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString path = expected == "-" ? QString() : m_tree.filePath(expected);
    QCOMPARE(relayFilePath(m_tree, name, RelayBackslash::Keep), path);
    QCOMPARE(m_shared->path(name), path);
}

QTEST_GUILESS_MAIN(TestRelayPath)
#include "tst_relaypath.moc"
