// The navigation tree of the main window: the roots "Devices" and "Local Databases", a node
// per device and per local database holding its message database, and under each of those
// one node per chat session.
#pragma once

#include "device/iosdevice.h"
#include "records/absdb.h"
#include "records/msgrecords.h"
#include "shell/abstreeitemmodel.h"

#include <QSharedPointer>

#include <functional>

// Chats brought back by the recovery get row ids below this; their messages are not in the
// database.
constexpr qint64 RecoveredChatRowidLimit = -1947483646;

enum ItemNodeKind {
    RootDeviceNode = 1,
    RootLocalDBNode = 2,
    IOSDeviceNode = 3,
    AndroidDeviceNode = 4, // never created by this program
    LocalDBNode = 5,
    ChatSessionNode = 6,
};

class _RootDeviceItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    explicit _RootDeviceItemNode(const QString &name);
};

class _RootLocalDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    explicit _RootLocalDBItemNode(const QString &name);
};

// Opens another object on a node's database file, for a read on another thread.
using DbOpener = std::function<QSharedPointer<AbsMessageDb>()>;
// An opener of the iOS 6+ database class on a data folder.
DbOpener ios6Opener(const QDir &dataFolder, const QString &countryCode, bool upgradeSchema);

// A device or local database: its database and the set its chats and messages load into.
// Workers take their own references to both, so they outlive a removed node.
class _AbsDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _AbsDBItemNode(int kind, const QString &name, _ItemNode *parent,
        const QSharedPointer<AbsMessageDb> &database);
    ~_AbsDBItemNode() override;

    QSharedPointer<AbsMessageDb> db;
    QSharedPointer<MsgMessageSet> messageSet;
    // Empty when the database is read on the window's thread only.
    DbOpener opener;
};

class _IOSDeviceItemNode : public _AbsDBItemNode
{
public:
    _IOSDeviceItemNode(
        _ItemNode *parent, const IOSDevice &device, const QSharedPointer<AbsMessageDb> &database);

    IOSDevice device;
};

class _LocalDBItemNode : public _AbsDBItemNode
{
public:
    _LocalDBItemNode(
        _ItemNode *parent, const QString &name, const QSharedPointer<AbsMessageDb> &database);
};

// The chats of one chat identifier; they belong to the parent's message set.
class _ChatSessionItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _ChatSessionItemNode(_ItemNode *parent, const ChatGroup &group);

    QList<_MsgChat *> chats;
    int last = 0;
    // The chats' messages have been read into the parent's set.
    bool messagesLoaded = false;
};

class ItemModelMain : public AbsTreeItemModel
{
    Q_OBJECT

public:
    explicit ItemModelMain(QObject *parent = nullptr);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(
        int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    _IOSDeviceItemNode *addDevice(const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device,
        const DbOpener &opener = DbOpener());
    // A local database of the iOS 6+ class gets its opener from the database.
    _LocalDBItemNode *addLocalDb(const QSharedPointer<AbsMessageDb> &db, const QString &name);
    // Rebuilds the sessions from the chats already loaded into the node's set.
    void refreshChatSessions(_AbsDBItemNode *node);
    // Gives the node a new set read from its file. Sessions whose chats the new set has
    // alike keep their nodes, pointed at the new records, so that a node chosen again leaves
    // the tree as it was; other sessions are rebuilt. The old set goes with its last
    // reference.
    void adoptSet(_AbsDBItemNode *node, const QSharedPointer<MsgMessageSet> &set);
    // Reads every chat and message of the node's database into a new set and rebuilds the
    // sessions from it; the old set goes with its last reference. Throws the database's
    // errors, leaving the node without sessions.
    void reloadMessages(_AbsDBItemNode *node);
    // The first device node of the device library's handle, or null.
    _IOSDeviceItemNode *deviceNodeOf(void *handle) const;
    // True when the node is in the tree now. Only addresses are compared, so a pointer to a
    // removed node may be asked about.
    bool containsNode(const _ItemNode *node) const;

    _RootDeviceItemNode *rootDevice() const { return m_rootDevice; }
    _RootLocalDBItemNode *rootLocalDb() const { return m_rootLocalDb; }

private:
    QList<ChatGroup> sortedGroups(const MsgMessageSet &set) const;

    _RootDeviceItemNode *m_rootDevice;
    _RootLocalDBItemNode *m_rootLocalDb;
};
