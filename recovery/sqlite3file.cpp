#include "recovery/sqlite3file.h"

#include <QSet>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// SQLite refuses tables wider than this, so a longer record header is damage.
constexpr int MaxColumns = 32767;

void throwText(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

qint64 contentSize(qint64 type)
{
    static const qint64 sizes[12] = { 0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0 };
    if (type < 0)
        return 0;
    if (type < 12)
        return sizes[type];
    return (type - 12) / 2;
}

// Signed big-endian integer of 1 to 8 bytes.
qint64 signedBigEndian(const uchar *p, int n)
{
    quint64 v = (p[0] & 0x80) ? ~quint64(0) : 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return qint64(v);
}

int tableMaxLocal(int usable)
{
    return usable - 35;
}

int indexMaxLocal(int usable)
{
    return (usable - 12) * 64 / 255 - 23;
}

int minLocal(int usable)
{
    return (usable - 12) * 32 / 255 - 23;
}

// The number of payload bytes that stay in the cell, by SQLite's rule.
qint64 localPayload(qint64 payload, int usable, int maxLocal)
{
    if (payload <= maxLocal)
        return payload;
    const qint64 m = minLocal(usable);
    const qint64 k = m + (payload - m) % (usable - 4);
    return k <= maxLocal ? k : m;
}

// Appends one value per serial type, each read from [pos, end) and cut at the end.
void decodeValues(
    const qint64 *types, int count, const uchar *pos, const uchar *end, QVector<QVariant> &out)
{
    for (int i = 0; i < count; ++i) {
        const qint64 t = types[i];
        const qint64 avail = end - pos;
        if (t >= 1 && t <= 7) {
            const int n = int(contentSize(t));
            if (avail < n) {
                out.append(t == 7 ? QVariant(0.0) : (t >= 5 ? QVariant(qint64(0)) : QVariant(0)));
                pos = end;
                continue;
            }
            if (t == 7) {
                const quint64 bits = readBigEndian64(pos);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                out.append(d);
            } else if (t >= 5) {
                out.append(qint64(signedBigEndian(pos, n)));
            } else {
                out.append(int(signedBigEndian(pos, n)));
            }
            pos += n;
        } else if (t == 8 || t == 9) {
            out.append(int(t - 8));
        } else if (t >= 12) {
            const qint64 n = std::min(contentSize(t), avail);
            if (t & 1) {
                const void *zero = std::memchr(pos, 0, size_t(n));
                const qint64 textLength = zero ? static_cast<const uchar *>(zero) - pos : n;
                out.append(QString::fromUtf8(reinterpret_cast<const char *>(pos), int(textLength)));
            } else {
                out.append(QByteArray(reinterpret_cast<const char *>(pos), int(n)));
            }
            pos += n;
        } else {
            out.append(QVariant());
        }
    }
}

// The size of a carved record's header: its own size varint, the rowid alias's type and
// `typeBytes` bytes of serial types.
qint64 recordHeaderSize(qint64 typeBytes)
{
    qint64 headerSize = typeBytes + 2;
    while (varintLength(quint64(headerSize)) != headerSize - typeBytes - 1)
        ++headerSize;
    return headerSize;
}

// Whether the bytes in front of the serial types at `types` are the null type of the rowid
// alias and, before it, the header-size varint holding exactly `headerSize`.
bool headerSizeStoredBefore(const uchar *types, qint64 headerSize, const uchar *rangeStart)
{
    const uchar *rowidType = types - 1;
    if (types <= rangeStart || *rowidType != 0)
        return false;
    const int headerLength = varintLength(quint64(headerSize));
    if (rowidType - rangeStart < headerLength)
        return false;
    qint64 value = 0;
    return readVarint(rowidType - headerLength, rowidType, &value) == headerLength
        && value == headerSize;
}

} // namespace

quint16 readBigEndian16(const uchar *p)
{
    return quint16((p[0] << 8) | p[1]);
}

quint32 readBigEndian32(const uchar *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

quint64 readBigEndian64(const uchar *p)
{
    return (quint64(readBigEndian32(p)) << 32) | readBigEndian32(p + 4);
}

int readVarint(const uchar *p, const uchar *end, qint64 *value)
{
    if (!p || !end || p >= end)
        return 0;
    if (*p < 0x80) {
        *value = *p;
        return 1;
    }
    quint64 v = 0;
    for (int i = 0; i < 9; ++i) {
        if (p + i >= end)
            return 0;
        const uchar b = p[i];
        if (i == 8) {
            v = (v << 8) | b;
            *value = qint64(v);
            return 9;
        }
        v = (v << 7) | (b & 0x7f);
        if (!(b & 0x80)) {
            *value = qint64(v);
            return i + 1;
        }
    }
    return 0;
}

int varintLength(quint64 value)
{
    int length = 1;
    while (length < 9 && value >= (quint64(1) << (7 * length)))
        ++length;
    return length;
}

quint8 readByteBounded(const uchar *p, const uchar *end)
{
    return (p && end && p < end) ? *p : 0;
}

quint16 readU16Bounded(const uchar *p, const uchar *end)
{
    return (p && end && p < end && end - p >= 2) ? readBigEndian16(p) : 0;
}

quint32 readU32Bounded(const uchar *p, const uchar *end)
{
    return (p && end && p < end && end - p >= 4) ? readBigEndian32(p) : 0;
}

quint64 readU64Bounded(const uchar *p, const uchar *end)
{
    return (p && end && p < end && end - p >= 8) ? readBigEndian64(p) : 0;
}

qint64 copyBounded(uchar *buffer, const uchar *p, qint64 n, const uchar *end)
{
    if (!p || !end || p >= end || n <= 0)
        return 0;
    const qint64 count = std::min<qint64>(n, end - p);
    std::memcpy(buffer, p, size_t(count));
    return count;
}

QByteArray bytesBounded(const uchar *p, qint64 n, const uchar *end)
{
    if (!p || !end || p >= end || n <= 0)
        return QByteArray();
    const qint64 count = std::min<qint64>({ n, end - p, qint64(std::numeric_limits<int>::max()) });
    return QByteArray(reinterpret_cast<const char *>(p), int(count));
}

Sqlite3File::CompiledTemplate::CompiledTemplate(const Template &columns)
    : CompiledTemplate(columns, columns.size())
{
}

Sqlite3File::CompiledTemplate::CompiledTemplate(const Template &columns, int narrowest)
    : m_narrowest(std::min(int(columns.size()), std::max(2, narrowest)))
{
    m_tests.reserve(columns.size());
    for (const _SqliteCol &col : columns) {
        Column t;
        t.null = !col.notNull && !col.hasDefault && !col.primaryKey;
        t.integer = col.isInteger() || col.isNumeric();
        t.real = col.isReal() || col.isNumeric();
        t.blob = col.isBlob();
        t.text = col.isText();
        m_tests.append(t);
    }
}

Sqlite3File::Sqlite3File(const QString &path)
    : m_file(path)
{
}

Sqlite3File::~Sqlite3File()
{
    if (m_map)
        m_file.unmap(m_map);
}

int Sqlite3File::open()
{
    if (!m_file.open(QIODevice::ReadOnly))
        throwText(QStringLiteral("open %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    m_size = m_file.size();
    // An empty file cannot be mapped; it has no page size either.
    if (m_size < 18)
        throwText(QStringLiteral("invalid page size."));
    m_map = m_file.map(0, m_size);
    if (!m_map)
        throwText(QStringLiteral("map %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    m_begin = m_map;
    m_end = m_map + m_size;

    // The format stores 65536 as 1.
    const int stored = readU16Bounded(m_begin + 16, m_end);
    const int size = stored == 1 ? 65536 : stored;
    if (size < 512 || size > 65536 || (size & (size - 1)) != 0) {
        m_file.unmap(m_map);
        m_map = nullptr;
        m_begin = m_end = nullptr;
        throwText(QStringLiteral("invalid page size."));
    }
    m_pageSize = size;
    m_overflowBudget = 8 * qint64(pageCount()) + 1024;
    return m_pageSize;
}

qint32 Sqlite3File::firstFreelistTrunk() const
{
    return qint32(readU32Bounded(m_begin ? m_begin + 32 : nullptr, m_end));
}

qint32 Sqlite3File::freelistPageCount() const
{
    return qint32(readU32Bounded(m_begin ? m_begin + 36 : nullptr, m_end));
}

qint32 Sqlite3File::pageCount() const
{
    if (m_pageSize <= 0)
        return 0;
    return qint32(std::min<qint64>(m_size / m_pageSize, std::numeric_limits<qint32>::max()));
}

const uchar *Sqlite3File::pageStart(qint32 number) const
{
    return m_begin + qint64(number - 1) * m_pageSize;
}

Sqlite3File::Page Sqlite3File::readPage(qint32 number) const
{
    Page page;
    if (!isPageNumber(number))
        return page;
    const uchar *start = pageStart(number);
    const uchar *end = pageEnd(start);
    const int headerOffset = number == 1 ? 100 : 0;
    page.number = number;
    page.start = start;
    page.header = start + headerOffset;
    page.type = page.header[0];
    const int kind = page.type & ~8;
    if (kind != 2 && kind != 5)
        return page;

    const uchar *h = page.header;
    page.firstFreeblock = readU16Bounded(h + 1, end);
    int cellCount = readU16Bounded(h + 3, end);
    const int content = readU16Bounded(h + 5, end);
    page.cellContentStart = (content == 0 && m_pageSize == 65536) ? 65536 : content;
    page.fragmentedBytes = readByteBounded(h + 7, end);
    const int headerSize = page.isLeaf() ? 8 : 12;
    if (!page.isLeaf())
        page.rightChild = qint32(readU32Bounded(h + 8, end));

    // The cell-pointer array must fit in the page, and each cell must lie after the header.
    const int headerEnd = headerOffset + headerSize;
    cellCount = std::min(cellCount, (m_pageSize - headerEnd) / 2);
    page.cells.reserve(cellCount);
    for (int i = 0; i < cellCount; ++i) {
        const int offset = readBigEndian16(start + headerEnd + 2 * i);
        if (offset >= headerEnd && offset < m_pageSize)
            page.cells.append(start + offset);
    }

    // SQLite keeps freeblocks in ascending order; requiring it also ends a looping chain.
    int offset = page.firstFreeblock;
    int previous = 0;
    while (offset > previous && offset >= headerEnd && offset + 4 <= m_pageSize) {
        page.freeblocks.append(start + offset);
        previous = offset;
        offset = readBigEndian16(start + offset);
    }
    return page;
}

Sqlite3File::FreelistTrunk Sqlite3File::readFreelistTrunk(qint32 number) const
{
    FreelistTrunk trunk;
    if (!isPageNumber(number))
        return trunk;
    const uchar *start = pageStart(number);
    trunk.number = number;
    trunk.start = start;
    trunk.next = qint32(readBigEndian32(start));
    const qint64 count
        = std::min<qint64>(qint32(readBigEndian32(start + 4)), m_pageSize / 4 - 2);
    for (qint64 i = 0; i < count; ++i) {
        const qint32 leaf = qint32(readBigEndian32(start + 8 + 4 * i));
        if (isPageNumber(leaf))
            trunk.leaves.append(leaf);
    }
    return trunk;
}

QVector<Sqlite3File::Page> Sqlite3File::walk(
    const Page &root, bool leavesOnly, std::vector<bool> *visited) const
{
    QVector<Page> out;
    std::vector<bool> own;
    std::vector<bool> &seen = visited ? *visited : own;
    if (seen.size() < size_t(pageCount()) + 1)
        seen.resize(size_t(pageCount()) + 1, false);
    if (isPageNumber(root.number)) {
        if (seen[root.number])
            return out;
        seen[root.number] = true;
    }

    // Depth first with an explicit stack, so that a deep or cyclic tree cannot exhaust the
    // call stack; children are pushed in reverse to come off in order.
    std::vector<Page> stack { root };
    QVector<qint32> children;
    while (!stack.empty()) {
        const Page page = std::move(stack.back());
        stack.pop_back();
        if (!leavesOnly || page.isLeaf())
            out.append(page);
        if (page.isLeaf() || !page.isBtreePage() || !page.start)
            continue;
        children.clear();
        const uchar *end = pageEnd(page.start);
        for (const uchar *cell : page.cells)
            children.append(qint32(readU32Bounded(cell, end)));
        children.append(page.rightChild);
        for (int i = children.size() - 1; i >= 0; --i) {
            const qint32 child = children.at(i);
            if (!isPageNumber(child) || seen[child])
                continue;
            seen[child] = true;
            stack.push_back(readPage(child));
        }
    }
    return out;
}

QVector<Sqlite3File::Page> Sqlite3File::collectLeafPages(
    const Page &page, std::vector<bool> *visited) const
{
    return walk(page, true, visited);
}

QVector<Sqlite3File::Page> Sqlite3File::collectSubtreePages(
    const Page &page, std::vector<bool> *visited) const
{
    return walk(page, false, visited);
}

Sqlite3File::Cell Sqlite3File::parseCell(const Page &page, const uchar *cellAddress) const
{
    Cell cell;
    if (!page.start || !page.isBtreePage() || !cellAddress || cellAddress < page.start
        || cellAddress >= pageEnd(page.start))
        return cell;
    const uchar *end = pageEnd(page.start);
    const uchar *p = cellAddress;
    if (!page.isLeaf()) {
        if (end - p < 4)
            return cell;
        cell.leftChild = qint32(readBigEndian32(p));
        p += 4;
    }
    qint64 value = 0;
    int length = 0;
    if (page.type == 5) {
        length = readVarint(p, end, &value);
        cell.rowid = length ? value : 0;
        cell.payload = p + length;
        return cell;
    }
    length = readVarint(p, end, &value);
    if (!length)
        return cell;
    p += length;
    cell.payloadSize = value;
    if (!page.isIndex()) {
        length = readVarint(p, end, &value);
        if (length) {
            cell.rowid = value;
            p += length;
        }
    }
    cell.payload = p;
    if (cell.payloadSize <= 0)
        return cell;

    const int maxLocal = page.isIndex() ? indexMaxLocal(m_pageSize) : tableMaxLocal(m_pageSize);
    const qint64 local = localPayload(cell.payloadSize, m_pageSize, maxLocal);
    if (cell.payloadSize > maxLocal)
        cell.firstOverflow = qint32(readU32Bounded(p + std::min<qint64>(local, end - p), end));
    // The local part never reaches past its page.
    cell.localSize = int(std::min<qint64>(local, end - p));
    return cell;
}

void Sqlite3File::appendOverflow(
    QByteArray &out, qint32 first, qint64 remaining, int usable, bool dropPageWithBadNext) const
{
    const int perPage = std::min(usable, m_pageSize) - 4;
    if (perPage <= 0)
        return;
    // No chain of this file can carry more than its pages hold.
    remaining = std::min<qint64>(remaining, qint64(pageCount()) * perPage);
    // Chains are short; a set of their own keeps many cells with chains cheap.
    QSet<qint32> seen;
    qint32 number = first;
    while (remaining > 0 && isPageNumber(number) && m_overflowBudget > 0) {
        if (seen.contains(number))
            break;
        seen.insert(number);
        --m_overflowBudget;
        const uchar *start = pageStart(number);
        const quint32 next = readBigEndian32(start);
        if (dropPageWithBadNext && next > quint32(pageCount()))
            break;
        const int take = int(std::min<qint64>(remaining, perPage));
        out.append(reinterpret_cast<const char *>(start + 4), take);
        remaining -= take;
        if (next <= 1)
            break;
        number = qint32(next);
    }
}

QByteArray Sqlite3File::cellPayload(const Cell &cell) const
{
    if (cell.payloadSize <= 0 || !cell.payload)
        return QByteArray();
    QByteArray out = bytesBounded(cell.payload, cell.localSize, m_end);
    const qint64 remaining = cell.payloadSize - cell.localSize;
    if (cell.firstOverflow > 1 && remaining > 0)
        appendOverflow(out, cell.firstOverflow, remaining, m_pageSize, false);
    return out;
}

Sqlite3File::Row Sqlite3File::rowData(const Cell &cell) const
{
    Row row;
    row.rowid = cell.rowid;
    const QByteArray payload = cellPayload(cell);
    const uchar *begin = reinterpret_cast<const uchar *>(payload.constData());
    const uchar *end = begin + payload.size();
    qint64 headerSize = 0;
    const int length = readVarint(begin, end, &headerSize);
    if (!length) {
        qWarning("Sqlite3File::rowData, read header length failed.");
        return row;
    }
    std::vector<qint64> types;
    const uchar *pos = begin + length;
    while (pos - begin < headerSize) {
        qint64 type = 0;
        const int n = readVarint(pos, end, &type);
        if (!n || types.size() >= size_t(MaxColumns)) {
            qWarning("Sqlite3File::rowData, read column type failed.");
            return row;
        }
        types.push_back(type);
        pos += n;
    }
    const uchar *body = begin + std::max<qint64>(headerSize, length);
    row.values.reserve(int(types.size()));
    decodeValues(types.data(), int(types.size()), std::min(body, end), end, row.values);
    return row;
}

// The cell header of a carved record, when it survives in front of the serial types at
// `types`: payload size and rowid varints, the header-size varint and the null type of the
// rowid alias. Only an exact fit counts; anything else leaves the rowid unknown.
qint64 Sqlite3File::recoverRowid(
    const uchar *types, qint64 headerSize, qint64 payloadSize, const uchar *rangeStart) const
{
    if (!headerSizeStoredBefore(types, headerSize, rangeStart))
        return 0;
    const uchar *headerAt = types - 1 - varintLength(quint64(headerSize));
    for (int rowidLength = 1; rowidLength <= 9; ++rowidLength) {
        if (headerAt - rangeStart < rowidLength)
            break;
        const uchar *rowidAt = headerAt - rowidLength;
        qint64 rowid = 0;
        if (readVarint(rowidAt, headerAt, &rowid) != rowidLength || rowid <= 0)
            continue;
        for (int sizeLength = 1; sizeLength <= 9; ++sizeLength) {
            if (rowidAt - rangeStart < sizeLength)
                break;
            qint64 size = 0;
            if (readVarint(rowidAt - sizeLength, rowidAt, &size) == sizeLength
                && size == payloadSize)
                return rowid;
        }
    }
    return 0;
}

QList<Sqlite3File::Row> Sqlite3File::carveRange(const CompiledTemplate &columns, int skip,
    int usableSize, const uchar *start, const uchar *end, const RowFilter &filter) const
{
    QList<Row> rows;
    const int n = columns.size();
    if (!start || !end || start >= end || !m_begin || start < m_begin || end > m_end)
        return rows;
    if (n < 2) {
        for (const uchar *c = start; c < end; ++c)
            qWarning("tbCols size < 2.");
        return rows;
    }
    const int usable = usableSize;
    if (usable < 512 || skip < 0)
        return rows;
    const int maxLocal = tableMaxLocal(usable);
    // No record of this file has a longer body than its pages can hold.
    const qint64 maxBody = qint64(pageCount()) * (usable - 4) + usable;
    const int narrowest = columns.narrowest();
    // Per column i: its serial type, where the types up to it end, and the body they make.
    std::vector<qint64> types(size_t(n), 0);
    std::vector<const uchar *> typesEnd(size_t(n), nullptr);
    std::vector<qint64> bodies(size_t(n), 0);

    // The record of the first `width` columns whose types start at c, when the filter takes
    // it; `occupied` is then what it takes after its types.
    auto carveAt = [&](const uchar *c, int width, Row &row, qint64 &occupied) {
        const uchar *pos = typesEnd[size_t(width - 1)];
        const qint64 body = bodies[size_t(width - 1)];
        const qint64 headerSize = recordHeaderSize(pos - c);
        const qint64 payload = headerSize + body;
        qint64 localBody = body;
        qint32 overflow = 0;
        if (payload > maxLocal) {
            localBody = localPayload(payload, usable, maxLocal) - headerSize;
            if (localBody < 0 || end - pos < localBody + 4)
                return false;
            overflow = qint32(readBigEndian32(pos + localBody));
            if (!isPageNumber(overflow))
                return false;
        }

        // A deleted record lies whole in its free space; one that runs past it has been
        // partly overwritten, and its tail belongs to something else.
        if (end - pos < localBody)
            return false;
        QByteArray bytes = bytesBounded(pos, localBody, end);
        if (overflow > 1)
            appendOverflow(bytes, overflow, body - bytes.size(), usable, true);

        row = Row();
        if (skip == 0)
            row.rowid = recoverRowid(c, headerSize, payload, start);
        const uchar *b = reinterpret_cast<const uchar *>(bytes.constData());
        const uchar *bEnd = b + bytes.size();
        row.values.reserve(width);
        if (skip == 0) {
            row.values.append(QVariant());
        } else {
            const qint64 taken = std::min<qint64>(skip, bytes.size());
            row.values.append(QByteArray(bytes.constData(), int(taken)));
            b += taken;
        }
        decodeValues(types.data() + 1, width - 1, b, bEnd, row.values);
        if (filter && !filter(row))
            return false;
        occupied = localBody + (overflow ? 4 : 0);
        return true;
    };

    const uchar *c = start;
    while (c < end) {
        const uchar *pos = c;
        qint64 body = skip;
        int matched = 1;
        for (int i = 1; i < n; ++i) {
            qint64 type = 0;
            const int length = readVarint(pos, end, &type);
            if (!length)
                type = 0;
            if (!columns.accepts(i, type))
                break;
            pos += length;
            body += contentSize(type);
            if (body > maxBody)
                break;
            types[size_t(i)] = type;
            typesEnd[size_t(i)] = pos;
            bodies[size_t(i)] = body;
            matched = i + 1;
            // A header that fills the range leaves no room for more columns.
            if (pos >= end)
                break;
        }
        if (matched < narrowest) {
            ++c;
            continue;
        }

        // The header-size varint in front of the types, when it survives, says how many
        // columns the record has. A freeblock header may have overwritten it, so the other
        // widths that the types allow follow, widest first.
        int stated = 0;
        for (int w = narrowest; skip == 0 && w <= matched && !stated; ++w) {
            if (headerSizeStoredBefore(c, recordHeaderSize(typesEnd[size_t(w - 1)] - c), start))
                stated = w;
        }
        Row row;
        qint64 occupied = 0;
        int width = stated;
        if (!stated || !carveAt(c, stated, row, occupied)) {
            for (width = matched; width >= narrowest; --width) {
                if (width != stated && carveAt(c, width, row, occupied))
                    break;
            }
        }
        if (width < narrowest) {
            ++c;
            continue;
        }
        rows.append(std::move(row));
        pos = typesEnd[size_t(width - 1)];
        if (end - pos <= occupied + 3)
            break;
        c = pos + occupied + 3;
    }
    return rows;
}

QList<Sqlite3File::Row> Sqlite3File::carvePage(const CompiledTemplate &columns, int skip,
    qint32 number, int offset, const RowFilter &filter) const
{
    if (!isPageNumber(number) || offset < 0 || offset >= m_pageSize)
        return QList<Row>();
    const uchar *start = pageStart(number);
    return carveRange(columns, skip, m_pageSize, start + offset, pageEnd(start), filter);
}

QList<Sqlite3File::Row> Sqlite3File::carveFreeSpace(const CompiledTemplate &columns, int skip,
    const Page &page, const RowFilter &filter) const
{
    if (!page.start || !isPageNumber(page.number))
        return QList<Row>();
    if (!page.isLeaf())
        return carvePage(columns, skip, page.number, 8, filter);

    QList<Row> rows;
    const uchar *end = pageEnd(page.start);
    const uchar *gapStart = page.header + 8;
    const uchar *gapEnd = page.start + std::min(page.cellContentStart, m_pageSize);
    if (page.cellContentStart > 0 && gapStart < gapEnd)
        rows += carveRange(columns, skip, m_pageSize, gapStart, gapEnd, filter);
    for (const uchar *freeblock : page.freeblocks) {
        const int size = readU16Bounded(freeblock + 2, end);
        const uchar *blockEnd = freeblock + std::min<qint64>(size, end - freeblock);
        if (size > 4)
            rows += carveRange(columns, skip, m_pageSize, freeblock + 4, blockEnd, filter);
    }
    return rows;
}
