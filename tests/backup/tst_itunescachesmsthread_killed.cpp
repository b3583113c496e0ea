// Kills the backup cache again and again, anywhere in its work, while it caches two versions
// of one backup in turn into the same folder, and checks that every file the cache index
// remembers holds the version of the time it remembers, and that the next run leaves the
// last version whole and nothing else. Run with "--cache-forever FOLDER" the binary is that
// writer.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "support/backupwriter.h"
#include "support/filebytes.h"
#include "support/killedwriter.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const char kWriterFlag[] = "--cache-forever";
const int kFiles = 60;
// Each version's times; the sizes are the same in both, so only the content tells them apart.
const quint32 kVersionTimes[2] = { 1400000000, 1500000000 };

QString filePath(int i)
{
    return i == 0 ? QStringLiteral("Library/SMS/sms.db")
                  : QStringLiteral("Library/SMS/Attachments/%1/IMG_%2.JPG").arg(i % 4).arg(i);
}

QByteArray content(int version, int i)
{
    QByteArray bytes(1000 + (i * 7919) % 150000, '\0');
    for (int k = 0; k < bytes.size(); ++k)
        bytes[k] = char((k * 31 + i * 7 + version * 101) & 0xFF);
    return bytes;
}

QString versionFolder(const QString &folder, int version)
{
    return QDir(folder).filePath(QStringLiteral("backup-%1").arg(version));
}

QString cacheFolder(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("cache"));
}

QString cachedPath(const QString &folder, int i)
{
    return QDir(cacheFolder(folder))
        .filePath(QStringLiteral("file-relay/var/mobile/") + filePath(i));
}

std::unique_ptr<BackupManifest> openVersion(const QString &folder, int version)
{
    auto backup = std::make_unique<BackupManifest>(versionFolder(folder, version));
    backup->loadManifestPlist();
    backup->loadFileTree();
    return backup;
}

void cacheVersion(BackupManifest &backup, const QString &folder)
{
    ITunesCacheSMSThread worker(&backup, cacheFolder(folder), nullptr);
    worker.run();
}

// Caches the two versions in turn, for ever.
int cacheForever(const QString &folder)
{
    const std::unique_ptr<BackupManifest> versions[2]
        = { openVersion(folder, 0), openVersion(folder, 1) };
    announceWriterReady();
    for (int run = 1;; ++run)
        cacheVersion(*versions[run % 2], folder);
}

// Empty when every file the index remembers holds the version of its time; else what is wrong.
QString rememberedProblem(const QString &folder)
{
    const QString index = QDir(cacheFolder(folder)).filePath(QStringLiteral("manifest.db"));
    if (!QFileInfo::exists(index))
        return QString();
    QHash<QString, int> files;
    for (int i = 0; i < kFiles; ++i)
        files.insert(BackupWriter::fileId(QStringLiteral("MediaDomain"), filePath(i)), i);
    try {
        // Read-write, so that what a killed run left in its journal is rolled back first.
        Sqlite3DB db;
        db.openThrow(index, Sqlite3DB::ReadWrite);
        Sqlite3Cursor rows = db.queryThrow(Sqlite3Sql("select file_name,last_date from manifest"));
        while (rows.moveNext()) {
            const int i = files.value(rows.getText(0), -1);
            const int version = rows.getInt64(1) >= kVersionTimes[1] ? 1 : 0;
            if (i < 0 || rows.getInt64(1) != kVersionTimes[version] + i)
                return QStringLiteral("the index remembers %1 at %2")
                    .arg(rows.getText(0))
                    .arg(rows.getInt64(1));
            if (filebytes::read(cachedPath(folder, i)) != content(version, i))
                return QStringLiteral("%1 is not the copy of version %2")
                    .arg(filePath(i))
                    .arg(version);
        }
    } catch (const std::exception &e) {
        // An index killed while it was made has no table yet: it remembers nothing.
        if (!QString::fromUtf8(e.what()).contains(QLatin1String("no such table")))
            return QString::fromUtf8(e.what());
    }
    return QString();
}

// Empty when the cache holds version 0 and its index and nothing else; else what is wrong.
QString cachedProblem(const QString &folder)
{
    // SQLite's own journal may stay after a kill: the index deals with it.
    const QString index = QDir(cacheFolder(folder)).filePath(QStringLiteral("manifest.db"));
    QSet<QString> expected { index, index + QStringLiteral("-journal") };
    for (int i = 0; i < kFiles; ++i) {
        expected.insert(cachedPath(folder, i));
        if (filebytes::read(cachedPath(folder, i)) != content(0, i))
            return QStringLiteral("%1 is not the copy of version 0").arg(filePath(i));
    }
    QDirIterator it(cacheFolder(folder), QDir::Files | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!expected.contains(path))
            return QStringLiteral("stray %1").arg(QDir(cacheFolder(folder)).relativeFilePath(path));
    }
    return QString();
}

} // namespace

class TestITunesCacheSMSThreadKilled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The locks are kept in the program's data folder below HOME, the writer's too.
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
    }
    void killedCacheLeavesOnlyWhatItsIndexDescribes();

private:
    QTemporaryDir m_home;
};

void TestITunesCacheSMSThreadKilled::killedCacheLeavesOnlyWhatItsIndexDescribes()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    for (int version = 0; version < 2; ++version) {
        BackupWriter w(versionFolder(folder, version));
        for (int i = 0; i < kFiles; ++i)
            w.addFileWithFolders(QStringLiteral("MediaDomain"), filePath(i), content(version, i),
                kVersionTimes[version] + quint32(i));
        w.write();
    }
    const std::unique_ptr<BackupManifest> first = openVersion(folder, 0);
    KillDelays delays;
    for (int kill = 0; kill < 30; ++kill) {
        QString why;
        QVERIFY2(killWriterAfter(kWriterFlag, folder, delays.next(5, 150), &why), qPrintable(why));
        QString problem = rememberedProblem(folder);
        QVERIFY2(problem.isEmpty(),
            qPrintable(QStringLiteral("%1 after kill %2").arg(problem).arg(kill)));
        cacheVersion(*first, folder);
        problem = cachedProblem(folder);
        QVERIFY2(problem.isEmpty(),
            qPrintable(QStringLiteral("%1 after the run after kill %2").arg(problem).arg(kill)));
    }
}

QM_TEST_MAIN_WITH_WRITER(TestITunesCacheSMSThreadKilled, kWriterFlag, cacheForever)

#include "tst_itunescachesmsthread_killed.moc"
