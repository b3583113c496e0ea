#include "recovery/setmsgnumdialog.h"

#include "recovery/messagerecycledb.h"
#include "shell/messagebox.h"

#include "ui_setmsgnumdialog.h"

#include <QSignalBlocker>

#include <algorithm>
#include <stdexcept>

SetMsgNumDialog::SetMsgNumDialog(const QList<_MsgMessage *> &messages,
    const QList<_MsgHandle *> &handles, MessageRecycleDb *recycleDb, const _CountryInfo &country,
    QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_SetMsgNumDialog>())
    , m_movable(this)
    , m_messages(messages)
    , m_handles(handles)
    , m_recycleDb(recycleDb)
    , m_country(country)
{
    ui->setupUi(this);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &SetMsgNumDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &SetMsgNumDialog::reject);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->ltHandle, &QListWidget::itemSelectionChanged, this,
        &SetMsgNumDialog::selectHandleList);
    connect(ui->txtNumber, &QLineEdit::textChanged, this, &SetMsgNumDialog::numberInputChanged);

    if (m_recycleDb) {
        try {
            const QList<_MsgHandle> stored = m_recycleDb->loadHandles();
            for (const _MsgHandle &handle : stored)
                m_items.append(HandleItem { true, handle });
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
        }
    }
    // Lower row ids belong to the chats of messages without an address.
    constexpr qint64 unknownChatLimit = -MessageRecycleDb::UnknownChatKeyBase + 1;
    for (const _MsgHandle *handle : qAsConst(m_handles)) {
        if (handle && handle->rowid >= unknownChatLimit)
            m_items.append(HandleItem { false, *handle });
    }
    std::stable_sort(m_items.begin(), m_items.end(), [](const HandleItem &a, const HandleItem &b) {
        if (a.checked != b.checked)
            return a.checked;
        return a.handle.id < b.handle.id;
    });
    for (const HandleItem &item : qAsConst(m_items))
        fillHandleList(item);
}

SetMsgNumDialog::~SetMsgNumDialog() = default;

void SetMsgNumDialog::fillHandleList(const HandleItem &item)
{
    const _MsgHandle &h = item.handle;
    QString text = h.contactName.isEmpty() ? h.id
                                           : QStringLiteral("%1 (%2)").arg(h.contactName, h.id);
    if (!h.service.isEmpty())
        text += QStringLiteral(" - ") + h.service;
    auto *row = new QListWidgetItem(text);
    if (item.checked)
        row->setForeground(QColor(255, 0, 0));
    row->setData(Qt::UserRole, QVariant::fromValue(item));
    ui->ltHandle->addItem(row);
}

void SetMsgNumDialog::selectHandleList()
{
    const QListWidgetItem *current = ui->ltHandle->currentItem();
    if (!current)
        return;
    ui->txtNumber->setText(current->data(Qt::UserRole).value<HandleItem>().handle.id);
}

void SetMsgNumDialog::numberInputChanged(const QString &text)
{
    // Refilling the list would otherwise report a selection change from inside one.
    const QSignalBlocker blocker(ui->ltHandle);
    ui->ltHandle->clear();
    for (const HandleItem &item : qAsConst(m_items)) {
        if (item.handle.id.contains(text, Qt::CaseInsensitive)
            || item.handle.contactName.contains(text, Qt::CaseInsensitive))
            fillHandleList(item);
    }
}

void SetMsgNumDialog::accept()
{
    const QString typed = ui->txtNumber->text().trimmed();
    // Stored numbers take the form that the live handles have, so the two meet again.
    const QString number
        = typed.isEmpty() ? QString() : CountryLibDb::normalizeNumber(m_country, typed);
    if (number.isEmpty()) {
        showWarning(tr("IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT"));
        return;
    }
    if (!askYesNo(tr("IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1").arg(number)))
        return;
    if (!m_recycleDb)
        return;
    try {
        m_recycleDb->atomically([this, &number] {
            for (const _MsgMessage *message : qAsConst(m_messages)) {
                if (message)
                    m_recycleDb->setMessageNumber(*message, number, number);
            }
        });
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }
    QDialog::accept();
}
