#include "operations/exportmessagesthread.h"

#include "operations/createdpaths.h"
#include "operations/exportfilename.h"
#include "operations/exportmessagescsv.h"
#include "operations/exportmessagesdb.h"
#include "operations/exportmessageshtml.h"
#include "operations/exportmessagespdf.h"
#include "operations/exportmessagestxt.h"
#include "operations/messageprogress.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <stdexcept>

namespace {

int compareChats(const _MsgChat *a, const _MsgChat *b)
{
    if (a == b)
        return 0;
    if (!a || !b)
        return (a ? 1 : 0) - (b ? 1 : 0);
    return a->chat_identifier.compare(b->chat_identifier, Qt::CaseInsensitive);
}

} // namespace

bool compareMessagesByChat(const _MsgMessage *a, const _MsgMessage *b)
{
    const int order = compareChats(a->chat, b->chat);
    if (order == 0)
        return compareMessages(a, b);
    const qint64 lastA = a->chat ? a->chat->last : 0;
    const qint64 lastB = b->chat ? b->chat->last : 0;
    if (lastA != lastB)
        return lastA < lastB;
    return order < 0;
}

ExportMessagesThread::ExportMessagesThread(const MsgMessageList &messages, const QString &path,
    unsigned int format, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , list(messages)
    , path(path)
    , format(format)
    , form(form)
{
}

ExportMessagesThread::~ExportMessagesThread() = default;

void ExportMessagesThread::run()
{
    ProgressForm::postUpdateProgress(form, tr("IDS_EXPORTING_MESSAGES_TO_FILE"), -1, QString());
    CreatedPaths created;
    Writer writer;
    try {
        const int count = exportMessages(writer, created);
        if (count >= 0) {
            ProgressForm::postSucceed(form, tr("IDS_SUC_EXPORT_%1_MMS").arg(count));
            return;
        }
        writer.reset();
        created.removeAll();
    } catch (const std::exception &e) {
        // Released before the removal: a PDF writer completes its file when destroyed.
        writer.reset();
        created.removeAll();
        ProgressForm::postErrorOccurred(form, QString::fromUtf8(e.what()));
    }
}

int ExportMessagesThread::exportMessages(Writer &writer, CreatedPaths &created)
{
    const bool perChat = format == ExportPdf || format == ExportHtml;
    if (perChat) {
        if (!QFileInfo::exists(path))
            created.makeFolder(path);
        sortMessages(list, compareMessagesByChat);
    } else {
        sortMessages(list);
    }

    MessageProgress progress(form, list.size(), QString(), tr("Messages: %1/%2"));
    ExportMessagesDb *database = nullptr;
    const _MsgChat *writerChat = nullptr;
    int i = 0;
    for (_MsgMessage *message : qAsConst(list)) {
        if (form->failed)
            return -1;
        progress.step(++i);
        if (format > ExportDatabase)
            throw std::runtime_error("not support export format.");
        if (perChat) {
            if (!writer || compareChats(message->chat, writerChat) != 0) {
                if (writer)
                    writer->end();
                writerChat = message->chat;
                writer = chatWriter(message->chat, created);
                writer->begin();
            }
        } else if (!writer) {
            if (format == ExportText)
                writer.reset(new ExportMessagesTxt(path));
            else if (format == ExportCsv)
                writer.reset(new ExportMessagesCsv(path));
            else
                writer.reset(database = new ExportMessagesDb(QDir(path), QString()));
            writer->begin();
        }
        writer->write(message);
    }
    if (writer)
        writer->end();
    // Skipped messages are not in the database.
    return database ? database->written() : i;
}

ExportMessagesThread::Writer ExportMessagesThread::chatWriter(
    const _MsgChat *chat, CreatedPaths &created)
{
    const bool html = format == ExportHtml;
    const QString suffix = html ? QStringLiteral(".html") : QStringLiteral(".pdf");
    QString base = QStringLiteral("unknown-chat");
    if (chat)
        base = safeFileName(
            chat->isGroup() ? chat->chat_identifier : chat->title(true), QStringLiteral("chat"));
    const QDir folder(path);
    if (html && !htmlFoldersReady) {
        prepareHtmlFolders(created);
        htmlFoldersReady = true;
    }
    // Never a file that was there before or that another chat of this export has.
    const QString file = uniqueFilePath(folder.absoluteFilePath(base + suffix));
    created.addFile(file);
    if (html)
        return Writer(new ExportMessagesHtml(folder, QFileInfo(file).fileName(), &created));
    return Writer(new ExportMessagesPdf(file));
}

void ExportMessagesThread::prepareHtmlFolders(CreatedPaths &created)
{
    // The pages' emoji pictures are copied by the writers, only those they show.
    const QDir files(QDir(path).filePath(QStringLiteral("files")));
    created.makeFolder(files.path());
    const QDir bubble(QCoreApplication::applicationDirPath() + QStringLiteral("/bubble"));
    for (const QString &file : bubble.entryList(QDir::Files))
        created.copyFile(bubble.filePath(file), files.filePath(file));
}
