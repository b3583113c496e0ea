#include "operations/mmsprinter.h"

#include "operations/msgpagepainter.h"
#include "records/msgidentity.h"
#include "shell/messagebox.h"

#include <QPrintPreviewDialog>
#include <QPrinter>

#include <exception>

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
    paintError.clear();
    dialog.exec();
    // Told once the preview is closed: a box in the middle of painting would run the
    // preview's events while its pages are being replaced.
    if (!paintError.isEmpty())
        showError(paintError);
}

void MMSPrinter::onPaintRequested(QPrinter *printer)
{
    MsgPagePainter painter;
    if (!painter.begin(printer))
        return;
    try {
        for (const _MsgMessage *m : qAsConst(list)) {
            if (m)
                painter.drawMessage(*m);
        }
    } catch (const std::exception &e) {
        paintError = QString::fromUtf8(e.what());
    }
}
