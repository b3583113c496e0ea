// The flows that put messages out of the program without changing any database: print
// them, extract their attachments into a fresh folder, export them to files.
#pragma once

#include "records/msgrecords.h"

#include <QCoreApplication>
#include <QString>

class FlowHost;

class OutputFlow
{
    Q_DECLARE_TR_FUNCTIONS(OutputFlow)
public:
    explicit OutputFlow(FlowHost &host);

    void printMessages(const MsgMessageList &messages);
    void extractMedia(const MsgMessageList &messages);
    void exportMessages(const MsgMessageList &messages);

    // The filters of the export dialog, in the order of their formats.
    static QStringList exportFilters();
    // Where an export goes and in which format, for the name chosen under the filter at
    // `filterIndex` (-1: none known, chosen by the name's suffix). Folders of PDF and HTML
    // exports that exist already are not shared: a free "(n)" name beside them is taken.
    static void exportTarget(
        const QString &chosen, int filterIndex, QString *target, unsigned int *format);

private:
    QString timeStamp() const;

    FlowHost &m_host;
};
