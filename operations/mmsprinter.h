// Prints messages as pages of speech bubbles through a print preview dialog; without a
// printer the preview prints into a PDF file.
#pragma once

#include "records/msgrecords.h"

#include <QObject>

class QPrinter;
class QWidget;

class MMSPrinter : public QObject
{
    Q_OBJECT
public:
    explicit MMSPrinter(QObject *parent = nullptr);

    // Sorts the messages by date (several chats mix) and shows the modal print preview;
    // returns when it is closed. The preview is painted whole on the window's thread, each
    // page with the work of that page only; a long painting keeps the window's events
    // running and can be stopped from its progress dialog.
    void print(const MsgMessageList &messages);

public slots:
    // Paints every page anew; the preview calls it to render and to print. Painting stops
    // at a message that cannot be drawn, which print reports when the preview closes.
    void onPaintRequested(QPrinter *printer);

private:
    MsgMessageList list;
    QString paintError;
    QWidget *preview = nullptr;
};
