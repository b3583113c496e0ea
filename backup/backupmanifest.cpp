#include "backupmanifest.h"

#include "backup/aescrypto.h"
#include "backup/backuppatch.h"
#include "backup/mbdb.h"
#include "backup/plistvalue.h"
#include "platform/durablefile/durablefile.h"
#include "platform/win/winplatform.h"
#include "shell/datafolder.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtDebug>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

const QString kHomeDomain = QStringLiteral("HomeDomain");
const QString kMediaDomain = QStringLiteral("MediaDomain");
const QString kWirelessDomain = QStringLiteral("WirelessDomain");
const QString kCameraRollDomain = QStringLiteral("CameraRollDomain");
const QString kAppDomainPrefix = QStringLiteral("AppDomain-");

// Manifest.plist is at most a few megabytes even with many applications; anything far
// larger is not a manifest, and parsing it would take many times its size in memory.
const qint64 kMaxManifestPlistSize = 64 * 1024 * 1024;
// Files are streamed so that memory use does not grow with their size; each chunk is also
// one progress report, where the caller may cancel. A large chunk keeps the calls into the
// system few.
const qint64 kChunkSize = 1024 * 1024;

const QString kUnfinishedCopyPrefix = QStringLiteral(".extract-");

QRegularExpression caseless(const char *pattern)
{
    return QRegularExpression(
        QString::fromLatin1(pattern), QRegularExpression::CaseInsensitiveOption);
}

qint64 recordedSize(const MbdbRecord &record)
{
    return static_cast<qint64>(std::min<quint64>(record.Size, quint64(INT64_MAX)));
}

// The bytes a copy holds. Only a tail of 1 to 16 bytes past the recorded size is CBC padding;
// anything longer is kept, so that a record whose size is out of date loses no data.
qint64 copiedSize(qint64 stored, qint64 recorded, bool decrypted)
{
    return decrypted && stored - recorded >= 1 && stored - recorded <= 16 ? recorded : stored;
}

QString baseName(const QString &fileName)
{
    const int dot = fileName.indexOf(QLatin1Char('.'));
    return dot < 0 ? fileName : fileName.left(dot);
}

// Node names become file names when files are copied out: a path with empty, "." or ".."
// components, a backslash or a zero byte could lead outside the target folder.
bool isSafeTreePath(const QString &fullPath, const MbdbRecord &record)
{
    if (record.Domain.Bytes.contains('\0') || record.Path.Bytes.contains('\0'))
        return false;
    if (fullPath.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = fullPath.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

} // namespace

BackupFileNode::~BackupFileNode()
{
    // Deep trees come from untrusted indexes: free them without recursion.
    std::vector<std::unique_ptr<BackupFileNode>> pending;
    pending.swap(children);
    while (!pending.empty()) {
        std::unique_ptr<BackupFileNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto &c : node->children)
            pending.push_back(std::move(c));
        node->children.clear();
    }
}

BackupFileNode *BackupFileNode::child(const QString &childName) const
{
    for (const auto &c : children) {
        if (c->name == childName)
            return c.get();
    }
    return nullptr;
}

BackupManifest::BackupManifest(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_backupDir(folder)
{
}

BackupManifest::~BackupManifest() = default;

QDir BackupManifest::defaultBackupDir()
{
    // The same roaming folder that holds the program's own data folder.
    const QDir roaming = QFileInfo(userAppFolder()).absoluteDir();
    return QDir(roaming.absoluteFilePath(QStringLiteral("Apple Computer/MobileSync/Backup")));
}

QString BackupManifest::backupId() const
{
    return md5Hex(QDir::fromNativeSeparators(m_backupDir.absolutePath()));
}

void BackupManifest::loadManifestPlist()
{
    const QString path = m_backupDir.absoluteFilePath(QStringLiteral("Manifest.plist"));
    QFile file(path);
    if (!file.exists())
        throwRuntimeError(QStringLiteral("Cannot find ") + path);
    if (!file.open(QIODevice::ReadOnly))
        throwRuntimeError(file.errorString());
    if (file.size() > kMaxManifestPlistSize)
        throwRuntimeError(QStringLiteral("%1 is too large to be a backup manifest.").arg(path));
    const QByteArray data = file.readAll();
    const PlistValue plist = PlistValue::fromData(data);
    if (!plist.isDict())
        throwRuntimeError(QStringLiteral("%1 is damaged: it is not a property list.").arg(path));

    BackupDeviceInfo info;
    const PlistValue lockdown = plist.item(QStringLiteral("Lockdown"));
    info.UniqueDeviceID = lockdown.item(QStringLiteral("UniqueDeviceID")).toString();
    info.DeviceName = lockdown.item(QStringLiteral("DeviceName")).toString();
    info.ProductType = lockdown.item(QStringLiteral("ProductType")).toString();
    info.ProductVersion = lockdown.item(QStringLiteral("ProductVersion")).toString();
    info.SerialNumber = lockdown.item(QStringLiteral("SerialNumber")).toString();
    info.Date = plist.item(QStringLiteral("Date")).toDateTime();
    info.IsEncrypted = plist.item(QStringLiteral("IsEncrypted")).toBool();
    info.BackupKeyBag = plist.item(QStringLiteral("BackupKeyBag")).toByteArray();
    m_deviceInfo = info;

    const QString folderName = QFileInfo(m_backupDir.absolutePath()).fileName();
    if (!info.UniqueDeviceID.isEmpty() && folderName.contains(info.UniqueDeviceID)) {
        m_displayName = folderName;
        m_displayName.replace(info.UniqueDeviceID, info.DeviceName);
    } else if (info.DeviceName.isEmpty()) {
        m_displayName = folderName;
    } else {
        m_displayName = info.DeviceName + QLatin1Char('-') + folderName;
    }
}

bool BackupManifest::unlock(const QString &passcode)
{
    m_keybag = Keybag::parse(m_deviceInfo.BackupKeyBag);
    const QString problem = Keybag::problem(m_keybag);
    if (!problem.isEmpty())
        throwRuntimeError(problem);
    return Keybag::unlock(m_keybag, passcode.toUtf8());
}

void BackupManifest::clearIndexes()
{
    m_cameraRollPhotos.clear();
    m_cameraRollVideos.clear();
    m_cameraRollThumbnails.clear();
    m_smsParts.clear();
    m_smsAttachments.clear();
    m_smsFilesByDevicePath.clear();
    m_smsDb = m_addressBookDb = m_addressBookImagesDb = m_notesDb = nullptr;
    m_calendarDb = m_calendarExtrasDb = m_recordingsDb = m_voicemailDb = nullptr;
    m_bookmarksDb = m_callHistoryDb = m_callHistoryStore = nullptr;
    m_recordings.clear();
    m_voicemails.clear();
}

void BackupManifest::loadFileTree()
{
    if (!m_root.children.empty())
        return;
    // A patch that a killed run left half-moved-in is finished (or dropped) first, so that
    // the index and the stored files read here belong together.
    BackupPatch::finishInterrupted(m_backupDir);
    const QString indexPath = m_backupDir.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
    // Rather than only that a file is missing: such backups are common and never read here.
    if (!QFileInfo::exists(indexPath) && m_backupDir.exists(QStringLiteral("Manifest.db")))
        throwRuntimeError(QStringLiteral("The backup in %1 keeps its index in Manifest.db (iOS 10 "
                                         "and later), which this program does not read.")
                              .arg(QDir::toNativeSeparators(m_backupDir.absolutePath())));
    const MbdbIndex index = loadMbdb(indexPath);
    QList<MbdbRecord> records = index.values();
    sortMbdbRecords(records);

    clearIndexes();
    QHash<QString, BackupFileNode *> byPath;
    auto addNode = [](BackupFileNode *parent, const QString &name, const MbdbRecord &record) {
        auto node = std::make_unique<BackupFileNode>();
        node->name = name;
        node->record = record;
        node->parent = parent;
        BackupFileNode *raw = node.get();
        parent->children.push_back(std::move(node));
        return raw;
    };

    const QString applications = QStringLiteral("Applications");
    for (const MbdbRecord &record : qAsConst(records)) {
        const QString domain = record.Domain.toString();
        const QString path = record.Path.toString();
        QString fullPath;
        if (domain.startsWith(kAppDomainPrefix)) {
            if (!byPath.contains(applications))
                byPath.insert(applications, addNode(&m_root, applications, MbdbRecord()));
            fullPath = applications + QLatin1Char('/') + domain.mid(kAppDomainPrefix.size());
            if (!path.isEmpty())
                fullPath += QLatin1Char('/') + path;
        } else {
            fullPath = path;
        }
        const int slash = fullPath.lastIndexOf(QLatin1Char('/'));
        const QString name = slash < 0 ? fullPath : fullPath.mid(slash + 1);
        const QString parentPath = slash < 0 ? QString() : fullPath.left(slash);
        if (name.isEmpty() || byPath.contains(fullPath))
            continue;
        if (!isSafeTreePath(fullPath, record)) {
            qWarning() << "Backup index entry left out, unsafe path:" << domain << path;
            continue;
        }
        BackupFileNode *parent = byPath.value(parentPath, &m_root);
        BackupFileNode *node = addNode(parent, name, record);
        byPath.insert(fullPath, node);
        classify(node, domain, path);
    }
}

void BackupManifest::classify(BackupFileNode *node, const QString &domain, const QString &path)
{
    const MbdbRecord &r = node->record;
    const bool isFile = !r.isDirectory();
    auto is = [&domain](const QString &d) { return domain.compare(d, Qt::CaseInsensitive) == 0; };
    auto pathIs = [&path](const char *p) {
        return path.compare(QLatin1String(p), Qt::CaseInsensitive) == 0;
    };

    if (is(kCameraRollDomain)) {
        static const QRegularExpression dcim
            = caseless("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)");
        static const QRegularExpression meta
            = caseless("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)");
        static const QRegularExpression thumb
            = caseless("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)");
        QRegularExpressionMatch m = dcim.match(path);
        if (m.hasMatch()) {
            const QString ext = m.captured(1).toLower();
            if (ext == QLatin1String(".mov"))
                m_cameraRollVideos.append(node);
            else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                m_cameraRollPhotos.append(node);
            return;
        }
        m = meta.match(path);
        if (m.hasMatch()) {
            if (m.captured(2).toLower() == QLatin1String(".thm"))
                m_cameraRollThumbnails.insert(m.captured(1), node);
            return;
        }
        m = thumb.match(path);
        if (m.hasMatch()) {
            const QString ext = m.captured(2).toLower();
            if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                m_cameraRollThumbnails.insert(m.captured(1), node);
        }
    } else if (is(kHomeDomain)) {
        const struct
        {
            const char *path;
            BackupFileNode **slot;
        } knownFiles[] = {
            { "Library/SMS/sms.db", &m_smsDb },
            { "Library/AddressBook/AddressBook.sqlitedb", &m_addressBookDb },
            { "Library/AddressBook/AddressBookImages.sqlitedb", &m_addressBookImagesDb },
            { "Library/Notes/notes.sqlite", &m_notesDb },
            { "Library/Calendar/Calendar.sqlitedb", &m_calendarDb },
            { "Library/Calendar/Extras.db", &m_calendarExtrasDb },
            { "Library/Voicemail/voicemail.db", &m_voicemailDb },
            { "Library/Safari/Bookmarks.db", &m_bookmarksDb },
            { "Library/CallHistoryDB/CallHistory.storedata", &m_callHistoryStore },
        };
        for (const auto &s : knownFiles) {
            if (!*s.slot && pathIs(s.path)) {
                *s.slot = node;
                return;
            }
        }
        static const QRegularExpression voicemail = caseless("^Library/Voicemail/(\\d+)\\.amr$");
        const QRegularExpressionMatch m = voicemail.match(path);
        if (m.hasMatch())
            m_voicemails.insert(m.captured(1).toInt(), node);
    } else if (is(kMediaDomain)) {
        static const QRegularExpression recording = caseless("^Media/Recordings/([^/.]+\\.m4a)$");
        if (!m_recordingsDb && pathIs("Media/Recordings/Recordings.db")) {
            m_recordingsDb = node;
        } else if (path.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)) {
            if (isFile)
                addSmsFileKeys(node, path);
        } else if (isFile) {
            const QRegularExpressionMatch m = recording.match(path);
            if (m.hasMatch())
                m_recordings.insert(m.captured(1), node);
        }
    } else if (is(kWirelessDomain)) {
        if (!m_callHistoryDb && pathIs("Library/CallHistory/call_history.db"))
            m_callHistoryDb = node;
    }
}

void BackupManifest::addSmsFileKeys(BackupFileNode *node, const QString &path)
{
    const QString devicePrefix = QStringLiteral("/var/mobile/");
    const int k = path.lastIndexOf(QLatin1String("-preview"));
    if (k > 0) {
        m_smsFilesByDevicePath.insert(
            devicePrefix + path.left(k) + QLatin1String("-preview"), node);
        const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        if (fileName.contains(QLatin1String("-preview-left"), Qt::CaseInsensitive))
            m_smsFilesByDevicePath.insert(
                devicePrefix + path.left(k) + QLatin1String("-preview-left"), node);
    } else {
        const int d = path.lastIndexOf(QLatin1Char('.'));
        m_smsFilesByDevicePath.insert(devicePrefix + (d > 0 ? path.left(d) : path), node);
    }

    static const QRegularExpression parts = caseless("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)$");
    static const QRegularExpression attachments
        = caseless("^Library/SMS/Attachments/([^/]+)/([^/]+)$");
    QRegularExpressionMatch m = parts.match(path);
    if (m.hasMatch()) {
        m_smsParts.insert(baseName(m.captured(1)), node);
        return;
    }
    m = attachments.match(path);
    if (m.hasMatch())
        m_smsAttachments.insert(m.captured(1) + QLatin1Char('/') + baseName(m.captured(2)), node);
}

qint64 BackupManifest::extractedSize(const BackupFileNode *node) const
{
    const MbdbRecord &record = node->record;
    const QFileInfo stored(m_backupDir.absoluteFilePath(record.fileName()));
    if (!stored.isFile())
        return -1;
    // extractFile decrypts exactly the files with a wrapped key, or fails.
    return copiedSize(stored.size(), recordedSize(record),
        m_deviceInfo.IsEncrypted && record.EncryptionKey.isValid());
}

void BackupManifest::createCopyBeside(QFile &dest, const QString &targetPath)
{
    // A named file costs the file system less than an unnamed one that is linked in later.
    const QString folder = QFileInfo(targetPath).absolutePath();
    for (int attempt = 0; !dest.isOpen(); ++attempt) {
        dest.setFileName(folder + QLatin1Char('/') + kUnfinishedCopyPrefix
            + QString::number(QRandomGenerator::global()->generate64(), 36));
        if (!dest.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)
            && (attempt == 15 || (!QFileInfo(dest.fileName()).isSymLink() && !dest.exists())))
            throwRuntimeError(QStringLiteral("%1: %2").arg(targetPath, dest.errorString()));
    }
}

bool BackupManifest::isUnfinishedCopyName(const QString &fileName)
{
    return fileName.startsWith(kUnfinishedCopyPrefix);
}

void BackupManifest::extractFile(const BackupFileNode *node, const QString &destination,
    void *context, ExtractProgressFn progress) const
{
    const QString targetPath = QFileInfo(destination).absoluteFilePath();
    // Written beside the target and renamed over it only once complete.
    QFile dest;
    struct RemoveUnlessKept
    {
        QFile &file;
        bool keep = false;
        ~RemoveUnlessKept()
        {
            if (!keep && file.isOpen())
                file.remove();
        }
    } cleanup { dest };
    createCopyBeside(dest, targetPath);
    writeStoredFile(node, dest, targetPath, context, progress);
    // Synced, then renamed over the target in one step (a link there is replaced, not
    // followed): the name holds the old file or the whole new one, also after a power loss.
    QString reason;
    if (!durable::renameOver(dest.fileName(), targetPath, &reason))
        throwRuntimeError(reason);
    cleanup.keep = true;
    dest.close();
}

void BackupManifest::writeStoredFile(const BackupFileNode *node, QFile &dest,
    const QString &targetPath, void *context, ExtractProgressFn progress) const
{
    const MbdbRecord &record = node->record;
    const QString fileId = record.fileName();
    auto storedFail
        = [](const QString &text) { throw StoredFileError(text.toUtf8().toStdString()); };
    QFile source(m_backupDir.absoluteFilePath(fileId));
    if (!source.open(QIODevice::ReadOnly))
        storedFail(source.errorString());

    QByteArray fileKey;
    if (m_deviceInfo.IsEncrypted && record.EncryptionKey.isValid()) {
        fileKey = Keybag::unwrapFileKey(
            m_keybag, record.ProtectionClass, record.EncryptionKey.Bytes.mid(4));
        // Copying the ciphertext instead would hand out garbage as the file.
        if (fileKey.isEmpty())
            storedFail(QStringLiteral("%1, cannot unwrap the file key: the backup is locked or "
                                      "the key is damaged.")
                           .arg(fileId));
    }

    const qint64 total = source.size();
    const qint64 size = recordedSize(record);
    if (total < size)
        storedFail(QStringLiteral("%1, the stored file is shorter than its recorded size (%2 of "
                                  "%3 bytes).")
                       .arg(fileId, QString::number(total), QString::number(size)));

    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    struct AesGuard
    {
        mbedtls_aes_context *ctx;
        ~AesGuard() { mbedtls_aes_free(ctx); }
    } guard { &aes };
    unsigned char iv[16] = {};
    if (!fileKey.isEmpty() && !setAesDecryptKey256(&aes, fileKey))
        storedFail(QStringLiteral("%1, cannot unwrap the file key.").arg(fileId));

    const bool trimPadding = copiedSize(total, size, !fileKey.isEmpty()) != total;
    const auto writeFailed = [&](const QString &reason) {
        throwRuntimeError(
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(targetPath), reason));
    };
    QString reason;
    qint64 done = 0;
    // The system copies a plain file without passing it through memory; what it cannot copy
    // goes through the buffer below, which also names the side that failed.
    if (fileKey.isEmpty()) {
        qint64 written = 0;
        while (done < total
            && winplatform::copyFileRange(source.handle(), &done, dest.handle(), &written,
                   std::min(kChunkSize, total - done))
                > 0) {
            if (progress)
                progress(total, done, context);
        }
        if (done > 0 && done < total) {
            if (!source.seek(done))
                storedFail(QStringLiteral("%1, %2").arg(fileId, source.errorString()));
            if (!dest.seek(done))
                writeFailed(dest.errorString());
        }
    }

    QByteArray buffer(static_cast<int>(std::min(kChunkSize, std::max<qint64>(total - done, 16))),
        Qt::Uninitialized);
    while (done < total) {
        // A short read must not end a chunk off a 16-byte boundary: fill it completely.
        const qint64 n = std::min<qint64>(buffer.size(), total - done);
        for (qint64 got = 0; got < n;) {
            const qint64 r = source.read(buffer.data() + got, n - got);
            if (r <= 0)
                storedFail(QStringLiteral("%1, %2").arg(fileId, source.errorString()));
            got += r;
        }
        const qint64 before = done;
        done += n;
        qint64 toWrite = n;
        if (!fileKey.isEmpty()
            && !aesCbcDecryptInPlace(&aes, iv, buffer.data(), static_cast<size_t>(n)))
            storedFail(QStringLiteral("%1, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH.").arg(fileId));
        if (trimPadding)
            toWrite = std::max<qint64>(0, std::min(n, size - before));
        // A full disk takes part of a write without an error: the helper names it.
        if (toWrite > 0
            && !durable::writeAll(dest, buffer.constData(), toWrite, targetPath, &reason))
            writeFailed(reason);
        if (progress)
            progress(total, done, context);
    }

    const QDateTime mtime = QDateTime::fromSecsSinceEpoch(record.Mtime, Qt::UTC);
    winplatform::setFileTime(dest.handle(), mtime, mtime);
    // The copy gets the permissions of any other file the program writes, whatever the
    // process's mask.
    dest.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther);
}
