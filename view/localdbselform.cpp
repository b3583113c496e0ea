#include "localdbselform.h"

#include "shell/messagebox.h"

#include "ui_localdbselform.h"

#include <QRegularExpression>

LocalDbSelForm::LocalDbSelForm(
    const QStringList &dbNames, const QString &defaultName, QWidget *parent)
    : QDialog(parent)
    , m_movable(this)
    , ui(std::make_unique<Ui_LocalDbSelForm>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &LocalDbSelForm::onBtnOkPress);
    connect(ui->btnClose, &QPushButton::pressed, this, &QDialog::reject);

    ui->cbLocalDbNames->addItem(QString());
    ui->cbLocalDbNames->addItems(dbNames);
    ui->cbLocalDbNames->setCurrentIndex(-1);
    if (!defaultName.isEmpty())
        ui->cbLocalDbNames->setEditText(defaultName);
}

LocalDbSelForm::~LocalDbSelForm() = default;

QString LocalDbSelForm::getDbName()
{
    if (exec() == QDialog::Accepted && !m_dbName.isEmpty())
        return m_dbName;
    return QString();
}

LocalDbSelForm::NameCheck LocalDbSelForm::checkName(const QString &name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return NameEmpty;
    static const QRegularExpression forbidden(QStringLiteral("[\\\\/:\\*\\?\"<>|]+"));
    if (forbidden.match(name).hasMatch())
        return NameInvalid;
    // "." and ".." would make the database folder the local databases folder or its parent.
    if (trimmed == QLatin1String(".") || trimmed == QLatin1String(".."))
        return NameInvalid;
    return NameOk;
}

void LocalDbSelForm::onBtnOkPress()
{
    m_dbName = ui->cbLocalDbNames->currentText();
    switch (checkName(m_dbName)) {
    case NameEmpty:
        showWarning(tr("IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME"));
        return;
    case NameInvalid:
        showWarning(tr("IDS_INVALID_LOCALDB_NAME"));
        return;
    case NameOk:
        accept();
        return;
    }
}
