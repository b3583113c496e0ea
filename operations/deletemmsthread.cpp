#include "operations/deletemmsthread.h"

#include "messages/ios6messagedb.h"
#include "operations/deferredtriggers.h"
#include "operations/localdblock.h"
#include "operations/messageprogress.h"
#include "operations/temporaryindexes.h"
#include "operations/triggerstandins.h"
#include "shell/progressform.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <memory>

namespace {

struct Cancelled
{
};

// The tables that deleting a message changes; their table-wide clean-up triggers run once.
const QStringList &deletedTables()
{
    static const QStringList tables = { QStringLiteral("message"),
        QStringLiteral("chat_message_join"), QStringLiteral("message_attachment_join"),
        QStringLiteral("chat"), QStringLiteral("chat_handle_join") };
    return tables;
}

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// True when the existing file lies inside the folder once every link is resolved.
bool liesInside(const QString &file, const QString &canonicalFolder)
{
    const QString real = QFileInfo(file).canonicalFilePath();
    return !real.isEmpty() && !canonicalFolder.isEmpty()
        && real.startsWith(canonicalFolder + QLatin1Char('/'));
}

} // namespace

DeleteMMSThread::DeleteMMSThread(
    QDir *databaseFolder, MsgMessageList *messages, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , databaseFolder(databaseFolder)
    , messages(messages)
    , form(form)
{
}

DeleteMMSThread::~DeleteMMSThread() = default;

void DeleteMMSThread::run()
{
    ProgressForm::postUpdateProgress(form, tr("IDS_DELETING_MMS"), 0, QString());
    // Held until the files are gone too: a save meanwhile would find a file about to go
    // and not copy it again.
    LocalDbLock writerLock(*databaseFolder);
    auto db = std::make_unique<IOS6MessageDb>(*databaseFolder, QString(), false);
    QStringList files;
    try {
        writerLock.lock();
        db->open();
        registerTriggerStandIns(*db);
        db->beginTransaction();
        const int n = messages->size();
        DeferredTriggers triggers;
        TemporaryIndexes indexes;
        MessageProgress progress(form, n, QString(), QStringLiteral("Messages: %1/%2"));
        if (n > 0) {
            triggers.defer(*db, deletedTables());
            indexes.create(
                *db, QStringLiteral("message_attachment_join"), QStringLiteral("attachment_id"));
            indexes.create(*db, QStringLiteral("chat_handle_join"), QStringLiteral("handle_id"));
        }
        for (int i = 1; i <= n; ++i) {
            if (itemHook)
                itemHook(i);
            if (form->failed)
                throw Cancelled();
            progress.step(i);
            db->deleteMessage(*messages->at(i - 1));
        }
        triggers.restore(*db);
        indexes.dropAll(*db);
        files = unusedAttachmentFiles(*db);
        db->endTransaction(true);
    } catch (const Cancelled &) {
        db->endTransaction(false);
        return;
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        try {
            db->endTransaction(false);
        } catch (const std::exception &) {
            // Closing the connection below ends the transaction all the same.
        }
        ProgressForm::postErrorOccurred(form, text);
        return;
    }
    db.reset();
    for (const QString &file : qAsConst(files))
        QFile::remove(file);
    ProgressForm::postSucceed(form, tr("IDS_SUC_DELETE_%1_MESSAGES").arg(messages->size()));
}

QStringList DeleteMMSThread::unusedAttachmentFiles(IOS6MessageDb &db) const
{
    const QString folder = QFileInfo(databaseFolder->absolutePath()).canonicalFilePath();
    QSet<QString> candidates;
    for (const _MsgMessage *m : qAsConst(*messages)) {
        for (const _MsgAttachment *a : m->attachments) {
            if (!a || a->localPath.isEmpty())
                continue;
            const QString path = cleanAbsolute(a->localPath);
            if (QFileInfo(path).isFile() && liesInside(path, folder))
                candidates.insert(path);
        }
    }
    if (candidates.isEmpty())
        return {};
    // A file that a message left in the database still shows stays.
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select distinct a.filename from attachment as a "
                                               "inner join message_attachment_join as ma on "
                                               "ma.attachment_id=a.rowid"));
    while (c.moveNext() && !candidates.isEmpty()) {
        const QString used = db.attachmentLocalPath(c.getText(0));
        if (!used.isEmpty())
            candidates.remove(cleanAbsolute(used));
    }
    return candidates.values();
}
