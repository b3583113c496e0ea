#include "operations/ios6restoremessagesthread.h"

#include "backup/backuppatch.h"
#include "backup/mbdb.h"
#include "messages/ios6messagedb.h"
#include "operations/databasecopy.h"
#include "operations/messagerows.h"
#include "operations/restoreentry.h"
#include "operations/rowcopier.h"
#include "operations/triggerstandins.h"
#include "records/msgidentity.h"
#include "shell/progressform.h"
#include "shell/runtimeerror.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QHash>

#include <memory>
#include <stdexcept>

namespace {

// Unwinds a cancelled run.
struct Cancelled
{
};

const char kIndexName[] = "Manifest.mbdb";
const char kDatabaseDomain[] = "HomeDomain";
const char kDatabasePath[] = "Library/SMS/sms.db";

using GuidMap = IOS6RestoreMessagesThread::GuidMap;

GuidMap guidMap(IOS6MessageDb &db, const char *sql, const char *idColumn)
{
    GuidMap map;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    const int guid = c.columnIndex(QStringLiteral("guid"));
    const int id = c.columnIndex(QLatin1String(idColumn));
    while (c.moveNext())
        map[c.getText(guid)].append(c.getInt64(id));
    return map;
}

// Current phones keep each message's stored date in its chat join as well and sort by it.
void joinChatMessage(IOS6MessageDb &db, qint64 chat, qint64 message, qint64 storedDate)
{
    db.addChatMessageJoin(chat, message);
    if (db.tableHas(
            QStringLiteral("chat_message_join"), QStringLiteral("message_date"), Qt::CaseSensitive))
        db.executeThrow(Sqlite3Sql("update chat_message_join set message_date=? where chat_id=? "
                                   "and message_id=?")
                            .addInt64Param(storedDate)
                            .addInt64Param(chat)
                            .addInt64Param(message));
}

quint32 unixSeconds(const QDateTime &time)
{
    return static_cast<quint32>(time.toSecsSinceEpoch());
}

} // namespace

IOS6RestoreMessagesThread::IOS6RestoreMessagesThread(const QString &countryCode,
    MsgMessageList *messages, IOS6MessageDb *source, const QDir &backupFolder, ProgressForm *form,
    QObject *parent)
    : QThread(parent)
    , country(countryCode)
    , messages(messages)
    , source(source)
    , backupFolder(backupFolder)
    , form(form)
    , clock([] { return QDateTime::currentSecsSinceEpoch(); })
{
}

IOS6RestoreMessagesThread::~IOS6RestoreMessagesThread() = default;

void IOS6RestoreMessagesThread::setClock(std::function<qint64()> c)
{
    clock = std::move(c);
}

void IOS6RestoreMessagesThread::setStepHook(std::function<void(Step)> hook)
{
    stepHook = std::move(hook);
}

void IOS6RestoreMessagesThread::step(Step s)
{
    if (stepHook)
        stepHook(s);
}

bool IOS6RestoreMessagesThread::cancelled() const
{
    return form && form->failed;
}

void IOS6RestoreMessagesThread::run()
{
    ProgressForm::postUpdateProgress(form, tr("IDS_MERGING_IOS6_MESSAGES"), 0, QString());
    skipped = 0;
    restored = 0;
    changed = false;
    withAttachments.clear();
    const qint64 stamp = clock();
    std::unique_ptr<IOS6MessageDb> target;
    try {
        // Everything the patch needs of the backup is checked before any file is made.
        checkBackupIndex();
        step(Step::CopyDatabase);
        source->close();
        const QString base = source->smsDbPath() + QString::number(stamp);
        work = base;
        for (int n = 2; QFileInfo::exists(work); ++n)
            work = base + QLatin1Char('-') + QString::number(n);
        try {
            copyDatabaseFile(source->smsDbPath(), work);
        } catch (const std::exception &e) {
            qWarning("IOS6RestoreMessagesThread copy failed: %s", e.what());
            const QString text = QStringLiteral("copy database to %1 failed.").arg(work);
            work.clear();
            ProgressForm::postErrorOccurred(form, text);
            return;
        }

        target = std::make_unique<IOS6MessageDb>(source->dataFolder(), country, false);
        target->setSmsDbPath(work);
        refill(*target);
        target.reset();

        step(Step::PatchBackup);
        if (cancelled())
            throw Cancelled();
        // From here on the backup changes: finish whatever the dialog says.
        if (form)
            QMetaObject::invokeMethod(
                form, [f = form] { f->setCancelEnabled(false); }, Qt::QueuedConnection);
        patchBackup(stamp);
    } catch (const Cancelled &) {
        target.reset();
        removeDatabaseFiles(work);
        work.clear();
        return;
    } catch (const std::exception &e) {
        target.reset();
        removeDatabaseFiles(work);
        work.clear();
        ProgressForm::postErrorOccurred(form, QString::fromUtf8(e.what()));
        return;
    }

    if (cancelled()) {
        // The dialog was closed while the backup was being written: say what was done.
        ProgressForm::postSucceed(form, tr("IDS_MERGE_DONE_AFTER_CANCEL_%1").arg(restored));
        return;
    }
    ProgressForm::postSucceed(form, QString());
}

void IOS6RestoreMessagesThread::checkBackupIndex()
{
    const QString indexPath = backupFolder.filePath(QLatin1String(kIndexName));
    // The patch starts from the index as an interrupted earlier one leaves it when finished.
    BackupPatch::finishInterrupted(backupFolder);
    if (!QFileInfo::exists(indexPath))
        throwRuntimeError(QStringLiteral("can not find %1.").arg(indexPath));
    index = loadMbdb(indexPath);
    const QString id = mbdbFileName(QLatin1String(kDatabaseDomain), QLatin1String(kDatabasePath));
    if (!index.contains(id))
        throwRuntimeError(
            QStringLiteral("can not find %1 of %2 in %3.")
                .arg(QLatin1String(kDatabasePath), QLatin1String(kDatabaseDomain), indexPath));
}

void IOS6RestoreMessagesThread::refill(IOS6MessageDb &target)
{
    target.open();
    registerTriggerStandIns(target);

    step(Step::EmptyCopy);
    static const char *const emptying[] = {
        "delete from attachment",
        "delete from chat",
        "delete from handle",
        "delete from message",
        "delete from message_attachment_join",
        "delete from chat_message_join",
        "delete from chat_handle_join",
        "update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', "
        "'attachment')",
        "vacuum",
    };
    for (const char *sql : emptying)
        target.executeThrow(Sqlite3Sql(sql));

    step(Step::Refill);
    // The device's rows go from file to file inside SQLite: a whole message table held as
    // rows in memory would grow with the device's history.
    target.executeThrow(
        Sqlite3Sql("ATTACH DATABASE ? AS source").addTextParam(source->smsDbPath()));
    // The refill touches every page of both files in one transaction: let them stay cached.
    target.executeThrow(Sqlite3Sql("PRAGMA main.cache_size=-65536"));
    target.executeThrow(Sqlite3Sql("PRAGMA source.cache_size=-65536"));
    target.beginTransaction();
    source->open();
    RowCopier::copyAll(
        target, QStringLiteral("source"), QStringLiteral("chat"), QStringLiteral("properties"));
    for (const char *table : { "handle", "chat_handle_join", "attachment" })
        RowCopier::copyAll(target, QStringLiteral("source"), QLatin1String(table));
    const GuidMap attachmentMap = guidMap(*source,
        "select ma.*, m.guid from message_attachment_join as ma inner join message as m on "
        "ma.message_id=m.rowid",
        "attachment_id");
    const GuidMap chatMap = guidMap(*source,
        "select cm.*, m.guid from chat_message_join as cm inner join message as m on "
        "cm.message_id=m.rowid",
        "chat_id");

    QVector<RestoreEntry> entries;
    {
        Sqlite3Cursor c = source->queryThrow(Sqlite3Sql("select rowid, date, guid from message"));
        while (c.moveNext()) {
            RestoreEntry e;
            e.row = c.getRow();
            e.rowid = c.getInt64(0);
            e.date = recordDateFromStored(c.getInt64(1));
            e.existing = true;
            entries.append(std::move(e));
        }
    }
    const bool hasItemType = target.hasItemTypeColumn();
    for (_MsgMessage *m : qAsConst(*messages)) {
        if (!m->chat || isUnknownChat(*m->chat)) {
            qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
            ++skipped;
            continue;
        }
        if (m->item_type != 0 && !hasItemType)
            continue;
        ++restored;
        if (!m->sortedAttachments().isEmpty())
            withAttachments.append(m);
        RestoreEntry e;
        e.rowid = m->srcRowid;
        e.date = m->date;
        e.message = m;
        entries.append(std::move(e));
    }
    if (restored == 0)
        throwRuntimeError(
            tr("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(skipped));

    sortRestoreEntries(entries);

    insertEntries(target, entries, chatMap, attachmentMap);
    target.endTransaction(true);
    target.close();
}

void IOS6RestoreMessagesThread::insertEntries(IOS6MessageDb &target,
    const QVector<RestoreEntry> &entries, const GuidMap &chatMap, const GuidMap &attachmentMap)
{
    RowCopier deviceRows(target, QStringLiteral("source"), QStringLiteral("message"));
    const int n = entries.size();
    int shown = -1;
    for (int i = 1; i <= n; ++i) {
        if (cancelled())
            throw Cancelled();
        const int value = int(double(i) / n * 99);
        if (value != shown) {
            ProgressForm::postUpdateProgress(form, QString(), value, QString());
            shown = value;
        }
        const RestoreEntry &e = entries.at(i - 1);
        if (e.existing) {
            const QString guid = e.row.getText(QStringLiteral("guid"));
            qint64 m = target.messageRowidByGuid(guid);
            if (m == 0)
                m = deviceRows.copy(e.rowid);
            const qint64 stored = e.row.getInt64(QStringLiteral("date"));
            for (qint64 chat : chatMap.value(guid))
                joinChatMessage(target, chat, m, stored);
            for (qint64 attachment : attachmentMap.value(guid))
                target.addMessageAttachmentJoin(m, attachment);
            continue;
        }

        const _MsgMessage &r = *e.message;
        const qint64 c = chatRowidOrInsert(target, *r.chat);
        const qint64 h = r.handle ? joinedHandleRowid(target, c, *r.handle) : 0;
        qint64 m = target.messageRowidByGuid(r.guid);
        if (m == 0) {
            const qint64 o = r.otherHandle ? joinedHandleRowid(target, c, *r.otherHandle) : 0;
            m = target.insertMessage(r, h, o, QString());
            joinChatMessage(
                target, c, m, storedTimeFromRecord(r.date, target.storesNanosecondDates()));
            target.updateChatLast(c, r.date);
        }
        if (r.chat->isGroup() && r.handle)
            target.setLastAddressedHandle(c, r.handle->id);
        for (const _MsgAttachment *a : r.sortedAttachments())
            joinAttachment(target, m, *a);
    }
}

void IOS6RestoreMessagesThread::patchBackup(qint64 stamp)
{
    BackupPatch patch(backupFolder, stamp);

    step(Step::CopyAttachments);
    for (const _MsgMessage *m : qAsConst(withAttachments)) {
        for (const _MsgAttachment *a : m->sortedAttachments()) {
            if (a->localPath.isEmpty() || !QFileInfo(a->localPath).isFile())
                continue;
            const int from = a->filename.indexOf(QLatin1String("Library/"));
            if (from < 0)
                continue;
            const QString relative = a->filename.mid(from);
            const QString name = mbdbFileName(QStringLiteral("MediaDomain"), relative);
            QString stored = patch.addFile(name, a->localPath);
            if (stored.isEmpty())
                stored = patch.path(name);
            addMbdbFile(index, stored, QStringLiteral("MediaDomain"), relative);
        }
    }

    step(Step::ReplaceDatabase);
    const QString id = mbdbFileName(QLatin1String(kDatabaseDomain), QLatin1String(kDatabasePath));
    patch.replaceFile(id, work);
    const QFileInfo merged(work);
    MbdbRecord &record = index[id];
    const QByteArray digest = sha1OfFile(work);
    if (digest.size() != 20)
        throwRuntimeError(QStringLiteral("can not read %1.").arg(work));
    record.DataHash.setBytes(digest);
    record.Mtime = unixSeconds(merged.lastModified());
    record.Atime = record.Mtime;
    record.Ctime
        = unixSeconds(merged.birthTime().isValid() ? merged.birthTime() : merged.lastModified());
    record.Size = quint64(merged.size());

    step(Step::WriteIndex);
    patch.writeIndex(index);
    patch.commit();
    changed = true;
}
