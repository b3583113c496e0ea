#include "operations/exportmessagescsv.h"
#include "operations/exportmessagestxt.h"
#include "records/msgidentity.h"
#include "support/externaltool.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

template <typename Writer> void exportTo(const QString &path, const MsgMessageList &list)
{
    Writer writer(path);
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
}

// The lines of a file split at CR LF; the text after the last line end must be empty.
QStringList crlfLines(const QString &path)
{
    QStringList lines = QString::fromUtf8(fileBytes(path)).split(QStringLiteral("\r\n"));
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestExportMessagesTxtCsv : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void csvParsesBackWithPythonCsv();
    void csvRows_data();
    void csvRows();
    void txtColumns_data();
    void txtColumns();
    void txtLinesEndInCrLfWithoutByteOrderMark();
    void failedWritesAreErrors_data();
    void failedWritesAreErrors();
    void existingFileReplacedOnlyWhenComplete();

private:
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MessageSetBuilder> builder;
};

void TestExportMessagesTxtCsv::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    builder.reset(new MessageSetBuilder(tmp->filePath("files")));
}

void TestExportMessagesTxtCsv::csvParsesBackWithPythonCsv()
{
    QM_FIND_TOOL(python, "python3");
    const MsgMessageList list = buildSampleChats(*builder);
    const QString path = tmp->filePath("out.csv");
    exportTo<ExportMessagesCsv>(path, list);

    const ToolResult parsed = runTool(python,
        { "-c",
            "import csv, json, sys\n"
            "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
            "    print(json.dumps(list(csv.reader(f))))\n",
            path });
    QVERIFY2(parsed.exitCode == 0, parsed.err.constData());
    const QJsonArray rows = QJsonDocument::fromJson(parsed.out).array();
    QCOMPARE(rows.size(), list.size() + 1);
    QCOMPARE(rows.at(0).toVariant().toStringList(),
        QStringList({ "date", "send", "person", "number", "content" }));
    for (int i = 0; i < list.size(); ++i) {
        const _MsgMessage &m = *list.at(i);
        const QStringList row = rows.at(i + 1).toVariant().toStringList();
        QCOMPARE(row.size(), 5);
        QCOMPARE(row.at(0), dateTimeFromTime(m.date).toString("yyyy-MM-dd hh:mm:ss"));
        QCOMPARE(row.at(1), m.is_from_me ? QString("1") : QString("0"));
        if (m.chat->isGroup()) {
            QCOMPARE(row.at(2), m.chat->chat_identifier);
            QCOMPARE(row.at(3), m.chat->chat_identifier);
        } else {
            QCOMPARE(row.at(2), m.chat->handles.first()->contactName);
            QCOMPARE(row.at(3), m.chat->handles.first()->id);
        }
        QCOMPARE(row.at(4), m.displayText());
    }
}

void TestExportMessagesTxtCsv::csvRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("withChat");
    QTest::addColumn<QString>("row");

    const QString prefix = "2013-09-04 15:06:40,0,Alice Doe,+15550001111,";
    QTest::newRow("plain") << "hello" << true << prefix + "hello";
    QTest::newRow("comma") << "a,b" << true << prefix + "\"a,b\"";
    QTest::newRow("quote") << "say \"x\"" << true << prefix + "\"say \"\"x\"\"\"";
    QTest::newRow("line feed kept") << "a\nb" << true << prefix + "\"a\nb\"";
    QTest::newRow("carriage return quoted") << "a\rb" << true << prefix + "\"a\rb\"";
    QTest::newRow("empty content") << "" << true << prefix;
    QTest::newRow("no chat") << "x" << false << "2013-09-04 15:06:40,0,,,x";
}

void TestExportMessagesTxtCsv::csvRows()
{
    QFETCH(QString, text);
    QFETCH(bool, withChat);
    QFETCH(QString, row);
    _MsgHandle *alice = builder->handle("+15550001111", "Alice Doe");
    _MsgChat *chat = withChat ? builder->chat(alice->id, { alice }) : nullptr;
    _MsgMessage *m = builder->message(chat, alice, 400000000, text);

    const QString path = tmp->filePath("row.csv");
    exportTo<ExportMessagesCsv>(path, { m });
    const QString content = QString::fromUtf8(fileBytes(path));
    QCOMPARE(content, "date,send,person,number,content\r\n" + row + "\r\n");
}

void TestExportMessagesTxtCsv::txtColumns_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("itemType");
    QTest::addColumn<bool>("fromMe");
    QTest::addColumn<QString>("tail"); // the line after the date column

    const QString longName = QString(45, QChar('n'));
    QTest::newRow("received") << "Alice"
                              << "hi" << 0 << false << "From  Alice" + QString(35, ' ') + "hi";
    QTest::newRow("sent") << "Alice"
                          << "hi" << 0 << true << "To    Alice" + QString(35, ' ') + "hi";
    QTest::newRow("long name written whole")
        << longName << "hi" << 0 << false << "From  " + longName + "hi";
    QTest::newRow("line breaks") << "Bo"
                                 << "a\r\nb\nc" << 0 << false
                                 << "From  Bo" + QString(38, ' ') + "a b c";
    QTest::newRow("group event") << "Bo"
                                 << "" << 2 << false
                                 << QString(6, ' ') + "Bo" + QString(38, ' ')
            + "You named the conversation \"T\". 04 Sep 2013 3:6 PM";
}

void TestExportMessagesTxtCsv::txtColumns()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, itemType);
    QFETCH(bool, fromMe);
    QFETCH(QString, tail);
    _MsgHandle *h = builder->handle("+15550001111");
    _MsgChat *chat = builder->chat(h->id, { h }, name);
    _MsgMessage *m = builder->message(chat, nullptr, 400000000, text, fromMe);
    m->item_type = itemType;
    m->group_title = "T";

    const QString path = tmp->filePath("out.txt");
    exportTo<ExportMessagesTxt>(path, { m });
    const QStringList lines = crlfLines(path);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), "Date" + QString(26, ' ') + "Flag  Name" + QString(36, ' ') + "Message");
    const QString date
        = QLocale::system().toString(dateTimeFromTime(m->date), QLocale::ShortFormat);
    QCOMPARE(lines.at(1), date.leftJustified(30) + tail);
}

void TestExportMessagesTxtCsv::txtLinesEndInCrLfWithoutByteOrderMark()
{
    const MsgMessageList list = buildSampleChats(*builder);
    const QString path = tmp->filePath("out.txt");
    exportTo<ExportMessagesTxt>(path, list);
    const QByteArray bytes = fileBytes(path);
    QVERIFY(bytes.startsWith("Date "));
    QCOMPARE(bytes.count("\r\n"), list.size() + 1);
    QCOMPARE(bytes.count('\n'), list.size() + 1);
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(crlfLines(path).size(), list.size() + 1);
}

void TestExportMessagesTxtCsv::failedWritesAreErrors_data()
{
    QTest::addColumn<bool>("csv");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("failsAtBegin");

    if (QFileInfo::exists("/dev/full")) {
        QTest::newRow("txt on a full disk") << false << "/dev/full" << false;
        QTest::newRow("csv on a full disk") << true << "/dev/full" << false;
    }
    QTest::newRow("txt in a missing folder") << false << "missing/dir/out.txt" << true;
    QTest::newRow("csv on a folder") << true << "." << true;
}

void TestExportMessagesTxtCsv::failedWritesAreErrors()
{
    QFETCH(bool, csv);
    QFETCH(QString, path);
    QFETCH(bool, failsAtBegin);
    const QString target = path.startsWith('/') ? path : tmp->filePath(path);
    _MsgHandle *h = builder->handle("+15550001111");
    _MsgChat *chat = builder->chat(h->id, { h });
    _MsgMessage *m = builder->message(chat, h, 400000000, QString(200, 'x'));

    std::unique_ptr<AbsFormatExport<_MsgMessage>> writer;
    if (csv)
        writer.reset(new ExportMessagesCsv(target));
    else
        writer.reset(new ExportMessagesTxt(target));
    bool failed = false;
    try {
        writer->begin();
        QVERIFY(!failsAtBegin);
        // Enough to overflow the buffers, so that the failure shows before the end.
        for (int i = 0; i < 2000; ++i)
            writer->write(m);
        writer->end();
    } catch (const std::runtime_error &e) {
        failed = true;
        QVERIFY(QString::fromUtf8(e.what()).startsWith(target + ": "));
    }
    QVERIFY(failed);
    QVERIFY(!QFileInfo::exists(tmp->filePath("missing")));
}

void TestExportMessagesTxtCsv::existingFileReplacedOnlyWhenComplete()
{
    const QString path = tmp->filePath("out.csv");
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old content that is longer than the new one ............................");
    old.close();
    const MsgMessageList list = buildSampleChats(*builder);
    {
        ExportMessagesCsv abandoned(path);
        abandoned.begin();
        abandoned.write(list.first());
    }
    QVERIFY(fileBytes(path).startsWith("old content"));
    QCOMPARE(QDir(tmp->path()).entryList(QDir::Files), QStringList("out.csv"));

    exportTo<ExportMessagesCsv>(path, list.mid(0, 1));
    QCOMPARE(crlfLines(path).size(), 2);
    QVERIFY(!fileBytes(path).contains("old content"));
}

QTEST_MAIN(TestExportMessagesTxtCsv)
#include "tst_exportmessagestxtcsv.moc"
