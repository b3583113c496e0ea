#include "app/itemmodelmain.h"

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
    const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device)
{
    auto *node = new _IOSDeviceItemNode(m_rootDevice, device, db);
    appendNode(node);
    return node;
}

_LocalDBItemNode *ItemModelMain::addLocalDb(
    const QSharedPointer<AbsMessageDb> &db, const QString &name)
{
    auto *node = new _LocalDBItemNode(m_rootLocalDb, name, db);
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
    QList<ChatGroup> groups = regroupChats(*node->messageSet);
    // Newest first; a strict weak order, so equal times are merely left unordered.
    std::stable_sort(groups.begin(), groups.end(), compareChatGroups);
    QList<_ItemNode *> sessions;
    sessions.reserve(groups.size());
    for (const ChatGroup &group : qAsConst(groups))
        sessions.append(new _ChatSessionItemNode(node, group));
    appendNodes(node, sessions);
}

void ItemModelMain::reloadMessages(_AbsDBItemNode *node)
{
    removeChildren(node);
    MsgMessageSet::create(node->messageSet);
    node->db->messages(node->messageSet, 0);
    refreshChatSessions(node);
}

bool ItemModelMain::containsNode(const _ItemNode *node) const
{
    return node && allNodes().contains(const_cast<_ItemNode *>(node));
}
