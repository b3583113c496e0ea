// Writes the bytes of an SQLite file by hand, page by page: records, cells, b-tree pages and
// freelist trunks, well-formed or damaged on purpose.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

class SqliteImage
{
public:
    // A file of `pageCount` zeroed pages whose header stores the page size (65536 as 1).
    SqliteImage(int pageSize, int pageCount);
    explicit SqliteImage(const QByteArray &bytes);

    QByteArray &bytes() { return m_bytes; }
    int pageSize() const { return m_pageSize; }
    // Offset of a page's first byte in the file.
    int pageOffset(int page) const { return (page - 1) * m_pageSize; }

    void put8(int page, int offset, quint8 value);
    void put16(int page, int offset, quint16 value);
    void put32(int page, int offset, quint32 value);
    void putBytes(int page, int offset, const QByteArray &bytes);

    static QByteArray varint(quint64 value);
    // A record of the values (an invalid one, such as a rowid alias's, is null). Integers take
    // the smallest serial type, as SQLite writes them.
    static QByteArray record(const QVariantList &values);
    // A record of explicit serial types and body bytes.
    static QByteArray rawRecord(const QList<quint64> &types, const QByteArray &body);
    static QByteArray tableLeafCell(qint64 rowid, const QByteArray &payload);

    // A b-tree page whose cells are packed at its end in order; returns the cell offsets.
    QList<int> writeBtreePage(int page, int type, const QList<QByteArray> &cells,
        quint32 rightChild = 0);
    void setFreelist(quint32 firstTrunk, quint32 count);
    void writeTrunk(int page, quint32 next, const QList<quint32> &leaves, qint64 claimedCount = -1);
    // Points sqlite_master's first row at a table of the given root page.
    void setTableRoot(const QString &name, int rootPage, const QString &sql);

    bool save(const QString &path) const;

private:
    int m_pageSize;
    QByteArray m_bytes;
};
