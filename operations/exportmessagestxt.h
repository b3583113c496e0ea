// Writes messages as a plain-text file of fixed-width columns (date, flag, name, message),
// one line per message; the export of ".txt" and ".doc" files.
#pragma once

#include "operations/absformatexport.h"
#include "operations/exporttextfile.h"
#include "operations/localtimecache.h"
#include "records/msgrecords.h"

#include <QLocale>

class ExportMessagesTxt : public AbsFormatExport<_MsgMessage>
{
public:
    explicit ExportMessagesTxt(const QString &path);

    void begin() override;
    void write(_MsgMessage *message) override;
    void end() override;

private:
    QString dateText(const QDateTime &when);
    void writeLine(
        const QString &date, const QString &flag, const QString &name, const QString &message);

    ExportTextFile file;
    LocalTimeCache times;
    QLocale locale;
    QString dayFormat;
    QString timeFormat;
    QDate day;
    QString dayText;
};
