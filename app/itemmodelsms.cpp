#include "app/itemmodelsms.h"

#include "records/msgidentity.h"

#include <QBrush>
#include <QColor>
#include <QHash>
#include <QLocale>
#include <QPixmap>
#include <QSize>
#include <QVector>

namespace {

enum Column { DateColumn, FlagColumn, ContactColumn, ContentColumn, ColumnCount };

QString directionIcon(const _MsgMessage &message)
{
    const bool sent = message.is_from_me != 0;
    if (message.service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0)
        return sent ? QStringLiteral(":/res/imsg-send.png") : QStringLiteral(":/res/imsg-rec.png");
    return sent ? QStringLiteral(":/res/icon_sms-sent.png")
                : QStringLiteral(":/res/icon_sms-receive.png");
}

// A cell shows one line: longer texts are cut with an ellipsis, and a hostile message of
// megabytes is cut before its display text is made, so that painting a row stays quick.
// Search and the message actions use the whole text.
const int CellTextLimit = 300;

QString cellText(const QString &text)
{
    if (text.size() <= CellTextLimit)
        return text;
    int end = CellTextLimit;
    if (text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end) + QChar(0x2026);
}

QString contentText(const _MsgMessage &message)
{
    if (message.text.size() <= CellTextLimit && message.group_title.size() <= CellTextLimit)
        return message.displayText();
    _MsgMessage head = message;
    head.text = message.text.left(CellTextLimit + 1);
    head.group_title = message.group_title.left(CellTextLimit + 1);
    return cellText(head.displayText());
}

} // namespace

ItemModelSms::ItemModelSms(QObject *parent)
    : QAbstractItemModel(parent)
{
}

int ItemModelSms::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

int ItemModelSms::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_messages.size();
}

QModelIndex ItemModelSms::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || row >= m_messages.size() || column < 0
        || column >= ColumnCount)
        return QModelIndex();
    return createIndex(row, column, column == DateColumn ? m_messages.at(row) : nullptr);
}

QModelIndex ItemModelSms::parent(const QModelIndex &) const
{
    return QModelIndex();
}

QVariant ItemModelSms::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case DateColumn:
        return tr("Date");
    case FlagColumn:
        return tr("Flag");
    case ContactColumn:
        return tr("Contact");
    case ContentColumn:
        return tr("Content");
    default:
        return QVariant();
    }
}

_MsgMessage *ItemModelSms::messageAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= m_messages.size())
        return nullptr;
    return m_messages.at(index.row());
}

QString ItemModelSms::columnText(const _MsgMessage &message, int column) const
{
    const bool event = message.item_type != 0;
    switch (column) {
    case DateColumn:
        return QLocale::system().toString(dateTimeFromTime(message.date), QLocale::ShortFormat);
    case FlagColumn:
        if (event)
            return QString();
        return message.is_from_me ? QStringLiteral("To") : QStringLiteral("From");
    case ContactColumn:
        if (event)
            return message.chat ? cellText(message.chat->title(false)) : QString();
        return cellText(message.chatLabel());
    case ContentColumn:
        return contentText(message);
    default:
        return QString();
    }
}

QVariant ItemModelSms::data(const QModelIndex &index, int role) const
{
    const _MsgMessage *message = messageAt(index);
    if (!message)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return columnText(*message, index.column());
    case Qt::DecorationRole:
        if (index.column() != DateColumn)
            return QVariant();
        return QPixmap(directionIcon(*message)).scaledToWidth(18, Qt::SmoothTransformation);
    case Qt::BackgroundRole:
        return message->is_from_me ? QBrush(QColor(245, 255, 226)) : QBrush(QColor(255, 255, 255));
    case Qt::ForegroundRole:
        if (message->isDeleted)
            return QBrush(QColor(255, 0, 0));
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 23);
    default:
        return QVariant();
    }
}

void ItemModelSms::sort(int column, Qt::SortOrder order)
{
    if (column != DateColumn || m_messages.size() < 2)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const MsgMessageList old = m_messages;
    sortMessages(m_messages, order == Qt::DescendingOrder);

    // A record may stand in the list more than once. The sort is stable, so the k-th
    // occurrence of a record before is its k-th occurrence after.
    QHash<const _MsgMessage *, QList<int>> newRowsOf;
    for (int row = 0; row < m_messages.size(); ++row)
        newRowsOf[m_messages.at(row)].append(row);
    QVector<int> newRowOfOld(old.size(), -1);
    QHash<const _MsgMessage *, int> seen;
    for (int row = 0; row < old.size(); ++row) {
        const int occurrence = seen[old.at(row)]++;
        newRowOfOld[row] = newRowsOf.value(old.at(row)).value(occurrence, -1);
    }
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &index : before) {
        const int newRow = newRowOfOld.value(index.row(), -1);
        after.append(newRow < 0 ? QModelIndex() : this->index(newRow, index.column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ItemModelSms::setMessages(const MsgMessageList &list)
{
    beginResetModel();
    m_messages = list;
    endResetModel();
}

void ItemModelSms::clear()
{
    beginResetModel();
    m_messages.clear();
    endResetModel();
}

QModelIndex ItemModelSms::indexOfRow(int row) const
{
    return index(row, DateColumn);
}
