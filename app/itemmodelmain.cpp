#include "app/itemmodelmain.h"

#include "messages/ios6messagedb.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>

#include <algorithm>

namespace {

constexpr int IconWidth = 18;

QPixmap resourceIcon(const QString &path)
{
    const QPixmap pixmap(path);
    return pixmap.isNull() ? pixmap : pixmap.scaledToWidth(IconWidth, Qt::SmoothTransformation);
}

QVariant sessionDecoration(const _ChatSessionItemNode &session)
{
    if (session.chats.isEmpty())
        return QVariant();
    const _MsgChat *chat = session.chats.first();
    if (chat->handles.size() == 1) {
        const _MsgHandle *handle = chat->handles.first();
        if (handle && !handle->photo.isEmpty()) {
            QImage photo = QImage::fromData(handle->photo, "JPEG");
            if (photo.isNull())
                photo = QImage::fromData(handle->photo, "PNG");
            if (!photo.isNull())
                return QPixmap::fromImage(
                    photo.scaledToHeight(IconWidth, Qt::SmoothTransformation));
        }
    } else if (chat->handles.size() > 1) {
        return resourceIcon(QStringLiteral(":res/group.png"));
    }
    return resourceIcon(QStringLiteral(":res/contact.png"));
}

QString kindIcon(int kind)
{
    switch (kind) {
    case RootDeviceNode:
        return QStringLiteral(":res/devices.png");
    case RootLocalDBNode:
        return QStringLiteral(":res/databases.png");
    case IOSDeviceNode:
        return QStringLiteral(":res/iphone.png");
    case AndroidDeviceNode:
        return QStringLiteral(":res/android.png");
    case LocalDBNode:
        return QStringLiteral(":res/database.png");
    default:
        return QString();
    }
}

} // namespace

DbOpener ios6Opener(const QDir &dataFolder, const QString &countryCode, bool upgradeSchema)
{
    return [dataFolder, countryCode, upgradeSchema] {
        return QSharedPointer<AbsMessageDb>(
            new IOS6MessageDb(dataFolder, countryCode, upgradeSchema));
    };
}

_RootDeviceItemNode::_RootDeviceItemNode(const QString &name)
    : _ItemNode(RootDeviceNode, name, nullptr)
{
}

_RootLocalDBItemNode::_RootLocalDBItemNode(const QString &name)
    : _ItemNode(RootLocalDBNode, name, nullptr)
{
}

_AbsDBItemNode::_AbsDBItemNode(
    int kind, const QString &name, _ItemNode *parent, const QSharedPointer<AbsMessageDb> &database)
    : _ItemNode(kind, name, parent)
    , db(database)
{
    MsgMessageSet::create(messageSet);
}

_AbsDBItemNode::~_AbsDBItemNode()
{
    // The sessions point into the set: they go first, then the set, then the database.
    qDeleteAll(children);
    children.clear();
    messageSet.reset();
    db.reset();
}

_IOSDeviceItemNode::_IOSDeviceItemNode(
    _ItemNode *parent, const IOSDevice &device, const QSharedPointer<AbsMessageDb> &database)
    : _AbsDBItemNode(IOSDeviceNode, device.name, parent, database)
    , device(device)
{
}

_LocalDBItemNode::_LocalDBItemNode(
    _ItemNode *parent, const QString &name, const QSharedPointer<AbsMessageDb> &database)
    : _AbsDBItemNode(LocalDBNode, name, parent, database)
{
}

_ChatSessionItemNode::_ChatSessionItemNode(_ItemNode *parent, const ChatGroup &group)
    : _ItemNode(ChatSessionNode,
        group.chats.isEmpty() || !group.chats.first() ? QString()
                                                      : group.chats.first()->title(false),
        parent)
    , chats(group.chats)
    , last(group.last)
{
}

ItemModelMain::ItemModelMain(QObject *parent)
    : AbsTreeItemModel(parent)
    , m_rootDevice(new _RootDeviceItemNode(tr("IDS_ROOT_DEVICE")))
    , m_rootLocalDb(new _RootLocalDBItemNode(tr("IDS_ROOT_LOCALDB")))
{
    roots.append(m_rootDevice);
    roots.append(m_rootLocalDb);
}

int ItemModelMain::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ItemModelMain::headerData(int, Qt::Orientation, int) const
{
    return QVariant();
}

QVariant ItemModelMain::data(const QModelIndex &index, int role) const
{
    const _ItemNode *node = nodeOf(index);
    if (!node || index.model() != this)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return node->name;
    case Qt::DecorationRole:
        if (node->kind == ChatSessionNode)
            return sessionDecoration(*static_cast<const _ChatSessionItemNode *>(node));
        if (const QString path = kindIcon(node->kind); !path.isEmpty())
            return resourceIcon(path);
        return QVariant();
    case Qt::ForegroundRole:
        if (node->kind == ChatSessionNode) {
            const auto *session = static_cast<const _ChatSessionItemNode *>(node);
            if (!session->chats.isEmpty() && session->chats.first()
                && session->chats.first()->rowid < RecoveredChatRowidLimit)
                return QBrush(QColor(255, 0, 0));
        }
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

_IOSDeviceItemNode *ItemModelMain::addDevice(
    const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device, const DbOpener &opener)
{
    auto *node = new _IOSDeviceItemNode(m_rootDevice, device, db);
    node->opener = opener;
    appendNode(node);
    return node;
}

_LocalDBItemNode *ItemModelMain::addLocalDb(
    const QSharedPointer<AbsMessageDb> &db, const QString &name)
{
    auto *node = new _LocalDBItemNode(m_rootLocalDb, name, db);
    // Every local database is read as the window opens it: no country, layout upgraded.
    const auto *ios6 = dynamic_cast<const IOS6MessageDb *>(db.data());
    if (ios6
        && ios6->smsDbPath()
            == ios6->fileRelayFolder().filePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
        node->opener = ios6Opener(ios6->dataFolder(), QString(), true);
    appendNode(node);
    return node;
}

void ItemModelMain::refreshChatSessions(_AbsDBItemNode *node)
{
    if (!node)
        return;
    removeChildren(node);
    if (!node->messageSet)
        return;
    const QList<ChatGroup> groups = sortedGroups(*node->messageSet);
    QList<_ItemNode *> sessions;
    sessions.reserve(groups.size());
    for (const ChatGroup &group : qAsConst(groups))
        sessions.append(new _ChatSessionItemNode(node, group));
    appendNodes(node, sessions);
}

QList<ChatGroup> ItemModelMain::sortedGroups(const MsgMessageSet &set) const
{
    QList<ChatGroup> groups = regroupChats(set);
    // Newest first; a strict weak order, so equal times are merely left unordered.
    std::stable_sort(groups.begin(), groups.end(), compareChatGroups);
    return groups;
}

void ItemModelMain::adoptSet(_AbsDBItemNode *node, const QSharedPointer<MsgMessageSet> &set)
{
    const QList<ChatGroup> groups = sortedGroups(*set);
    bool alike = groups.size() == node->children.size();
    for (int i = 0; alike && i < groups.size(); ++i) {
        const auto *session = static_cast<const _ChatSessionItemNode *>(node->children.at(i));
        const ChatGroup &group = groups.at(i);
        alike = session->chats.size() == group.chats.size() && session->last == group.last
            && !group.chats.isEmpty() && session->name == group.chats.first()->title(false);
        for (int c = 0; alike && c < group.chats.size(); ++c)
            alike = session->chats.at(c)->rowid == group.chats.at(c)->rowid;
    }
    node->messageSet = set;
    if (!alike) {
        refreshChatSessions(node);
        return;
    }
    for (int i = 0; i < groups.size(); ++i) {
        auto *session = static_cast<_ChatSessionItemNode *>(node->children.at(i));
        session->chats = groups.at(i).chats;
        session->messagesLoaded = false;
    }
    // The pictures of the contacts come from the new records.
    const QModelIndex parent = indexOfNode(node);
    if (!groups.isEmpty())
        emit dataChanged(index(0, 0, parent), index(groups.size() - 1, 0, parent));
}

void ItemModelMain::reloadMessages(_AbsDBItemNode *node)
{
    removeChildren(node);
    MsgMessageSet::create(node->messageSet);
    node->db->messages(node->messageSet, 0);
    refreshChatSessions(node);
}

_IOSDeviceItemNode *ItemModelMain::deviceNodeOf(void *handle) const
{
    for (_ItemNode *node : m_rootDevice->children) {
        auto *device = static_cast<_IOSDeviceItemNode *>(node);
        if (node->kind == IOSDeviceNode && device->device.handle == handle)
            return device;
    }
    return nullptr;
}

bool ItemModelMain::containsNode(const _ItemNode *node) const
{
    return node && allNodes().contains(const_cast<_ItemNode *>(node));
}
