// Writes the messages of one chat as a PDF file of speech-bubble pages (A4, 20-point
// margins), painted from construction to end.
#pragma once

#include "operations/absformatexport.h"
#include "operations/msgpagepainter.h"
#include "records/msgrecords.h"

#include <QPrinter>

class ExportMessagesPdf : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesPdf(const QString &path);

    // Throws when painting could not start (the file cannot be created).
    void begin() override;
    void write(_MsgMessage *message) override;
    // Completes the file; throws when it did not reach the disk whole.
    void end() override;

private:
    QString path;
    QPrinter printer;
    MsgPagePainter painter;
    bool started = false;
};
