// What plugging an iPhone in and out does to the window: identify the phone, settle its
// country, copy its messages by the road its iOS version takes (file relay, or a device
// backup opened and cached), add its node with its chats; and take the node away again.
#pragma once

#include "shell/abstreeitemmodel.h"

#include <QObject>
#include <QSet>

#include <functional>

class IOSDevice;
class ItemModelMain;
class ProgressForm;
class QDialog;
class QThread;
class QWidget;

// What an arrival needs of the window: a parent for its dialogs and workers, the tree, and
// the two view changes an arrival or a removal makes.
class DeviceArrivalHost
{
public:
    virtual ~DeviceArrivalHost();

    virtual QWidget *dialogParent() = 0;
    virtual ItemModelMain *treeModel() const = 0;
    // Expands the node and makes it current once the event loop runs again.
    virtual void selectNode(AbsTreeItemModel::_ItemNode *node) = 0;
    // Empties the message list and the bubble view when they show anything of the node,
    // which is about to go.
    virtual void releaseViewOf(AbsTreeItemModel::_ItemNode *node) = 0;
};

class DeviceArrival : public QObject
{
    Q_OBJECT
public:
    DeviceArrival(DeviceArrivalHost &host, QObject *parent);

    // The whole arrival; returns with the device's node added, or with nothing changed.
    void connected(void *device);
    // Removes the first node of the device; a device still arriving then adds none.
    void disconnected(void *device);
    bool isArriving() const { return !m_arriving.isEmpty(); }

    // When set, the country and password dialogs are handed to the hook instead of being
    // run; its answer is the dialog's result. An empty function restores exec().
    using DialogHook = std::function<int(QDialog &)>;
    static void setDialogHook(DialogHook hook);

private:
    static int execDialog(QDialog &dialog);
    // Starts the worker under its dialog and waits for it; true when it finished its job.
    static bool runWorker(ProgressForm &form, QThread &worker);

    void settleCountry(IOSDevice &device);
    bool loadByFileRelay(IOSDevice &device);
    bool loadByBackup(IOSDevice &device);
    void openCopy(const IOSDevice &device);
    bool isGone(void *device) const { return m_gone.contains(device); }

    DeviceArrivalHost &m_host;
    // Devices whose arrival runs, and those of them unplugged meanwhile.
    QSet<void *> m_arriving;
    QSet<void *> m_gone;
};
