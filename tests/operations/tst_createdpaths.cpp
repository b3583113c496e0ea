// Copies made by an export run: whole and byte for byte whether the system or the buffer
// copies them, never over anything, and nothing left of a copy that failed.
#include "operations/createdpaths.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

class TestCreatedPaths : public QObject
{
    Q_OBJECT

private slots:
    void copiesWhole_data();
    void copiesWhole();
    void neverCopiesOverAnything();
    void failedCopyLeavesNothing();

private:
    QTemporaryDir dir;
};

void TestCreatedPaths::copiesWhole_data()
{
    QTest::addColumn<QString>("source"); // empty: a file of `size` bytes made here
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("one byte") << QString() << 1;
    QTest::newRow("past one buffer") << QString() << 3 * 65536 + 7;
    // Its size reads as 0 and the system does not copy it: the buffer reads what it holds.
    QTest::newRow("kernel's text") << "/proc/version" << 0;
}

void TestCreatedPaths::copiesWhole()
{
    QFETCH(QString, source);
    QFETCH(int, size);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    if (source.isEmpty()) {
        source = dir.filePath(tag + QStringLiteral(".in"));
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            bytes[i] = char(i * 7 + i / 251);
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(size));
    }
    const QString target = dir.filePath(tag + QStringLiteral(".out"));
    CreatedPaths created;
    QVERIFY(created.copyFile(source, target));
    QCOMPARE(fileBytes(target), fileBytes(source));
    QVERIFY(!fileBytes(source).isEmpty() || size == 0);
}

void TestCreatedPaths::neverCopiesOverAnything()
{
    const QString source = dir.filePath(QStringLiteral("kept.in"));
    const QString target = dir.filePath(QStringLiteral("kept.out"));
    for (const QString &path : { source, target }) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(path.toUtf8());
    }
    CreatedPaths created;
    QVERIFY(!created.copyFile(source, target));
    QCOMPARE(fileBytes(target), target.toUtf8());
}

void TestCreatedPaths::failedCopyLeavesNothing()
{
    const QString source = dir.filePath(QStringLiteral("large.in"));
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(200000, 'x')) == 200000);
    }
    const QString folder = dir.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(folder));
    CreatedPaths created;
    bool thrown = false;
    {
        // Stands for a full disk: no file may grow past this.
        const FileSizeLimit full(8192);
        try {
            created.copyFile(source, folder + QStringLiteral("/large.out"));
        } catch (const std::runtime_error &) {
            thrown = true;
        }
    }
    QVERIFY(thrown);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList());
}

QTEST_GUILESS_MAIN(TestCreatedPaths)
#include "tst_createdpaths.moc"
