#include "messages/ios6messagedb.h"

#include "recovery/deletedrowscan.h"
#include "recovery/rawrowconversion.h"

namespace {

class MessageScan : public KeepingRowScan<ExtMsgRecord>
{
public:
    MessageScan(IOS6MessageDb &db, MessageRecycleDb &store, const QList<_MsgChat *> &chats,
        ProgressForm *form)
        : KeepingRowScan(db, store, form)
        , m_db(db)
    {
        // A handle names its last one-to-one chat, else the first group chat that holds it.
        for (_MsgChat *chat : chats) {
            if (!chat)
                continue;
            for (const _MsgHandle *handle : qAsConst(chat->handles)) {
                if (!handle)
                    continue;
                if (!chat->isGroup())
                    m_chatOfHandle.insert(handle->rowid, chat);
                else if (!m_chatOfHandle.contains(handle->rowid))
                    m_chatOfHandle.insert(handle->rowid, chat);
            }
        }
    }

protected:
    QString table() const override { return QStringLiteral("message"); }
    QList<Sqlite3File::Template> templates() const override { return messageTemplatesIOS6(); }
    bool testsCancelBeforeTemplate() const override { return false; }
    bool acceptRow(const Sqlite3File::Row &row) override { return acceptRawMessageRowIOS6(row); }

    bool keep(const Sqlite3File::Row &row) override
    {
        ExtMsgRecord record;
        if (!rawMessageRowToRecordIOS6(row, record) || record.message.item_type != 0)
            return false;
        m_kept.append(record);
        return true;
    }

    void storeKept(int index, Pass pass) override
    {
        const ExtMsgRecord &r = m_kept.at(index);
        const _MsgMessage &m = r.message;
        if (m_store.findMessage(m) != 0)
            return;
        // Free pages and free space also hold stale copies of live rows (cells moved by a
        // rebalance, the old version of an updated row): their guid is still in use.
        if (m_db.hasTable(QStringLiteral("message")) && m_db.messageRowidByGuid(m.guid) != 0)
            return;
        QString chatIdentifier;
        QString handle;
        qint64 source = m.rowid;
        if (const _MsgChat *chat = m_chatOfHandle.value(m.handle_id)) {
            chatIdentifier = chat->chat_identifier;
            if (!chat->handles.isEmpty() && chat->handles.first())
                handle = chat->handles.first()->id;
            if (pass == FreeSpace)
                source = 0;
        } else {
            chatIdentifier = handle = m_store.handleBySrcRowid(m.handle_id).id;
        }
        m_store.insertMessage(m, chatIdentifier, handle, source);
    }

private:
    IOS6MessageDb &m_db;
    QHash<qint64, _MsgChat *> m_chatOfHandle;
};

struct KeptHandle
{
    _MsgHandle handle;
    _MsgHandle stored; // as the live table holds it
};

class HandleScan : public KeepingRowScan<KeptHandle>
{
public:
    HandleScan(IOS6MessageDb &db, MessageRecycleDb &store, ProgressForm *form)
        : KeepingRowScan(db, store, form)
        , m_db(db)
    {
    }

protected:
    QString table() const override { return QStringLiteral("handle"); }
    QList<Sqlite3File::Template> templates() const override { return { handleTemplateIOS6() }; }
    bool acceptRow(const Sqlite3File::Row &row) override { return acceptRawHandleRowIOS6(row); }

    bool keep(const Sqlite3File::Row &row) override
    {
        KeptHandle kept;
        if (!m_db.rawHandleRowToRecordIOS6(row, kept.handle))
            return false;
        // The live table holds the address as the phone wrote it, before normalisation.
        kept.stored.id = row.values.at(1).toString();
        kept.stored.service = row.values.at(3).toString();
        m_kept.append(kept);
        return true;
    }

    void storeKept(int index, Pass) override
    {
        const KeptHandle &k = m_kept.at(index);
        if ((m_db.hasTable(QStringLiteral("handle")) && m_db.handleRowid(k.stored) != 0)
            || m_store.findHandle(k.handle) != 0)
            return;
        m_store.insertHandle(k.handle, k.handle.rowid);
    }

private:
    IOS6MessageDb &m_db;
};

} // namespace

void IOS6MessageDb::scanDeletedMessages(const QList<_MsgChat *> &chats, ProgressForm *form)
{
    MessageScan scan(*this, recycle, chats, form);
    scan.run(QString(dbPath));
}

void IOS6MessageDb::scanDeletedHandles(ProgressForm *form)
{
    HandleScan scan(*this, recycle, form);
    scan.run(QString(dbPath));
}

bool IOS6MessageDb::rawHandleRowToRecordIOS6(const Sqlite3File::Row &row, _MsgHandle &handle)
{
    return ::rawHandleRowToRecordIOS6(row, handle, country);
}

void IOS6MessageDb::dropLiveFromRecycled(QSharedPointer<MsgMessageSet> &set)
{
    open();
    const QList<ExtMsgRecord> stored = recycle.loadMessages();
    // One pass that copies what stays: removing in place would cost a shift per removal.
    QList<ExtMsgRecord> deleted;
    deleted.reserve(stored.size());
    for (const ExtMsgRecord &r : stored) {
        if (messageRowidByGuid(r.message.guid) == 0)
            deleted.append(r);
    }
    if (!set)
        MsgMessageSet::create(set);
    MessageRecycleDb::buildChats(set, deleted);
}
