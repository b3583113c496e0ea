// The flat four-column model behind the message list: date, direction, contact and text of
// each message, with icons and colours by service, direction and deleted state. The records
// belong to a message set elsewhere; the model is reset or cleared before that set goes.
#pragma once

#include "records/msgrecords.h"

#include <QAbstractItemModel>

class ItemModelSms : public QAbstractItemModel
{
    Q_OBJECT

public:
    explicit ItemModelSms(QObject *parent = nullptr);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex index(
        int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    QVariant headerData(
        int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // Only the date sorts: ascending or descending by message order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    void setMessages(const MsgMessageList &list);
    void clear();
    QModelIndex indexOfRow(int row) const;
    const MsgMessageList &messages() const { return m_messages; }
    // The record of an index's row; null outside the list.
    _MsgMessage *messageAt(const QModelIndex &index) const;

private:
    QString columnText(const _MsgMessage &message, int column) const;

    MsgMessageList m_messages;
};
