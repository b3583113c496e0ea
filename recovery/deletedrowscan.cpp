#include "recovery/deletedrowscan.h"

#include "shell/progressform.h"

#include <QStringList>

#include <algorithm>

namespace {

QStringList namesOf(const Sqlite3File::Template &columns)
{
    QStringList names;
    for (const _SqliteCol &col : columns)
        names.append(col.name.toLower());
    return names;
}

_SqliteCol rowidColumn()
{
    return _SqliteCol(QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true);
}

} // namespace

DeletedRowScan::DeletedRowScan(AbsIOSMessageDb &live, MessageRecycleDb &store, ProgressForm *form)
    : m_live(live)
    , m_store(store)
    , m_form(form)
{
}

DeletedRowScan::~DeletedRowScan() = default;

bool DeletedRowScan::cancelled() const
{
    return m_form && m_form->failed;
}

// Later phones add columns to their tables, and a file need not keep the column order of the
// templates; the table's own columns make one more template, whose rows are brought into
// the order that the converters read. Adding a column leaves the rows written before it as
// they were, so every prefix of the table's columns down to the narrowest template is a
// layout the file may hold; the templates that are such a prefix need no carving of their
// own.
void DeletedRowScan::readLayout(const QList<Sqlite3File::Template> &fixed)
{
    m_fixed = fixed;
    const QList<_SqliteCol> columns = m_live.tbInfo(table());
    if (columns.isEmpty())
        return;
    Sqlite3File::Template own = columns;
    if (own.first().primaryKey && own.first().isInteger())
        own.first() = rowidColumn();
    else
        own.prepend(rowidColumn());

    Sqlite3File::Template widest;
    int narrowest = own.size();
    for (const Sqlite3File::Template &t : fixed) {
        if (t.size() > widest.size())
            widest = t;
        narrowest = std::min(narrowest, int(t.size()));
    }
    const QStringList ownNames = namesOf(own);
    const QStringList canonicalNames = namesOf(widest);
    QVector<int> map(canonicalNames.size(), -1);
    bool sameOrder = true;
    for (int i = 0; i < canonicalNames.size(); ++i) {
        map[i] = i == 0 ? 0 : int(ownNames.indexOf(canonicalNames.at(i)));
        if (i < ownNames.size() && map.at(i) != i)
            sameOrder = false;
    }
    m_layout.columns = own;
    m_layout.narrowest = narrowest;
    if (!sameOrder)
        m_layout.toCanonical = map;

    m_fixed.clear();
    for (const Sqlite3File::Template &t : fixed) {
        if (namesOf(t) != ownNames.mid(0, t.size()))
            m_fixed.append(t);
    }
}

Sqlite3File::Row DeletedRowScan::canonical(const Sqlite3File::Row &row) const
{
    const QVector<int> &map = m_layout.toCanonical;
    if (map.isEmpty())
        return row;
    Sqlite3File::Row out;
    out.rowid = row.rowid;
    int width = 0;
    for (int i = 0; i < map.size(); ++i) {
        if (map.at(i) >= 0 && map.at(i) < row.values.size())
            width = i + 1;
    }
    out.values.reserve(width);
    for (int i = 0; i < width; ++i) {
        const int j = map.at(i);
        out.values.append(j >= 0 && j < row.values.size() ? row.values.at(j) : QVariant());
    }
    return out;
}

void DeletedRowScan::addPage(qint32 number)
{
    if (number < 1 || size_t(number) >= m_listed.size() || m_listed[size_t(number)])
        return;
    m_listed[size_t(number)] = true;
    m_pages.append(number);
}

void DeletedRowScan::storeAll(Pass pass)
{
    for (int i = 0; i < keptCount(); ++i) {
        if (pass == FreeSpace && cancelled())
            break;
        storeKept(i, pass);
    }
    clearKept();
}

void DeletedRowScan::decodeCells(const Sqlite3File &file, const Sqlite3File::Page &page)
{
    for (const uchar *address : page.cells) {
        const Sqlite3File::Row row = canonical(file.rowData(file.parseCell(page, address)));
        if (keep(row))
            storeAll(FreePages);
    }
}

// Free pages in freelist order. A free interior page leads to the leaves below it, which
// may still be in use: the subclasses' live tests keep those rows out of the store. Each
// page is walked and listed once, so that a damaged freelist or tree cannot make the work
// grow beyond the file.
void DeletedRowScan::firstPass(const Sqlite3File &file)
{
    std::vector<bool> walked(size_t(file.pageCount()) + 1, false);
    std::vector<bool> trunks(size_t(file.pageCount()) + 1, false);
    qint32 trunk = file.firstFreelistTrunk();
    while (trunk > 0 && !cancelled()) {
        if (trunk > file.pageCount() || trunks[size_t(trunk)])
            break;
        trunks[size_t(trunk)] = true;
        addPage(trunk);
        const Sqlite3File::FreelistTrunk t = file.readFreelistTrunk(trunk);
        for (const qint32 leaf : t.leaves) {
            if (cancelled())
                break;
            const Sqlite3File::Page page = file.readPage(leaf);
            // An interior page, too, keeps what it held as a leaf before.
            if (!page.isBtreePage() || !page.isLeaf())
                addPage(leaf);
            if (!page.isBtreePage())
                continue;
            const QVector<Sqlite3File::Page> leaves = file.collectLeafPages(page, &walked);
            for (const Sqlite3File::Page &p : leaves) {
                if (cancelled())
                    break;
                addPage(p.number);
                if (p.type == 13)
                    decodeCells(file, p);
            }
        }
        trunk = t.next;
    }
}

bool DeletedRowScan::listTablePages(const Sqlite3File &file)
{
    Sqlite3Cursor c = m_live.queryThrow(
        Sqlite3Sql("select rootpage from sqlite_master where type='table' and name=?")
            .addTextParam(table()));
    if (!c.moveNext())
        return false;
    // Interior pages as well as leaves: a root page that grew into an interior page keeps
    // rows it held as a leaf in its unused middle.
    const Sqlite3File::Page root = file.readPage(c.getInt(QStringLiteral("rootpage")));
    const QVector<Sqlite3File::Page> pages = file.collectSubtreePages(root);
    for (const Sqlite3File::Page &page : pages)
        addPage(page.number);
    return true;
}

void DeletedRowScan::secondPass(const Sqlite3File &file)
{
    struct Carving
    {
        Sqlite3File::CompiledTemplate columns;
        bool own;
    };
    QList<Carving> carvings;
    if (!m_layout.columns.isEmpty())
        carvings.append({ { m_layout.columns, m_layout.narrowest }, true });
    for (const Sqlite3File::Template &t : qAsConst(m_fixed))
        carvings.append({ t, false });

    const Sqlite3File::RowFilter filter = [this](const Sqlite3File::Row &row) {
        return acceptRow(row);
    };
    const Sqlite3File::RowFilter ownFilter = [this](const Sqlite3File::Row &row) {
        return acceptRow(canonical(row));
    };

    const int total = m_pages.size();
    int n = 0;
    for (const qint32 number : qAsConst(m_pages)) {
        if (m_form) {
            if (cancelled())
                break;
            ++n;
            ProgressForm::postUpdateProgress(
                m_form, QString(), int(double(n) / total * 100), QString());
        }
        const Sqlite3File::Page page = file.readPage(number);
        for (const Carving &carving : qAsConst(carvings)) {
            if (testsCancelBeforeTemplate() && cancelled())
                break;
            const Sqlite3File::RowFilter &f = carving.own ? ownFilter : filter;
            const QList<Sqlite3File::Row> rows = page.isBtreePage()
                ? file.carveFreeSpace(carving.columns, 0, page, f)
                : file.carvePage(carving.columns, 0, number, 0, f);
            int accepted = 0;
            for (const Sqlite3File::Row &row : rows) {
                if (keep(carving.own ? canonical(row) : row))
                    ++accepted;
            }
            if (stopsWhenTemplateExplainsPage() && !rows.isEmpty() && accepted == rows.size())
                break;
        }
        storeAll(FreeSpace);
    }
}

void DeletedRowScan::run(const QString &path)
{
    Sqlite3File file(path);
    m_live.open();
    QString ignored;
    m_live.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE);"), ignored);
    readLayout(templates());
    file.open();
    m_listed.assign(size_t(file.pageCount()) + 1, false);
    m_pages.clear();

    // One read transaction on the live file for all the look-ups of the scan: a consistent
    // view, and no lock taken and dropped per query.
    const bool reading = !m_live.inTransaction && m_live.beginTran();
    m_store.beginTransaction();
    try {
        firstPass(file);
        if (listTablePages(file))
            secondPass(file);
    } catch (...) {
        if (reading)
            m_live.rollbackTran();
        clearKept();
        // The first failure is the one to report.
        try {
            m_store.endTransaction(false);
        } catch (...) {
        }
        throw;
    }
    if (reading)
        m_live.rollbackTran();
    m_store.endTransaction(true);
}
