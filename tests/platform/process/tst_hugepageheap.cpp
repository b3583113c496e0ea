#include "platform/process/hugepageheap.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

// Started as "--tunables", this program restarts itself as the window does and prints the
// tunables it then runs with.
class TestHugePageHeap : public QObject
{
    Q_OBJECT

private slots:
    void restartsOnceWithTheTunableAdded_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("runsWith");
        QTest::newRow("none") << QString() << "glibc.malloc.hugetlb=1";
        QTest::newRow("others kept") << "glibc.malloc.tcache_count=7"
                                     << "glibc.malloc.tcache_count=7:glibc.malloc.hugetlb=1";
        QTest::newRow("the caller's choice stays") << "glibc.malloc.hugetlb=0"
                                                   << "glibc.malloc.hugetlb=0";
    }

    void restartsOnceWithTheTunableAdded()
    {
        QFETCH(QString, given);
        QFETCH(QString, runsWith);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("GLIBC_TUNABLES"));
        if (!given.isNull())
            env.insert(QStringLiteral("GLIBC_TUNABLES"), given);
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--tunables") });
        QVERIFY(child.waitForFinished(20000)); // a restart that loops never finishes
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed(), runsWith);
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--tunables") == 0) {
        restartWithHugePageHeap(argv);
        const char *tunables = std::getenv("GLIBC_TUNABLES");
        std::printf("%s\n", tunables ? tunables : "");
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestHugePageHeap test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hugepageheap.moc"
