// What plugging an iPhone in and out does to the window: identify the phone, settle its
// country, copy its messages by the road its iOS version takes (file relay, or a device
// backup opened and cached), add its node with its chats; and take the node away again.
#pragma once

#include "app/itemmodelmain.h"
#include "shell/abstreeitemmodel.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class IOSDevice;
class ItemModelMain;
class NodeLoader;
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
    // Reads the copy's chats while the window keeps painting.
    virtual NodeLoader &nodeLoader() = 0;
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

    // The whole arrival, one device at a time: a device that arrives while another one's
    // arrival runs (its boxes and dialogs run the event loop) or while arrivals are held
    // waits for its turn. Returns with the device's node added, with nothing changed, or
    // with the device waiting.
    void connected(void *device);
    // Drops the device's waiting arrivals and removes its first node; a device still
    // arriving then adds none.
    void disconnected(void *device);
    bool isArriving() const { return m_running || !m_waiting.isEmpty(); }

    // Keeps arrivals waiting while it lives, for work on the window's thread that runs the
    // event loop part-way (the print preview's painting); the waiting ones start after it.
    class Hold
    {
    public:
        explicit Hold(DeviceArrival &arrival);
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        DeviceArrival &m_arrival;
    };

    // When set, the country and password dialogs are handed to the hook instead of being
    // run; its answer is the dialog's result. An empty function restores exec().
    using DialogHook = std::function<int(QDialog &)>;
    static void setDialogHook(DialogHook hook);

    // The database object of the layout that the device's cached copy has, and its opener;
    // throws "invalid IOS db." for a copy of neither layout.
    static DbOpener openCopyDatabase(
        const IOSDevice &device, QSharedPointer<AbsMessageDb> *database);

private:
    struct Arrival
    {
        void *handle;
        // Read when the device arrives, so that a device gone before its turn has a name.
        QString name;
    };

    static int execDialog(QDialog &dialog);
    // Starts the worker under its dialog and waits for it; true when it finished its job.
    static bool runWorker(ProgressForm &form, QThread &worker);

    void arriveAll();
    void arrive(const Arrival &arrival);
    void settleCountry(IOSDevice &device);
    bool loadByFileRelay(IOSDevice &device);
    bool loadByBackup(IOSDevice &device);
    void openCopy(const IOSDevice &device);
    bool isGone(void *device) const { return device == m_current && m_currentGone; }

    DeviceArrivalHost &m_host;
    QList<Arrival> m_waiting;
    bool m_running = false;
    int m_holds = 0;
    // The device whose arrival runs, and whether it was unplugged meanwhile.
    void *m_current = nullptr;
    bool m_currentGone = false;
};
