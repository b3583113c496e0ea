#include "platform/win/winplatform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(winplatform::DriveType)

class TestWinPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void readsRegistryString_data();
    void readsRegistryString();
    void missingRegistryFileReadsEmpty();
    void registryFileFallsBackToSystemPath();

    void commonFilesFolderHonoursOverride();
    void setsAndReadsPath();
    void findsLibraryOnPath_data();
    void findsLibraryOnPath();
    void findsLibraryInProgramFolderAfterPath();

    void freeSpaceOfTempFolderIsPositive();
    void freeSpaceOfMissingFolderIsUnknown();
    void driveTypeOfTempFolderIsKnown();
    void driveTypeOfMissingFolderIsNoRootDir();
    void classifiesDrivesFromTheMountTable_data();
    void classifiesDrivesFromTheMountTable();

    void openFolderRefusesMissingFolder();

private:
    void writeRegistry(const QByteArray &content);

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
    winplatform::MountTable m_mounts;
};

void TestWinPlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_savedPath = qgetenv("PATH");

    // Block devices as sysfs shows them: a partition's folder lies in its disk's, which has
    // the flag.
    const QDir sys(m_dir.filePath("sys"));
    for (const QString disk : { "sdb", "sdc" }) {
        const QString partition = "devices/" + disk + "/" + disk + "1";
        QVERIFY(sys.mkpath(partition));
        QVERIFY(QFile::link(partition, sys.filePath(disk + "1")));
        QFile flag(sys.filePath("devices/" + disk + "/removable"));
        QVERIFY(flag.open(QIODevice::WriteOnly));
        flag.write(disk == "sdb" ? "1\n" : "0\n");
    }
    qputenv("QUILLMARROW_SYS_BLOCK", QFile::encodeName(sys.path()));

    // Local mount points exist, and so does a fuseblk one; the network ones do not, so that
    // touching one reads as missing.
    const QDir base(m_dir.filePath("mnt"));
    for (const char *folder : { "disk/a", "disk/ram", "stick", "ntfs", "ram", "my disk/a",
             "nfsdata", "stacked", "overlay", "usb", "proc" })
        QVERIFY(base.mkpath(folder));
    QVERIFY(QFile::link(base.filePath("nfs/x"), base.filePath("disk/link")));
    const QByteArray table = "1 0 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
                             "not a mount\n"
                             "2 1 8:2 / $ rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                             "3 2 0:40 / $/nfs rw - nfs server:/export rw,vers=3\n"
                             "4 2 0:41 / $/nfs4 rw - nfs4 server:/ rw\n"
                             "5 2 0:42 / $/share rw - cifs //server/share rw\n"
                             "6 2 0:43 / $/ssh rw,nosuid - fuse.sshfs me@host:/home rw\n"
                             "7 2 0:44 / $/fuse rw - fuse fuse rw\n"
                             "8 2 0:45 / $/lustre rw - lustre 10.0.0.1@tcp:/fs rw\n"
                             "9 3 8:65 / $/nfs/local rw - ext4 /dev/sde1 rw\n"
                             "10 2 8:17 / $/stick rw - vfat /dev/sdb1 rw\n"
                             "11 2 8:33 / $/ntfs rw - ntfs3 /dev/sdc1 rw\n"
                             "12 2 0:46 / $/ram rw - tmpfs tmpfs rw\n"
                             "13 2 0:47 / $/my\\040disk rw - tmpfs tmpfs rw\n"
                             "14 2 8:49 / $/disk rw - ext4 /dev/sdd1 rw\n"
                             "15 14 0:48 / $/disk/ram rw - ramfs ramfs rw\n"
                             "16 2 8:81 / $/stacked rw - ext4 /dev/sdf1 rw\n"
                             "17 16 0:49 / $/stacked rw - tmpfs tmpfs rw\n"
                             "18 2 0:50 / $/overlay rw - overlay overlay rw,lowerdir=/l\n"
                             "19 2 0:51 / $/cut rw -\n"
                             "20 2 8:17 / $/usb rw - fuseblk /dev/sdb1 rw\n"
                             "21 2 0:52 / $/proc rw - proc proc rw\n";
    m_mounts = winplatform::parseMountTable(
        QByteArray(table).replace('$', QFile::encodeName(base.path())));
}

void TestWinPlatform::init()
{
    qputenv("QUILLMARROW_REGISTRY", QFile::encodeName(m_dir.filePath("registry.conf")));
    QFile::remove(m_dir.filePath("registry.conf"));
}

void TestWinPlatform::cleanupTestCase()
{
    qputenv("PATH", m_savedPath);
}

void TestWinPlatform::writeRegistry(const QByteArray &content)
{
    QFile file(m_dir.filePath("registry.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void TestWinPlatform::readsRegistryString_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");

    const QString md = QStringLiteral("SOFTWARE\\Apple Inc.\\Apple Mobile Device Support");
    const QString as = QStringLiteral("SOFTWARE\\Apple Inc.\\Apple Application Support");
    QTest::newRow("exact") << md << "InstallDir"
                           << "/opt/apple/mds";
    QTest::newRow("key and value case-insensitive") << md.toUpper() << "installdir"
                                                    << "/opt/apple/mds";
    QTest::newRow("second key") << as << "InstallDir"
                                << "/opt/apple/as = x";
    QTest::newRow("value of another key not visible") << as << "Version"
                                                      << "";
    QTest::newRow("missing key") << "SOFTWARE\\Nobody"
                                 << "InstallDir"
                                 << "";
    QTest::newRow("missing value") << md << "Nothing"
                                   << "";
    QTest::newRow("127 units fit") << "SOFTWARE\\Long"
                                   << "Fits" << QString(127, QLatin1Char('a'));
    QTest::newRow("128 units too long") << "SOFTWARE\\Long"
                                        << "TooLong"
                                        << "";
    QTest::newRow("non-ASCII") << "SOFTWARE\\Long"
                               << "Unicode" << QString::fromUtf8("/opt/\xc3\xa4pple");
}

void TestWinPlatform::readsRegistryString()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, expected);

    writeRegistry("; machine registry\n"
                  "[SOFTWARE\\Apple Inc.\\Apple Mobile Device Support]\n"
                  "InstallDir=/opt/apple/mds\n"
                  "Version=1.0\n"
                  "\n"
                  "[ SOFTWARE\\Apple Inc.\\Apple Application Support ]\r\n"
                  "InstallDir = /opt/apple/as = x\r\n"
                  "[SOFTWARE\\Long]\n"
                  "Fits="
        + QByteArray(127, 'a') + "\nTooLong=" + QByteArray(128, 'b')
        + "\nUnicode=/opt/\xc3\xa4pple\n");
    QCOMPARE(winplatform::readRegistryString(key, value), expected);
}

void TestWinPlatform::missingRegistryFileReadsEmpty()
{
    QVERIFY(winplatform::readRegistryString(
        "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support", "InstallDir")
                .isEmpty());
}

void TestWinPlatform::registryFileFallsBackToSystemPath()
{
    qunsetenv("QUILLMARROW_REGISTRY");
    QCOMPARE(winplatform::registryFilePath(), QStringLiteral("/etc/quillmarrow/registry.conf"));
}

void TestWinPlatform::commonFilesFolderHonoursOverride()
{
    qunsetenv("QUILLMARROW_COMMON_FILES");
    QCOMPARE(winplatform::commonProgramFilesFolder(), QStringLiteral("/opt"));
    qputenv("QUILLMARROW_COMMON_FILES", QFile::encodeName(m_dir.path()));
    QCOMPARE(winplatform::commonProgramFilesFolder(), m_dir.path());
    qunsetenv("QUILLMARROW_COMMON_FILES");
}

void TestWinPlatform::setsAndReadsPath()
{
    QCOMPARE(winplatform::pathListSeparator(), QLatin1Char(':'));
    const QString value
        = m_dir.path() + winplatform::pathListSeparator() + QString::fromLocal8Bit(m_savedPath);
    QVERIFY(winplatform::setEnvironmentPath(value));
    QCOMPARE(winplatform::environmentPath(), value);
    QCOMPARE(qgetenv("PATH"), value.toLocal8Bit());
    qputenv("PATH", m_savedPath);
}

void TestWinPlatform::findsLibraryOnPath_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("lib prefix in second folder") << QStringList { "b/libFoo.so" } << "Foo"
                                                 << "b/libFoo.so";
    QTest::newRow("plain name") << QStringList { "a/Foo.so" } << "Foo"
                                << "a/Foo.so";
    QTest::newRow("first folder wins") << QStringList { "a/Foo.so", "b/libFoo.so" } << "Foo"
                                       << "a/Foo.so";
    QTest::newRow("lib prefix first in a folder")
        << QStringList { "a/Foo.so", "a/libFoo.so" } << "Foo"
        << "a/libFoo.so";
    QTest::newRow("not found gives the name") << QStringList { "a/Bar.so" } << "Foo"
                                              << "Foo";
    QTest::newRow("folder named like the library ignored")
        << QStringList { "a/libFoo.so/x" } << "Foo"
        << "Foo";
}

void TestWinPlatform::findsLibraryOnPath()
{
    QFETCH(QStringList, files);
    QFETCH(QString, name);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const QString &relative : files) {
        const QString path = root.filePath(relative);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QChar sep = winplatform::pathListSeparator();
    QVERIFY(
        winplatform::setEnvironmentPath(sep + root.filePath("a") + sep + sep + root.filePath("b")));
    const QString found = winplatform::findLibraryOnPath(name);
    qputenv("PATH", m_savedPath);
    QCOMPARE(found, expected == name ? expected : root.filePath(expected));
}

void TestWinPlatform::findsLibraryInProgramFolderAfterPath()
{
    QCOMPARE(winplatform::programFolder(), QCoreApplication::applicationDirPath());
    const QString name = QStringLiteral("QmProbe%1").arg(QCoreApplication::applicationPid());
    QFile beside(QDir(winplatform::programFolder()).filePath("lib" + name + ".so"));
    QVERIFY(beside.open(QIODevice::WriteOnly));
    beside.close();
    QTemporaryDir onPath;
    QFile first(QDir(onPath.path()).filePath(name + ".so"));
    QVERIFY(first.open(QIODevice::WriteOnly));
    first.close();

    QVERIFY(winplatform::setEnvironmentPath(onPath.path()));
    const QString fromPath = winplatform::findLibraryOnPath(name);
    QVERIFY(winplatform::setEnvironmentPath(m_dir.filePath("nothing-here")));
    const QString fromProgramFolder = winplatform::findLibraryOnPath(name);
    qputenv("PATH", m_savedPath);
    beside.remove();

    QCOMPARE(fromPath, first.fileName());
    QCOMPARE(fromProgramFolder, QFileInfo(beside).absoluteFilePath());
}

void TestWinPlatform::freeSpaceOfTempFolderIsPositive()
{
    QVERIFY(winplatform::freeSpace(m_dir.path()) > 0);
}

void TestWinPlatform::freeSpaceOfMissingFolderIsUnknown()
{
    QCOMPARE(winplatform::freeSpace(m_dir.filePath("no/such/folder")), qint64(-1));
    QCOMPARE(winplatform::freeSpace(QString()), qint64(-1));
}

void TestWinPlatform::driveTypeOfTempFolderIsKnown()
{
    const auto type = winplatform::driveType(m_dir.path());
    QVERIFY(type != winplatform::DriveType::Unknown);
    QVERIFY(type != winplatform::DriveType::NoRootDir);
}

void TestWinPlatform::driveTypeOfMissingFolderIsNoRootDir()
{
    QCOMPARE(winplatform::driveType(m_dir.filePath("no/such/folder")),
        winplatform::DriveType::NoRootDir);
}

void TestWinPlatform::classifiesDrivesFromTheMountTable_data()
{
    using winplatform::DriveType;
    QTest::addColumn<QString>("path");
    QTest::addColumn<DriveType>("type");
    QTest::newRow("ext4") << "disk/a" << DriveType::Fixed;
    QTest::newRow("nfs") << "nfs" << DriveType::Remote;
    QTest::newRow("below an nfs4 mount point") << "nfs4/a/b" << DriveType::Remote;
    QTest::newRow("cifs") << "share" << DriveType::Remote;
    QTest::newRow("fuse.sshfs") << "ssh" << DriveType::Remote;
    QTest::newRow("fuse") << "fuse" << DriveType::Remote;
    QTest::newRow("source naming a host") << "lustre" << DriveType::Remote;
    QTest::newRow("local mount below a remote one") << "nfs/local" << DriveType::Remote;
    QTest::newRow("link into a remote mount") << "disk/link/y" << DriveType::Remote;
    QTest::newRow("removable disk") << "stick" << DriveType::Removable;
    QTest::newRow("fixed disk") << "ntfs" << DriveType::Fixed;
    QTest::newRow("fuseblk on a removable disk") << "usb" << DriveType::Remote;
    QTest::newRow("kernel view") << "proc" << DriveType::Unknown;
    QTest::newRow("tmpfs") << "ram" << DriveType::RamDisk;
    QTest::newRow("escaped space") << "my disk/a" << DriveType::RamDisk;
    QTest::newRow("longest mount point") << "disk/ram" << DriveType::RamDisk;
    QTest::newRow("whole folder names") << "nfsdata" << DriveType::Fixed;
    QTest::newRow("last mount on one point") << "stacked" << DriveType::RamDisk;
    QTest::newRow("overlay") << "overlay" << DriveType::Fixed;
    QTest::newRow("missing local folder") << "disk/none" << DriveType::NoRootDir;
}

void TestWinPlatform::classifiesDrivesFromTheMountTable()
{
    using winplatform::DriveType;
    QFETCH(QString, path);
    QFETCH(DriveType, type);
    const QString absolute = QDir(m_dir.filePath("mnt")).filePath(path);
    QCOMPARE(int(winplatform::driveType(absolute, m_mounts)), int(type));
    QCOMPARE(winplatform::freeSpace(absolute, m_mounts) >= 0,
        type != DriveType::Remote && type != DriveType::NoRootDir && type != DriveType::Unknown);
}

void TestWinPlatform::openFolderRefusesMissingFolder()
{
    QVERIFY(!winplatform::openFolder(m_dir.filePath("no/such/folder")));
    QVERIFY(!winplatform::openFolder(QString()));
    QVERIFY(!winplatform::shellOpen(QStringLiteral("   ")));
}

QTEST_GUILESS_MAIN(TestWinPlatform)
#include "tst_winplatform.moc"
