// Copies and folders made by an export run: copies whole and byte for byte whether the
// system or the buffer copies them, never over anything, and nothing left of a copy that
// failed; folders claimed only when the run's own mkdir made them.
#include "operations/createdpaths.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The folder that another writer makes, with a file of its own, right before this process
// asks for it: the race between finding a folder missing and making it.
QByteArray anotherWriterMakes;

int systemMkdir(const char *path, mode_t mode)
{
    return int(syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

} // namespace

// Stands in for the system's mkdir in this process, the library's calls included (the test
// exports its symbols).
extern "C" int mkdir(const char *path, mode_t mode)
{
    if (!anotherWriterMakes.isEmpty() && anotherWriterMakes == path) {
        const QString theirs = QFile::decodeName(anotherWriterMakes);
        anotherWriterMakes.clear();
        QDir().mkpath(theirs + QStringLiteral("/inner"));
        QFile file(theirs + QStringLiteral("/inner/theirs.txt"));
        if (file.open(QIODevice::WriteOnly))
            file.write("another writer's");
    }
    return systemMkdir(path, mode);
}

class TestCreatedPaths : public QObject
{
    Q_OBJECT

private slots:
    void copiesWhole_data();
    void copiesWhole();
    void neverCopiesOverAnything();
    void failedCopyLeavesNothing();
    void neverClaimsAFolderAnotherWriterMade_data();
    void neverClaimsAFolderAnotherWriterMade();

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

void TestCreatedPaths::neverClaimsAFolderAnotherWriterMade_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("theirs");
    QTest::newRow("the folder") << "c"
                                << "c";
    QTest::newRow("its missing parent") << "a/b/c"
                                        << "a";
}

void TestCreatedPaths::neverClaimsAFolderAnotherWriterMade()
{
    QFETCH(QString, target);
    QFETCH(QString, theirs);
    const QDir base(dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
    QVERIFY(base.mkpath(QStringLiteral(".")));
    anotherWriterMakes = QFile::encodeName(base.filePath(theirs));
    CreatedPaths created;
    created.makeFolder(base.filePath(target));
    QVERIFY(anotherWriterMakes.isEmpty());
    QVERIFY(QFileInfo(base.filePath(target)).isDir());
    created.removeAll();
    QCOMPARE(fileBytes(base.filePath(theirs + QStringLiteral("/inner/theirs.txt"))),
        QByteArray("another writer's"));
    // What the run made inside theirs goes.
    QCOMPARE(QFileInfo::exists(base.filePath(target)), target == theirs);
}

QTEST_GUILESS_MAIN(TestCreatedPaths)
#include "tst_createdpaths.moc"
