#include "app/localdbflow.h"

#include "app/backupsteps.h"
#include "app/flowhost.h"
#include "app/itemmodelmain.h"
#include "app/phonecountry.h"
#include "app/windowservices.h"
#include "app/workerstep.h"
#include "backup/backupmanifest.h"
#include "messages/ios5messagedb.h"
#include "messages/ios6messagedb.h"
#include "operations/backupsmsthread.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"
#include "view/localdbselform.h"

#include <exception>
#include <memory>
#include <stdexcept>

namespace {

// The message database of a cache folder in the class its layout needs, reading its numbers
// and its address book under the country of the phone it came from.
std::unique_ptr<AbsMessageDb> openCachedDatabase(
    const QDir &cacheDir, const QString &deviceName, const PhoneCountry::Chooser &chooseCountry)
{
    const QString path = cachedSmsDbPath(cacheDir);
    const int version = AbsIOSMessageDb::smsDbVersion(path);
    if (version != 5 && version != 6)
        throw std::runtime_error("invalid IOS db.");
    const QString country
        = PhoneCountry::settle(PhoneCountry::ofHandles(path, version), deviceName, chooseCountry);
    if (version == 5)
        return std::make_unique<IOS5MessageDb>(cacheDir, country);
    return std::make_unique<IOS6MessageDb>(cacheDir, country, false);
}

} // namespace

LocalDbFlow::LocalDbFlow(FlowHost &host)
    : m_host(host)
{
}

void LocalDbFlow::backupMessages(
    AbsTreeItemModel::_ItemNode *current, const MsgMessageList &messages)
{
    if (current && current->kind == ChatSessionNode)
        current = current->parent;
    if (!current || current->kind < IOSDeviceNode || current->kind > LocalDBNode)
        return;
    backupToLocalDb(current->name + QLatin1String("_Backup"), messages);
}

_LocalDBItemNode *LocalDbFlow::findOrAddDatabase(const QString &name)
{
    ItemModelMain *model = m_host.treeModel();
    for (AbsTreeItemModel::_ItemNode *child : qAsConst(model->rootLocalDb()->children)) {
        if (child->kind == LocalDBNode && child->name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<_LocalDBItemNode *>(child);
    }
    QSharedPointer<AbsMessageDb> db(
        new IOS6MessageDb(QDir(localDbFolder().filePath(name)), QString(), true));
    return model->addLocalDb(db, name);
}

void LocalDbFlow::backupToLocalDb(const QString &proposedName, const MsgMessageList &messages)
{
    QWidget *parent = m_host.flowParent();
    ItemModelMain *model = m_host.treeModel();
    QStringList names;
    for (const AbsTreeItemModel::_ItemNode *child : qAsConst(model->rootLocalDb()->children))
        names << child->name;
    const QString name = m_host.services().localDbName(parent, names, proposedName);
    if (name.isEmpty())
        return;
    // The name becomes a folder of the local databases folder: never anything outside it.
    if (LocalDbSelForm::checkName(name) != LocalDbSelForm::NameOk) {
        showWarning(LocalDbSelForm::tr("IDS_INVALID_LOCALDB_NAME"));
        return;
    }
    _LocalDBItemNode *node = findOrAddDatabase(name);
    const auto *target = dynamic_cast<IOS6MessageDb *>(node->db.data());
    if (!target)
        return;
    const QSharedPointer<AbsMessageDb> db = node->db;
    db->close();
    ProgressForm form(QString(), parent);
    BackupSMSThread worker(messages, target->dataFolder(), QString(), &form, parent);
    if (!finished(runWorkerStep(worker, form)))
        return;
    if (!model->containsNode(node) || node->db != db)
        return;
    m_host.clearCurrentNode();
    try {
        model->reloadMessages(node);
        m_host.selectNode(node);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void LocalDbFlow::importITunesBackup(const QString &proposedName)
{
    QWidget *parent = m_host.flowParent();
    WindowServices &services = m_host.services();
    const QSharedPointer<BackupManifest> backup = services.chooseBackup(parent);
    if (!backup)
        return;
    if (backup->deviceInfo().IsEncrypted && !services.unlockBackup(parent, backup.data()))
        return;
    QDir cacheDir;
    if (!loadBackupFileTree(*backup) || !cacheBackupMessages(*backup, parent, &cacheDir))
        return;
    try {
        const std::unique_ptr<AbsMessageDb> db
            = openCachedDatabase(cacheDir, backup->deviceInfo().DeviceName,
                [&](QString *code) { return services.chooseCountry(parent, code); });
        QSharedPointer<MsgMessageSet> set;
        MsgMessageSet::create(set);
        db->messages(set, 0);
        QString name = proposedName;
        if (name.isEmpty())
            name = backup->deviceInfo().DeviceName + QLatin1String("_Backup");
        backupToLocalDb(name, set->messages());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}
