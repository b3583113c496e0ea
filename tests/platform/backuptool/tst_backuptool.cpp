#include "backup/backupmanifest.h"
#include "backup/mbdb.h"
#include "support/backuptoolinstall.h"
#include "support/backupwriter.h"
#include "support/binaryplist.h"
#include "support/filesizelimit.h"
#include "support/simulatedphone.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

namespace {

struct ToolRun
{
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = -1;
    QString output; // standard error, a line break, standard output

    bool ok() const { return status == QProcess::NormalExit && code == 0; }
};

ToolRun runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QM_BACKUP_TOOL), arguments);
    ToolRun run;
    if (!process.waitForFinished(60000))
        return run;
    run.status = process.exitStatus();
    run.code = process.exitCode();
    run.output = QString::fromUtf8(
        process.readAllStandardError() + '\n' + process.readAllStandardOutput());
    return run;
}

QStringList backupArguments(const QString &udid, const QString &root)
{
    return { "-u", udid, "--backup", "--target", udid, "--root", root };
}

QStringList restoreArguments(const QString &udid, const QString &root)
{
    return { "-u", udid, "--restore", "--target", udid, "--root", root, "--source", udid };
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QString snapshotState(const QString &backupFolder)
{
    return SimulatedDeviceFolder::fromPlistFile(backupFolder + QStringLiteral("/Status.plist"))
        .toMap()
        .value(QStringLiteral("SnapshotState"))
        .toString();
}

// The backup's copy of a phone file, through the backup reader.
QByteArray extracted(
    BackupManifest &backup, const QString &domain, const QString &path, const QString &scratch)
{
    const QString id = mbdbFileName(domain, path);
    std::function<const BackupFileNode *(const BackupFileNode &)> find
        = [&](const BackupFileNode &node) -> const BackupFileNode * {
        if (node.record.fileName() == id && node.parent)
            return &node;
        for (const auto &child : node.children) {
            if (const BackupFileNode *found = find(*child))
                return found;
        }
        return nullptr;
    };
    const BackupFileNode *node = find(backup.root());
    if (!node)
        return QByteArray();
    const QString out = QDir(scratch).filePath(QStringLiteral("extracted"));
    backup.extractFile(node, out, nullptr);
    return readAll(out);
}

const char attachment0[] = "Library/SMS/Attachments/00/00/IMG_0000.JPG";

} // namespace

class TestBackupTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rejectsOtherCommandLines_data();
    void rejectsOtherCommandLines();
    void backupIsWhatTheBackupReaderReads();
    void encryptedBackupOpensOnlyWithThePassword();
    void secondBackupCopiesOnlyWhatChanged_data();
    void secondBackupCopiesOnlyWhatChanged();
    void failedBackupStaysUnfinished();
    void faultsEndTheTool_data();
    void faultsEndTheTool();
    void restoreWritesTheBackupBack_data();
    void restoreWritesTheBackupBack();
    void restoreRefusesDamagedOrUnfinishedBackups_data();
    void restoreRefusesDamagedOrUnfinishedBackups();
    void restoreKeepsHostilePathsInsideThePhone();
    void restoreMakesNoFolderThroughALink();
    void fullDiskEndsInAnError_data();
    void fullDiskEndsInAnError();
    void aNulInAnotherPhonesValuesStopsNothing_data();
    void aNulInAnotherPhonesValuesStopsNothing();

private:
    SimulatedPhone phone(const QString &udid, int attachments = 3);
    QString backupFolder(const QString &udid) const { return m_root + QLatin1Char('/') + udid; }

    QTemporaryDir m_scratch;
    QString m_devices;
    QString m_root;
};

void TestBackupTool::initTestCase()
{
    QVERIFY(m_scratch.isValid());
    m_devices = devicetest::useDevicesFolder(m_scratch.path());
    m_root = QDir(m_scratch.path()).filePath(QStringLiteral("backups"));
}

SimulatedPhone TestBackupTool::phone(const QString &udid, int attachments)
{
    SimulatedPhone phone(m_devices, udid, QStringLiteral("Phone ") + udid, QStringLiteral("9.3"),
        SimulatedPhone::Ios6);
    phone.addChat(
        QStringLiteral("+12015550100"), { QStringLiteral("hello"), QStringLiteral("bye") });
    phone.addAttachmentFiles(attachments, 4096);
    phone.device().addFile(
        QStringLiteral("var/mobile/Library/AddressBook/AddressBook.sqlitedb"), "ab");
    phone.device().addFile(QStringLiteral("var/mobile/Media/Recordings/memo.m4a"), "memo");
    return phone;
}

void TestBackupTool::rejectsOtherCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString u = QStringLiteral("rejected-phone");
    const QString r = m_root;
    QTest::newRow("none") << QStringList();
    QTest::newRow("backup without root") << QStringList { "-u", u, "--backup", "--target", u };
    QTest::newRow("targets differ")
        << QStringList { "-u", u, "--backup", "--target", "other", "--root", r };
    QTest::newRow("order changed")
        << QStringList { "--backup", "-u", u, "--target", u, "--root", r };
    QTest::newRow("extra argument") << (backupArguments(u, r) << "--force");
    QTest::newRow("restore without source")
        << QStringList { "-u", u, "--restore", "--target", u, "--root", r };
    QTest::newRow("identifier leads up") << backupArguments("..", r);
}

void TestBackupTool::rejectsOtherCommandLines()
{
    QFETCH(QStringList, arguments);
    const QString u = QStringLiteral("rejected-phone");
    const ToolRun run = runTool(arguments);
    QCOMPARE(run.code, 1);
    QVERIFY2(run.output.startsWith(QLatin1String("ERROR:")), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(backupFolder(u)));
    QVERIFY(!QFileInfo::exists(m_scratch.path() + QStringLiteral("/Status.plist")));
}

void TestBackupTool::backupIsWhatTheBackupReaderReads()
{
    SimulatedPhone p = phone(QStringLiteral("plain-phone"));
    QVERIFY(p.write());
    const ToolRun run = runTool(backupArguments(p.udid(), m_root));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("Backing up: 100% (6 of 6 files)")));
    QVERIFY(!run.output.contains(QLatin1String("error"), Qt::CaseInsensitive));
    QCOMPARE(snapshotState(backupFolder(p.udid())), QStringLiteral("finished"));

    BackupManifest backup(backupFolder(p.udid()));
    backup.loadManifestPlist();
    QCOMPARE(backup.deviceInfo().UniqueDeviceID, p.udid());
    QCOMPARE(backup.deviceInfo().DeviceName, QStringLiteral("Phone plain-phone"));
    QCOMPARE(backup.deviceInfo().ProductVersion, QStringLiteral("9.3"));
    QVERIFY(!backup.deviceInfo().IsEncrypted);
    QVERIFY(backup.deviceInfo().Date.isValid());
    backup.loadFileTree();
    QVERIFY(backup.smsDb());
    QVERIFY(backup.addressBookDb());
    const BackupFileNode *picture = backup.smsFilesByDevicePath().value(
        QStringLiteral("/var/mobile/Library/SMS/Attachments/00/00/IMG_0000"));
    QVERIFY(picture);
    // The attachments hang in the same folder as the database, as on the phone.
    QCOMPARE(backup.smsDb()->parent, picture->parent->parent->parent->parent);

    const QString sms = p.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    QCOMPARE(extracted(backup, "HomeDomain", "Library/SMS/sms.db", m_scratch.path()), readAll(sms));
    QCOMPARE(extracted(backup, "MediaDomain", attachment0, m_scratch.path()),
        readAll(p.fileSystemPath(QStringLiteral("var/mobile/") + attachment0)));

    const MbdbIndex index = loadMbdb(backupFolder(p.udid()) + QStringLiteral("/Manifest.mbdb"));
    for (const auto &[domain, path] :
        QList<QPair<QString, QString>> { { "HomeDomain", "" }, { "HomeDomain", "Library" },
            { "HomeDomain", "Library/SMS" }, { "MediaDomain", "Library/SMS/Attachments/00" },
            { "MediaDomain", "Media/Recordings" } })
        QVERIFY2(
            index.value(mbdbFileName(domain, path)).isDirectory(), qPrintable(domain + "-" + path));
    const MbdbRecord record = index.value(mbdbFileName("HomeDomain", "Library/SMS/sms.db"));
    const QFileInfo info(sms);
    QCOMPARE(qint64(record.Size), info.size());
    QCOMPARE(
        record.DataHash.Bytes, QCryptographicHash::hash(readAll(sms), QCryptographicHash::Sha1));
    QCOMPARE(qint64(record.Mtime), info.lastModified().toSecsSinceEpoch());
    QCOMPARE(record.EncryptionKey.Length, quint16(0xFFFF));
}

void TestBackupTool::encryptedBackupOpensOnlyWithThePassword()
{
    SimulatedPhone p = phone(QStringLiteral("locked-phone"));
    p.setBackupPassword(QStringLiteral("s3cret"));
    QVERIFY(p.write());
    const ToolRun run = runTool(backupArguments(p.udid(), m_root));
    QVERIFY2(run.ok(), qPrintable(run.output));

    BackupManifest backup(backupFolder(p.udid()));
    backup.loadManifestPlist();
    QVERIFY(backup.deviceInfo().IsEncrypted);
    QVERIFY(!backup.unlock(QStringLiteral("wrong")));
    QVERIFY(backup.unlock(QStringLiteral("s3cret")));
    backup.loadFileTree();
    const QString sms = p.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    QVERIFY(
        QFileInfo(backupFolder(p.udid()) + "/" + mbdbFileName("HomeDomain", "Library/SMS/sms.db"))
            .size()
        > QFileInfo(sms).size());
    QCOMPARE(extracted(backup, "HomeDomain", "Library/SMS/sms.db", m_scratch.path()), readAll(sms));
    // 4096 bytes fill whole blocks: the padding block is cut off again.
    QCOMPARE(extracted(backup, "MediaDomain", attachment0, m_scratch.path()),
        readAll(p.fileSystemPath(QStringLiteral("var/mobile/") + attachment0)));
}

void TestBackupTool::secondBackupCopiesOnlyWhatChanged_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << QString();
    QTest::newRow("encrypted") << QStringLiteral("pw");
}

void TestBackupTool::secondBackupCopiesOnlyWhatChanged()
{
    QFETCH(QString, password);
    const QString udid = QStringLiteral("again-") + QTest::currentDataTag();
    SimulatedPhone p = phone(udid, 4);
    if (!password.isEmpty())
        p.setBackupPassword(password);
    QVERIFY(p.write());
    QVERIFY(runTool(backupArguments(udid, m_root)).ok());

    // Stored files carry an old time from now on: only a rewrite changes it.
    const QDateTime old(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const QDir folder(backupFolder(udid));
    for (const QString &name :
        folder.entryList({ "????????????????????????????????????????" }, QDir::Files)) {
        QFile stored(folder.filePath(name));
        QVERIFY(stored.open(QIODevice::ReadWrite));
        QVERIFY(stored.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const QString changed = QStringLiteral("Library/SMS/Attachments/01/01/IMG_0001.JPG");
    const QString removed = QStringLiteral("Library/SMS/Attachments/02/02/IMG_0002.JPG");
    const QString added = QStringLiteral("Library/SMS/Attachments/0f/00/IMG_0100.JPG");
    writeAll(p.fileSystemPath("var/mobile/" + changed), "a new picture");
    QFile file(p.fileSystemPath("var/mobile/" + changed));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(
        QDateTime::currentDateTimeUtc().addSecs(3600), QFileDevice::FileModificationTime));
    file.close();
    QVERIFY(QFile::remove(p.fileSystemPath("var/mobile/" + removed)));
    writeAll(p.fileSystemPath("var/mobile/" + added), "another picture");

    const ToolRun run = runTool(backupArguments(udid, m_root));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(snapshotState(folder.path()), QStringLiteral("finished"));
    const auto storedTime = [&](const QString &domain, const QString &path) {
        return QFileInfo(folder.filePath(mbdbFileName(domain, path))).lastModified();
    };
    QCOMPARE(storedTime("HomeDomain", "Library/SMS/sms.db"), old.toLocalTime());
    QCOMPARE(storedTime("MediaDomain", attachment0), old.toLocalTime());
    QVERIFY(storedTime("MediaDomain", changed) > old);
    QVERIFY(!QFileInfo::exists(folder.filePath(mbdbFileName("MediaDomain", removed))));

    BackupManifest backup(folder.path());
    backup.loadManifestPlist();
    QVERIFY(password.isEmpty() || backup.unlock(password));
    backup.loadFileTree();
    QCOMPARE(
        extracted(backup, "MediaDomain", changed, m_scratch.path()), QByteArray("a new picture"));
    QCOMPARE(
        extracted(backup, "MediaDomain", added, m_scratch.path()), QByteArray("another picture"));
    QCOMPARE(extracted(backup, "MediaDomain", attachment0, m_scratch.path()),
        readAll(p.fileSystemPath("var/mobile/" + QString(attachment0))));
    QVERIFY(
        !loadMbdb(folder.filePath("Manifest.mbdb")).contains(mbdbFileName("MediaDomain", removed)));
}

void TestBackupTool::failedBackupStaysUnfinished()
{
    SimulatedPhone p = phone(QStringLiteral("failing-phone"));
    QVERIFY(p.write());
    QVERIFY(runTool(backupArguments(p.udid(), m_root)).ok());
    p.setFaults("BackupTool", { { "AfterFiles", 2 }, { "Error", "the disk is full" } });
    QVERIFY(p.write());
    const ToolRun run = runTool(backupArguments(p.udid(), m_root));
    QCOMPARE(run.code, 1);
    QVERIFY(run.output.startsWith(QLatin1String("ERROR: the disk is full")));
    QCOMPARE(snapshotState(backupFolder(p.udid())), QStringLiteral("new"));
}

void TestBackupTool::faultsEndTheTool_data()
{
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<QString>("said");
    QTest::newRow("error line") << QVariantMap { { "Error", "Device locked" } } << false << 1
                                << false << "ERROR: Device locked";
    QTest::newRow("silent exit") << QVariantMap { { "ExitCode", 3 }, { "AfterFiles", 1 } } << false
                                 << 3 << false << "";
    QTest::newRow("crash") << QVariantMap { { "Crash", true } } << false << -1 << true << "";
    QTest::newRow("service refused") << QVariantMap() << true << 1 << false
                                     << "ERROR: The device refused to start its backup service";
    QTest::newRow("restore fault spares backup") << QVariantMap { { "Operation", "restore" },
        { "Error", "x" } } << false << 0 << false << "";
}

void TestBackupTool::faultsEndTheTool()
{
    QFETCH(QVariantMap, faults);
    QFETCH(bool, refused);
    QFETCH(int, code);
    QFETCH(bool, crashed);
    QFETCH(QString, said);
    SimulatedPhone p
        = phone(QStringLiteral("fault-") + QString(QTest::currentDataTag()).replace(' ', '-'));
    if (!faults.isEmpty())
        p.setFaults("BackupTool", faults);
    if (refused)
        p.device().setServiceFault("com.apple.mobilebackup2", 0xE8000050);
    QVERIFY(p.write());
    const ToolRun run = runTool(backupArguments(p.udid(), m_root));
    QCOMPARE(run.status == QProcess::CrashExit, crashed);
    if (!crashed)
        QCOMPARE(run.code, code);
    QVERIFY2(run.output.startsWith(said), qPrintable(run.output));
    if (code != 0)
        QVERIFY(said.isEmpty() == !run.output.contains("error", Qt::CaseInsensitive));
}

void TestBackupTool::restoreWritesTheBackupBack_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << QString();
    QTest::newRow("encrypted") << QStringLiteral("pw");
}

void TestBackupTool::restoreWritesTheBackupBack()
{
    QFETCH(QString, password);
    const QString udid = QStringLiteral("restored-") + QTest::currentDataTag();
    SimulatedPhone p = phone(udid);
    if (!password.isEmpty())
        p.setBackupPassword(password);
    QVERIFY(p.write());
    QVERIFY(runTool(backupArguments(udid, m_root)).ok());
    const QString sms = p.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    const QByteArray original = readAll(sms);
    const qint64 mtime = QFileInfo(sms).lastModified().toSecsSinceEpoch();
    const QString picture = p.fileSystemPath(QStringLiteral("var/mobile/") + attachment0);
    const QByteArray pictureBytes = readAll(picture);

    writeAll(sms, "the phone changed its mind");
    QVERIFY(QFile::remove(picture));
    const ToolRun run = runTool(restoreArguments(udid, m_root));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("Restoring: 100%")));
    QCOMPARE(readAll(sms), original);
    QCOMPARE(QFileInfo(sms).lastModified().toSecsSinceEpoch(), mtime);
    QCOMPARE(readAll(picture), pictureBytes);
    QCOMPARE(QDir(p.path()).entryList({ "restore-*" }, QDir::Dirs), QStringList());
}

void TestBackupTool::restoreRefusesDamagedOrUnfinishedBackups_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("said");
    QTest::newRow("stored file changed") << "flip"
                                         << "does not match its index";
    QTest::newRow("stored file missing") << "remove"
                                         << "lacks the file";
    QTest::newRow("unfinished") << "status"
                                << "no finished backup";
    QTest::newRow("padding wrong") << "cut"
                                   << "does not decrypt";
    QTest::newRow("folder taken by a file") << "blocked"
                                            << "Cannot write";
}

void TestBackupTool::restoreRefusesDamagedOrUnfinishedBackups()
{
    QFETCH(QString, damage);
    QFETCH(QString, said);
    const QString udid = QStringLiteral("damaged-") + damage;
    SimulatedPhone p = phone(udid);
    if (damage == QLatin1String("cut"))
        p.setBackupPassword(QStringLiteral("pw"));
    QVERIFY(p.write());
    QVERIFY(runTool(backupArguments(udid, m_root)).ok());
    const QString stored = backupFolder(udid) + "/" + mbdbFileName("MediaDomain", attachment0);
    QByteArray bytes = readAll(stored);
    if (damage == QLatin1String("flip"))
        bytes[100] = static_cast<char>(bytes.at(100) ^ 1);
    if (damage == QLatin1String("cut"))
        bytes.chop(8);
    writeAll(stored, bytes);
    if (damage == QLatin1String("remove"))
        QVERIFY(QFile::remove(stored));
    if (damage == QLatin1String("blocked")) {
        const QString recordings = p.fileSystemPath(QStringLiteral("var/mobile/Media/Recordings"));
        QVERIFY(QDir(recordings).removeRecursively());
        writeAll(recordings, "a file");
    }
    if (damage == QLatin1String("status"))
        writeAll(backupFolder(udid) + "/Status.plist",
            SimulatedDeviceFolder::toXmlPlist(QVariantMap { { "SnapshotState", "new" } }));

    const QString sms = p.fileSystemPath(SimulatedPhone::smsDbRelativePath());
    writeAll(sms, "changed on the phone");
    const ToolRun run = runTool(restoreArguments(udid, m_root));
    QCOMPARE(run.code, 1);
    QVERIFY2(run.output.contains(said), qPrintable(run.output));
    // Nothing was written to the phone.
    QCOMPARE(readAll(sms), QByteArray("changed on the phone"));
}

void TestBackupTool::restoreKeepsHostilePathsInsideThePhone()
{
    const QString udid = QStringLiteral("hostile-backup");
    SimulatedPhone p(m_devices, udid, "Hostile", "9.0", SimulatedPhone::NoDatabase);
    QVERIFY(p.write());
    BackupWriter writer(backupFolder(udid));
    writer.setDevice(udid, "Hostile");
    writer.addFile("HomeDomain", "../../../escaped.txt", "out");
    writer.addFile("HomeDomain", "/etc/escaped.txt", "out");
    writer.addFile("AppDomain-com.example", "Documents/app.txt", "app");
    writer.addFile("HomeDomain", "Library/SMS/sms.db", "inside");
    writer.write();

    const ToolRun run = runTool(restoreArguments(udid, m_root));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(readAll(p.fileSystemPath(SimulatedPhone::smsDbRelativePath())), QByteArray("inside"));
    QDirIterator it(
        m_scratch.path(), { "escaped.txt", "app.txt" }, QDir::Files, QDirIterator::Subdirectories);
    QVERIFY2(!it.hasNext(), qPrintable(it.hasNext() ? it.next() : QString()));
}

void TestBackupTool::restoreMakesNoFolderThroughALink()
{
    const QString udid = QStringLiteral("linked-media");
    SimulatedPhone p = phone(udid);
    QVERIFY(p.write());
    QVERIFY(runTool(backupArguments(udid, m_root)).ok());
    // The phone's Media folder, which holds the backup's recordings, now leads elsewhere.
    const QString outside = m_scratch.filePath(QStringLiteral("outside-") + udid);
    QVERIFY(QDir().mkpath(outside));
    const QString media = p.fileSystemPath(QStringLiteral("var/mobile/Media"));
    QVERIFY(QDir(media).removeRecursively());
    QVERIFY(QFile::link(outside, media));

    const ToolRun run = runTool(restoreArguments(udid, m_root));
    QCOMPARE(run.code, 1);
    QVERIFY2(run.output.contains("Cannot write") && run.output.contains("memo.m4a"),
        qPrintable(run.output));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestBackupTool::fullDiskEndsInAnError_data()
{
    QTest::addColumn<bool>("restore");
    QTest::newRow("backup") << false;
    QTest::newRow("restore") << true;
}

void TestBackupTool::fullDiskEndsInAnError()
{
    QFETCH(bool, restore);
    const QString udid = QStringLiteral("full-disk-") + QTest::currentDataTag();
    SimulatedPhone p(m_devices, udid, "Full", "9.0", SimulatedPhone::NoDatabase);
    // Each file fits Qt's write buffer, so that only closing it meets the full disk.
    p.addAttachmentFiles(2, 12000);
    QVERIFY(p.write());
    const QString picture = p.fileSystemPath(QStringLiteral("var/mobile/") + attachment0);
    if (restore) {
        QVERIFY(runTool(backupArguments(udid, m_root)).ok());
        writeAll(picture, "changed on the phone");
    }
    ToolRun run;
    {
        const FileSizeLimit full(8192);
        run = runTool(restore ? restoreArguments(udid, m_root) : backupArguments(udid, m_root));
    }
    QCOMPARE(run.code, 1);
    QVERIFY2(run.output.startsWith(QLatin1String("ERROR: Cannot ")), qPrintable(run.output));
    // The system's reason, not Qt's "Unknown error" for a write the disk took only part of.
    QVERIFY2(run.output.contains(QString::fromLocal8Bit(strerror(EFBIG))), qPrintable(run.output));
    if (restore) {
        QCOMPARE(readAll(picture), QByteArray("changed on the phone"));
        QCOMPARE(QDir(p.path()).entryList({ "restore-*" }, QDir::Dirs), QStringList());
    } else {
        QCOMPARE(snapshotState(backupFolder(udid)), QStringLiteral("new"));
    }
}

void TestBackupTool::aNulInAnotherPhonesValuesStopsNothing_data()
{
    binaryplist::addValuesWithANulRows();
}

void TestBackupTool::aNulInAnotherPhonesValuesStopsNothing()
{
    QFETCH(QByteArray, values);
    // Named to be looked at before the phone the tool is asked for.
    const QString other = m_devices + QStringLiteral("/0-nul");
    writeAll(other + QStringLiteral("/values.plist"), values);
    SimulatedPhone p = phone(QStringLiteral("beside-nul-") + QTest::currentDataTag());
    QVERIFY(p.write());
    const ToolRun run = runTool(backupArguments(p.udid(), m_root));
    QVERIFY(QDir(other).removeRecursively());
    QVERIFY2(run.ok(), qPrintable(run.output));
}

QTEST_GUILESS_MAIN(TestBackupTool)
#include "tst_backuptool.moc"
