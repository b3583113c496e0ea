// A tree model over owned nodes: the base of the navigation tree and of the backup chooser.
// Derived models build their nodes and insert them with appendNode(s), so that views and
// persistent indexes always see proper row notifications.
#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QString>

class AbsTreeItemModel : public QAbstractItemModel
{
public:
    class _ItemNode
    {
    public:
        // Does not add itself to the parent's children: the model does that.
        _ItemNode(int kind, const QString &name, _ItemNode *parent);
        virtual ~_ItemNode();
        _ItemNode(const _ItemNode &) = delete;
        _ItemNode &operator=(const _ItemNode &) = delete;

        int countChildrenOfKind(int kind) const;

        int kind;
        QString name;
        _ItemNode *parent; // not owning; null for a root
        QList<_ItemNode *> children; // owned
    };

    explicit AbsTreeItemModel(QObject *parent = nullptr);
    ~AbsTreeItemModel() override;

    QModelIndex index(
        int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;

    // The node an index of this model carries; null for an invalid index.
    static _ItemNode *nodeOf(const QModelIndex &index);
    // The column-0 index of a node of this model; invalid for null or a foreign node.
    QModelIndex indexOfNode(_ItemNode *node) const;
    // Tells views that the node and its children have new data.
    void nodeChanged(_ItemNode *node);
    // Every node depth-first, each before its children, roots in order.
    QList<_ItemNode *> allNodes() const;
    static void collectNodes(QList<_ItemNode *> &list, _ItemNode *node);
    // Destroys the children of a node (of the roots when null).
    void removeChildren(_ItemNode *node);
    // Destroys a node with its children and takes it out of its parent (or the roots).
    void removeNode(_ItemNode *node);
    void emitLayoutChanged();

protected:
    // Appends an owned node under its parent (among the roots when it has none).
    void appendNode(_ItemNode *node);
    // Appends nodes that share one parent inside one insertion notification.
    void appendNodes(_ItemNode *parent, const QList<_ItemNode *> &nodes);

    QList<_ItemNode *> roots; // owned

private:
    QList<_ItemNode *> &siblingsOf(_ItemNode *parent);
    const QList<_ItemNode *> &siblingsOf(const _ItemNode *parent) const;
    int rowOf(const _ItemNode *node) const;
};
