#include "operations/exportmessagespdf.h"

#include <QFile>

#include <stdexcept>

ExportMessagesPdf::ExportMessagesPdf(const QString &path)
    : path(path)
    , printer(QPrinter::ScreenResolution)
{
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    started = painter.begin(&printer);
}

void ExportMessagesPdf::begin()
{
    if (!started)
        throw std::runtime_error(
            QStringLiteral("Cannot create the PDF file %1.").arg(path).toStdString());
}

void ExportMessagesPdf::write(_MsgMessage *message)
{
    painter.drawMessage(*message);
}

void ExportMessagesPdf::end()
{
    const bool ended = painter.end();
    // The writer of the PDF engine does not report failed writes: a complete file ends with
    // its end-of-file marker.
    QFile file(path);
    QByteArray tail;
    if (file.open(QIODevice::ReadOnly) && file.size() > 0) {
        file.seek(qMax<qint64>(0, file.size() - 64));
        tail = file.readAll();
    }
    if (!ended || !tail.contains("%%EOF"))
        throw std::runtime_error(
            QStringLiteral("Cannot write the PDF file %1.").arg(path).toStdString());
}
