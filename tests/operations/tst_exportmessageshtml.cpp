#include "operations/exportmessageshtml.h"
#include "operations/textattachment.h"
#include "support/externaltool.h"
#include "support/messagesetbuilder.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestExportMessagesHtml : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pageIsWellFormedAndEveryFileLinkExists();
    void headAndEnd();
    void dateLines_data();
    void dateLines();
    void bubblesPerMessage_data();
    void bubblesPerMessage();
    void groupSenderOnEveryIncomingBubble();
    void subjectLineEscaped();
    void sameAttachmentNamesGetCounter();
    void hostileAttachmentNameStaysInFilesFolder();
    void textAttachmentIsBounded();
    void pageThatCannotBeWrittenIsError();

private:
    QString exportPage(const MsgMessageList &list);

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MessageSetBuilder> builder;
    QDir out;
    _MsgHandle *alice = nullptr;
    _MsgChat *chat = nullptr;
};

void TestExportMessagesHtml::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    qputenv("HOME", QFile::encodeName(tmp->filePath("home")));
    builder.reset(new MessageSetBuilder(tmp->filePath("source")));
    out = QDir(tmp->filePath("out"));
    QVERIFY(QDir().mkpath(out.path()));
    alice = builder->handle("+15550001111", "Alice");
    chat = builder->chat(alice->id, { alice });
}

QString TestExportMessagesHtml::exportPage(const MsgMessageList &list)
{
    ExportMessagesHtml writer(out, "page.html");
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
    QFile file(out.filePath("page.html"));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

void TestExportMessagesHtml::pageIsWellFormedAndEveryFileLinkExists()
{
    const MsgMessageList list = buildSampleChats(*builder);
    exportPage(list);
    QString error;
    const QJsonObject page = readXhtml(out.filePath("page.html"), &error);
    if (error == "python3 is not installed")
        QSKIP("python3 is not installed (scripts/setup.sh installs it)");
    QVERIFY2(!page.isEmpty(), qPrintable(error));

    int files = 0;
    for (const QJsonValue &ref : page.value("refs").toArray()) {
        const QString link = ref.toString();
        // The style sheet, the placeholder and emoji come from the worker's shared folders.
        if (link == "#" || link == "files/style.css" || link.startsWith("emoji/"))
            continue;
        QVERIFY2(link.startsWith("files/"), qPrintable(link));
        const QString path = out.filePath(QUrl::fromPercentEncoding(link.toUtf8()));
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(link));
        ++files;
    }
    // picture and preview, card and card picture
    QCOMPARE(files, 4);
    const QString text = page.value("text").toString();
    for (const char *expected : { "He said \"hi\", then left", "Carol <C&C>", "first <b>line</b>",
             "second & last", "[VIDEO]", "<Subject:Re: <plans>>", "Weekend & friends" })
        QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
}

void TestExportMessagesHtml::headAndEnd()
{
    const QString page = exportPage({ builder->message(chat, alice, 400000000, "x") });
    const QStringList lines = page.split("\r\n");
    QCOMPARE(lines.size(), 7);
    QVERIFY(
        lines.at(0).startsWith("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\""));
    QCOMPARE(lines.at(1), QString("<html xmlns=\"http://www.w3.org/1999/xhtml\">"));
    QCOMPARE(lines.at(3), QString("<title>Quillmarrow Threadkeeper</title>"));
    QCOMPARE(lines.at(4),
        QString(
            "<link href=\"files/style.css\" type=\"text/css\" rel=\"stylesheet\"/></head><body>"));
    QCOMPARE(lines.at(6), QString("</body></html>"));
}

void TestExportMessagesHtml::dateLines_data()
{
    QTest::addColumn<QList<int>>("offsets"); // seconds after the first; -1 a group event
    QTest::addColumn<int>("dateLines");

    QTest::newRow("61 seconds apart") << QList<int> { 0, 61 } << 2;
    QTest::newRow("60 seconds apart") << QList<int> { 0, 60 } << 1;
    QTest::newRow("30 after the second") << QList<int> { 0, 61, 91 } << 2;
    QTest::newRow("event between") << QList<int> { 0, -1, 30 } << 1;
}

void TestExportMessagesHtml::dateLines()
{
    QFETCH(QList<int>, offsets);
    QFETCH(int, dateLines);
    MsgMessageList list;
    for (int offset : offsets) {
        _MsgMessage *m = builder->message(chat, alice, 400000000 + qMax(offset, 0), "x");
        m->item_type = offset < 0 ? 3 : 0;
        list.append(m);
    }
    QCOMPARE(exportPage(list).count("<div class=\"dt\">"), dateLines);
}

void TestExportMessagesHtml::bubblesPerMessage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("attachments");
    QTest::addColumn<int>("bubbles");

    QTest::newRow("text only") << "hi" << 0 << 1;
    QTest::newRow("attachments only") << "" << 2 << 2;
    QTest::newRow("text and attachment") << "hi" << 1 << 2;
    QTest::newRow("neither") << "" << 0 << 1;
    QTest::newRow("blank text") << "  \n " << 1 << 1;
}

void TestExportMessagesHtml::bubblesPerMessage()
{
    QFETCH(QString, text);
    QFETCH(int, attachments);
    QFETCH(int, bubbles);
    _MsgMessage *m = builder->message(chat, alice, 400000000, text);
    for (int i = 0; i < attachments; ++i)
        builder->attach(m, QString("f%1.bin").arg(i), "application/octet-stream", "data");
    const QString page = exportPage({ m });
    QCOMPARE(page.count("<div class=\"bb1\">"), bubbles);
    QCOMPARE(page.count("[ATTACHMENT]"), attachments);
}

void TestExportMessagesHtml::groupSenderOnEveryIncomingBubble()
{
    _MsgHandle *bob = builder->handle("+15550002222", "Bob <B>");
    _MsgChat *group = builder->chat("chat1", { alice, bob });
    _MsgMessage *in = builder->message(group, bob, 400000000, "hello");
    builder->attach(in, "a.bin", "application/octet-stream", "x");
    _MsgMessage *mine = builder->message(group, nullptr, 400000010, "mine", true);
    const QString page = exportPage({ in, mine });
    QCOMPARE(page.count("<div class=\"ct_left\">Bob &lt;B&gt;</div>"), 2);
    QCOMPARE(page.count("ct_left"), 2);
    QCOMPARE(page.count("<div class=\"bb2\">"), 1);
}

void TestExportMessagesHtml::subjectLineEscaped()
{
    _MsgMessage *m = builder->message(chat, alice, 400000000, "body");
    m->subject = "Re: <x>";
    QVERIFY(exportPage({ m }).contains("&lt;Subject:Re: &lt;x&gt;&gt;<br/>body</div>"));
}

void TestExportMessagesHtml::sameAttachmentNamesGetCounter()
{
    _MsgMessage *m = builder->message(chat, alice, 400000000, "");
    builder->attach(m, "same.bin", "application/octet-stream", "one");
    builder->attach(m, "same.bin", "application/octet-stream", "two");
    const QString page = exportPage({ m });
    QVERIFY(page.contains("<a href=\"files/same.bin\">[ATTACHMENT]</a>"));
    QVERIFY(page.contains("<a href=\"files/same%281%29.bin\">[ATTACHMENT]</a>"));
    QFile second(out.filePath("files/same(1).bin"));
    QVERIFY(second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), QByteArray("two"));
}

void TestExportMessagesHtml::hostileAttachmentNameStaysInFilesFolder()
{
    _MsgMessage *m = builder->message(chat, alice, 400000000, "");
    builder->attach(m, "a \"b\" <c> & d?#.mov", "video/quicktime", "x");
    builder->attach(m, "..", "audio/amr", QByteArray());
    const QString page = exportPage({ m });
    QVERIFY(page.contains("<a href=\"files/a%20b%20c%20%26%20d%23.mov\">[VIDEO]</a>"));
    QVERIFY(page.contains("<a href=\"#\">[AUDIO]</a>"));
    QCOMPARE(QDir(out.filePath("files")).entryList(QDir::Files), QStringList("a b c & d#.mov"));
}

void TestExportMessagesHtml::textAttachmentIsBounded()
{
    _MsgMessage *m = builder->message(chat, alice, 400000000, "");
    // Multi-byte characters across the cut: no broken character may be left at the end.
    const QByteArray big = QString(MaxTextAttachmentBytes, QChar(0x00E9)).toUtf8() + "tail";
    builder->attach(m, "big.txt", "text/plain", "x" + big);
    builder->attach(m, "missing.txt", "text/plain", QByteArray());
    const QString page = exportPage({ m });
    QVERIFY(page.size() < MaxTextAttachmentBytes + 2000);
    QVERIFY(!page.contains("tail"));
    QVERIFY(!page.contains(QChar(QChar::ReplacementCharacter)));
    QVERIFY(page.contains(QString(10, QChar(0x00E9)) + "...<br/>"));
    // The unreadable one makes no bubble.
    QCOMPARE(page.count("<div class=\"bb1\">"), 1);
}

void TestExportMessagesHtml::pageThatCannotBeWrittenIsError()
{
    QVERIFY(out.mkdir("page.html"));
    ExportMessagesHtml writer(out, "page.html");
    QVERIFY_EXCEPTION_THROWN(writer.begin(), std::runtime_error);
}

QTEST_MAIN(TestExportMessagesHtml)
#include "tst_exportmessageshtml.moc"
