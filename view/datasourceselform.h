// The dialog in which the user picks one device (or other source) from a drop-down list.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>

class Ui_DataSourceSelForm;

struct DataSourceItem
{
    QString iconPath;
    QString name;
    // Chosen by the caller (a device object's address, for instance); given back on choice.
    qint64 id = 0;
};

class DataSourceSelForm : public QDialog
{
    Q_OBJECT
public:
    explicit DataSourceSelForm(QWidget *parent = nullptr);
    ~DataSourceSelForm() override;

    // Runs the dialog; the chosen item's id, or 0 when it was closed without a choice.
    qint64 selectDataSource(const QString &label, const QList<DataSourceItem> &items);

public slots:
    void onBtnOkPressed();

private:
    std::unique_ptr<Ui_DataSourceSelForm> ui;
    WinMovable m_movable;
};
