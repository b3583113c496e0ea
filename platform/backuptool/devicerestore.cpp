#include "devicerestore.h"

#include "backupdomains.h"
#include "devicebackup.h"
#include "progressprinter.h"
#include "toolfault.h"

#include "platform/durablefile/durablefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <utime.h>

#include <stdexcept>

namespace {

constexpr int chunkSize = 1024 * 1024;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

bool isFile(const IndexRecord &record)
{
    const int type = record.mode & 0170000;
    return type == 0100000 || (type == 0 && record.size > 0);
}

QByteArray digestOf(const QString &path)
{
    QFile file(path);
    QCryptographicHash digest(QCryptographicHash::Sha1);
    if (!file.open(QIODevice::ReadOnly) || !digest.addData(&file))
        return QByteArray();
    return digest.result();
}

} // namespace

DeviceRestore::DeviceRestore(const PhoneFolder &phone, const QDir &root, const QString &sourceUdid)
    : m_phone(phone)
    , m_folder(root.absoluteFilePath(sourceUdid))
{
}

void DeviceRestore::run()
{
    m_phone.startBackupService();
    if (!DeviceBackup::isFinished(m_folder))
        fail(QStringLiteral("There is no finished backup in %1.").arg(m_folder.absolutePath()));
    const QString manifestPath
        = m_folder.absoluteFilePath(QLatin1String(DeviceBackup::manifestName));
    const PlistPtr manifest = readPlistFile(manifestPath);
    if (!manifest)
        fail(QStringLiteral("%1 is damaged: it is not a property list.").arg(manifestPath));
    m_encrypted = boolOf(manifest.get(), "IsEncrypted");
    if (m_encrypted
        && !BackupKeys::unlock(
            dataOf(manifest.get(), "BackupKeyBag"), m_phone.backupPassword(), &m_keys))
        fail(QStringLiteral("The backup password of the device does not open this backup."));

    QList<IndexRecord> files;
    for (const IndexRecord &record :
        readIndexFile(m_folder.absoluteFilePath(QLatin1String(DeviceBackup::indexName)))) {
        if (isFile(record) && !devicePathOf(record.domain, record.path).isEmpty())
            files.append(record);
    }

    // Beside the file system, on its volume, so that the files move into place by renaming.
    QTemporaryDir staging(
        m_phone.fileSystem().absoluteFilePath(QStringLiteral("../restore-XXXXXX")));
    if (!staging.isValid())
        fail(QStringLiteral("Cannot prepare the restore on the device."));
    const ToolFault fault(m_phone, "restore");
    ProgressPrinter progress("Restoring", files.size());
    for (int i = 0; i < files.size(); ++i) {
        fault.beforeFile(i);
        const IndexRecord &record = files.at(i);
        const QString staged = staging.filePath(QString::number(i));
        stage(record, devicePathOf(record.domain, record.path), staged);
        progress.done(i + 1);
    }
    fault.beforeFile(files.size());

    // Every folder first: one that cannot be made fails the restore before any file moves.
    QStringList targets;
    for (const Staged &file : qAsConst(m_staged))
        targets.append(targetPath(file.devicePath));
    for (int i = 0; i < m_staged.size(); ++i) {
        const Staged &file = m_staged.at(i);
        // Replaces the old file in one step, so that it is never missing.
        QString error;
        if (!durable::renameOver(file.stagedPath, targets.at(i), &error))
            fail(QStringLiteral("Cannot write %1 on the device: %2").arg(file.devicePath, error));
        utimbuf times { static_cast<time_t>(file.mtime), static_cast<time_t>(file.mtime) };
        ::utime(QFile::encodeName(targets.at(i)).constData(), &times);
    }
}

QString DeviceRestore::targetPath(const QString &devicePath) const
{
    const QDir root = m_phone.fileSystem();
    const QString target = root.absoluteFilePath(devicePath);
    const QString folder = QFileInfo(target).absolutePath();
    // A link on the way would lead the file out of the phone, and making the folders first
    // would already have made them there: the part that exists is checked before, the whole
    // after.
    const QString canonicalRoot = root.canonicalPath();
    const auto inside = [&](const QString &path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return canonical == canonicalRoot || canonical.startsWith(canonicalRoot + QLatin1Char('/'));
    };
    QString existing = folder;
    while (!QFileInfo::exists(existing) && existing.size() > root.absolutePath().size())
        existing = QFileInfo(existing).absolutePath();
    if (!inside(existing) || !QDir().mkpath(folder) || !inside(folder))
        fail(QStringLiteral("Cannot write %1 on the device.").arg(devicePath));
    return target;
}

void DeviceRestore::stage(
    const IndexRecord &record, const QString &devicePath, const QString &stagedPath)
{
    const QString label = record.domain + QLatin1Char('-') + record.path;
    QFile source(m_folder.absoluteFilePath(record.fileId()));
    if (!source.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The backup lacks the file %1.").arg(label));
    QFile target(stagedPath);
    if (!target.open(QIODevice::WriteOnly))
        fail(
            QStringLiteral("Cannot prepare %1 on the device: %2").arg(label, target.errorString()));

    std::unique_ptr<CbcStream> cipher;
    if (m_encrypted && !record.wrappedKey.isEmpty()) {
        const QByteArray key = m_keys.fileKey(record.wrappedKey);
        if (key.isEmpty())
            fail(QStringLiteral("The key of %1 cannot be unwrapped.").arg(label));
        cipher.reset(new CbcStream(key, false));
    }
    QString error;
    const auto cannotWrite
        = [&] { fail(QStringLiteral("Cannot prepare %1 on the device: %2").arg(label, error)); };
    auto put = [&](const QByteArray &bytes) {
        if (!durable::writeAll(target, bytes.constData(), bytes.size(), stagedPath, &error))
            cannotWrite();
    };
    for (;;) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty())
            break;
        put(cipher ? cipher->update(chunk) : chunk);
    }
    QByteArray last;
    if (cipher) {
        if (!cipher->finish(&last))
            fail(QStringLiteral("The file %1 of the backup does not decrypt.").arg(label));
        put(last);
    }
    // A full disk may show only when the buffered rest is written out.
    if (!durable::sync(target, stagedPath, &error))
        cannotWrite();
    target.close();
    // A merge that replaced a file refreshes its digest but not its size: the digest, of what
    // the disk now holds, decides.
    if (record.digest.size() == 20 && digestOf(stagedPath) != record.digest)
        fail(QStringLiteral("The file %1 of the backup does not match its index.").arg(label));
    m_staged.append({ stagedPath, devicePath, record.mtime });
}
