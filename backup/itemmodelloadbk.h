// The list of backups in the backup chooser: one row per backup, newest first, with its
// name, date and folder.
#pragma once

#include "shell/abstreeitemmodel.h"

#include <QPixmap>
#include <QSharedPointer>

class BackupManifest;

class ItemModelLoadBk : public AbsTreeItemModel
{
    Q_OBJECT
public:
    class _BKItemNode : public _ItemNode
    {
    public:
        explicit _BKItemNode(const QSharedPointer<BackupManifest> &backup);
        QSharedPointer<BackupManifest> backup;
    };

    explicit ItemModelLoadBk(QObject *parent = nullptr);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant headerData(
        int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Inserts the row below every backup of the same or a later date.
    _BKItemNode *addBackup(const QSharedPointer<BackupManifest> &backup);
    // The row's backup; null for an invalid index.
    static QSharedPointer<BackupManifest> backupAt(const QModelIndex &index);
    QList<QSharedPointer<BackupManifest>> backups() const;

private:
    mutable QPixmap m_icon;
};
