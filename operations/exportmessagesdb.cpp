#include "operations/exportmessagesdb.h"

#include "operations/databasecopy.h"
#include "operations/messagerows.h"
#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QtDebug>

#include <stdexcept>

namespace {

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isMissingOrEmptyFolder(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return info.isDir() && !info.isSymLink()
        && QDir(path).isEmpty(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Every folder of the tree, deepest first, so that all its entries are on disk before the
// tree gets its name.
void syncFolders(const QString &root)
{
    QStringList folders;
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        folders.prepend(it.next());
    for (const QString &folder : qAsConst(folders))
        durable::syncFolder(folder);
}

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

// A commit empties the rollback journal instead of removing it: SMB may refuse to remove a
// file at the moment it was closed, and SQLite then fails the commit as an I/O error. Only a
// database in the rollback mode SQLite gives a new file is changed, on this connection.
void keepJournal(IOS6MessageDb &db)
{
    db.open();
    Sqlite3Cursor mode = db.queryThrow(Sqlite3Sql("PRAGMA journal_mode"));
    if (mode.moveNext()
        && mode.getText(0).compare(QLatin1String("delete"), Qt::CaseInsensitive) == 0)
        db.queryThrow(Sqlite3Sql("PRAGMA journal_mode=TRUNCATE")).moveNext();
}

} // namespace

ExportMessagesDb::ExportMessagesDb(const QDir &folder, const QString &countryCode)
    : folder(QDir::cleanPath(folder.absolutePath()))
    , countryCode(countryCode)
    , db(std::make_unique<IOS6MessageDb>(folder, countryCode, true))
    , writerLock(folder)
{
}

ExportMessagesDb::~ExportMessagesDb()
{
    rollback();
}

void ExportMessagesDb::rollback()
{
    try {
        db->endTransaction(false);
    } catch (const std::exception &e) {
        qWarning("ExportMessagesDb rollback failed: %s", e.what());
    }
    db->close();
    created.removeAll();
    staging.clear();
    writerLock.unlock();
}

void ExportMessagesDb::begin()
{
    writerLock.lock();
    writtenCount = 0;
    // Whatever a killed save left is removed only now, under the lock.
    removeUnfinishedSave();
    shownAsChosen([this] {
        if (isMissingOrEmptyFolder(folder.absolutePath())) {
            staging = created.makeStagingFolder(folder.absolutePath());
            db = std::make_unique<IOS6MessageDb>(QDir(staging), countryCode, true);
        } else {
            db = std::make_unique<IOS6MessageDb>(folder, countryCode, true);
            created.makeFolder(folder.absolutePath());
            const QString journal = writerLock.notesPath();
            if (!journal.isEmpty())
                created.writeJournal(journal, folder.absolutePath());
        }
        const QString path = db->smsDbPath();
        created.makeFolder(QFileInfo(path).absolutePath());
        if (!QFileInfo::exists(path))
            created.addFile(path);
        keepJournal(*db);
        db->beginTransaction();
    });
}

void ExportMessagesDb::shownAsChosen(const std::function<void()> &work) const
{
    try {
        work();
    } catch (const std::exception &e) {
        if (staging.isEmpty())
            throw;
        // A new database is built where the user never looks; the user chose its name.
        const QString text = QString::fromUtf8(e.what()).replace(
            QDir::toNativeSeparators(staging), QDir::toNativeSeparators(folder.absolutePath()));
        if (const auto *failure = dynamic_cast<const Sqlite3Exception *>(&e))
            throw Sqlite3Exception(text, failure->code());
        throw std::runtime_error(text.toStdString());
    }
}

void ExportMessagesDb::removeUnfinishedSave()
{
    const QString journal = writerLock.notesPath();
    if (journal.isEmpty() || !QFileInfo::exists(journal))
        return;
    // The killed save's rows are gone unless it committed: what its rows do not use is left
    // over, and a database file it made stays only with messages in it.
    IOS6MessageDb target(folder, countryCode, true);
    const QString path = absoluteClean(target.smsDbPath());
    QSet<QString> used;
    if (QFileInfo::exists(path)) {
        target.open();
        Sqlite3Cursor c = target.queryThrow(Sqlite3Sql("select filename from attachment"));
        while (c.moveNext())
            used.insert(target.attachmentLocalPath(c.getText(0)));
        if (target.queryThrow(Sqlite3Sql("select 1 from message limit 1")).moveNext())
            used.insert(path);
        target.close();
    }
    CreatedPaths::removeUnfinished(journal, folder.absolutePath(), [&](const QString &file) {
        if (used.contains(file))
            return true;
        if (file == path)
            removeDatabaseFiles(path);
        return false;
    });
}

void ExportMessagesDb::write(_MsgMessage *message)
{
    if (message)
        shownAsChosen([this, message] { store(*message); });
}

void ExportMessagesDb::store(_MsgMessage &m)
{
    if (m.item_type != 0 && !db->hasItemTypeColumn())
        return;
    if (!m.chat) {
        qDebug("IOS6RestoreMessagesThread skip message with empty chat.");
        return;
    }
    if (isUnknownChat(*m.chat)) {
        qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
        return;
    }
    const _MsgChat &chat = *m.chat;

    const qint64 chatRowid = chatRowidOrInsert(*db, chat);
    const qint64 handleRowid = m.handle ? joinedHandleRowid(*db, chatRowid, *m.handle) : 0;

    qint64 messageRowid = db->messageRowidByLogicHash(m);
    if (messageRowid == 0)
        messageRowid = db->messageRowidByGuid(m.guid);
    if (messageRowid == 0) {
        const qint64 otherRowid
            = m.otherHandle ? joinedHandleRowid(*db, chatRowid, *m.otherHandle) : 0;
        messageRowid = db->insertMessage(m, handleRowid, otherRowid, QString());
        db->addChatMessageJoin(chatRowid, messageRowid);
        db->updateChatLast(chatRowid, m.date);
    }

    if (chat.isGroup() && m.handle)
        db->setLastAddressedHandle(chatRowid, m.handle->id);

    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        copyAttachmentFile(*attachment);
        joinAttachment(*db, messageRowid, *attachment);
    }
    ++writtenCount;
}

void ExportMessagesDb::end()
{
    shownAsChosen([this] {
        db->endTransaction(true);
        db->close();
    });
    if (!staging.isEmpty())
        publish();
    created.forget();
    staging.clear();
    writerLock.unlock();
}

void ExportMessagesDb::publish()
{
    syncFolders(staging);
    // An empty folder under the name (made by hand, or left by an older version) gives
    // way; anything else that appeared there meanwhile stays, and the save fails.
    QString error;
    if (!durable::renameOver(staging, folder.absolutePath(), &error))
        fail(QStringLiteral("Cannot put the local database \"%1\" in place: %2")
                 .arg(folder.dirName(), error));
}

void ExportMessagesDb::copyAttachmentFile(const _MsgAttachment &attachment)
{
    if (attachment.localPath.isEmpty() || !QFileInfo(attachment.localPath).isFile())
        return;
    // The stored name comes from a phone: the mapping refuses what would leave the tree.
    const QString target = db->attachmentLocalPath(attachment.filename);
    if (target.isEmpty()) {
        qWarning("ExportMessagesDb skip attachment file outside file-relay: %s",
            qUtf8Printable(attachment.filename));
        return;
    }
    const QFileInfo targetInfo(target);
    if (targetInfo.exists() || targetInfo.isSymLink())
        return; // an earlier save copied it
    created.makeFolder(targetInfo.absolutePath());
    if (!created.copyFile(attachment.localPath, target))
        qWarning("ExportMessagesDb cannot read attachment file: %s",
            qUtf8Printable(attachment.localPath));
}
