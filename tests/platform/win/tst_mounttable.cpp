#include "platform/win/mounttable.h"
#include "platform/win/winplatform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(winplatform::MountKind)

class TestMountTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void parsesTheLinesFuseDaemonsLeave_data();
    void parsesTheLinesFuseDaemonsLeave();
    void readsTheTableTheEnvironmentNames();
    void classifiesMounts_data();
    void classifiesMounts();
    void neverLooksIntoFuseMounts_data();
    void neverLooksIntoFuseMounts();

private:
    QTemporaryDir m_dir;
    winplatform::MountTable m_mounts;
};

void TestMountTable::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Every mount point is a real folder and every link resolves: a walk that looked into a
    // FUSE mount would get an answer, and end elsewhere.
    const QDir base(m_dir.path());
    for (const char *folder :
        { "disk/a", "usb/x", "usb/inner", "ntfs", "ssh", "exfat", "ram", "view" })
        QVERIFY(base.mkpath(folder));
    QVERIFY(QFile::link(base.filePath("disk/a"), base.filePath("usb/link")));
    QVERIFY(QFile::link(base.filePath("usb/x"), base.filePath("disk/to-usb")));
    const QByteArray table = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                             "2 1 8:17 / $/disk rw - ext4 /dev/sdb1 rw\n"
                             "3 1 8:33 / $/usb rw,nosuid - fuseblk /dev/sdc1 rw,user_id=0\n"
                             "4 3 8:65 / $/usb/inner rw - ext4 /dev/sde1 rw\n"
                             "5 1 8:49 / $/ntfs rw - fuseblk.ntfs-3g /dev/sdd1 rw\n"
                             "6 1 0:40 / $/ssh rw - fuse.sshfs me@host:/home rw\n"
                             "7 1 8:81 / $/exfat rw - exfat /dev/sdf1 rw\n"
                             "8 1 0:41 / $/ram rw - tmpfs tmpfs rw\n"
                             "9 1 0:42 / $/view rw - cgroup2 cgroup2 rw\n";
    m_mounts = winplatform::parseMountTable(
        QByteArray(table).replace('$', QFile::encodeName(base.path())));
}

void TestMountTable::parsesTheLinesFuseDaemonsLeave_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("exfat-fuse") << QByteArray(
        "45 28 7:0 / /media/me/USB\\040STICK rw,nosuid,nodev,relatime shared:30 - "
        "fuseblk /dev/loop0 rw,user_id=0,group_id=0,allow_other,blksize=4096")
                                << "/media/me/USB STICK"
                                << "fuseblk"
                                << "/dev/loop0" << false;
    QTest::newRow("ntfs-3g with a subtype, read-only")
        << QByteArray("46 28 8:33 / /mnt/win ro,relatime - fuseblk.ntfs-3g /dev/sdc1 ro")
        << "/mnt/win"
        << "fuseblk.ntfs-3g"
        << "/dev/sdc1" << true;
    QTest::newRow("sshfs") << QByteArray("47 28 0:50 / /mnt/ssh rw - fuse.sshfs me@host:/ rw")
                           << "/mnt/ssh"
                           << "fuse.sshfs"
                           << "me@host:/" << false;
    QTest::newRow("kernel driver, type in upper case")
        << QByteArray("48 28 8:17 / /data rw master:2 - EXT4 /dev/sdb1 ro,errors=remount-ro")
        << "/data"
        << "ext4"
        << "/dev/sdb1" << true;
}

void TestMountTable::parsesTheLinesFuseDaemonsLeave()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, mountPoint);
    QFETCH(QString, type);
    QFETCH(QString, source);
    QFETCH(bool, readOnly);
    const winplatform::MountTable mounts = winplatform::parseMountTable(line + "\n");
    QCOMPARE(mounts.size(), 1);
    QCOMPARE(mounts[0].mountPoint, mountPoint);
    QCOMPARE(mounts[0].fileSystemType, type);
    QCOMPARE(mounts[0].source, source);
    QCOMPARE(mounts[0].readOnly, readOnly);
}

void TestMountTable::readsTheTableTheEnvironmentNames()
{
    const QString path = m_dir.filePath("mountinfo");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 8:2 / /usb rw - fuseblk /dev/sdb1 rw\n");
    file.close();
    qputenv("QUILLMARROW_MOUNTINFO", QFile::encodeName(path));
    const winplatform::MountTable named = winplatform::mountTable();
    qunsetenv("QUILLMARROW_MOUNTINFO");
    QCOMPARE(named.size(), 2);
    QCOMPARE(named[1].mountPoint, QStringLiteral("/usb"));
    // Without it, the kernel's own table, which always holds the root.
    QCOMPARE(winplatform::mountPointOf(winplatform::mountTable(), QStringLiteral("/")),
        QStringLiteral("/"));
}

void TestMountTable::classifiesMounts_data()
{
    using winplatform::MountKind;
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("source");
    QTest::addColumn<MountKind>("kind");
    QTest::newRow("fuseblk") << "fuseblk"
                             << "/dev/sdb1" << MountKind::Untouchable;
    QTest::newRow("fuseblk with a subtype") << "fuseblk.ntfs-3g"
                                            << "/dev/sdb1" << MountKind::Untouchable;
    QTest::newRow("fuse") << "fuse"
                          << "/dev/fuse" << MountKind::Untouchable;
    QTest::newRow("fuse.smbnetfs") << "fuse.smbnetfs"
                                   << "smbnetfs" << MountKind::Untouchable;
    QTest::newRow("nfs4") << "nfs4"
                          << "server:/export" << MountKind::Untouchable;
    QTest::newRow("automount") << "autofs"
                               << "systemd-1" << MountKind::Untouchable;
    QTest::newRow("a source naming a host") << "lustre"
                                            << "10.0.0.1@tcp:/fs" << MountKind::Untouchable;
    QTest::newRow("ext4") << "ext4"
                          << "/dev/sda1" << MountKind::Disk;
    QTest::newRow("exfat in the kernel") << "exfat"
                                         << "/dev/sdb1" << MountKind::Disk;
    QTest::newRow("ntfs3 in the kernel") << "ntfs3"
                                         << "/dev/sdb1" << MountKind::Disk;
    QTest::newRow("zfs data set") << "zfs"
                                  << "rpool/home" << MountKind::Disk;
    QTest::newRow("overlay") << "overlay"
                             << "overlay" << MountKind::Disk;
    QTest::newRow("tmpfs") << "tmpfs"
                           << "tmpfs" << MountKind::Memory;
    QTest::newRow("proc") << "proc"
                          << "proc" << MountKind::Other;
    QTest::newRow("cgroup2") << "cgroup2"
                             << "cgroup2" << MountKind::Other;
}

void TestMountTable::classifiesMounts()
{
    QFETCH(QString, type);
    QFETCH(QString, source);
    QFETCH(winplatform::MountKind, kind);
    winplatform::Mount mount;
    mount.mountPoint = QStringLiteral("/mnt");
    mount.fileSystemType = type;
    mount.source = source;
    QCOMPARE(int(winplatform::mountKind(mount)), int(kind));
}

void TestMountTable::neverLooksIntoFuseMounts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<bool>("asked");
    QTest::newRow("fuseblk mount point") << "usb"
                                         << "usb" << false;
    QTest::newRow("below a fuseblk mount") << "usb/x"
                                           << "usb" << false;
    QTest::newRow("link inside a fuseblk mount") << "usb/link/b"
                                                 << "usb" << false;
    QTest::newRow("kernel mount below a fuseblk one") << "usb/inner"
                                                      << "usb" << false;
    QTest::newRow("link into a fuseblk mount") << "disk/to-usb"
                                               << "usb" << false;
    QTest::newRow("fuseblk with a subtype") << "ntfs"
                                            << "ntfs" << false;
    QTest::newRow("fuse.sshfs") << "ssh"
                                << "ssh" << false;
    QTest::newRow("kernel exfat beside them") << "exfat"
                                              << "exfat" << true;
    QTest::newRow("ext4 beside them") << "disk/a"
                                      << "disk" << true;
    QTest::newRow("tmpfs") << "ram"
                           << "ram" << true;
    QTest::newRow("kernel view") << "view"
                                 << "view" << false;
}

void TestMountTable::neverLooksIntoFuseMounts()
{
    QFETCH(QString, path);
    QFETCH(QString, mountPoint);
    QFETCH(bool, asked);
    const QString absolute = QDir(m_dir.path()).filePath(path);
    QCOMPARE(winplatform::mountPointOf(m_mounts, absolute), m_dir.filePath(mountPoint));
    QCOMPARE(winplatform::mayAsk(m_mounts, absolute), asked);
    // The folder is real: only a mount that may be asked says how much room it has.
    QCOMPARE(winplatform::freeSpace(absolute, m_mounts) >= 0, asked);
}

QTEST_GUILESS_MAIN(TestMountTable)
#include "tst_mounttable.moc"
