// What the message-action flows need of the window that starts them: a parent for their
// dialogs, the navigation tree, the desktop services, and the few view changes a flow makes.
#pragma once

#include "shell/abstreeitemmodel.h"

class ItemModelMain;
class QWidget;
struct WindowServices;

class FlowHost
{
public:
    virtual ~FlowHost();

    virtual QWidget *flowParent() = 0;
    virtual ItemModelMain *treeModel() const = 0;
    virtual WindowServices &services() = 0;
    // Leaves no tree node current and empties the message list and the bubble view.
    virtual void clearCurrentNode() = 0;
    // Expands the node and makes it current once the event loop runs again.
    virtual void selectNode(AbsTreeItemModel::_ItemNode *node) = 0;
    // Opens the device's cached copy anew, just written again, in the device's node: a new
    // database object and a new set, as a new arrival would read them.
    virtual void reopenDevice(void *handle) = 0;
};
