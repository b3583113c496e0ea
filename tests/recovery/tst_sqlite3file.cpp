#include "recovery/sqlite3file.h"
#include "support/carvablesmsdb.h"
#include "support/sqlitefilewalk.h"
#include "support/sqliteimage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

namespace {

_SqliteCol column(const char *name, const char *type, bool notNull = false, bool dflt = false)
{
    return _SqliteCol(QLatin1String(name), QLatin1String(type), notNull, dflt, false);
}

_SqliteCol rowidColumn()
{
    return _SqliteCol(QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true);
}

QString openError(const QString &path)
{
    Sqlite3File file(path);
    try {
        file.open();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// The overflow pages of a cell, in chain order.
QList<int> overflowPages(const Sqlite3File &file, const Sqlite3File::Cell &cell)
{
    QList<int> pages;
    qint64 remaining = cell.payloadSize - cell.localSize;
    qint32 n = cell.firstOverflow;
    while (remaining > 0 && n > 0 && n <= file.pageCount()) {
        pages.append(n);
        remaining -= file.pageSize() - 4;
        n = qint32(readBigEndian32(file.mapBegin() + qint64(n - 1) * file.pageSize()));
    }
    return pages;
}

// Writes an image and opens it.
struct ImageFile
{
    QTemporaryDir dir;
    QString path;
    Sqlite3File *file = nullptr;

    explicit ImageFile(const SqliteImage &image)
    {
        path = dir.filePath(QStringLiteral("image.db"));
        image.save(path);
        file = new Sqlite3File(path);
        file->open();
    }
    ~ImageFile() { delete file; }
};

} // namespace

class TestSqlite3File : public QObject
{
    Q_OBJECT

private slots:
    void varints_data();
    void varints();
    void varintLengths_data();
    void varintLengths();
    void boundedReadsEndAtTheLastByte();
    void serialTypes_data();
    void serialTypes();
    void pageSizes_data();
    void pageSizes();
    void missingFileFailsToOpen();
    void pageCountIgnoresPartialPage();
    void pageOneHeaderFollowsDatabaseHeader();
    void agreesWithDbstat_data();
    void agreesWithDbstat();
    void localPayloadRule_data();
    void localPayloadRule();
    void cellFillingTheFileIsReadWhole();
    void overflowChainOutOfRange();
    void walkOrder();
    void trunkLeafCounts_data();
    void trunkLeafCounts();
    void carverTemplateRules_data();
    void carverTemplateRules();
    void oneColumnTemplateFindsNothing();
    void acceptedRecordIsNotSearchedAgain();
    void carvesRecordsOfFewerColumns_data();
    void carvesRecordsOfFewerColumns();
    void carvesDeletedRowsAroundLengthBoundaries_data();
    void carvesDeletedRowsAroundLengthBoundaries();
    void hostileFiles_data();
    void hostileFiles();
};

void TestSqlite3File::varints_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("length");
    QTest::newRow("zero") << QByteArray::fromHex("00") << qint64(0) << 1;
    QTest::newRow("127") << QByteArray::fromHex("7f") << qint64(127) << 1;
    QTest::newRow("128") << QByteArray::fromHex("8100") << qint64(128) << 2;
    QTest::newRow("2^14") << QByteArray::fromHex("818000") << qint64(16384) << 3;
    QTest::newRow("nine bytes, all bits of the last")
        << QByteArray::fromHex("818080808080808001") << ((qint64(1) << 57) | 1) << 9;
    QTest::newRow("all ones is -1") << QByteArray::fromHex("ffffffffffffffffff") << qint64(-1)
                                    << 9;
    QTest::newRow("cut by the end") << QByteArray::fromHex("8180") << qint64(0) << 0;
    QTest::newRow("nothing") << QByteArray() << qint64(0) << 0;
}

void TestSqlite3File::varints()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, value);
    QFETCH(int, length);
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData());
    qint64 read = 0;
    QCOMPARE(readVarint(p, p + bytes.size(), &read), length);
    if (length)
        QCOMPARE(read, value);
    if (value >= 0 && length)
        QCOMPARE(SqliteImage::varint(quint64(value)), bytes);
}

void TestSqlite3File::varintLengths_data()
{
    QTest::addColumn<quint64>("value");
    QTest::addColumn<int>("length");
    const int lengths[] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    for (const int n : lengths) {
        const quint64 limit = quint64(1) << (7 * n);
        QTest::addRow("below 2^%d", 7 * n) << limit - 1 << n;
        QTest::addRow("2^%d", 7 * n) << limit << n + 1;
    }
    QTest::newRow("largest") << ~quint64(0) << 9;
}

void TestSqlite3File::varintLengths()
{
    QFETCH(quint64, value);
    QFETCH(int, length);
    QCOMPARE(varintLength(value), length);
}

void TestSqlite3File::boundedReadsEndAtTheLastByte()
{
    const QByteArray bytes = QByteArray::fromHex("0102030405060708");
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData());
    const uchar *end = p + bytes.size();
    QCOMPARE(readU64Bounded(p, end), quint64(0x0102030405060708ULL));
    QCOMPARE(readU32Bounded(p + 4, end), quint32(0x05060708));
    QCOMPARE(readU32Bounded(p + 5, end), quint32(0));
    QCOMPARE(readU16Bounded(p + 6, end), quint16(0x0708));
    QCOMPARE(readU16Bounded(p + 7, end), quint16(0));
    QCOMPARE(readByteBounded(p + 7, end), quint8(8));
    QCOMPARE(readByteBounded(end, end), quint8(0));
    QCOMPARE(readByteBounded(p, nullptr), quint8(0));
    QCOMPARE(bytesBounded(p + 6, 10, end), QByteArray::fromHex("0708"));
    QVERIFY(bytesBounded(end, 4, end).isEmpty());
    uchar buffer[8] = {};
    QCOMPARE(copyBounded(buffer, p + 5, 8, end), qint64(3));
    QCOMPARE(buffer[2], uchar(8));
}

void TestSqlite3File::serialTypes_data()
{
    QTest::addColumn<quint64>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("8-bit") << quint64(1) << QByteArray::fromHex("80") << QVariant(-128);
    QTest::newRow("24-bit FF FF FE") << quint64(3) << QByteArray::fromHex("fffffe")
                                     << QVariant(-2);
    QTest::newRow("32-bit") << quint64(4) << QByteArray::fromHex("7fffffff")
                            << QVariant(2147483647);
    QTest::newRow("48-bit") << quint64(5) << QByteArray::fromHex("000000010000")
                            << QVariant(qint64(65536));
    QTest::newRow("64-bit") << quint64(6) << QByteArray::fromHex("8000000000000000")
                            << QVariant(std::numeric_limits<qint64>::min());
    QTest::newRow("double") << quint64(7) << QByteArray::fromHex("3ff0000000000000")
                            << QVariant(1.0);
    QTest::newRow("zero") << quint64(8) << QByteArray() << QVariant(0);
    QTest::newRow("one") << quint64(9) << QByteArray() << QVariant(1);
    QTest::newRow("reserved 10 is null") << quint64(10) << QByteArray() << QVariant();
    QTest::newRow("blob") << quint64(12 + 2 * 3) << QByteArray("a\0b", 3)
                          << QVariant(QByteArray("a\0b", 3));
    QTest::newRow("text ends at a zero byte")
        << quint64(13 + 2 * 5) << QByteArray("ab\0cd", 5) << QVariant(QStringLiteral("ab"));
    QTest::newRow("text in UTF-8") << quint64(13 + 2 * 3) << QByteArray("\xe2\x82\xac")
                                   << QVariant(QString(QChar(0x20ac)));
    QTest::newRow("number cut by the payload end")
        << quint64(4) << QByteArray::fromHex("0102") << QVariant(0);
    QTest::newRow("text cut by the payload end")
        << quint64(13 + 2 * 10) << QByteArray("abc") << QVariant(QStringLiteral("abc"));
}

void TestSqlite3File::serialTypes()
{
    QFETCH(quint64, type);
    QFETCH(QByteArray, body);
    QFETCH(QVariant, value);
    SqliteImage image(512, 2);
    image.writeBtreePage(2, 13,
        { SqliteImage::tableLeafCell(7, SqliteImage::rawRecord({ 0, type, 9 }, body)) });
    ImageFile f(image);
    const Sqlite3File::Page page = f.file->readPage(2);
    QCOMPARE(page.cells.size(), 1);
    const Sqlite3File::Row row = f.file->rowData(f.file->parseCell(page, page.cells.first()));
    QCOMPARE(row.rowid, qint64(7));
    QCOMPARE(row.values.size(), 3);
    QVERIFY(!row.values.at(0).isValid());
    QCOMPARE(row.values.at(1), value);
    QCOMPARE(row.values.at(1).type(), value.type());
}

void TestSqlite3File::pageSizes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("pageSize");
    auto file = [](int stored, int size) {
        QByteArray bytes(size, '\0');
        bytes[16] = char(stored >> 8);
        bytes[17] = char(stored);
        return bytes;
    };
    QTest::newRow("empty file") << QByteArray() << 0;
    QTest::newRow("17 bytes") << QByteArray(17, '\x10') << 0;
    QTest::newRow("0") << file(0, 4096) << 0;
    QTest::newRow("3") << file(3, 4096) << 0;
    QTest::newRow("256") << file(256, 4096) << 0;
    QTest::newRow("1000, not a power of two") << file(1000, 4096) << 0;
    QTest::newRow("512") << file(512, 4096) << 512;
    QTest::newRow("32768") << file(32768, 4096) << 32768;
    QTest::newRow("1 means 65536") << file(1, 4096) << 65536;
    QTest::newRow("65535") << file(65535, 4096) << 0;
}

void TestSqlite3File::pageSizes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, pageSize);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.db"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    out.close();
    if (pageSize == 0) {
        QCOMPARE(openError(path), QStringLiteral("invalid page size."));
        return;
    }
    Sqlite3File file(path);
    QCOMPARE(file.open(), pageSize);
    QCOMPARE(file.pageCount(), 4096 / pageSize);
    QCOMPARE(file.readPage(1).type, quint8(0));
}

void TestSqlite3File::missingFileFailsToOpen()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("none.db"));
    QVERIFY(openError(path).startsWith(QStringLiteral("open %1 failed. ").arg(path)));
}

void TestSqlite3File::pageCountIgnoresPartialPage()
{
    SqliteImage image(1024, 3);
    image.bytes().append(1000, '\0');
    ImageFile f(image);
    QCOMPARE(f.file->pageCount(), 3);
    QCOMPARE(f.file->readPage(4).start, static_cast<const uchar *>(nullptr));
}

void TestSqlite3File::pageOneHeaderFollowsDatabaseHeader()
{
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios6, 4096);
    db.close();
    Sqlite3File file(db.path());
    file.open();
    const Sqlite3File::Page one = file.readPage(1);
    QCOMPARE(one.header - one.start, qint64(100));
    QCOMPARE(one.type, quint8(13));
    QVERIFY(one.cells.size() > 5); // the tables and indexes of sqlite_master
    const Sqlite3File::Page two = file.readPage(2);
    QCOMPARE(two.header, two.start);
}

void TestSqlite3File::agreesWithDbstat_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::newRow("512") << 512;
    QTest::newRow("1024") << 1024;
    QTest::newRow("4096") << 4096;
    QTest::newRow("65536") << 65536;
}

// Page types, cell counts and overflow pages of every b-tree page, the freelist, and each
// row of the message table decoded from its cell, all against the engine's own view.
void TestSqlite3File::agreesWithDbstat()
{
    QFETCH(int, pageSize);
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios8, pageSize);
    const qint64 handle = db.addHandle({ 0, QStringLiteral("+15550001234") });
    db.addMessages(1, 600, 90, handle);
    db.addMessages(601, 12, pageSize + 700, handle);
    QList<qint64> gone;
    for (qint64 r = 100; r < 400; ++r)
        gone.append(r);
    gone << 603 << 606;
    db.deleteMessages(gone);

    QHash<int, QString> stat;
    QHash<int, int> cellsOf;
    Sqlite3Cursor c = db.db().queryThrow(Sqlite3Sql("select pageno, pagetype, ncell from dbstat"));
    while (c.moveNext()) {
        stat.insert(c.getInt(0), c.getText(1));
        cellsOf.insert(c.getInt(0), c.getInt(2));
    }
    QList<int> roots { 1 };
    Sqlite3Cursor m = db.db().queryThrow(
        Sqlite3Sql("select rootpage from sqlite_master where rootpage > 0"));
    while (m.moveNext())
        roots.append(m.getInt(0));
    const int freelist = db.freelistCount();
    QVERIFY(freelist > 0);
    QHash<qint64, QString> texts;
    Sqlite3Cursor t = db.db().queryThrow(Sqlite3Sql("select rowid, text from message"));
    while (t.moveNext())
        texts.insert(t.getInt64(0), t.getText(1));
    db.close();

    Sqlite3File file(db.path());
    QCOMPARE(file.open(), pageSize);
    QHash<int, QString> seen;
    int decoded = 0;
    for (const int root : qAsConst(roots)) {
        const QVector<Sqlite3File::Page> pages = file.collectSubtreePages(file.readPage(root));
        for (const Sqlite3File::Page &page : pages) {
            seen.insert(page.number,
                page.isLeaf() ? QStringLiteral("leaf") : QStringLiteral("internal"));
            QCOMPARE(page.cells.size(), cellsOf.value(page.number));
            for (const uchar *address : page.cells) {
                const Sqlite3File::Cell cell = file.parseCell(page, address);
                for (const int o : overflowPages(file, cell))
                    seen.insert(o, QStringLiteral("overflow"));
                if (page.type == 13 && texts.contains(cell.rowid) && root != 1) {
                    const Sqlite3File::Row row = file.rowData(cell);
                    if (row.values.size() > 2 && row.values.at(2) == texts.value(cell.rowid))
                        ++decoded;
                }
            }
        }
    }
    QCOMPARE(seen, stat);
    QCOMPARE(decoded, texts.size());

    QCOMPARE(file.freelistPageCount(), freelist);
    int walked = 0;
    for (qint32 trunk = file.firstFreelistTrunk(); trunk > 0;) {
        const Sqlite3File::FreelistTrunk t = file.readFreelistTrunk(trunk);
        walked += 1 + t.leaves.size();
        for (const qint32 leaf : t.leaves)
            QVERIFY(!stat.contains(leaf));
        trunk = t.next;
    }
    QCOMPARE(walked, freelist);
}

void TestSqlite3File::localPayloadRule_data()
{
    QTest::addColumn<int>("pageType");
    QTest::addColumn<int>("payload");
    QTest::addColumn<int>("local");
    QTest::addColumn<bool>("overflow");
    QTest::newRow("table, wholly local") << 13 << 4061 << 4061 << false;
    QTest::newRow("table, one byte more spills with M") << 13 << 4062 << 489 << true;
    QTest::newRow("table, K fits") << 13 << 4092 + 489 + 100 << 589 << true;
    QTest::newRow("index, wholly local") << 10 << 1002 << 1002 << false;
    QTest::newRow("index, spills") << 10 << 1003 << 489 << true;
}

void TestSqlite3File::localPayloadRule()
{
    QFETCH(int, pageType);
    QFETCH(int, payload);
    QFETCH(int, local);
    QFETCH(bool, overflow);
    SqliteImage image(4096, 4);
    QByteArray content;
    for (int i = 0; i < payload; ++i)
        content.append(char('a' + i % 26));
    const QByteArray head = SqliteImage::varint(quint64(payload))
        + (pageType == 13 ? SqliteImage::varint(5) : QByteArray());
    QByteArray cell = head + content.left(local);
    if (overflow) {
        cell += QByteArray::fromHex("00000003");
        image.put32(3, 0, 4);
        image.putBytes(3, 4, content.mid(local, 4092));
        image.put32(4, 0, 0);
        image.putBytes(4, 4, content.mid(local + 4092));
    }
    image.writeBtreePage(2, pageType, { cell });
    ImageFile f(image);
    const Sqlite3File::Page page = f.file->readPage(2);
    const Sqlite3File::Cell parsed = f.file->parseCell(page, page.cells.first());
    QCOMPARE(parsed.payloadSize, qint64(payload));
    QCOMPARE(parsed.localSize, local);
    QCOMPARE(parsed.firstOverflow, overflow ? 3 : 0);
    QCOMPARE(f.file->cellPayload(parsed), content);
}

void TestSqlite3File::cellFillingTheFileIsReadWhole()
{
    SqliteImage image(512, 2);
    const QByteArray record = SqliteImage::record({ QVariant(), QStringLiteral("to the end") });
    image.writeBtreePage(2, 13, { SqliteImage::tableLeafCell(3, record) });
    ImageFile f(image);
    const Sqlite3File::Page page = f.file->readPage(2);
    const Sqlite3File::Cell cell = f.file->parseCell(page, page.cells.first());
    QCOMPARE(cell.payload + cell.localSize, f.file->mapEnd());
    QCOMPARE(f.file->rowData(cell).values.value(1).toString(), QStringLiteral("to the end"));
}

// cellPayload keeps the bytes of the page it reached; the carver drops a page whose next
// page number lies outside the file.
void TestSqlite3File::overflowChainOutOfRange()
{
    // 997 payload bytes on 512-byte pages: K = 39 + 958 % 508 = 489 > 477, so 39 stay local.
    const QByteArray record
        = SqliteImage::record({ QVariant(), QString(993, QLatin1Char('x')) });
    QCOMPARE(record.size(), 997);
    SqliteImage image(512, 4);
    const QByteArray cell = SqliteImage::varint(997) + SqliteImage::varint(1) + record.left(39)
        + QByteArray::fromHex("00000003");
    image.writeBtreePage(2, 13, { cell });
    image.put32(3, 0, 99);
    image.putBytes(3, 4, record.mid(39, 508));
    ImageFile f(image);
    const Sqlite3File::Page page = f.file->readPage(2);
    const Sqlite3File::Cell parsed = f.file->parseCell(page, page.cells.first());
    QCOMPARE(parsed.localSize, 39);
    QCOMPARE(parsed.firstOverflow, 3);
    QCOMPARE(f.file->cellPayload(parsed).size(), 39 + 508);
    QCOMPARE(f.file->rowData(parsed).values.at(1).toString().size(), 39 + 508 - 4);

    const Sqlite3File::Template columns = { rowidColumn(), column("a", "TEXT", true) };
    // The last byte of the payload size reads as a short text too; the filter tells.
    const QList<Sqlite3File::Row> carved = f.file->carvePage(columns, 0, 2, 8,
        [](const Sqlite3File::Row &r) { return r.values.at(1).toString().startsWith('x'); });
    QCOMPARE(carved.size(), 1);
    QCOMPARE(carved.first().rowid, qint64(1));
    QCOMPARE(carved.first().values.at(1).toString().size(), 39 - 4);
}

void TestSqlite3File::walkOrder()
{
    SqliteImage image(512, 6);
    auto interiorCell = [](quint32 child, qint64 rowid) {
        QByteArray cell(4, '\0');
        cell[0] = char(child >> 24);
        cell[1] = char(child >> 16);
        cell[2] = char(child >> 8);
        cell[3] = char(child);
        return cell + SqliteImage::varint(quint64(rowid));
    };
    image.writeBtreePage(2, 5, { interiorCell(4, 10), interiorCell(3, 20) }, 6);
    image.writeBtreePage(3, 13, {});
    image.writeBtreePage(4, 13, {});
    image.writeBtreePage(5, 13, {}); // not reached
    image.writeBtreePage(6, 5, {}, 5);
    ImageFile f(image);
    auto numbers = [](const QVector<Sqlite3File::Page> &pages) {
        QList<int> out;
        for (const Sqlite3File::Page &p : pages)
            out.append(p.number);
        return out;
    };
    const Sqlite3File::Page root = f.file->readPage(2);
    QCOMPARE(f.file->parseCell(root, root.cells.at(1)).rowid, qint64(20));
    QCOMPARE(numbers(f.file->collectLeafPages(root)), QList<int>({ 4, 3, 5 }));
    QCOMPARE(numbers(f.file->collectSubtreePages(root)), QList<int>({ 2, 4, 3, 6, 5 }));
    QCOMPARE(numbers(f.file->collectLeafPages(f.file->readPage(4))), QList<int>({ 4 }));

    std::vector<bool> visited;
    QCOMPARE(numbers(f.file->collectLeafPages(f.file->readPage(6), &visited)), QList<int>({ 5 }));
    QCOMPARE(numbers(f.file->collectLeafPages(root, &visited)), QList<int>({ 4, 3 }));
}

void TestSqlite3File::trunkLeafCounts_data()
{
    QTest::addColumn<qint64>("claimed");
    QTest::addColumn<int>("leaves");
    QTest::newRow("none") << qint64(0) << 0;
    QTest::newRow("negative") << qint64(0x80000000) << 0;
    QTest::newRow("as stored") << qint64(3) << 3;
    QTest::newRow("more than a trunk holds") << qint64(0x7fffffff) << 126;
}

void TestSqlite3File::trunkLeafCounts()
{
    QFETCH(qint64, claimed);
    QFETCH(int, leaves);
    SqliteImage image(512, 130);
    QList<quint32> numbers;
    for (quint32 n = 3; n < 3 + 126; ++n)
        numbers.append(n);
    image.writeTrunk(2, 0, numbers, claimed);
    ImageFile f(image);
    const Sqlite3File::FreelistTrunk trunk = f.file->readFreelistTrunk(2);
    QCOMPARE(trunk.leaves.size(), leaves);
    if (leaves)
        QCOMPARE(trunk.leaves.first(), 3);
    QVERIFY(f.file->readFreelistTrunk(0).leaves.isEmpty());
}

void TestSqlite3File::carverTemplateRules_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("found");
    // No byte of the text starts a record that fits by chance.
    const QByteArray body("abcdb");
    QTest::newRow("fits") << SqliteImage::rawRecord({ 0, 13 + 10, 1 }, body + '\x05') << true;
    QTest::newRow("null in a not-null column")
        << SqliteImage::rawRecord({ 0, 0, 1 }, QByteArray("\x05", 1)) << false;
    QTest::newRow("null in a column with a default")
        << SqliteImage::rawRecord({ 0, 13 + 10, 0 }, body) << false;
    QTest::newRow("reserved types match anything")
        << SqliteImage::rawRecord({ 0, 10, 11 }, QByteArray()) << true;
    QTest::newRow("text in an integer column")
        << SqliteImage::rawRecord({ 0, 13 + 10, 15 }, body + 'a') << false;
    QTest::newRow("blob in a text column")
        << SqliteImage::rawRecord({ 0, 12 + 10, 1 }, body + '\x05') << false;
}

void TestSqlite3File::carverTemplateRules()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, found);
    SqliteImage image(512, 2);
    image.putBytes(2, 100, SqliteImage::tableLeafCell(42, record));
    ImageFile f(image);
    const Sqlite3File::Template columns
        = { rowidColumn(), column("a", "TEXT", true), column("b", "INTEGER", false, true) };
    const QList<Sqlite3File::Row> rows = f.file->carvePage(columns, 0, 2, 0, nullptr);
    QCOMPARE(rows.size(), found ? 1 : 0);
    if (found) {
        QCOMPARE(rows.first().rowid, qint64(42));
        QCOMPARE(rows.first().values.size(), 3);
    }
}

void TestSqlite3File::oneColumnTemplateFindsNothing()
{
    SqliteImage image(512, 2);
    ImageFile f(image);
    for (int i = 0; i < 12; ++i)
        QTest::ignoreMessage(QtWarningMsg, "tbCols size < 2.");
    const uchar *start = f.file->mapBegin() + 512;
    QVERIFY(f.file->carveRange(Sqlite3File::Template { rowidColumn() }, 0, 512, start, start + 12, nullptr).isEmpty());
}

// A record whose text holds another record: taken whole, the inner one is not searched;
// refused, the search goes on from the next byte and finds the inner one.
void TestSqlite3File::acceptedRecordIsNotSearchedAgain()
{
    const QByteArray inner = SqliteImage::rawRecord({ 0, 13 + 6, 9 }, QByteArray("inn"));
    const QByteArray outerText = QByteArray("xx") + inner.mid(1) + QByteArray("yy");
    const QByteArray outer = SqliteImage::rawRecord(
        { 0, quint64(13 + 2 * outerText.size()), 1 }, outerText + '\x07');
    SqliteImage image(512, 2);
    image.putBytes(2, 200, outer);
    ImageFile f(image);
    const Sqlite3File::Template columns
        = { rowidColumn(), column("a", "TEXT", true), column("b", "INTEGER", false, true) };
    const QList<Sqlite3File::Row> all = f.file->carvePage(columns, 0, 2, 0, nullptr);
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first().values.at(2).toInt(), 7);
    const QList<Sqlite3File::Row> inners = f.file->carvePage(
        columns, 0, 2, 0, [](const Sqlite3File::Row &r) { return r.values.at(2).toInt() != 7; });
    QCOMPARE(inners.size(), 1);
    QCOMPARE(inners.first().values.at(1).toString(), QStringLiteral("inn"));
}

void TestSqlite3File::carvesRecordsOfFewerColumns_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("cellStartLost");
    QTest::addColumn<bool>("carved");
    QTest::newRow("all columns") << 5 << false << true;
    QTest::newRow("four of five") << 4 << false << true;
    QTest::newRow("the narrowest") << 3 << false << true;
    QTest::newRow("fewer than the narrowest") << 2 << false << false;
    QTest::newRow("four of five, header size lost") << 4 << true << true;
}

// Rows written before their table gained columns keep their narrower records: a template
// that allows it carves each with the columns it has, whether or not a freeblock header
// took the header-size varint in front of its serial types.
void TestSqlite3File::carvesRecordsOfFewerColumns()
{
    QFETCH(int, width);
    QFETCH(bool, cellStartLost);
    QFETCH(bool, carved);
    const QVariantList values { QVariant(), QStringLiteral("first words"), 7, 300,
        QStringLiteral("last") };
    SqliteImage image(512, 2);
    image.putBytes(
        2, 100, SqliteImage::tableLeafCell(200, SqliteImage::record(values.mid(0, width))));
    if (cellStartLost)
        image.putBytes(2, 100, QByteArray::fromHex("000001f4"));
    ImageFile f(image);
    const Sqlite3File::Template columns
        = { rowidColumn(), column("a", "TEXT", true), column("b", "INTEGER", false, true),
              column("c", "INTEGER", false, true), column("d", "TEXT", true) };
    const QList<Sqlite3File::Row> rows = f.file->carvePage({ columns, 3 }, 0, 2, 0, nullptr);
    QCOMPARE(rows.size(), carved ? 1 : 0);
    if (!carved)
        return;
    QCOMPARE(rows.first().values.toList(), values.mid(0, width));
    QCOMPARE(rows.first().rowid, cellStartLost ? qint64(0) : qint64(200));
}

void TestSqlite3File::carvesDeletedRowsAroundLengthBoundaries_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("padding");
    QTest::newRow("record header straddles 128 bytes") << 20 << 80 << 0;
    QTest::newRow("body straddles 128 bytes") << 100 << 160 << 0;
    QTest::newRow("payload straddles the local maximum") << 3970 << 4110 << 0;
    QTest::newRow("header over 128 bytes, payload straddles the maximum") << 3900 << 4070 << 1;
    QTest::newRow("spills over several pages") << 9000 << 9040 << 1;
}

// Rows of a table whose payload and header lengths cross the varint and overflow boundaries
// are deleted one by one; each must be carved back whole from the file's free space.
void TestSqlite3File::carvesDeletedRowsAroundLengthBoundaries()
{
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, padding);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.db"));
    Sqlite3DB db;
    db.openThrow(path, 6);
    QString error;
    QVERIFY(db.exec(QStringLiteral("PRAGMA page_size=4096; PRAGMA secure_delete=OFF; "
                                   "PRAGMA journal_mode=DELETE; PRAGMA auto_vacuum=NONE;"),
        error));
    // With padding, 40 texts of 100 bytes make a record header over 128 bytes.
    QString create = QStringLiteral("CREATE TABLE t (ROWID INTEGER PRIMARY KEY, a TEXT, b INTEGER");
    for (int i = 0; i < 40; ++i)
        create += QStringLiteral(", p%1 TEXT").arg(i);
    QVERIFY(db.exec(create + QStringLiteral(")"), error));
    // Pages freed first become freelist trunks, whose leaf list overwrites them; a dropped
    // table leaves a trunk in place before the rows under test are deleted.
    QVERIFY(db.exec(QStringLiteral("CREATE TABLE scratch(x); INSERT INTO scratch "
                                   "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM c "
                                   "WHERE i < 20) SELECT zeroblob(3000) FROM c;"),
        error));
    QHash<QString, int> texts;
    QHash<QString, QByteArray> records;
    QVERIFY(db.beginTran());
    for (int n = first; n <= last; ++n) {
        const QString text = CarvableSmsDb::text(quint32(n), n - 6) + QStringLiteral("%1").arg(n, 6);
        texts.insert(text, 0);
        QVariantList values { QVariant(), text, n };
        for (int i = 0; i < 40; ++i)
            values.append(padding && i < 5 ? QVariant(QString(100, QLatin1Char('p'))) : QVariant());
        records.insert(text, SqliteImage::record(values).left(300));
        Sqlite3Sql sql("insert into t(a, b" + QString(padding ? ", p0, p1, p2, p3, p4" : "")
            + ") values(?, ?" + QString(padding ? ",?,?,?,?,?" : "") + ")");
        sql.addTextParam(text).addIntParam(n);
        for (int i = 0; padding && i < 5; ++i)
            sql.addTextParam(QString(100, QLatin1Char('p')));
        db.executeThrow(sql);
    }
    QVERIFY(db.commitTran());
    QVERIFY(db.exec(QStringLiteral("DROP TABLE scratch"), error));
    for (int n = first; n <= last; n += 2)
        db.executeThrow(Sqlite3Sql("delete from t where b=?").addIntParam(n));
    QVERIFY(db.exec(QStringLiteral("delete from t"), error));
    db.close();

    Sqlite3File file(path);
    file.open();
    Sqlite3File::Template columns = { rowidColumn(), column("a", "TEXT"), column("b", "INTEGER") };
    for (int i = 0; i < 40; ++i)
        columns.append(_SqliteCol(QStringLiteral("p%1").arg(i), QStringLiteral("TEXT")));
    for (qint32 n = 2; n <= file.pageCount(); ++n) {
        const Sqlite3File::Page page = file.readPage(n);
        QList<Sqlite3File::Row> rows = page.isBtreePage()
            ? file.carveFreeSpace(columns, 0, page, nullptr)
            : file.carvePage(columns, 0, n, 0, nullptr);
        // Cells of pages that the clearing of the table freed whole.
        if (page.type == 13) {
            for (const uchar *cell : page.cells)
                rows.append(file.rowData(file.parseCell(page, cell)));
        }
        for (const Sqlite3File::Row &row : rows) {
            const QString text = row.values.value(1).toString();
            if (texts.contains(text))
                ++texts[text];
        }
    }
    // SQLite's rebalancing may write live cells over deleted ones; a row counts as missing
    // only while its record header and the start of its text are still in the file.
    QFile raw(path);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    QStringList missing;
    int lost = 0;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        if (texts.value(it.key()) != 0)
            continue;
        if (bytes.contains(it.value()))
            missing.append(it.key().right(6));
        else
            ++lost;
    }
    QVERIFY2(lost * 4 <= texts.size(), qPrintable(QString::number(lost)));
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char(','))));
}

void TestSqlite3File::hostileFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTemporaryDir dir;
    CarvableSmsDb db(dir.path(), CarvableSmsDb::Ios8, 1024);
    const qint64 handle = db.addHandle({ 0, QStringLiteral("+15550001234") });
    db.addMessages(1, 120, 150, handle);
    db.addMessages(121, 4, 3000, handle);
    QList<qint64> gone;
    for (qint64 r = 20; r < 90; r += 3)
        gone.append(r);
    gone << 122;
    db.deleteMessages(gone);
    db.close();
    QFile in(db.path());
    QVERIFY(in.open(QIODevice::ReadOnly));
    const QByteArray real = in.readAll();
    const int pages = real.size() / 1024;
    QVERIFY(pages > 10);

    for (int k = 0; k <= pages; ++k)
        QTest::addRow("truncated after %d pages", k) << real.left(k * 1024);
    QTest::newRow("truncated mid-page") << real.left(5 * 1024 + 300);
    for (const int stored : { 0, 1, 3, 512, 32768, 65535 }) {
        SqliteImage image(real);
        image.put16(1, 16, quint16(stored));
        QTest::addRow("stored page size %d", stored) << image.bytes();
    }

    auto patched = [&real](const std::function<void(SqliteImage &)> &change) {
        SqliteImage image(real);
        change(image);
        return image.bytes();
    };
    const int trunk = int(readBigEndian32(reinterpret_cast<const uchar *>(real.constData()) + 32));
    QVERIFY(trunk > 0);
    QTest::newRow("trunk names itself next")
        << patched([trunk](SqliteImage &i) { i.put32(trunk, 0, quint32(trunk)); });
    QTest::newRow("trunk claims 2^31 leaves")
        << patched([trunk](SqliteImage &i) { i.put32(trunk, 4, 0x80000000u); });
    QTest::newRow("trunk claims 2^31 - 1 leaves")
        << patched([trunk](SqliteImage &i) { i.put32(trunk, 4, 0x7fffffffu); });
    QTest::newRow("trunk leaves past the file")
        << patched([trunk](SqliteImage &i) { i.put32(trunk, 8, 0xfffffff0u); });

    // Page 2 is the first b-tree page after sqlite_master.
    QTest::newRow("cell pointers past the page") << patched([](SqliteImage &i) {
        i.put16(2, 3, 400);
        for (int p = 0; p < 400; ++p)
            i.put16(2, 8 + 2 * p, quint16(0xfff0 + p % 16));
    });
    QTest::newRow("freeblock chain loops") << patched([](SqliteImage &i) {
        i.put16(2, 1, 600);
        i.put16(2, 600, 600);
        i.put16(2, 602, 0xffff);
    });
    QTest::newRow("content start past the page")
        << patched([](SqliteImage &i) { i.put16(2, 5, 0xffff); });

    SqliteImage cyclic(2048, 8);
    cyclic.setTableRoot(QStringLiteral("t"), 2, QStringLiteral("CREATE TABLE t(a)"));
    QByteArray selfChild(4, '\0');
    selfChild[3] = 2;
    cyclic.writeBtreePage(2, 5, { selfChild + SqliteImage::varint(1) }, 3);
    cyclic.writeBtreePage(3, 5, { selfChild + SqliteImage::varint(2) }, 2);
    QByteArray loopCell = SqliteImage::varint(quint64(1) << 62) + SqliteImage::varint(1);
    loopCell += QByteArray(300, 'x') + QByteArray::fromHex("00000005");
    cyclic.writeBtreePage(4, 13, { loopCell, loopCell, loopCell });
    cyclic.put32(5, 0, 6);
    cyclic.put32(6, 0, 5);
    cyclic.writeTrunk(7, 8, { 4, 2, 3 });
    cyclic.writeTrunk(8, 7, { 4 });
    cyclic.setFreelist(7, 6);
    QTest::newRow("b-tree, overflow and trunk cycles, huge payloads") << cyclic.bytes();

    QRandomGenerator random(20240607);
    for (int n = 0; n < 6; ++n) {
        QByteArray noise(1024 * (4 + n * 3), '\0');
        for (char &b : noise)
            b = char(random.bounded(256));
        noise[16] = 0x04;
        noise[17] = 0x00;
        QTest::addRow("random bytes %d", n) << noise;
    }
}

void TestSqlite3File::hostileFiles()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("h.db"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    out.close();
    // Damaged records are reported as warnings; only termination matters here.
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QElapsedTimer timer;
    timer.start();
    const SqliteFileWalk walk = walkSqliteFile(path);
    qInstallMessageHandler(previous);
    QVERIFY(timer.elapsed() < 20000);
    if (bytes.size() < 18)
        QVERIFY(!walk.opened);
}

QTEST_GUILESS_MAIN(TestSqlite3File)
#include "tst_sqlite3file.moc"
