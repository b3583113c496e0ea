// Writes the messages of one chat as a PDF file of speech-bubble pages (A4, 20-point
// margins), painted from construction to end. The file appears only when complete. A text
// attachment that the pages show cut is copied whole beside the file and named under the cut.
#pragma once

#include "operations/absformatexport.h"
#include "operations/createdpaths.h"
#include "operations/msgpagepainter.h"
#include "platform/durablefile/durablefile.h"
#include "records/msgrecords.h"

#include <QPdfWriter>

#include <memory>

class ExportMessagesPdf : public AbsFormatExport<_MsgMessage>
{
public:
    // The file at `path`; it and the copies beside it are recorded in `created` (the export
    // run's list) when given.
    explicit ExportMessagesPdf(const QString &path, CreatedPaths *created = nullptr);
    ~ExportMessagesPdf() override;

    // Throws when painting could not start (the file cannot be created).
    void begin() override;
    // Throws when the message cannot be drawn or its cut text attachment cannot be copied.
    void write(_MsgMessage *message) override;
    // Completes the file; throws when it did not reach the disk whole.
    void end() override;

private:
    class CheckedOutput;

    QString wholeTextNote(const _MsgAttachment &attachment);

    QString path;
    CreatedPaths ownList;
    CreatedPaths *created;
    DurableFile file;
    std::unique_ptr<CheckedOutput> output;
    std::unique_ptr<QPdfWriter> writer;
    MsgPagePainter painter;
    bool started = false;
};
