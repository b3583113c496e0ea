#include "operations/ios6restoremessagesthread.h"

#include "backup/backuppatch.h"
#include "backup/mbdb.h"
#include "messages/ios6messagedb.h"
#include "operations/databasecopy.h"
#include "operations/messagecaches.h"
#include "operations/messagerows.h"
#include "operations/restoreentry.h"
#include "operations/rowcopier.h"
#include "operations/triggerstandins.h"
#include "platform/durablefile/targetlock.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"
#include "shell/runtimeerror.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <future>
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

// The joins of messages to chats and attachments, written as addChatMessageJoin and
// addMessageAttachmentJoin write them, one "replace into" after another. Current phones keep
// each message's stored date in its chat join as well and sort by it. Nothing the refill
// does reads these tables, so the joins are gathered and written at the end, a table in one
// statement: the joins are most of a merge's rows.
class MessageJoins
{
public:
    explicit MessageJoins(bool dated)
        : dated(dated)
    {
    }

    void joinChat(qint64 chatId, qint64 message, qint64 storedDate)
    {
        chats << chatId << message;
        if (dated)
            chats << storedDate;
    }
    void joinAttachment(qint64 message, qint64 attachmentId)
    {
        attachments << message << attachmentId;
    }

    void write(Sqlite3DB &db)
    {
        QStringList chatColumns { QStringLiteral("chat_id"), QStringLiteral("message_id") };
        if (dated)
            chatColumns.append(QStringLiteral("message_date"));
        RowCopier::replaceNumbers(db, QStringLiteral("chat_message_join"), chatColumns, chats);
        RowCopier::replaceNumbers(db, QStringLiteral("message_attachment_join"),
            { QStringLiteral("message_id"), QStringLiteral("attachment_id") }, attachments);
    }

private:
    bool dated;
    QVector<qint64> chats;
    QVector<qint64> attachments;
};

// The message row of every entry, and whether the entry inserts it.
struct RowPlan
{
    QVector<qint64> rowids;
    QVector<bool> inserts;
};

// A new message's guid as the file stores it: never null.
QString storedGuid(const _MsgMessage &message)
{
    return message.guid.isNull() ? QStringLiteral("") : message.guid;
}

// The file's message table starts empty, so the rows get the row ids 1, 2, 3... in the order
// of the entries, as one insert after another gives them; an entry whose guid came before
// shares that entry's row and inserts none.
RowPlan planRows(IOS6MessageDb &target, const QVector<RestoreEntry> &entries)
{
    // The device rows that a new message's guid finds, as the file finds a guid; no other
    // device row can share a guid with any entry (the device's guids are unique).
    QStringList newGuids;
    for (const RestoreEntry &e : entries) {
        if (!e.existing)
            newGuids.append(storedGuid(*e.message));
    }
    // In the order of the guid index, whose pages are then read once each, and inside the
    // refill's transaction, which holds the device's file open for reading all along.
    newGuids.sort();
    QHash<qint64, QString> sharedGuids;
    for (const QString &guid : qAsConst(newGuids)) {
        Sqlite3Cursor c = target.queryThrow(
            Sqlite3Sql("select rowid from source.message where guid=?").addTextParam(guid));
        if (c.moveNext())
            sharedGuids.insert(c.getInt64(0), guid);
    }

    const int n = entries.size();
    RowPlan plan { QVector<qint64>(n), QVector<bool>(n, false) };
    QHash<QString, qint64> byGuid;
    qint64 next = 0;
    for (int i = 0; i < n; ++i) {
        const RestoreEntry &e = entries.at(i);
        const QString guid = e.existing ? sharedGuids.value(e.rowid) : storedGuid(*e.message);
        if (!guid.isNull()) {
            const auto it = byGuid.constFind(guid);
            if (it != byGuid.constEnd()) {
                plan.rowids[i] = it.value();
                continue;
            }
            byGuid.insert(guid, next + 1);
        }
        plan.rowids[i] = ++next;
        plan.inserts[i] = true;
    }
    return plan;
}

// The device's rows go in all in one statement, before any join, so that every join finds
// its message; the new messages later go into the places kept for them.
void copyDeviceRows(
    IOS6MessageDb &target, const QVector<RestoreEntry> &entries, const RowPlan &plan)
{
    QVector<RowCopier::Run> runs;
    int copies = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const RestoreEntry &e = entries.at(i);
        if (!e.existing || !plan.inserts.at(i))
            continue;
        ++copies;
        const qint64 m = plan.rowids.at(i);
        if (!runs.isEmpty() && runs.last().lastOld + 1 == e.rowid
            && runs.last().firstNew + (runs.last().lastOld - runs.last().firstOld) + 1 == m)
            runs.last().lastOld = e.rowid;
        else
            runs.append({ e.rowid, e.rowid, m });
    }
    if (RowCopier::copyRenumbered(target, QStringLiteral("source"), QStringLiteral("message"), runs)
        != copies)
        throwRuntimeError(QStringLiteral("can not copy the device's messages."));
}

// A work copy lives beside the device's file under its name and a number: a whole copy of the
// phone's messages. Its merge holds the copy's lock, in the program's records, for the copy's
// whole life, so that a copy whose lock is free is known to be left over, by a killed merge
// or kept after a finished one.

void removeLeftoverWorkCopies(const QString &database)
{
    const QFileInfo info(database);
    // "<copy>.lock" is the lock that earlier versions kept beside a copy.
    const QRegularExpression name(
        QStringLiteral("^(%1\\d+(?:-\\d+)?)(?:\\.lock|-journal|-wal|-shm)?$")
            .arg(QRegularExpression::escape(info.fileName())));
    QSet<QString> copies;
    dataFolder(); // where the locks are kept
    for (const QString &entry : info.dir().entryList(QDir::Files | QDir::Hidden)) {
        const QRegularExpressionMatch m = name.match(entry);
        if (m.hasMatch())
            copies.insert(info.dir().filePath(m.captured(1)));
    }
    for (const QString &copy : qAsConst(copies)) {
        TargetLock lock;
        if (lock.lock(copy) != TargetLock::Held)
            continue;
        removeDatabaseFiles(copy);
        QFile::remove(copy + QLatin1String(".lock"));
    }
}

// The lock of a new work copy named after `base`, taken before the copy exists.
std::unique_ptr<TargetLock> lockNewWorkCopy(const QString &base, QString *path)
{
    dataFolder(); // where the locks are kept
    for (int n = 1; n <= 1000; ++n) {
        const QString copy = n == 1 ? base : base + QLatin1Char('-') + QString::number(n);
        if (QFileInfo::exists(copy))
            continue;
        auto lock = std::make_unique<TargetLock>();
        const TargetLock::State state = lock->lock(copy);
        if (state == TargetLock::Failed)
            throwRuntimeError(QStringLiteral("can not lock %1.").arg(copy));
        if (state != TargetLock::Held)
            continue;
        // Another window made this copy between the look and the lock.
        if (QFileInfo::exists(copy))
            continue;
        *path = copy;
        return lock;
    }
    throwRuntimeError(QStringLiteral("can not name a copy of %1.").arg(base));
}

quint32 unixSeconds(const QDateTime &time)
{
    return static_cast<quint32>(time.toSecsSinceEpoch());
}

} // namespace

// The chat or attachment ids that the device joins to each of its messages, in the order the
// join table stores them. Found by the message's row id, which stands for its guid: guids are
// unique in a message table. Rows naming no message are never asked for: reading the join
// table alone spares a look into the message table for every row.
class DeviceJoins
{
public:
    DeviceJoins(IOS6MessageDb &db, const char *table, const char *idColumn)
    {
        Sqlite3Cursor c = db.queryThrow(QStringLiteral("select message_id, %1 from %2 not indexed")
                                            .arg(QLatin1String(idColumn), QLatin1String(table)));
        while (c.moveNext())
            joins.append({ c.getInt64(0), c.getInt64(1) });
        std::stable_sort(joins.begin(), joins.end(),
            [](const Join &a, const Join &b) { return a.message < b.message; });
    }

    template <typename Use> void forEach(qint64 message, Use use) const
    {
        auto it = std::lower_bound(joins.begin(), joins.end(), message,
            [](const Join &j, qint64 m) { return j.message < m; });
        for (; it != joins.end() && it->message == message; ++it)
            use(it->id);
    }

private:
    struct Join
    {
        qint64 message;
        qint64 id;
    };
    QVector<Join> joins;
};

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
    // Released, as the run ends, only after a failed run has removed the copy.
    std::unique_ptr<TargetLock> workLock;
    std::unique_ptr<BackupPatch> patch;
    try {
        // Held to the end of the run: a second window's write into this backup stops at once.
        patch = std::make_unique<BackupPatch>(backupFolder, stamp);
        // Everything the patch needs of the backup is checked before any file is made.
        checkBackupIndex();
        step(Step::CopyDatabase);
        source->close();
        removeLeftoverWorkCopies(source->smsDbPath());
        const QString base = source->smsDbPath() + QString::number(stamp);
        try {
            workLock = lockNewWorkCopy(base, &work);
            copyDatabaseFile(source->smsDbPath(), work);
        } catch (const std::exception &e) {
            qWarning("IOS6RestoreMessagesThread copy failed: %s", e.what());
            const QString text
                = QStringLiteral("copy database to %1 failed.").arg(work.isEmpty() ? base : work);
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
        patchBackup(*patch);
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
    // The phone's triggers answer the phone's own edits. Fired by emptying the copy they would
    // record every message as deleted, which a syncing phone hands on as deletions; fired by
    // the refill they would log again rows the file had all along. The merge rebuilds its
    // seven tables itself and leaves every other table as it was.
    setTriggersEnabled(target, false);
    // The work copy is scratch until the patch puts a synced copy of it into the backup, and
    // a run that fails deletes it: it needs neither syncs nor a journal file of its own. The
    // file's header says whether it keeps a write-ahead log, as the phone's does: it gets
    // that back before it is closed.
    const bool writeAheadLog = usesWriteAheadLog(target);
    target.executeThrow(Sqlite3Sql("PRAGMA synchronous=OFF"));
    target.executeThrow(Sqlite3Sql("PRAGMA journal_mode=MEMORY"));

    step(Step::EmptyCopy);
    // The vacuum below drops every freed page from the file: zeroing them first only costs.
    target.executeThrow(Sqlite3Sql("PRAGMA secure_delete=OFF"));
    static const char *const emptying[] = {
        "delete from attachment",
        "delete from chat",
        "delete from handle",
        "delete from message",
        "delete from message_attachment_join",
        "delete from chat_message_join",
        "delete from chat_handle_join",
        ("update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', "
         "'attachment')"),
        "vacuum",
    };
    for (const char *sql : emptying)
        target.executeThrow(Sqlite3Sql(sql));

    step(Step::Refill);
    // The refill writes the tables' index pages all over: with SQLite's usual 2 MiB of cache
    // each page goes to the file and back many times. Pages are taken as the file grows, up
    // to this bound; set only now, since the vacuum gives its scratch copy the same cache.
    target.executeThrow(Sqlite3Sql("PRAGMA cache_size=-262144"));
    // The device's rows go from file to file inside SQLite: a whole message table held as
    // rows in memory would grow with the device's history.
    target.executeThrow(
        Sqlite3Sql("ATTACH DATABASE ? AS source").addTextParam(source->smsDbPath()));
    target.beginTransaction();
    source->open();
    RowCopier::copyAll(
        target, QStringLiteral("source"), QStringLiteral("chat"), QStringLiteral("properties"));
    for (const char *table : { "handle", "chat_handle_join", "attachment" })
        RowCopier::copyAll(target, QStringLiteral("source"), QLatin1String(table));
    const DeviceJoins attachmentMap(*source, "message_attachment_join", "attachment_id");
    const DeviceJoins chatMap(*source, "chat_message_join", "chat_id");

    QVector<RestoreEntry> entries;
    {
        Sqlite3Cursor count = source->queryThrow(Sqlite3Sql("select count(*) from message"));
        entries.reserve(int(count.moveNext() ? count.getInt64(0) : 0) + messages->size());
        Sqlite3Cursor c = source->queryThrow(Sqlite3Sql("select rowid, date from message"));
        while (c.moveNext()) {
            RestoreEntry e;
            e.rowid = c.getInt64(0);
            e.storedDate = c.getInt64(1);
            e.date = recordDateFromStored(e.storedDate);
            e.existing = true;
            entries.append(e);
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
        entries.append(e);
    }
    if (restored == 0)
        throwRuntimeError(
            tr("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(skipped));

    sortRestoreEntries(entries);

    insertEntries(target, entries, chatMap, attachmentMap);
    target.endTransaction(true);
    if (writeAheadLog) {
        target.executeThrow(Sqlite3Sql("PRAGMA journal_mode=WAL"));
        if (!usesWriteAheadLog(target))
            throwRuntimeError(QStringLiteral("can not keep the write-ahead log of %1.").arg(work));
    }
    target.close();
}

void IOS6RestoreMessagesThread::insertEntries(IOS6MessageDb &target,
    const QVector<RestoreEntry> &entries, const DeviceJoins &chatMap,
    const DeviceJoins &attachmentMap)
{
    const RowPlan plan = planRows(target, entries);
    copyDeviceRows(target, entries, plan);

    MessageJoins joins(target.tableHas(
        QStringLiteral("chat_message_join"), QStringLiteral("message_date"), Qt::CaseSensitive));
    // The device's rows come whole with their caches; the triggers that keep them are off.
    MessageCaches caches;
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
        const qint64 m = plan.rowids.at(i - 1);
        if (e.existing) {
            chatMap.forEach(e.rowid, [&](qint64 chat) { joins.joinChat(chat, m, e.storedDate); });
            attachmentMap.forEach(
                e.rowid, [&](qint64 attachment) { joins.joinAttachment(m, attachment); });
            continue;
        }

        const _MsgMessage &r = *e.message;
        const qint64 c = chatRowidOrInsert(target, *r.chat);
        const qint64 h = r.handle ? joinedHandleRowid(target, c, *r.handle) : 0;
        if (plan.inserts.at(i - 1)) {
            const qint64 o = r.otherHandle ? joinedHandleRowid(target, c, *r.otherHandle) : 0;
            target.insertMessage(r, h, o, QString(), m);
            joins.joinChat(c, m, storedTimeFromRecord(r.date, target.storesNanosecondDates()));
            target.updateChatLast(c, r.date);
            caches.addInserted(m);
        }
        if (r.chat->isGroup() && r.handle)
            target.setLastAddressedHandle(c, r.handle->id);
        const QList<_MsgAttachment *> attachments = r.sortedAttachments();
        for (const _MsgAttachment *a : attachments) {
            qint64 attachment = target.attachmentRowidByGuid(*a);
            if (attachment == 0)
                attachment = target.insertAttachment(*a);
            joins.joinAttachment(m, attachment);
        }
        if (!plan.inserts.at(i - 1) && !attachments.isEmpty())
            caches.addAttachmentsJoined(m);
    }
    joins.write(target);
    caches.write(target);
}

void IOS6RestoreMessagesThread::patchBackup(BackupPatch &patch)
{
    // The merged file is complete: its digest is worked out while the files are copied.
    std::future<QByteArray> digest
        = std::async(std::launch::async, [path = work] { return sha1OfFile(path); });
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
    const QByteArray sha1 = digest.get();
    if (sha1.size() != 20)
        throwRuntimeError(QStringLiteral("can not read %1.").arg(work));
    record.DataHash.setBytes(sha1);
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
