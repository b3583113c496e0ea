#include "itemmodelloadbk.h"

#include "backup/backupmanifest.h"

#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QPixmap>
#include <QSize>

ItemModelLoadBk::_BKItemNode::_BKItemNode(const QSharedPointer<BackupManifest> &backup)
    : _ItemNode(0, backup->displayName(), nullptr)
    , backup(backup)
{
}

ItemModelLoadBk::ItemModelLoadBk(QObject *parent)
    : AbsTreeItemModel(parent)
{
}

int ItemModelLoadBk::columnCount(const QModelIndex &) const
{
    return 3;
}

QVariant ItemModelLoadBk::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("Name");
    case 1:
        return QStringLiteral("Backup Date");
    case 2:
        return QStringLiteral("Path");
    default:
        return QVariant();
    }
}

QVariant ItemModelLoadBk::data(const QModelIndex &index, int role) const
{
    const QSharedPointer<BackupManifest> backup = backupAt(index);
    if (!backup)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (index.column() == 0)
            return backup->displayName();
        if (index.column() == 1)
            return QLocale::system().toString(backup->deviceInfo().Date, QLocale::ShortFormat);
        return backup->backupDir().absolutePath();
    case Qt::DecorationRole:
        if (index.column() != 0)
            return QVariant();
        if (m_icon.isNull())
            m_icon = QPixmap(QStringLiteral(":res/iphone.png")).scaledToWidth(18);
        return m_icon;
    case Qt::BackgroundRole:
        return QBrush(index.row() % 2 ? QColor(255, 255, 255) : QColor(250, 250, 250));
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

ItemModelLoadBk::_BKItemNode *ItemModelLoadBk::addBackup(
    const QSharedPointer<BackupManifest> &backup)
{
    const QDateTime date = backup->deviceInfo().Date;
    int row = 0;
    while (row < roots.size()
        && !(static_cast<_BKItemNode *>(roots[row])->backup->deviceInfo().Date < date))
        ++row;
    beginInsertRows(QModelIndex(), row, row);
    auto *node = new _BKItemNode(backup);
    roots.insert(row, node);
    endInsertRows();
    return node;
}

QSharedPointer<BackupManifest> ItemModelLoadBk::backupAt(const QModelIndex &index)
{
    auto *node = static_cast<_BKItemNode *>(nodeOf(index));
    return node ? node->backup : QSharedPointer<BackupManifest>();
}

QList<QSharedPointer<BackupManifest>> ItemModelLoadBk::backups() const
{
    QList<QSharedPointer<BackupManifest>> list;
    for (_ItemNode *node : roots)
        list.append(static_cast<_BKItemNode *>(node)->backup);
    return list;
}
