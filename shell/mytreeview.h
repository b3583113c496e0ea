// A tree view that announces selection changes and context-menu requests as signals.
#pragma once

#include <QItemSelection>
#include <QTreeView>

class MyTreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit MyTreeView(QWidget *parent = nullptr);

signals:
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    void createContextMenu();

protected:
    void selectionChanged(
        const QItemSelection &selected, const QItemSelection &deselected) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
};
