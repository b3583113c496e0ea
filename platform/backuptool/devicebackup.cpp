#include "devicebackup.h"

#include "backupdomains.h"
#include "progressprinter.h"
#include "toolfault.h"

#include "platform/durablefile/durablefile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QUuid>

#include <stdexcept>

const char DeviceBackup::manifestName[] = "Manifest.plist";
const char DeviceBackup::indexName[] = "Manifest.mbdb";

namespace {

const char statusName[] = "Status.plist";
constexpr int chunkSize = 1024 * 1024;
constexpr quint16 folderMode = 0040755;
constexpr quint16 fileMode = 0100644;
constexpr quint8 folderClass = 4;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

quint32 seconds(const QDateTime &time)
{
    return time.isValid() ? static_cast<quint32>(qMax<qint64>(0, time.toSecsSinceEpoch())) : 0;
}

void setTimes(IndexRecord &record, const QFileInfo &info)
{
    record.mtime = seconds(info.lastModified());
    record.atime = seconds(info.lastRead());
    const QDateTime birth = info.birthTime();
    record.ctime = seconds(birth.isValid() ? birth : info.metadataChangeTime());
}

// What a stored file's length must be for its index entry.
qint64 storedSize(const IndexRecord &record)
{
    const qint64 size = static_cast<qint64>(record.size);
    return record.wrappedKey.isEmpty() ? size : (size / 16 + 1) * 16;
}

} // namespace

DeviceBackup::DeviceBackup(const PhoneFolder &phone, const QDir &root)
    : m_phone(phone)
    , m_folder(root.absoluteFilePath(phone.udid()))
{
}

bool DeviceBackup::isFinished(const QDir &folder)
{
    const PlistPtr status = readPlistFile(folder.absoluteFilePath(QLatin1String(statusName)));
    return stringOf(status.get(), "SnapshotState") == QLatin1String("finished");
}

void DeviceBackup::run()
{
    m_phone.startBackupService();
    if (!QDir().mkpath(m_folder.absolutePath()))
        fail(QStringLiteral("Cannot create the backup folder %1.").arg(m_folder.absolutePath()));

    loadEarlierBackup();
    writeStatus(false);
    collect();
    // A phone unplugged before or during the walk shows fewer files or none: that is no backup.
    if (!QFileInfo::exists(m_phone.folder()))
        fail(QStringLiteral("The device is no longer connected."));

    const ToolFault fault(m_phone, "backup");
    ProgressPrinter progress("Backing up", m_files.size());
    QSet<QString> kept;
    for (int i = 0; i < m_files.size(); ++i) {
        fault.beforeFile(i);
        FileEntry &entry = m_files[i];
        if (!reuse(entry))
            store(entry);
        kept.insert(entry.record.fileId());
        progress.done(i + 1);
    }
    fault.beforeFile(m_files.size());
    removeStaleFiles(kept);

    QList<IndexRecord> records = m_folders;
    for (const FileEntry &entry : qAsConst(m_files))
        records.append(entry.record);
    writeIndexFile(records, m_folder.absoluteFilePath(QLatin1String(indexName)));
    writeManifest();
    writeStatus(true);
}

void DeviceBackup::loadEarlierBackup()
{
    const PlistPtr manifest = readPlistFile(m_folder.absoluteFilePath(QLatin1String(manifestName)));
    const bool wasEncrypted = boolOf(manifest.get(), "IsEncrypted");
    m_encrypted = m_phone.encrypts();
    bool keysKept = false;
    if (m_encrypted) {
        // Files of an earlier encrypted backup stay only under the keys they were made with.
        keysKept = wasEncrypted
            && BackupKeys::unlock(
                dataOf(manifest.get(), "BackupKeyBag"), m_phone.backupPassword(), &m_keys);
        if (!keysKept)
            m_keys = BackupKeys::create(m_phone.backupPassword());
    }
    if (!isFinished(m_folder) || wasEncrypted != m_encrypted || (m_encrypted && !keysKept))
        return;
    try {
        for (const IndexRecord &record :
            readIndexFile(m_folder.absoluteFilePath(QLatin1String(indexName))))
            m_earlier.insert(record.fileId(), record);
    } catch (const std::exception &) {
        m_earlier.clear();
    }
}

void DeviceBackup::addFolder(const QString &domain, const QString &path, const QString &localPath)
{
    IndexRecord record;
    record.domain = domain;
    record.path = path;
    const QString id = record.fileId();
    if (m_folderIds.contains(id))
        return;
    m_folderIds.insert(id);
    record.mode = folderMode;
    record.inode = m_nextInode++;
    record.protectionClass = folderClass;
    setTimes(record, QFileInfo(localPath));
    m_folders.append(record);
}

void DeviceBackup::addParents(const QString &domain, const QString &path, const QString &localPath)
{
    addFolder(domain, QString(), QString());
    QString folder = path;
    QString localFolder = localPath;
    for (int slash = folder.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = folder.lastIndexOf(QLatin1Char('/'))) {
        folder.truncate(slash);
        localFolder = QFileInfo(localFolder).absolutePath();
        addFolder(domain, folder, localFolder);
    }
}

void DeviceBackup::collect()
{
    const QDir root = m_phone.fileSystem();
    QDirIterator it(root.absolutePath(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink() || (!info.isDir() && !info.isFile()))
            continue;
        const DomainPath place = domainPathOf(root.relativeFilePath(info.absoluteFilePath()));
        if (!place.isValid())
            continue;
        addParents(place.domain, place.path, info.absoluteFilePath());
        if (info.isDir()) {
            addFolder(place.domain, place.path, info.absoluteFilePath());
            continue;
        }
        FileEntry entry;
        entry.localPath = info.absoluteFilePath();
        entry.record.domain = place.domain;
        entry.record.path = place.path;
        entry.record.mode = fileMode;
        entry.record.size = static_cast<quint64>(info.size());
        entry.record.protectionClass = BackupKeys::fileClass;
        setTimes(entry.record, info);
        m_files.append(entry);
    }
}

bool DeviceBackup::reuse(FileEntry &entry) const
{
    const auto it = m_earlier.constFind(entry.record.fileId());
    if (it == m_earlier.constEnd() || it->isFolder() || it->size != entry.record.size
        || it->mtime != entry.record.mtime || it->digest.isEmpty())
        return false;
    const QFileInfo stored(m_folder.absoluteFilePath(it->fileId()));
    if (!stored.isFile() || stored.size() != storedSize(*it))
        return false;
    entry.record.digest = it->digest;
    entry.record.wrappedKey = it->wrappedKey;
    entry.record.inode = it->inode;
    return true;
}

void DeviceBackup::store(FileEntry &entry)
{
    QFile source(entry.localPath);
    if (!source.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Cannot read %1 on the device.").arg(entry.record.path));
    QFile target(m_folder.absoluteFilePath(entry.record.fileId()));
    QString error;
    const auto cannotWrite
        = [&] { fail(QStringLiteral("Cannot write %1: %2").arg(target.fileName(), error)); };
    const auto put = [&](const QByteArray &bytes) {
        return durable::writeAll(
            target, bytes.constData(), bytes.size(), target.fileName(), &error);
    };
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = target.errorString();
        cannotWrite();
    }

    std::unique_ptr<CbcStream> cipher;
    if (m_encrypted)
        cipher.reset(new CbcStream(m_keys.newFileKey(&entry.record.wrappedKey), true));
    QCryptographicHash digest(QCryptographicHash::Sha1);
    qint64 plainSize = 0;
    for (;;) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty())
            break;
        plainSize += chunk.size();
        digest.addData(chunk);
        const QByteArray out = cipher ? cipher->update(chunk) : chunk;
        if (!put(out))
            cannotWrite();
    }
    QByteArray last;
    if (cipher && !cipher->finish(&last))
        fail(QStringLiteral("Cannot encrypt %1.").arg(entry.record.path));
    if (cipher && !put(last))
        cannotWrite();
    if (source.error() != QFile::NoError)
        fail(QStringLiteral("Cannot read %1 on the device.").arg(entry.record.path));
    // A full disk may show only when the buffered rest is written out; the status that
    // calls the backup finished must not reach the disk before its files.
    if (!durable::sync(target, target.fileName(), &error))
        cannotWrite();
    target.close();
    entry.record.size = static_cast<quint64>(plainSize);
    entry.record.digest = digest.result();
    entry.record.inode = m_nextInode++;
}

void DeviceBackup::removeStaleFiles(const QSet<QString> &kept) const
{
    static const QRegularExpression storedName(QStringLiteral("^[0-9a-f]{40}$"));
    for (const QString &name : m_folder.entryList(QDir::Files)) {
        if (storedName.match(name).hasMatch() && !kept.contains(name))
            QFile::remove(m_folder.absoluteFilePath(name));
    }
}

void DeviceBackup::writeManifest() const
{
    PlistPtr manifest(plist_new_dict());
    plist_t lockdown = plist_new_dict();
    setString(lockdown, "UniqueDeviceID", m_phone.udid());
    setString(lockdown, "DeviceName", m_phone.value("DeviceName"));
    setString(lockdown, "ProductType", m_phone.value("ProductType"));
    setString(lockdown, "ProductVersion", m_phone.value("ProductVersion"));
    setString(lockdown, "SerialNumber", m_phone.value("SerialNumber"));
    setString(lockdown, "BuildVersion", m_phone.value("BuildVersion"));
    plist_dict_set_item(manifest.get(), "Lockdown", lockdown);
    setDate(manifest.get(), "Date", QDateTime::currentDateTimeUtc());
    plist_dict_set_item(manifest.get(), "IsEncrypted", plist_new_bool(m_encrypted));
    plist_dict_set_item(manifest.get(), "WasPasscodeSet", plist_new_bool(false));
    setString(manifest.get(), "Version", QStringLiteral("9.1"));
    if (m_encrypted) {
        const QByteArray keybag = m_keys.keybag();
        plist_dict_set_item(manifest.get(), "BackupKeyBag",
            plist_new_data(keybag.constData(), static_cast<uint64_t>(keybag.size())));
    }
    QString error;
    if (!writePlistFile(
            manifest.get(), m_folder.absoluteFilePath(QLatin1String(manifestName)), &error))
        fail(QStringLiteral("Cannot write %1").arg(error));
}

void DeviceBackup::writeStatus(bool finished) const
{
    PlistPtr status(plist_new_dict());
    setString(status.get(), "SnapshotState",
        finished ? QStringLiteral("finished") : QStringLiteral("new"));
    setString(status.get(), "BackupState", QStringLiteral("new"));
    plist_dict_set_item(status.get(), "IsFullBackup", plist_new_bool(m_earlier.isEmpty()));
    setString(status.get(), "Version", QStringLiteral("2.4"));
    setString(status.get(), "UUID", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    setDate(status.get(), "Date", QDateTime::currentDateTimeUtc());
    QString error;
    if (!writePlistFile(status.get(), m_folder.absoluteFilePath(QLatin1String(statusName)), &error))
        fail(QStringLiteral("Cannot write %1").arg(error));
}
