#include "datasourceselform.h"

#include "shell/messagebox.h"

#include "ui_datasourceselform.h"

#include <QIcon>

DataSourceSelForm::DataSourceSelForm(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_DataSourceSelForm>())
    , m_movable(this)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnClose, &QPushButton::pressed, this, &QDialog::reject);
    connect(ui->btnOK, &QPushButton::pressed, this, &DataSourceSelForm::onBtnOkPressed);
}

DataSourceSelForm::~DataSourceSelForm() = default;

qint64 DataSourceSelForm::selectDataSource(const QString &label, const QList<DataSourceItem> &items)
{
    ui->lbSelDevice->setText(label);
    for (const DataSourceItem &item : items)
        ui->cbDevice->addItem(QIcon(item.iconPath), item.name, QVariant(item.id));
    // With several sources the user must choose one on purpose.
    ui->cbDevice->setCurrentIndex(items.size() <= 1 ? 0 : -1);
    if (exec() != QDialog::Accepted)
        return 0;
    return ui->cbDevice->currentData().toLongLong();
}

void DataSourceSelForm::onBtnOkPressed()
{
    if (ui->cbDevice->currentIndex() < 0) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_DATASOURCE"));
        return;
    }
    accept();
}
