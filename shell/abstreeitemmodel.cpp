#include "shell/abstreeitemmodel.h"

AbsTreeItemModel::_ItemNode::_ItemNode(int kind, const QString &name, _ItemNode *parent)
    : kind(kind)
    , name(name)
    , parent(parent)
{
}

AbsTreeItemModel::_ItemNode::~_ItemNode()
{
    qDeleteAll(children);
}

int AbsTreeItemModel::_ItemNode::countChildrenOfKind(int kind) const
{
    int count = 0;
    for (const _ItemNode *child : children) {
        if (child->kind == kind)
            ++count;
    }
    return count;
}

AbsTreeItemModel::AbsTreeItemModel(QObject *parent)
    : QAbstractItemModel(parent)
{
}

AbsTreeItemModel::~AbsTreeItemModel()
{
    qDeleteAll(roots);
}

QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::siblingsOf(_ItemNode *parent)
{
    return parent ? parent->children : roots;
}

const QList<AbsTreeItemModel::_ItemNode *> &AbsTreeItemModel::siblingsOf(
    const _ItemNode *parent) const
{
    return parent ? parent->children : roots;
}

// Rows are always looked up rather than remembered: a row cached when an index was made goes
// stale as soon as an earlier sibling is removed.
int AbsTreeItemModel::rowOf(const _ItemNode *node) const
{
    if (!node)
        return -1;
    return siblingsOf(node->parent).indexOf(const_cast<_ItemNode *>(node));
}

QModelIndex AbsTreeItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= columnCount(parent))
        return QModelIndex();
    if (parent.isValid() && (parent.model() != this || parent.column() > 0))
        return QModelIndex();
    const QList<_ItemNode *> &siblings = siblingsOf(nodeOf(parent));
    if (row >= siblings.size())
        return QModelIndex();
    return createIndex(row, column, siblings.at(row));
}

QModelIndex AbsTreeItemModel::parent(const QModelIndex &index) const
{
    const _ItemNode *node = nodeOf(index);
    if (!node || !node->parent)
        return QModelIndex();
    const int row = rowOf(node->parent);
    if (row < 0)
        return QModelIndex();
    return createIndex(row, 0, node->parent);
}

int AbsTreeItemModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() > 0)
        return 0;
    return siblingsOf(nodeOf(parent)).size();
}

AbsTreeItemModel::_ItemNode *AbsTreeItemModel::nodeOf(const QModelIndex &index)
{
    return index.isValid() ? static_cast<_ItemNode *>(index.internalPointer()) : nullptr;
}

QModelIndex AbsTreeItemModel::indexOfNode(_ItemNode *node) const
{
    const int row = rowOf(node);
    if (row < 0)
        return QModelIndex();
    // A node whose parent was taken out of the tree has no index either.
    for (const _ItemNode *up = node->parent; up; up = up->parent) {
        if (rowOf(up) < 0)
            return QModelIndex();
    }
    return createIndex(row, 0, node);
}

void AbsTreeItemModel::nodeChanged(_ItemNode *node)
{
    const QModelIndex nodeIndex = indexOfNode(node);
    if (!nodeIndex.isValid())
        return;
    // A data-changed range must lie under one parent: the node's row, then its children.
    const int lastColumn = columnCount(nodeIndex.parent()) - 1;
    if (lastColumn >= 0)
        emit dataChanged(nodeIndex, nodeIndex.siblingAtColumn(lastColumn));
    const int childColumns = columnCount(nodeIndex);
    if (!node->children.isEmpty() && childColumns > 0) {
        emit dataChanged(
            index(0, 0, nodeIndex), index(node->children.size() - 1, childColumns - 1, nodeIndex));
    }
}

QList<AbsTreeItemModel::_ItemNode *> AbsTreeItemModel::allNodes() const
{
    QList<_ItemNode *> list;
    for (_ItemNode *root : roots)
        collectNodes(list, root);
    return list;
}

void AbsTreeItemModel::collectNodes(QList<_ItemNode *> &list, _ItemNode *node)
{
    if (!node)
        return;
    list.append(node);
    for (_ItemNode *child : node->children)
        collectNodes(list, child);
}

void AbsTreeItemModel::removeChildren(_ItemNode *node)
{
    QModelIndex parentIndex;
    if (node) {
        parentIndex = indexOfNode(node);
        if (!parentIndex.isValid())
            return;
    }
    QList<_ItemNode *> &siblings = siblingsOf(node);
    if (siblings.isEmpty())
        return;
    beginRemoveRows(parentIndex, 0, siblings.size() - 1);
    QList<_ItemNode *> removed;
    removed.swap(siblings);
    endRemoveRows();
    // Destroyed only once no view or persistent index can reach them any more.
    qDeleteAll(removed);
}

void AbsTreeItemModel::removeNode(_ItemNode *node)
{
    const QModelIndex nodeIndex = indexOfNode(node);
    if (!nodeIndex.isValid())
        return;
    removeChildren(node);
    const int row = rowOf(node);
    beginRemoveRows(nodeIndex.parent(), row, row);
    siblingsOf(node->parent).removeAt(row);
    endRemoveRows();
    delete node;
}

void AbsTreeItemModel::emitLayoutChanged()
{
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

void AbsTreeItemModel::appendNode(_ItemNode *node)
{
    appendNodes(node->parent, { node });
}

void AbsTreeItemModel::appendNodes(_ItemNode *parent, const QList<_ItemNode *> &nodes)
{
    if (nodes.isEmpty())
        return;
    QList<_ItemNode *> &siblings = siblingsOf(parent);
    QModelIndex parentIndex;
    if (parent) {
        parentIndex = indexOfNode(parent);
        if (!parentIndex.isValid()) {
            // Under a node that is not in the tree: nothing a view could see.
            siblings.append(nodes);
            return;
        }
    }
    beginInsertRows(parentIndex, siblings.size(), siblings.size() + nodes.size() - 1);
    for (_ItemNode *node : nodes) {
        Q_ASSERT(node->parent == parent);
        siblings.append(node);
    }
    endInsertRows();
}
