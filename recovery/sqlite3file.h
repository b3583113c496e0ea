// Reads an SQLite 3 database file straight from a read-only map, without the engine: pages,
// freelist, cells and records, and the carving of records of a known table out of free space.
#pragma once

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVector>

#include <functional>
#include <vector>

// Readers of the mapped bytes. The unchecked ones trust the caller; every other one reads
// nothing at or past `end` (a null `end` means nothing is mapped).
quint16 readBigEndian16(const uchar *p);
quint32 readBigEndian32(const uchar *p);
quint64 readBigEndian64(const uchar *p);
// Stores the value of the varint at p and returns its length, or 0 when p is at or past the
// end or the varint is cut by it.
int readVarint(const uchar *p, const uchar *end, qint64 *value);
// The length of the varint that encodes a non-negative value.
int varintLength(quint64 value);
quint8 readByteBounded(const uchar *p, const uchar *end);
quint16 readU16Bounded(const uchar *p, const uchar *end);
quint32 readU32Bounded(const uchar *p, const uchar *end);
quint64 readU64Bounded(const uchar *p, const uchar *end);
// Copies up to n bytes, cut at the end; returns the number copied.
qint64 copyBounded(uchar *buffer, const uchar *p, qint64 n, const uchar *end);
QByteArray bytesBounded(const uchar *p, qint64 n, const uchar *end);

class Sqlite3File
{
public:
    struct Page
    {
        quint16 firstFreeblock = 0;
        // The end of the page's unallocated gap; a stored 0 reads as 65536 on 64 KiB pages.
        int cellContentStart = 0;
        quint8 type = 0;
        quint8 fragmentedBytes = 0;
        qint32 rightChild = 0;
        qint32 number = 0;
        const uchar *start = nullptr;
        const uchar *header = nullptr;
        QVector<const uchar *> cells;
        QVector<const uchar *> freeblocks;

        bool isBtreePage() const { return type == 2 || type == 5 || type == 10 || type == 13; }
        bool isIndex() const { return type & 2; }
        bool isLeaf() const { return type & 8; }
    };

    struct FreelistTrunk
    {
        qint32 number = 0;
        const uchar *start = nullptr;
        qint32 next = 0;
        QVector<qint32> leaves;
    };

    struct Cell
    {
        qint64 rowid = 0;
        qint64 payloadSize = 0;
        int localSize = 0;
        qint32 leftChild = 0;
        qint32 firstOverflow = 0;
        const uchar *payload = nullptr;
    };

    struct Row
    {
        qint64 rowid = 0; // 0 when a carved record's cell header is lost
        QVector<QVariant> values;
    };

    // Column 0 is the table's rowid column; the carver reads no serial type for it.
    using Template = QList<_SqliteCol>;
    using RowFilter = std::function<bool(const Row &)>;

    // A template with the serial types that each column takes worked out once, for callers
    // that carve many ranges with it. With `narrowest` below its size it also matches the
    // records of its first `narrowest` and more columns: rows written before a table gained
    // columns keep their narrower records.
    class CompiledTemplate
    {
    public:
        CompiledTemplate(const Template &columns);
        CompiledTemplate(const Template &columns, int narrowest);
        int size() const { return m_tests.size(); }
        int narrowest() const { return m_narrowest; }
        bool accepts(int column, qint64 type) const
        {
            const Column &t = m_tests.at(column);
            if (type == 0)
                return t.null;
            if (type < 0)
                return false;
            if (type <= 6 || type == 8 || type == 9)
                return t.integer;
            if (type == 7)
                return t.real;
            if (type == 10 || type == 11)
                return true;
            return (type & 1) ? t.text : t.blob;
        }

    private:
        struct Column
        {
            bool null = false;
            bool integer = false;
            bool real = false;
            bool blob = false;
            bool text = false;
        };
        QVector<Column> m_tests;
        int m_narrowest = 0;
    };

    explicit Sqlite3File(const QString &path);
    ~Sqlite3File();
    Sqlite3File(const Sqlite3File &) = delete;
    Sqlite3File &operator=(const Sqlite3File &) = delete;

    // Maps the file and returns its page size; throws "open %1 failed. %2",
    // "map %1 failed. %2" or "invalid page size.".
    int open();

    int pageSize() const { return m_pageSize; }
    qint64 fileSize() const { return m_size; }
    qint32 firstFreelistTrunk() const;
    qint32 freelistPageCount() const;
    // Whole pages in the file; a partial last page does not count.
    qint32 pageCount() const;
    const uchar *mapBegin() const { return m_begin; }
    const uchar *mapEnd() const { return m_end; }

    // A number outside 1..pageCount gives an all-zero page.
    Page readPage(qint32 number) const;
    FreelistTrunk readFreelistTrunk(qint32 number) const;
    // The leaf pages below the page (the page itself when it is a leaf), children in cell
    // order and the right-most child last. Pages marked in `visited` are not entered again,
    // and every page entered is marked; without it each walk keeps its own marks.
    QVector<Page> collectLeafPages(const Page &page, std::vector<bool> *visited = nullptr) const;
    QVector<Page> collectSubtreePages(
        const Page &page, std::vector<bool> *visited = nullptr) const;

    Cell parseCell(const Page &page, const uchar *cell) const;
    QByteArray cellPayload(const Cell &cell) const;
    Row rowData(const Cell &cell) const;

    // Searches [start, end) for records that fit the template. `skip` is the number of body
    // bytes column 0 takes (0 for a rowid alias).
    QList<Row> carveRange(const CompiledTemplate &columns, int skip, int usableSize,
        const uchar *start, const uchar *end, const RowFilter &filter) const;
    // Carves page `number` from `offset` to its end.
    QList<Row> carvePage(const CompiledTemplate &columns, int skip, qint32 number, int offset,
        const RowFilter &filter) const;
    // Carves a leaf page's unallocated gap and its freeblocks; any other page whole from 8.
    QList<Row> carveFreeSpace(const CompiledTemplate &columns, int skip, const Page &page,
        const RowFilter &filter) const;

private:
    const uchar *pageStart(qint32 number) const;
    const uchar *pageEnd(const uchar *start) const { return start + m_pageSize; }
    bool isPageNumber(qint64 number) const { return number >= 1 && number <= pageCount(); }
    QVector<Page> walk(const Page &page, bool leavesOnly, std::vector<bool> *visited) const;
    // Appends up to `remaining` payload bytes of the overflow chain from `first`, each page
    // giving usable - 4 bytes; stops at a page out of range, one seen before in this chain,
    // or when the file-wide budget of followed pages runs out.
    void appendOverflow(QByteArray &out, qint32 first, qint64 remaining, int usable,
        bool dropPageWithBadNext) const;
    qint64 recoverRowid(const uchar *types, qint64 headerSize, qint64 payloadSize,
        const uchar *rangeStart) const;

    QFile m_file;
    qint64 m_size = 0;
    uchar *m_map = nullptr;
    const uchar *m_begin = nullptr;
    const uchar *m_end = nullptr;
    int m_pageSize = 0;
    // Overflow pages that may still be followed: a damaged file can make many cells share
    // one long chain, and this keeps the work of a whole scan in proportion to the file.
    mutable qint64 m_overflowBudget = 0;
};
