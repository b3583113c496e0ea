// Prints messages as pages of speech bubbles through a print preview dialog; without a
// printer the preview prints into a PDF file.
#pragma once

#include "records/msgrecords.h"

#include <QObject>

class QPrinter;

class MMSPrinter : public QObject
{
    Q_OBJECT
public:
    explicit MMSPrinter(QObject *parent = nullptr);

    // Sorts the messages by date (several chats mix) and shows the modal print preview;
    // returns when it is closed.
    void print(const MsgMessageList &messages);

public slots:
    // Paints every page anew; the preview calls it to render and to print.
    void onPaintRequested(QPrinter *printer);

private:
    MsgMessageList list;
};
