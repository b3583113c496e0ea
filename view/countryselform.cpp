#include "view/countryselform.h"

#include "records/countrylibdb.h"
#include "shell/messagebox.h"

#include "ui_countryselform.h"

#include <stdexcept>

CountrySelForm::CountrySelForm(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_CountrySelForm>())
    , m_movable(this)
{
    ui->setupUi(this);
    connect(ui->txtKW, &QLineEdit::textChanged, this, &CountrySelForm::kwinput);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());

    try {
        CountryLibDb db { QString() };
        db.open();
        Sqlite3Cursor cursor = db.queryThrow(
            Sqlite3Sql("select pnum, n, substr(mmc,0,4) as mmc from countries order by n asc"));
        while (cursor.moveNext()) {
            CountryItem item;
            item.mmc = cursor.getText(QStringLiteral("mmc"));
            item.text = QStringLiteral("%1 (+%2)")
                            .arg(cursor.getText(QStringLiteral("n")),
                                cursor.getText(QStringLiteral("pnum")));
            m_countries.append(item);
            addItem(item);
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
    // Whatever was read before a failure can still be chosen.
    m_loaded = !m_countries.isEmpty();
}

CountrySelForm::~CountrySelForm() = default;

void CountrySelForm::addItem(const CountryItem &item)
{
    auto *listItem = new QListWidgetItem(item.text, ui->ltCountries);
    listItem->setData(Qt::UserRole, item.mmc);
}

void CountrySelForm::kwinput(const QString &kw)
{
    ui->ltCountries->clear();
    for (const CountryItem &item : qAsConst(m_countries)) {
        if (item.text.contains(kw, Qt::CaseInsensitive))
            addItem(item);
    }
}

void CountrySelForm::accept()
{
    if (!m_loaded) {
        QDialog::reject();
        return;
    }
    const QListWidgetItem *current = ui->ltCountries->currentItem();
    if (!current) {
        showWarning(tr("IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY"));
        return;
    }
    if (!askYesNo(tr("IDS_CONFIRM_SEL_COUNTRY_%1").arg(current->text())))
        return;
    chosenMmc = current->data(Qt::UserRole).toString();
    QDialog::accept();
}

void CountrySelForm::reject()
{
    if (!m_loaded)
        QDialog::reject();
}
