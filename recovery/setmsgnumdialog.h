// Lets the user give a phone number (or other address) to recovered messages that have none,
// choosing from the recycle store's handles and the given ones, and writes it into the store.
#pragma once

#include "records/countrylibdb.h"
#include "records/msgrecords.h"
#include "shell/winmovable.h"

#include <QDialog>
#include <QList>

#include <memory>

class MessageRecycleDb;
class Ui_SetMsgNumDialog;

class SetMsgNumDialog : public QDialog
{
    Q_OBJECT
public:
    // The messages, handles and store stay the caller's. The number is normalised for
    // `country` before it is written.
    SetMsgNumDialog(const QList<_MsgMessage *> &messages, const QList<_MsgHandle *> &handles,
        MessageRecycleDb *recycleDb, const _CountryInfo &country, QWidget *parent = nullptr);
    ~SetMsgNumDialog() override;

    void fillHandleList(const HandleItem &item);

public slots:
    void accept() override;
    void selectHandleList();
    void numberInputChanged(const QString &text);

private:
    std::unique_ptr<Ui_SetMsgNumDialog> ui;
    WinMovable m_movable;
    QList<_MsgMessage *> m_messages;
    QList<_MsgHandle *> m_handles;
    MessageRecycleDb *m_recycleDb;
    _CountryInfo m_country;
    QList<HandleItem> m_items;
};
