// The file service client against our simulated phone, loaded as the program loads it:
// folders, attributes, a large file both ways, renames and removals, the confinement of
// paths, application containers, faults of the service and file handles after a close.
#include "device/afcclient.h"
#include "device/afcfile.h"
#include "support/attacheddevices.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class TestAFCClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void listsAFolderWithAttributes();
    void writesALargeFileInChunksAndReadsItBack();
    void makesRenamesAndRemoves();
    void readingPastTheEndStops();
    void missingPathsFail();
    void pathsNeverLeaveTheDevice_data();
    void pathsNeverLeaveTheDevice();
    void containerIsAllHouseArrestReaches();
    void unknownApplicationIsNotFound_data();
    void unknownApplicationIsNotFound();
    void serviceFaultsAreFailures_data();
    void serviceFaultsAreFailures();
    void filesDieWithTheirConnection();

private:
    AMDeviceRef attach(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp = {})
    {
        const AMDeviceRef device = m_devices.attach(name, setUp);
        m_fileSystem = m_devices.folder().fileSystemPath();
        return device;
    }
    QString outsidePath() const { return m_dir.filePath("outside"); }

    QTemporaryDir m_dir;
    AttachedDevices m_devices { m_dir.path() };
    // The file system of the last phone attached.
    QString m_fileSystem;
};

void TestAFCClient::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(devicetest::loadLibraries(m_dir.path()));
    QVERIFY(QDir().mkpath(outsidePath()));
    QFile secret(QDir(outsidePath()).filePath("secret.txt"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("outside");
}

void TestAFCClient::cleanup()
{
    m_devices.release();
    QCOMPARE(devicetest::liveObjects(), CFIndex(0));
}

void TestAFCClient::listsAFolderWithAttributes()
{
    const AMDeviceRef device = attach("listing", [](SimulatedDeviceFolder &f) {
        f.addFile("DCIM/100APPLE/IMG_0001.JPG", QByteArray(1234, 'j'));
        f.addFile("DCIM/100APPLE/Thumbs/t.jpg", "t");
    });
    const QString folder = m_fileSystem + "/DCIM/100APPLE";
    QVERIFY(QFile::link(outsidePath(), folder + "/link"));
    QFile photo(folder + "/IMG_0001.JPG");
    QVERIFY(photo.open(QIODevice::ReadWrite));
    const QDateTime taken(QDate(2014, 3, 9), QTime(17, 45, 12), Qt::UTC);
    QVERIFY(photo.setFileTime(taken, QFileDevice::FileModificationTime));
    photo.close();

    AFCClient client(device);
    client.connect();
    const QList<AFCFileInfo> entries = client.entryInfoList("/DCIM/100APPLE");
    // Sorted by name; the link is neither a file nor a folder.
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0].path, QString("/DCIM/100APPLE/IMG_0001.JPG"));
    QVERIFY(entries[0].isFile());
    QCOMPARE(entries[0].size, qint64(1234));
    QCOMPARE(entries[0].modificationTime, taken);
    QCOMPARE(entries[1].path, QString("/DCIM/100APPLE/Thumbs"));
    QVERIFY(entries[1].isDir());
    QCOMPARE(client.fileInfo("/DCIM/100APPLE/link").type, QString("S_IFLNK"));
    // The root joins names with a single slash.
    QCOMPARE(client.entryInfoList("/").value(0).path, QString("/DCIM"));
}

void TestAFCClient::writesALargeFileInChunksAndReadsItBack()
{
    const AMDeviceRef device = attach("large");
    QByteArray content(5 * 1024 * 1024 + 17, '\0');
    QRandomGenerator random(42);
    for (char &byte : content)
        byte = static_cast<char>(random.generate());

    AFCClient client(device);
    client.connect();
    QVERIFY(client.makeDirectory("/Downloads"));
    AFCFile file;
    QVERIFY(client.openFileForWriting("/Downloads/big.bin", file));
    QCOMPARE(file.write(content.constData(), content.size()), content.size());
    file.close();
    QVERIFY(!file.isOpen());
    QCOMPARE(client.fileInfo("/Downloads/big.bin").size, qint64(content.size()));

    QVERIFY(client.openFileForReading("/Downloads/big.bin", file));
    QByteArray back(content.size() + 100, '\0');
    QCOMPARE(file.read(back.data(), back.size()), content.size());
    QVERIFY(back.left(content.size()) == content);
    QFile onDevice(m_fileSystem + "/Downloads/big.bin");
    QVERIFY(onDevice.open(QIODevice::ReadOnly));
    QVERIFY(onDevice.readAll() == content);
}

void TestAFCClient::makesRenamesAndRemoves()
{
    const AMDeviceRef device
        = attach("edits", [](SimulatedDeviceFolder &f) { f.addFile("Notes/a.txt", "a"); });
    AFCClient client(device);
    client.connect();
    QVERIFY(client.makeDirectory("/Made/deep/er"));
    QVERIFY(client.fileInfo("/Made/deep/er").isDir());
    QVERIFY(client.makeDirectory("/Made/deep"));
    QVERIFY(!client.makeDirectory("/Notes/a.txt"));

    QVERIFY(client.renamePath("/Notes/a.txt", "/Made/b.txt"));
    QVERIFY(!client.fileInfo("/Notes/a.txt").exists());
    QVERIFY(client.fileInfo("/Made/b.txt").isFile());
    QVERIFY(!client.renamePath("/Notes/none.txt", "/Made/c.txt"));

    QVERIFY(!client.removePath("/Made"));
    QVERIFY(client.fileInfo("/Made").isDir());
    QVERIFY(client.removePath("/Made/b.txt"));
    QVERIFY(client.removePath("/Made/deep/er"));
    QVERIFY(client.removePath("/Made/deep"));
    QVERIFY(client.removePath("/Made"));
    QVERIFY(!QFileInfo::exists(m_fileSystem + "/Made"));
    QVERIFY(!client.removePath("/"));
}

void TestAFCClient::readingPastTheEndStops()
{
    const AMDeviceRef device
        = attach("ends", [](SimulatedDeviceFolder &f) { f.addFile("short.txt", "ten bytes!"); });
    AFCClient client(device);
    client.connect();
    AFCFile file;
    QVERIFY(client.openFileForReading("/short.txt", file));
    char buffer[100];
    QCOMPARE(file.read(buffer, sizeof buffer), 10);
    QCOMPARE(QByteArray(buffer, 10), QByteArray("ten bytes!"));
    QCOMPARE(file.read(buffer, sizeof buffer), 0);
    QCOMPARE(file.read(buffer, 0), 0);
    // Read-only handles take no writes.
    QCOMPARE(file.write("x", 1), -1);
}

void TestAFCClient::missingPathsFail()
{
    const AMDeviceRef device = attach("missing");
    AFCClient client(device);
    client.connect();
    AFCFile file;
    QVERIFY(!client.openFileForReading("/nothing.txt", file));
    QVERIFY(!file.isOpen());
    QCOMPARE(file.read(nullptr, 1), -1);
    const AFCFileInfo info = client.fileInfo("/nothing.txt");
    QVERIFY(!info.exists());
    QVERIFY(info.path.isEmpty());
    QCOMPARE(info.size, qint64(0));
    QVERIFY(client.entryInfoList("/nothing").isEmpty());
    QVERIFY(!client.openFileForWriting("/no/folder/new.txt", file));
    QVERIFY(!client.openFileForReading("/", file));
}

void TestAFCClient::pathsNeverLeaveTheDevice_data()
{
    QTest::addColumn<QString>("path");
    // A link is an entry of the device: it may be renamed, never followed out.
    QTest::addColumn<bool>("ownEntry");
    QTest::newRow("parent of the root") << "/../outside/secret.txt" << false;
    QTest::newRow("parent on the way") << "/DCIM/../../outside/secret.txt" << false;
    QTest::newRow("relative parent") << "../outside/secret.txt" << false;
    QTest::newRow("linked folder") << "/escape/secret.txt" << false;
    QTest::newRow("linked file") << "/secret-link" << true;
}

void TestAFCClient::pathsNeverLeaveTheDevice()
{
    QFETCH(QString, path);
    QFETCH(bool, ownEntry);
    const AMDeviceRef device
        = attach(QString("confined-") + QTest::currentDataTag(), [](SimulatedDeviceFolder &f) {
              f.addFile("DCIM/x.jpg", "x");
              f.addFile("DCIM/y.jpg", "y");
          });
    QVERIFY(QFile::link(outsidePath(), m_fileSystem + "/escape"));
    QVERIFY(QFile::link(outsidePath() + "/secret.txt", m_fileSystem + "/secret-link"));
    AFCClient client(device);
    client.connect();
    AFCFile file;
    QVERIFY(!client.openFileForReading(path, file));
    QVERIFY(!client.openFileForWriting(path, file));
    QCOMPARE(client.renamePath(path, "/taken.txt"), ownEntry);
    QCOMPARE(client.renamePath("/DCIM/y.jpg", path), ownEntry);
    QVERIFY(!client.removePath(path) || ownEntry);
    QVERIFY(!client.makeDirectory("/../made"));
    QVERIFY(!client.makeDirectory("/escape/made"));
    QVERIFY(client.entryInfoList("/escape").isEmpty());
    QFile secret(outsidePath() + "/secret.txt");
    QVERIFY(secret.open(QIODevice::ReadOnly));
    QCOMPARE(secret.readAll(), QByteArray("outside"));
    QCOMPARE(QDir(outsidePath()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList { "secret.txt" });
    // A ".." that stays inside is an ordinary path.
    QVERIFY(client.fileInfo("/DCIM/../DCIM/x.jpg").isFile());
}

void TestAFCClient::containerIsAllHouseArrestReaches()
{
    const QString notes = SimulatedDeviceFolder::appContainer("com.example.notes");
    const QString other = SimulatedDeviceFolder::appContainer("com.example.other");
    const AMDeviceRef device = attach("apps", [&](SimulatedDeviceFolder &f) {
        f.addFile(notes + "/Documents/note.txt", "mine");
        f.addFile(other + "/Documents/secret.txt", "theirs");
        f.addFile("DCIM/x.jpg", "x");
    });
    QVERIFY(
        QFile::link(m_fileSystem + "/" + other, m_fileSystem + "/" + notes + "/Documents/other"));
    AFCClient client(device);
    client.connect("com.example.notes");
    const QList<AFCFileInfo> top = client.entryInfoList("/");
    QCOMPARE(top.size(), 1);
    QCOMPARE(top[0].path, QString("/Documents"));
    AFCFile file;
    QVERIFY(client.openFileForReading("/Documents/note.txt", file));
    char buffer[16];
    QCOMPARE(file.read(buffer, sizeof buffer), 4);
    QVERIFY(!client.openFileForReading("/../com.example.other/Documents/secret.txt", file));
    QVERIFY(!client.openFileForReading("/Documents/other/Documents/secret.txt", file));
    QVERIFY(!client.fileInfo("/DCIM/x.jpg").exists());
    QVERIFY(client.makeDirectory("/Library/Caches"));
    QVERIFY(QFileInfo(m_fileSystem + "/" + notes + "/Library/Caches").isDir());
}

void TestAFCClient::unknownApplicationIsNotFound_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::newRow("not installed") << "com.example.missing";
    QTest::newRow("parent folder") << "..";
    QTest::newRow("path") << "com.example.notes/../../../..";
}

void TestAFCClient::unknownApplicationIsNotFound()
{
    QFETCH(QString, identifier);
    const AMDeviceRef device = attach("noapp", [](SimulatedDeviceFolder &f) {
        f.addFile(SimulatedDeviceFolder::appContainer("com.example.notes") + "/a", "a");
    });
    AFCClient client(device);
    QCOMPARE(devicetest::errorOf([&] { client.connect(identifier); }),
        QString("can not find %1.").arg(identifier));
    // The failed connection still holds its socket until closed.
    QVERIFY(client.isConnected());
    client.close();
    QVERIFY(!client.isConnected());
}

void TestAFCClient::serviceFaultsAreFailures_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("serviceGoesOn");
    for (const QString service : { "com.apple.afc", "com.apple.mobile.house_arrest" }) {
        const QString prefix = service.section('.', -1) + ": ";
        QTest::newRow(qPrintable(prefix + "cut short")) << service << "CutShort" << false;
        QTest::newRow(qPrintable(prefix + "closed mid-reply"))
            << service << "CloseMidReply" << false;
        QTest::newRow(qPrintable(prefix + "wrong magic")) << service << "WrongMagic" << true;
        QTest::newRow(qPrintable(prefix + "error status")) << service << "ErrorStatus" << true;
    }
}

void TestAFCClient::serviceFaultsAreFailures()
{
    QFETCH(QString, service);
    QFETCH(QString, fault);
    QFETCH(bool, serviceGoesOn);
    const bool houseArrest = service.contains("house_arrest");
    const QString root
        = houseArrest ? SimulatedDeviceFolder::appContainer("com.example.app") + "/" : QString();
    // After the vend reply, if any, the open and the first read (data, then the end) get
    // whole replies; the next one is broken.
    const AMDeviceRef device = attach("faulty", [&](SimulatedDeviceFolder &f) {
        f.addFile(root + "file.txt", "content");
        f.setReplyFault(service, fault, houseArrest ? 4 : 3, 9);
    });
    QElapsedTimer timer;
    timer.start();
    AFCClient client(device);
    client.connect(houseArrest ? "com.example.app" : QString());
    AFCFile file;
    QVERIFY(client.openFileForReading("/file.txt", file));
    char buffer[16];
    QCOMPARE(file.read(buffer, sizeof buffer), 7);
    QCOMPARE(file.read(buffer, sizeof buffer), -1);
    QCOMPARE(client.fileInfo("/file.txt").isFile(), serviceGoesOn);
    QVERIFY(timer.elapsed() < 10000);
}

void TestAFCClient::filesDieWithTheirConnection()
{
    const AMDeviceRef device = attach("handles", [](SimulatedDeviceFolder &f) {
        f.addFile("a.txt", "aaaa");
        f.addFile("b.txt", "bbbb");
    });
    AFCClient client(device);
    client.connect();
    AFCFile first;
    AFCFile second;
    QVERIFY(client.openFileForReading("/a.txt", first));
    const quint64 firstHandle = first.handle();
    first.close();
    QVERIFY(client.openFileForReading("/b.txt", second));
    // A closed handle is never handed out again.
    QVERIFY(second.handle() != firstHandle);
    char buffer[8];
    QCOMPARE(first.read(buffer, sizeof buffer), -1);

    // Reopening into an open file closes its old handle first.
    QVERIFY(client.openFileForReading("/a.txt", first));
    client.close();
    QCOMPARE(second.read(buffer, sizeof buffer), -1);
    // A new connection, maybe on the same socket number, is not the old files'.
    client.connect();
    QCOMPARE(first.read(buffer, sizeof buffer), -1);
    QCOMPARE(second.write("x", 1), -1);
    second.close();
    AFCFile third;
    QVERIFY(client.openFileForReading("/a.txt", third));
    QCOMPARE(third.read(buffer, sizeof buffer), 4);
}

QTEST_GUILESS_MAIN(TestAFCClient)
#include "tst_afcclient.moc"
