#include "progressform.h"

#include "shell/messagebox.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

ProgressForm::ProgressForm(const QString &title, QWidget *parent)
    : QDialog(parent)
    , m_movable(this)
    , m_progressBar(new QProgressBar(this))
    , m_lbProgress(new QLabel(this))
    , m_btnCancel(new QPushButton(this))
    , m_lbStatus(new QLabel(this))
{
    resize(350, 122);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    setWindowTitle(title);

    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setGeometry(20, 40, 321, 23);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(true);
    m_progressBar->setOrientation(Qt::Horizontal);

    m_lbProgress->setObjectName(QStringLiteral("lbProgress"));
    m_lbProgress->setGeometry(25, 70, 281, 20);
    m_lbProgress->setAlignment(Qt::AlignCenter);

    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(130, 90, 75, 23);
    m_btnCancel->setText(tr("Cancel"));

    m_lbStatus->setObjectName(QStringLiteral("lbStatus"));
    m_lbStatus->setGeometry(20, 20, 311, 16);
    m_lbStatus->setText(title);

    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    connect(m_btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);
}

void ProgressForm::setCancelEnabled(bool enabled)
{
    m_btnCancel->setEnabled(enabled);
}

void ProgressForm::setBusy(const QString &status)
{
    m_lbStatus->setText(status);
    m_progressBar->setRange(0, 0);
    m_lbProgress->clear();
}

void ProgressForm::postUpdateProgress(
    ProgressForm *form, const QString &status, int curProgress, const QString &progressText)
{
    if (form)
        QMetaObject::invokeMethod(form, "updateProgress", Qt::AutoConnection,
            Q_ARG(QString, status), Q_ARG(int, curProgress), Q_ARG(QString, progressText));
}

void ProgressForm::postErrorOccurred(ProgressForm *form, const QString &err)
{
    if (form)
        QMetaObject::invokeMethod(form, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, err));
}

void ProgressForm::postSucceed(ProgressForm *form, const QString &tipsStr)
{
    if (form)
        QMetaObject::invokeMethod(form, "succeed", Qt::AutoConnection, Q_ARG(QString, tipsStr));
}

void ProgressForm::postTipsWait(ProgressForm *form, const QString &info)
{
    if (!form)
        return;
    form->tipsShown = true;
    QMetaObject::invokeMethod(form, "tipsWait", Qt::AutoConnection, Q_ARG(QString, info));
}

void ProgressForm::accept() { }

void ProgressForm::reject() { }

void ProgressForm::updateProgress(QString status, int curProgress, QString progressText)
{
    if (!status.isEmpty())
        m_lbStatus->setText(status);
    if (curProgress < 0)
        curProgress = m_progressBar->value();
    m_progressBar->setValue(curProgress);
    if (progressText.isEmpty())
        progressText = QStringLiteral("Progress:%1%").arg(curProgress);
    m_lbProgress->setText(progressText);
}

void ProgressForm::errorOccurred(QString err)
{
    showError(err);
    done(0);
}

void ProgressForm::succeed(QString tipsStr)
{
    if (!tipsStr.isEmpty())
        showInfo(tipsStr);
    done(1);
}

void ProgressForm::onFinish(int result)
{
    failed = (result == 0);
}

void ProgressForm::tipsWait(QString info)
{
    showInfo(info);
    tipsShown = false;
}

void ProgressForm::cancel()
{
    emit userCacel();
    done(0);
}
