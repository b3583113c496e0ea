#include "messages/ios5messagedb.h"

#include "recovery/deletedrowscan.h"
#include "recovery/rawrowconversion.h"

#include <QDateTime>
#include <QSet>

namespace {

// What tells a message row apart without its rowid: the guid of an iMessage, else the
// address, date and text of an SMS.
QString liveKey(bool iMessage, const QString &guid, const QString &address, qint64 date,
    const QString &text)
{
    if (iMessage && !guid.isEmpty())
        return QLatin1Char('g') + guid;
    // One call: a chained arg() would fill a place marker inside the address.
    return QStringLiteral("s%1\x1f%2\x1f%3").arg(address, QString::number(date), text);
}

struct KeptMessage
{
    ExtMsgRecord record;
    QString key;
};

class MessageScan : public KeepingRowScan<KeptMessage>
{
public:
    MessageScan(IOS5MessageDb &db, MessageRecycleDb &store, ProgressForm *form)
        : KeepingRowScan(db, store, form)
        , m_db(db)
    {
    }

protected:
    QString table() const override { return QStringLiteral("message"); }
    QList<Sqlite3File::Template> templates() const override { return messageTemplatesIOS5(); }
    bool stopsWhenTemplateExplainsPage() const override { return true; }

    // The filter alone lets rows of nulls and stray bytes through, and a carved row's bytes
    // are not searched again: such a row could hide a real one behind it. Only rows that
    // convert are taken.
    bool acceptRow(const Sqlite3File::Row &row) override
    {
        ExtMsgRecord scratch;
        return acceptRawMessageRowIOS5(row)
            && m_db.rawMessageRowToRecordIOS5(row, scratch, QDateTime::currentSecsSinceEpoch());
    }

    bool keep(const Sqlite3File::Row &row) override
    {
        KeptMessage kept;
        if (!m_db.rawMessageRowToRecordIOS5(row, kept.record, QDateTime::currentSecsSinceEpoch()))
            return false;
        const QVector<QVariant> &v = row.values;
        const bool iMessage = v.size() > 32 && v.at(29).toLongLong() == 1;
        kept.key = liveKey(iMessage, iMessage ? v.at(20).toString() : QString(),
            v.at(1).toString(), v.at(2).toLongLong(), v.at(3).toString());
        m_kept.append(kept);
        return true;
    }

    void storeKept(int index, Pass) override
    {
        const KeptMessage &k = m_kept.at(index);
        if (isLive(k.key) || m_store.findMessage(k.record.message) != 0)
            return;
        m_store.insertMessage(
            k.record.message, k.record.chat_identifier, k.record.handle, k.record.message.rowid);
    }

private:
    // Free pages and free space also hold stale copies of live rows (cells moved by a
    // rebalance, the old version of an updated row). The live keys are read once, when the
    // first candidate needs them.
    bool isLive(const QString &key)
    {
        if (!m_liveLoaded && m_db.hasTable(QStringLiteral("message"))) {
            m_liveLoaded = true;
            Sqlite3Cursor c = m_db.queryThrow(Sqlite3Sql("select * from message"));
            while (c.moveNext()) {
                m_liveKeys.insert(liveKey(c.getInt64(QStringLiteral("is_madrid")) == 1,
                    c.getText(QStringLiteral("madrid_guid")), c.getText(QStringLiteral("address")),
                    c.getInt64(QStringLiteral("date")), c.getText(QStringLiteral("text"))));
            }
        }
        return m_liveKeys.contains(key);
    }

    IOS5MessageDb &m_db;
    QSet<QString> m_liveKeys;
    bool m_liveLoaded = false;
};

} // namespace

void IOS5MessageDb::scanDeletedMessages(ProgressForm *form)
{
    MessageScan scan(*this, recycle, form);
    scan.run(QString(dbPath));
}

bool IOS5MessageDb::rawMessageRowToRecordIOS5(
    const Sqlite3File::Row &row, ExtMsgRecord &record, qint64 nowUnix)
{
    return ::rawMessageRowToRecordIOS5(row, record, country, nowUnix);
}
