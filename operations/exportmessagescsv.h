// Writes messages as a comma-separated file: date, send, person, number, content.
#pragma once

#include "operations/absformatexport.h"
#include "operations/exporttextfile.h"
#include "operations/localtimecache.h"
#include "records/msgrecords.h"

class ExportMessagesCsv : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesCsv(const QString &path);

    void begin() override;
    void write(_MsgMessage *message) override;
    void end() override;

private:
    ExportTextFile file;
    LocalTimeCache times;
};
