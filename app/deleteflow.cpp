#include "app/deleteflow.h"

#include "app/flowhost.h"
#include "app/itemmodelmain.h"
#include "app/workerstep.h"
#include "messages/ios6messagedb.h"
#include "operations/deletemmsthread.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QFileInfo>

#include <exception>

namespace {

// The folder of a local database when it lies inside the local databases folder, else empty.
QString databaseFolder(const _LocalDBItemNode *node)
{
    const auto *db = dynamic_cast<const IOS6MessageDb *>(node->db.data());
    if (!db)
        return QString();
    const QString root = QDir::cleanPath(localDbFolder().absolutePath());
    const QString folder = QDir::cleanPath(db->dataFolder().absolutePath());
    if (!folder.startsWith(root + QLatin1Char('/')))
        return QString();
    return folder;
}

} // namespace

DeleteFlow::DeleteFlow(FlowHost &host)
    : m_host(host)
{
}

bool DeleteFlow::stillThere(const _LocalDBItemNode *node) const
{
    // Whatever ran while a question was up may have taken the node away.
    return m_host.treeModel()->containsNode(node);
}

_LocalDBItemNode *DeleteFlow::databaseOf(AbsTreeItemModel::_ItemNode *current)
{
    if (current && current->kind == ChatSessionNode)
        current = current->parent;
    if (!current || current->kind != LocalDBNode)
        return nullptr;
    return static_cast<_LocalDBItemNode *>(current);
}

void DeleteFlow::deleteSelected(
    AbsTreeItemModel::_ItemNode *current, const MsgMessageList &selected)
{
    _LocalDBItemNode *node = databaseOf(current);
    if (!node || selected.isEmpty())
        return;
    if (!askYesNo(tr("IDS_CONFIRM_DEL_SEL_MMS")) || !stillThere(node))
        return;
    if (deleteMessages(node, selected))
        m_host.selectNode(node);
}

void DeleteFlow::deleteChat(AbsTreeItemModel::_ItemNode *current, const MsgMessageList &shown)
{
    if (!current || current->kind != ChatSessionNode)
        return;
    _LocalDBItemNode *node = databaseOf(current);
    if (!node)
        return;
    if (!askYesNo(tr("IDS_CONFIRM_DEL_CHAT_MMS")) || !stillThere(node))
        return;
    // The list and the bubbles stay empty: nothing is made current afterwards.
    deleteMessages(node, shown);
}

bool DeleteFlow::deleteMessages(_LocalDBItemNode *node, MsgMessageList messages)
{
    const QString folderPath = databaseFolder(node);
    if (folderPath.isEmpty())
        return false;
    // The records in the list stay alive through the whole run, whatever happens to the node.
    const QSharedPointer<MsgMessageSet> records = node->messageSet;
    const QSharedPointer<AbsMessageDb> db = node->db;
    QWidget *parent = m_host.flowParent();
    ProgressForm form(QString(), parent);
    // The worker opens the file alone.
    db->close();
    QDir folder(folderPath);
    DeleteMMSThread worker(&folder, &messages, &form, parent);
    if (!finished(runWorkerStep(worker, form)))
        return false;

    ItemModelMain *model = m_host.treeModel();
    // Nothing may show a record of the old set once the node lets go of it.
    m_host.clearCurrentNode();
    if (!model->containsNode(node) || node->messageSet != records)
        return false;
    try {
        // Chats the deletion emptied are gone from the file; the rebuilt tree follows it.
        model->reloadMessages(node);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
    return true;
}

void DeleteFlow::deleteDatabase(AbsTreeItemModel::_ItemNode *current)
{
    if (!current || current->kind != LocalDBNode)
        return;
    auto *node = static_cast<_LocalDBItemNode *>(current);
    if (!askYesNo(tr("IDS_CONFIRM_DEL_THIS_LOCALDB")) || !stillThere(node))
        return;
    const QString name = node->name;
    const QString folder = databaseFolder(node);
    m_host.clearCurrentNode();
    node->db->close();
    if (!folder.isEmpty())
        removeFolderRecursively(folder);
    if (folder.isEmpty() || QFileInfo::exists(folder)) {
        showError(tr("IDS_DEL_LOCALDB_FAILED_%0").arg(name));
        return;
    }
    m_host.treeModel()->removeNode(node);
    showInfo(tr("IDS_DEL_LOCALDB_SUC").arg(name));
}
