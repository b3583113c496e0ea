#include "operations/exportmessagesdb.h"

#include "operations/databasecopy.h"
#include "operations/messagerows.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QtDebug>

namespace {

// Beside the database's "file-relay" folder while a save runs: what the save has made.
const char kJournalName[] = ".unfinished-save";

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

ExportMessagesDb::ExportMessagesDb(const QDir &folder, const QString &countryCode)
    : db(folder, countryCode, true)
{
}

ExportMessagesDb::~ExportMessagesDb()
{
    rollback();
}

void ExportMessagesDb::rollback()
{
    try {
        db.endTransaction(false);
    } catch (const std::exception &e) {
        qWarning("ExportMessagesDb rollback failed: %s", e.what());
    }
    db.close();
    created.removeAll();
}

void ExportMessagesDb::begin()
{
    removeUnfinishedSave();
    const QString path = db.smsDbPath();
    created.makeFolder(db.dataFolder().absolutePath());
    created.writeJournal(journalPath());
    created.makeFolder(QFileInfo(path).absolutePath());
    if (!QFileInfo::exists(path))
        created.addFile(path);
    db.beginTransaction();
    writtenCount = 0;
}

QString ExportMessagesDb::journalPath() const
{
    return db.dataFolder().absoluteFilePath(QLatin1String(kJournalName));
}

void ExportMessagesDb::removeUnfinishedSave()
{
    const QString journal = journalPath();
    if (!QFileInfo::exists(journal))
        return;
    // The killed save's rows are gone unless it committed: what its rows do not use is left
    // over, and a database file it made stays only with messages in it.
    const QString path = absoluteClean(db.smsDbPath());
    QSet<QString> used;
    if (QFileInfo::exists(path)) {
        db.open();
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select filename from attachment"));
        while (c.moveNext())
            used.insert(db.attachmentLocalPath(c.getText(0)));
        if (db.queryThrow(Sqlite3Sql("select 1 from message limit 1")).moveNext())
            used.insert(path);
        db.close();
    }
    CreatedPaths::removeUnfinished(journal, [&](const QString &file) {
        if (used.contains(file))
            return true;
        if (file == path) {
            removeDatabaseFiles(path);
            // The layout is written into a temporary file beside the database first.
            const QRegularExpression creating(
                QStringLiteral("^%1\\.[A-Za-z0-9]{6}(-journal|-wal|-shm)?$")
                    .arg(QRegularExpression::escape(QFileInfo(path).fileName())));
            const QDir folder = QFileInfo(path).absoluteDir();
            for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
                if (creating.match(name).hasMatch())
                    QFile::remove(folder.filePath(name));
            }
        }
        return false;
    });
}

void ExportMessagesDb::write(_MsgMessage *message)
{
    if (!message)
        return;
    _MsgMessage &m = *message;
    if (m.item_type != 0 && !db.hasItemTypeColumn())
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

    const qint64 chatRowid = chatRowidOrInsert(db, chat);
    const qint64 handleRowid = m.handle ? joinedHandleRowid(db, chatRowid, *m.handle) : 0;

    qint64 messageRowid = db.messageRowidByLogicHash(m);
    if (messageRowid == 0)
        messageRowid = db.messageRowidByGuid(m.guid);
    if (messageRowid == 0) {
        const qint64 otherRowid
            = m.otherHandle ? joinedHandleRowid(db, chatRowid, *m.otherHandle) : 0;
        messageRowid = db.insertMessage(m, handleRowid, otherRowid, QString());
        db.addChatMessageJoin(chatRowid, messageRowid);
        db.updateChatLast(chatRowid, m.date);
    }

    if (chat.isGroup() && m.handle)
        db.setLastAddressedHandle(chatRowid, m.handle->id);

    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        copyAttachmentFile(*attachment);
        joinAttachment(db, messageRowid, *attachment);
    }
    ++writtenCount;
}

void ExportMessagesDb::end()
{
    db.endTransaction(true);
    db.close();
    created.forget();
}

void ExportMessagesDb::copyAttachmentFile(const _MsgAttachment &attachment)
{
    if (attachment.localPath.isEmpty() || !QFileInfo(attachment.localPath).isFile())
        return;
    // The stored name comes from a phone: the mapping refuses what would leave the tree.
    const QString target = db.attachmentLocalPath(attachment.filename);
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
