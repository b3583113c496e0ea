#include "aboutusform.h"

#include "shell/appconfig.h"
#include "shell/messagebox.h"

#include "ui_aboutusform.h"

#include <QGraphicsScene>
#include <QPixmap>

AboutUsForm::AboutUsForm(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_AboutUsForm>())
    , m_movable(this)
    , m_scene(new QGraphicsScene(this))
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &QDialog::accept);

    ui->lbProduct->setText(
        QStringLiteral("%1 v%2").arg(productTitle(), AppConfig::productVersion()));
    ui->picApp->setStyleSheet(QStringLiteral("background:Transparent;border:0;"));
    const QPixmap picture(QStringLiteral(":main"));
    if (!picture.isNull())
        m_scene->addPixmap(picture.scaledToHeight(64, Qt::SmoothTransformation));
    ui->picApp->setScene(m_scene);
}

AboutUsForm::~AboutUsForm() = default;
