#include "operations/mmsprinter.h"

#include "operations/msgpagepainter.h"
#include "records/msgidentity.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPrintPreviewDialog>
#include <QPrinter>

#include <exception>
#include <memory>

namespace {

// Thrown from a page start when the user stops the painting.
struct PaintingStopped
{
};

// While the preview paints, the window's events run this often, and the progress dialog
// shows once painting has taken this long.
const int kEventsEveryMs = 50;
const int kProgressAfterMs = 300;

} // namespace

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
    preview = &dialog;
    dialog.exec();
    preview = nullptr;
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
    // A long list paints for seconds on the window's thread: under the preview the window's
    // events run between pages, and a progress dialog offers to stop. The dialog is modal,
    // so nothing but it takes input until the painting ends.
    std::unique_ptr<ProgressForm> form;
    QElapsedTimer painting;
    painting.start();
    qint64 eventsAt = 0;
    int drawn = 0;
    painter.setPageStarted([&](int page) {
        if (!preview || painting.elapsed() - eventsAt < kEventsEveryMs)
            return;
        if (!form && painting.elapsed() >= kProgressAfterMs) {
            form = std::make_unique<ProgressForm>(tr("IDS_PRINT_MMS"), preview);
            form->setWindowModality(Qt::ApplicationModal);
            form->show();
        }
        if (form)
            ProgressForm::postUpdateProgress(form.get(), QString(),
                int(qint64(drawn) * 100 / qMax(1, list.size())),
                QStringLiteral("Page %1").arg(page));
        // Until the modal dialog shows, input could start a second painting of the preview.
        QCoreApplication::processEvents(
            form ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
        eventsAt = painting.elapsed();
        if (form && form->failed)
            throw PaintingStopped();
    });
    try {
        for (const _MsgMessage *m : qAsConst(list)) {
            if (m)
                painter.drawMessage(*m);
            ++drawn;
        }
    } catch (const PaintingStopped &) {
        // The preview keeps the pages painted so far.
    } catch (const std::exception &e) {
        paintError = QString::fromUtf8(e.what());
    }
}
