#include "app/outputflow.h"

#include "app/flowhost.h"
#include "app/windowservices.h"
#include "app/workerstep.h"
#include "operations/attachmentextractthread.h"
#include "operations/exportmessagesthread.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

struct ExportChoice
{
    const char *filter;
    const char *suffix;
    unsigned int format;
};

// Text and Word files are both written as plain text.
const ExportChoice exportChoices[] = {
    { "Text Files(*.txt)", "txt", ExportText },
    { "Doc Files(*.doc)", "doc", ExportText },
    { "CSV Files(*.csv)", "csv", ExportCsv },
    { "PDF Files(*.pdf)", "pdf", ExportPdf },
    { "HTML Files(*.html)", "html", ExportHtml },
};
constexpr int exportChoiceCount = int(sizeof(exportChoices) / sizeof(exportChoices[0]));

int choiceBySuffix(const QString &chosen)
{
    const QString suffix = QFileInfo(chosen).suffix();
    for (int i = 0; i < exportChoiceCount; ++i) {
        if (suffix.compare(QLatin1String(exportChoices[i].suffix), Qt::CaseInsensitive) == 0)
            return i;
    }
    return 0;
}

} // namespace

OutputFlow::OutputFlow(FlowHost &host)
    : m_host(host)
{
}

QString OutputFlow::timeStamp() const
{
    return m_host.services().now().toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

void OutputFlow::printMessages(const MsgMessageList &messages)
{
    m_host.services().print(m_host.flowParent(), messages);
}

void OutputFlow::extractMedia(const MsgMessageList &messages)
{
    QWidget *parent = m_host.flowParent();
    const QString folder = m_host.services().existingFolder(
        parent, tr("IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES"), QDir::home().absolutePath());
    if (folder.isEmpty())
        return;
    // The worker makes the folder, or a free "(n)" one beside it when this name is taken.
    const QString target
        = QDir(folder).filePath(QStringLiteral("attachments(%1)").arg(timeStamp()));
    ProgressForm form(tr("IDS_TITLE_EXTRACT_MEDIA_FILES"), parent);
    AttachmentExtractThread worker(&form, messages, target);
    runWorkerStep(worker, form);
}

QStringList OutputFlow::exportFilters()
{
    QStringList filters;
    for (const ExportChoice &choice : exportChoices)
        filters << tr(choice.filter);
    return filters;
}

void OutputFlow::exportTarget(
    const QString &chosen, int filterIndex, QString *target, unsigned int *format)
{
    if (filterIndex < 0 || filterIndex >= exportChoiceCount)
        filterIndex = choiceBySuffix(chosen);
    const ExportChoice &choice = exportChoices[filterIndex];
    *format = choice.format;
    const QFileInfo info(chosen);
    if (choice.format == ExportText || choice.format == ExportCsv) {
        *target = chosen;
        if (info.suffix().isEmpty())
            *target += QLatin1Char('.') + QLatin1String(choice.suffix);
        return;
    }
    QString folder = info.suffix().isEmpty() ? chosen : info.dir().filePath(info.baseName());
    folder += QLatin1Char('-') + QLatin1String(choice.suffix);
    *target = uniqueFilePath(folder);
}

void OutputFlow::exportMessages(const MsgMessageList &messages)
{
    QWidget *parent = m_host.flowParent();
    const QStringList filters = exportFilters();
    const QString proposed = QDir::home().filePath(QStringLiteral("messages(%1)").arg(timeStamp()));
    QString filter;
    const QString chosen = m_host.services().saveFileName(parent,
        tr("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed, filters.join(QLatin1String(";;")), &filter);
    if (chosen.isEmpty())
        return;
    QString target;
    unsigned int format = ExportText;
    exportTarget(chosen, filters.indexOf(filter), &target, &format);
    // The dialog asked about the name typed, not about the one the suffix makes; asked here
    // with the dialog's own question.
    const QFileInfo written(target);
    if (target != chosen && written.exists()
        && !askYesNo(QFileDialog::tr("%1 already exists.\nDo you want to replace it?")
                         .arg(written.fileName())))
        return;
    ProgressForm form(QString(), parent);
    ExportMessagesThread worker(messages, target, format, &form, parent);
    runWorkerStep(worker, form);
}
