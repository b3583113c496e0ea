#include "operations/exportmessagesthread.h"

#include "operations/createdpaths.h"
#include "operations/exportfilename.h"
#include "operations/exportmessagescsv.h"
#include "operations/exportmessagesdb.h"
#include "operations/exportmessageshtml.h"
#include "operations/exportmessagespdf.h"
#include "operations/exportmessagestxt.h"
#include "operations/messageprogress.h"
#include "platform/durablefile/writerruns.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMap>

#include <stdexcept>

namespace {

// What makes messages one chat, and one file, in a PDF or HTML export: the chat identifier,
// letter case ignored, so that the SMS and the iMessage chat of one number (phones keep
// both) are one. The messages without a chat form one chat too.
QString chatKey(const _MsgChat *chat)
{
    return chat ? QLatin1Char('c') + chat->chat_identifier.toCaseFolded() : QString();
}

// The messages of each chat together, by compareMessages; the chats in ascending order of
// their newest message (then of their keys), those without a chat first.
void sortMessagesByChat(MsgMessageList &list)
{
    QHash<QString, qint64> newest;
    for (const _MsgMessage *m : qAsConst(list)) {
        qint64 &last = newest[chatKey(m->chat)];
        last = qMax(last, m->chat ? qint64(m->chat->last) : 0);
    }
    QMap<QPair<qint64, QString>, MsgMessageList> chats;
    for (_MsgMessage *m : qAsConst(list)) {
        const QString key = chatKey(m->chat);
        chats[qMakePair(newest.value(key), key)].append(m);
    }
    list.clear();
    for (MsgMessageList &chat : chats) {
        sortMessages(chat);
        list += chat;
    }
}

} // namespace

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
        ProgressForm::postErrorOccurred(form, shownPaths(QString::fromUtf8(e.what())));
    }
}

QString ExportMessagesThread::shownPaths(QString error) const
{
    // A new folder's files are written where the user never looks; the user chose its name.
    if (staged.isEmpty())
        return error;
    return error.replace(QDir::toNativeSeparators(staged), QDir::toNativeSeparators(path));
}

int ExportMessagesThread::exportMessages(Writer &writer, CreatedPaths &created)
{
    const bool perChat = format == ExportPdf || format == ExportHtml;
    // One run of any window at a time writes a target; a database holds its own.
    if (format != ExportDatabase)
        created.hold(path, perChat);
    if (perChat) {
        // A new folder is filled beside its name and appears whole; into an existing one
        // the files go one by one, each whole, after what killed runs left of theirs.
        const QFileInfo target(path);
        folder = path;
        if (!target.exists() && !target.isSymLink())
            folder = staged = created.makeStagingFolder(path);
        else
            writerruns::removeDeadLeftovers(path);
        sortMessagesByChat(list);
    } else {
        sortMessages(list);
    }

    MessageProgress progress(form, list.size(), QString(), tr("Messages: %1/%2"));
    ExportMessagesDb *database = nullptr;
    QString writerChat;
    int i = 0;
    for (_MsgMessage *message : qAsConst(list)) {
        if (itemHook)
            itemHook(i + 1);
        if (form->failed)
            return -1;
        progress.step(++i);
        if (format > ExportDatabase)
            throw std::runtime_error("not support export format.");
        if (perChat) {
            if (!writer || chatKey(message->chat) != writerChat) {
                if (writer)
                    writer->end();
                writerChat = chatKey(message->chat);
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
    if (!staged.isEmpty())
        created.placeFolder(staged, path);
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
    const QDir folder(this->folder);
    if (html && !htmlFoldersReady) {
        ExportMessagesHtml::copyPageStyle(folder, created);
        htmlFoldersReady = true;
    }
    // Never a file that was there before or that another chat of this export has. The
    // writer records its file once complete.
    const QString file = uniqueFilePath(folder.absoluteFilePath(base + suffix));
    if (html)
        return Writer(new ExportMessagesHtml(folder, QFileInfo(file).fileName(), &created));
    return Writer(new ExportMessagesPdf(file, &created));
}
