#include "itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <stdexcept>

namespace {

// What a cancelled walk unwinds with; only run() catches it.
const int kCancelled = -1;

// A folder of the cache; a link or a file standing in its place is replaced, so that nothing
// is ever written through a link to somewhere outside the cache.
QString ensureRealFolder(const QString &parent, const QString &name)
{
    const QString path = parent + QLatin1Char('/') + name;
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        QFile::remove(path);
    if (!QFileInfo(path).isDir() && !QDir(parent).mkdir(name))
        throw std::runtime_error(
            QStringLiteral("Can not create the folder %1.").arg(path).toUtf8().toStdString());
    return path;
}

const BackupFileNode *childNamed(const BackupFileNode *node, const char *name)
{
    for (const auto &c : node->children) {
        if (c->name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return c.get();
    }
    return nullptr;
}

void stopWhenCancelled(qint64, qint64, void *form)
{
    if (static_cast<ProgressForm *>(form)->failed)
        throw kCancelled;
}

} // namespace

QString itunesCacheFolder(const BackupManifest &backup)
{
    return dataFolder().absoluteFilePath(QStringLiteral("itunes_cache/") + backup.backupId());
}

QString cacheFolderPath()
{
    return dataFolder().absoluteFilePath(QStringLiteral("cache"));
}

ITunesCacheSMSThread::ITunesCacheSMSThread(
    BackupManifest *backup, ProgressForm *form, QObject *parent)
    : ITunesCacheSMSThread(backup, itunesCacheFolder(*backup), form, parent)
{
}

ITunesCacheSMSThread::ITunesCacheSMSThread(
    BackupManifest *backup, const QString &cacheDir, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , m_backup(backup)
    , m_form(form)
    , m_cacheDir(cacheDir)
    , m_index(std::make_unique<ITunesCacheManifestDb>(
          m_cacheDir.absoluteFilePath(QStringLiteral("manifest.db"))))
{
}

ITunesCacheSMSThread::~ITunesCacheSMSThread()
{
    m_index.reset();
}

void ITunesCacheSMSThread::run()
{
    ProgressForm::postUpdateProgress(m_form, tr("IDS_LOADING_ITUNES_BACKUP"), 99, QString());
    m_smsNode = m_addressBookNode = nullptr;
    if (const BackupFileNode *library = childNamed(&m_backup->root(), "Library")) {
        m_smsNode = childNamed(library, "SMS");
        m_addressBookNode = childNamed(library, "AddressBook");
    }
    if (!m_smsNode) {
        ProgressForm::postErrorOccurred(m_form, tr("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }

    try {
        const QString root = m_cacheDir.absolutePath();
        if (!QDir().mkpath(root))
            throw std::runtime_error(
                QStringLiteral("Can not create the folder %1.").arg(root).toUtf8().toStdString());
        QString target = root;
        for (const char *name : { "file-relay", "var", "mobile", "Library" })
            target = ensureRealFolder(target, QLatin1String(name));
        // The readers open "SMS" and "AddressBook" by these names, whatever case the
        // backup gives them.
        cacheTopFolder(m_smsNode, target, QStringLiteral("SMS"));
        if (m_addressBookNode)
            cacheTopFolder(m_addressBookNode, target, QStringLiteral("AddressBook"));
        m_index->commit();
    } catch (int) {
        abandon();
        return;
    } catch (const std::exception &e) {
        abandon();
        ProgressForm::postErrorOccurred(m_form, QString::fromUtf8(e.what()));
        return;
    }
    ProgressForm::postSucceed(m_form, QString());
}

void ITunesCacheSMSThread::abandon()
{
    // The rows of this run go with the copies they describe.
    m_index->discard();
    removeFolderRecursively(m_cacheDir.absolutePath());
}

void ITunesCacheSMSThread::cacheTopFolder(
    const BackupFileNode *node, const QString &targetFolder, const QString &name)
{
    if (node->record.isDirectory())
        cacheFolder(node, targetFolder, name);
    else
        cacheNode(node, targetFolder);
}

void ITunesCacheSMSThread::cacheNode(const BackupFileNode *node, const QString &targetFolder)
{
    if (m_form && m_form->failed)
        throw kCancelled;
    if (node->record.isDirectory())
        cacheFolder(node, targetFolder, node->name);
    else
        cacheFile(node, targetFolder);
}

void ITunesCacheSMSThread::cacheFolder(
    const BackupFileNode *node, const QString &targetFolder, const QString &name)
{
    if (!isOneFolderEntry(name)) {
        qWarning() << "Backup folder left out of the cache, unsafe name:" << name;
        return;
    }
    const QString folder = ensureRealFolder(targetFolder, name);
    for (const auto &child : node->children)
        cacheNode(child.get(), folder);
}

void ITunesCacheSMSThread::cacheFile(const BackupFileNode *node, const QString &targetFolder)
{
    const MbdbRecord &record = node->record;
    const QString name = sanitizeFileName(node->name);
    if (!isOneFolderEntry(name)) {
        qWarning() << "Backup file left out of the cache, unsafe name:" << node->name;
        return;
    }
    const QString key = record.fileName();
    const QString destination = targetFolder + QLatin1Char('/') + name;

    // A remembered time counts only while the copy it describes is still there.
    bool known = false;
    const qint64 last = m_index->lastDate(key, &known);
    const QFileInfo cached(destination);
    if (known && last == qint64(record.Mtime) && cached.isFile() && !cached.isSymLink())
        return;
    if (!QFileInfo(m_backup->backupDir().absoluteFilePath(key)).isFile())
        return;

    ProgressForm::postUpdateProgress(
        m_form, QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(node->name));
    try {
        m_backup->extractFile(node, destination, m_form, m_form ? &stopWhenCancelled : nullptr);
    } catch (const StoredFileError &e) {
        // Without its databases the cache is useless; one unreadable attachment is not.
        if (node->parent == m_smsNode || node->parent == m_addressBookNode)
            throw;
        qWarning() << "Backup file left out of the cache:" << destination << e.what();
        return;
    }
    m_index->setLastDate(key, record.Mtime);
}
