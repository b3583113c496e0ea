// Builds device-shaped sms.db files whose deleted rows stay in the file (secure_delete off,
// no vacuum, rollback journal), and keeps the truth: which rows live and which were deleted.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class Sqlite3DB;

class CarvableSmsDb
{
public:
    enum Layout {
        Ios5, // the 33 columns of the iOS 5 message table
        Ios5Reordered, // the same columns with madrid_account_guid after madrid_account
        Ios6, // the 38 columns of iOS 6
        Ios8, // 51 columns
        Later // 51 columns and 40 more, times in nanoseconds
    };

    struct Message
    {
        qint64 rowid = 0;
        QString guid; // iOS 6+, and iOS 5 iMessages
        QString text;
        qint32 date = 0; // seconds since 2001; stored in the layout's unit
        qint64 handle = 0; // iOS 6+: handle rowid
        QString address; // iOS 5: the SMS address or the iMessage handle
        bool fromMe = false;
        QString service = QStringLiteral("SMS");
        qint32 itemType = 0; // Ios8 and Later
        bool longExtras = false; // Later: long texts in the added columns
        QByteArray head; // the part of its record that SQLite keeps in the cell
        int columns = 0; // of its record, as the table had when the row was written
    };

    struct Handle
    {
        qint64 rowid = 0;
        QString id;
        QString service = QStringLiteral("SMS");
        QString country = QStringLiteral("us");
    };

    CarvableSmsDb(const QString &dataFolder, Layout layout, int pageSize = 4096);
    ~CarvableSmsDb();

    static QString smsDbPath(const QString &dataFolder);
    QString path() const;
    Layout layout() const { return m_layout; }
    bool isIos5() const { return m_layout == Ios5 || m_layout == Ios5Reordered; }
    Sqlite3DB &db();
    // Closes the connection; the next call reopens it.
    void close();

    // A text of `length` characters made from the seed; equal seeds give equal texts.
    static QString text(quint32 seed, int length);
    // A message of the layout with a unique guid, date and text drawn from `n`.
    Message makeMessage(int n, int textLength, qint64 handle = 0) const;

    qint64 addHandle(Handle handle);
    qint64 addChat(const QString &identifier, const QList<qint64> &handles,
        const QString &service = QStringLiteral("SMS"));
    qint64 addMessage(Message message);
    // Adds messages made from n = first .. first + count - 1, in one transaction.
    QList<qint64> addMessages(int first, int count, int textLength, qint64 handle = 0);

    void deleteMessages(const QList<qint64> &rowids);
    void deleteHandles(const QList<qint64> &rowids);
    // Rewrites the rows with another read flag: the old versions stay in free space, yet
    // the rows live on.
    void touchMessages(const QList<qint64> &rowids);

    // The message table's columns; iOS 6 and later layouts gain more, as a phone's update
    // adds them (those of iOS 8, then extra ones): rows written before keep their records.
    int messageColumns() const;
    void addMessageColumns(int count);

    const QMap<qint64, Message> &liveMessages() const { return m_live; }
    const QMap<qint64, Message> &deletedMessages() const { return m_deleted; }
    const QMap<qint64, Handle> &liveHandles() const { return m_liveHandles; }
    const QMap<qint64, Handle> &deletedHandles() const { return m_deletedHandles; }

    int freelistCount();
    // Whether each message remembers the head of its record (one more query per row).
    void setKeepRecordHeads(bool keep) { m_keepHeads = keep; }
    // Frees about `pages` pages by dropping a scratch table. The first page freed into an
    // empty freelist becomes its trunk and is overwritten by the leaf list; with a trunk in
    // place the pages of deleted rows keep their content.
    void primeFreelist(int pages);

private:
    void ensureOpen();
    void execute(const QString &sql);
    QByteArray recordHead(qint64 rowid);

    QString m_dataFolder;
    Layout m_layout;
    int m_pageSize;
    bool m_keepHeads = true;
    QStringList m_addedColumns; // names of the message columns after the 38 of iOS 6
    std::unique_ptr<Sqlite3DB> m_db;
    QMap<qint64, Message> m_live;
    QMap<qint64, Message> m_deleted;
    QMap<qint64, Handle> m_liveHandles;
    QMap<qint64, Handle> m_deletedHandles;
};
