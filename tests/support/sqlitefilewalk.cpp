#include "support/sqlitefilewalk.h"

#include "recovery/sqlite3file.h"

#include <stdexcept>

namespace {

Sqlite3File::Template probeTemplate()
{
    return { _SqliteCol(QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true),
        _SqliteCol(QStringLiteral("a"), QStringLiteral("TEXT")),
        _SqliteCol(QStringLiteral("b"), QStringLiteral("INTEGER")),
        _SqliteCol(QStringLiteral("c"), QStringLiteral("BLOB")),
        _SqliteCol(QStringLiteral("d"), QStringLiteral("TEXT")) };
}

} // namespace

SqliteFileWalk walkSqliteFile(const QString &path)
{
    SqliteFileWalk walk;
    Sqlite3File file(path);
    try {
        file.open();
    } catch (const std::runtime_error &) {
        return walk;
    }
    walk.opened = true;
    const Sqlite3File::Template columns = probeTemplate();
    const Sqlite3File::RowFilter all = [](const Sqlite3File::Row &) { return true; };

    qint32 trunk = file.firstFreelistTrunk();
    for (int guard = 0; trunk > 0 && guard <= file.pageCount(); ++guard) {
        const Sqlite3File::FreelistTrunk t = file.readFreelistTrunk(trunk);
        walk.pages += t.leaves.size();
        trunk = t.next;
    }
    for (qint32 n = 1; n <= file.pageCount(); ++n) {
        const Sqlite3File::Page page = file.readPage(n);
        ++walk.pages;
        const QVector<Sqlite3File::Page> below = file.collectSubtreePages(page);
        walk.pages += below.size();
        for (const uchar *address : page.cells) {
            const Sqlite3File::Cell cell = file.parseCell(page, address);
            ++walk.cells;
            if (page.type == 13 || page.type == 10) {
                file.cellPayload(cell);
                walk.rows += file.rowData(cell).values.isEmpty() ? 0 : 1;
            }
        }
        walk.rows += page.isBtreePage() ? file.carveFreeSpace(columns, 0, page, all).size()
                                        : file.carvePage(columns, 0, n, 0, all).size();
    }
    return walk;
}
