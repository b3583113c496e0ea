#include "operations/mmsprinter.h"

#include "operations/msgpagepainter.h"
#include "records/msgidentity.h"

#include <QPrintPreviewDialog>
#include <QPrinter>

MMSPrinter::MMSPrinter(QObject *parent)
    : QObject(parent)
{
}

void MMSPrinter::print(const MsgMessageList &messages)
{
    list = messages;
    sortMessages(list);
    QPrinter printer(QPrinter::ScreenResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::NativeFormat);
    if (!printer.isValid())
        printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    QPrintPreviewDialog dialog(&printer);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setWindowTitle(tr("IDS_PRINT_MMS"));
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, &MMSPrinter::onPaintRequested);
    dialog.exec();
}

void MMSPrinter::onPaintRequested(QPrinter *printer)
{
    MsgPagePainter painter;
    if (!painter.begin(printer))
        return;
    for (const _MsgMessage *m : qAsConst(list)) {
        if (m)
            painter.drawMessage(*m);
    }
}
