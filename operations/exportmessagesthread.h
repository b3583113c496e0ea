// The worker that exports a list of messages in one format under the progress dialog: text,
// CSV or database into one target, PDF or HTML into a folder with one file per chat. A
// cancelled or failed export removes what it created and nothing else; a killed one leaves
// no part of a text, CSV, PDF or HTML file, and no part of a new PDF or HTML folder.
#pragma once

#include "operations/absformatexport.h"
#include "records/msgrecords.h"

#include <QSharedPointer>
#include <QThread>

#include <functional>

class CreatedPaths;
class ProgressForm;

enum ExportFormat : unsigned int {
    ExportText = 0, // also for ".doc"
    ExportCsv = 1,
    ExportPdf = 2,
    ExportHtml = 3,
    ExportDatabase = 4,
};

class ExportMessagesThread : public QThread
{
    Q_OBJECT
public:
    ExportMessagesThread(const MsgMessageList &messages, const QString &path, unsigned int format,
        ProgressForm *form, QObject *parent = nullptr);
    ~ExportMessagesThread() override;

    // Called before each message with its position from 1; tests act at a chosen moment.
    void setItemHook(std::function<void(int)> hook) { itemHook = std::move(hook); }

protected:
    void run() override;

private:
    typedef QSharedPointer<AbsFormatExport<_MsgMessage>> Writer;

    // The number of messages exported; -1 when cancelled.
    int exportMessages(Writer &writer, CreatedPaths &created);
    Writer chatWriter(const _MsgChat *chat, CreatedPaths &created);
    // The error with the new folder's name where it names the folder being filled.
    QString shownPaths(QString error) const;

    MsgMessageList list;
    QString path;
    QString folder; // where the files of a PDF or HTML export are written
    QString staged; // the folder filled in place of a new one, until it is put in place
    unsigned int format;
    ProgressForm *form;
    bool htmlFoldersReady = false;
    std::function<void(int)> itemHook;
};
