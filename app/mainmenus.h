// The entries of the main window's menu bar, tool bar and two context menus, and their
// enabling by the current tree node. Each entry calls a slot of the window by name.
#pragma once

#include "shell/abstreeitemmodel.h"

class QAction;
class QMainWindow;
class QMenu;
class QToolBar;

// The message actions the window keeps to enable them as the current node changes.
struct MenuActions
{
    QAction *actBackup = nullptr;
    QAction *actI2I = nullptr;
    QAction *actDb2I = nullptr;
    QAction *actExtractMedia = nullptr;
    QAction *actExport = nullptr;
    QAction *actPrint = nullptr;
    QAction *actDel = nullptr;
};

class MainMenus
{
public:
    // Builds the File, Tools and Help menus and the tool bar; the kept actions start
    // disabled.
    static MenuActions createMenus(QMainWindow &window, QToolBar &toolBar);
    // `current` is the current node (null for none); `devices` counts the device nodes.
    static void updateActions(
        const MenuActions &actions, const AbsTreeItemModel::_ItemNode *current, int devices);
    // Fill the context menu of the navigation tree or of the message list for the current
    // node; false when that node has no menu.
    static bool fillTreeMenu(
        QMenu &menu, QObject *window, const AbsTreeItemModel::_ItemNode *current, int devices);
    static bool fillListMenu(
        QMenu &menu, QObject *window, const AbsTreeItemModel::_ItemNode *current, int devices);
};
