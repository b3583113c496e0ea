#include "operations/exportmessagespdf.h"
#include "operations/mmsprinter.h"
#include "operations/msgpagepainter.h"
#include "records/msgidentity.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"
#include "support/externaltool.h"
#include "support/messagesetbuilder.h"
#include "support/workercontrol.h"

#include <QApplication>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

QString dateLine(qint32 date)
{
    return QLocale::c().toString(dateTimeFromTime(date), "dd MMM yyyy h:m AP");
}

} // namespace

class TestMsgPagePainter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void framePicturesFitSliceTable_data();
    void framePicturesFitSliceTable();
    void textBubbleSize_data();
    void textBubbleSize();
    void bubbleFrameKeepsLastColumnAndRowBackground();
    void imageBubbleHoldsPicture();
    void pdfHoldsTextsDateLinesAndSenders();
    void dateLineAfterMoreThanAMinute_data();
    void dateLineAfterMoreThanAMinute();
    void tallBubbleSplitOverPages();
    void millionLineBreaksKeepBothEnds();
    void longParagraphCutBetweenCharacters_data();
    void longParagraphCutBetweenCharacters();
    void framePicturesEmbeddedOncePerFile();
    void bubbleThatDoesNotFitStartsNewPage();
    void pdfThatCannotBeCreatedIsError();
    void printPreviewInterleavesChatsByDate();
    void longPrintPreviewKeepsTheWindowAliveAndStops();

private:
    // The whole text of a PDF file, pages separated by form feeds.
    QString pdfText(const QString &path);
    int pdfPages(const QString &path);
    void exportPdf(const QString &path, const MsgMessageList &list);

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MessageSetBuilder> builder;
    _MsgHandle *alice = nullptr;
    _MsgChat *chat = nullptr;
};

void TestMsgPagePainter::initTestCase()
{
    QVERIFY(installEnglishTexts());
}

void TestMsgPagePainter::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    qputenv("HOME", QFile::encodeName(tmp->filePath("home")));
    builder.reset(new MessageSetBuilder(tmp->filePath("source")));
    alice = builder->handle("+15550001111", "Alice");
    chat = builder->chat(alice->id, { alice });
}

QString TestMsgPagePainter::pdfText(const QString &path)
{
    const QString tool = findTool("pdftotext");
    if (tool.isEmpty())
        return QString();
    const ToolResult result = runTool(tool, { "-enc", "UTF-8", path, "-" });
    return result.exitCode == 0 ? QString::fromUtf8(result.out) : QString();
}

int TestMsgPagePainter::pdfPages(const QString &path)
{
    const ToolResult result = runTool(findTool("pdfinfo"), { path });
    const QRegularExpressionMatch match
        = QRegularExpression("^Pages:\\s+(\\d+)$", QRegularExpression::MultilineOption)
              .match(QString::fromUtf8(result.out));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void TestMsgPagePainter::exportPdf(const QString &path, const MsgMessageList &list)
{
    ExportMessagesPdf writer(path);
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
}

void TestMsgPagePainter::framePicturesFitSliceTable_data()
{
    QTest::addColumn<bool>("fromMe");
    QTest::newRow("received") << false;
    QTest::newRow("sent") << true;
}

void TestMsgPagePainter::framePicturesFitSliceTable()
{
    QFETCH(bool, fromMe);
    const MsgPagePainter::Slices s = MsgPagePainter::slices(fromMe);
    const QString base
        = QCoreApplication::applicationDirPath() + (fromMe ? "/bubble/bb2_0" : "/bubble/bb1_0");
    const QSize corners[] = { { s.left, s.top }, {}, { s.right, s.top }, {}, {}, {},
        { s.left, s.bottom }, {}, { s.right, s.bottom } };
    for (int cell = 1; cell <= 9; ++cell) {
        const QImage image(base + QString::number(cell) + ".png");
        QVERIFY2(!image.isNull(), qPrintable(base + QString::number(cell)));
        if (corners[cell - 1].isValid())
            QCOMPARE(image.size(), corners[cell - 1]);
    }
}

void TestMsgPagePainter::textBubbleSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QSize>("atLeast");
    QTest::addColumn<QSize>("atMost");

    QTest::newRow("one letter") << "x" << 400 << QSize(90, 52) << QSize(90, 52);
    QTest::newRow("wrapped words")
        << QString("word ").repeated(200) << 400 << QSize(300, 100) << QSize(400, 2000);
    QTest::newRow("one long word")
        << QString(500, 'w') << 400 << QSize(300, 100) << QSize(400, 2000);
}

void TestMsgPagePainter::textBubbleSize()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QSize, atLeast);
    QFETCH(QSize, atMost);
    for (bool fromMe : { false, true }) {
        const QImage bubble = renderTextBubble(text, width, fromMe);
        QVERIFY2(bubble.width() >= atLeast.width() && bubble.width() <= atMost.width(),
            qPrintable(QString::number(bubble.width())));
        QVERIFY2(bubble.height() >= atLeast.height() && bubble.height() <= atMost.height(),
            qPrintable(QString::number(bubble.height())));
    }
}

void TestMsgPagePainter::bubbleFrameKeepsLastColumnAndRowBackground()
{
    const QImage bubble = renderTextBubble("x", 400, false);
    const QRgb background = bubbleBackground().rgb();
    QCOMPARE(bubble.pixel(bubble.width() - 1, bubble.height() / 2), background);
    QCOMPARE(bubble.pixel(bubble.width() / 2, bubble.height() - 1), background);
    // The frame's fill covers the middle.
    QVERIFY(bubble.pixel(bubble.width() / 2, 5) != background);
}

void TestMsgPagePainter::imageBubbleHoldsPicture()
{
    QImage picture(100, 40, QImage::Format_RGB32);
    picture.fill(Qt::red);
    const QImage bubble = renderImageBubble(picture, true);
    QCOMPARE(bubble.size(), QSize(150, 70));
    // Drawn at x 20, stretched 10 pixels taller.
    QCOMPARE(bubble.pixel(20 + 50, 10 + 45), QColor(Qt::red).rgb());
    QVERIFY(renderImageBubble(QImage(), false).isNull());
}

void TestMsgPagePainter::pdfHoldsTextsDateLinesAndSenders()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    const MsgMessageList list = buildSampleChats(*builder);
    const QString path = tmp->filePath("all.pdf");
    exportPdf(path, list);
    QVERIFY(pdfPages(path) >= 1);
    const QString text = pdfText(path);
    for (const char *expected :
        { "Hello [EMOJI] there", "third line", "Subject:Re: <plans>", "He said \"hi\", then left",
            "second & last", "[VIDEO]", "Carol <C&C>", "+15550004444", "named the conversation" })
        QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
    QVERIFY(text.contains(dateLine(list.first()->date)));
    QVERIFY(text.contains(dateLine(list.last()->date)));
}

void TestMsgPagePainter::dateLineAfterMoreThanAMinute_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<bool>("secondLine");
    QTest::newRow("61 seconds") << 61 << true;
    QTest::newRow("60 seconds") << 60 << false;
}

void TestMsgPagePainter::dateLineAfterMoreThanAMinute()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    QFETCH(int, gap);
    QFETCH(bool, secondLine);
    // 2013-09-04 15:06:00 and a minute later: the two date lines differ in their minute.
    const qint32 first = 400000000 - 40;
    _MsgMessage *a = builder->message(chat, alice, first, "first");
    _MsgMessage *b = builder->message(chat, alice, first + gap, "second");
    const QString path = tmp->filePath("dates.pdf");
    exportPdf(path, { a, b });
    const QString text = pdfText(path);
    QVERIFY(text.contains(dateLine(a->date)));
    QCOMPARE(text.contains(dateLine(b->date)), secondLine);
}

void TestMsgPagePainter::tallBubbleSplitOverPages()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    QStringList lines;
    for (int i = 1; i <= 300; ++i)
        lines.append(QString("row%1").arg(i));
    _MsgMessage *tall = builder->message(chat, alice, 400000000, lines.join('\n'));
    _MsgMessage *after = builder->message(chat, alice, 400000001, "after the tall one");
    const QString path = tmp->filePath("tall.pdf");
    exportPdf(path, { tall, after });
    QVERIFY(pdfPages(path) >= 5);
    const QString text = pdfText(path);
    // Nothing clipped away: every row is on some page, in order.
    int from = 0;
    for (const QString &line : qAsConst(lines)) {
        const int at = text.indexOf(QRegularExpression("\\b" + line + "\\b"), from);
        QVERIFY2(at >= 0, qPrintable(line));
        from = at;
    }
    QVERIFY(text.indexOf("after the tall one") > from);
}

void TestMsgPagePainter::millionLineBreaksKeepBothEnds()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    const QString text = "top line" + QString(1000000, '\n') + "bottom line";
    _MsgMessage *huge = builder->message(chat, alice, 400000000, text, true);
    _MsgMessage *after = builder->message(chat, alice, 400000001, "after the huge one");
    const QString path = tmp->filePath("huge.pdf");
    exportPdf(path, { huge, after });
    const int pages = pdfPages(path);
    QVERIFY2(pages > 10000, qPrintable(QString::number(pages)));
    const auto pageText = [&](int first, int last) {
        return QString::fromUtf8(runTool(pdftotext,
            { "-f", QString::number(first), "-l", QString::number(last), "-enc", "UTF-8", path,
                "-" })
                                     .out);
    };
    QVERIFY(pageText(1, 1).contains("top line"));
    const QString end = pageText(pages - 1, pages);
    QVERIFY(end.indexOf("bottom line") >= 0);
    QVERIFY(end.indexOf("after the huge one") > end.indexOf("bottom line"));
}

void TestMsgPagePainter::longParagraphCutBetweenCharacters_data()
{
    QTest::addColumn<QString>("paragraph");
    QTest::addColumn<int>("cut");
    const QString letters(TextPieceChars, 'a');
    const QString man = QString::fromUtf8("\U0001F468");
    const QString family = man + QChar(0x200D) + QString::fromUtf8("\U0001F469") + QChar(0x200D)
        + QString::fromUtf8("\U0001F467");
    QTest::newRow("short") << QString(TextPieceChars, 'a') << TextPieceChars;
    QTest::newRow("after the last blank") << letters.left(3000) + ' ' + letters + letters << 3001;
    QTest::newRow("between ideographs")
        << QString(2 * TextPieceChars, QChar(0x5B57)) << TextPieceChars;
    // No blank: a line must not end between a letter and its mark, nor inside an emoji.
    QTest::newRow("letter and its mark")
        << letters.left(TextPieceChars - 1) + "e" + QChar(0x301) + letters << TextPieceChars - 1;
    QTest::newRow("joined emoji") << letters.left(TextPieceChars - 6) + family + letters
                                  << TextPieceChars - 6;
    QTest::newRow("flag") << letters.left(TextPieceChars - 2)
            + QString::fromUtf8("\U0001F1EB\U0001F1F7")
            + letters << TextPieceChars - 2;
    QTest::newRow("emoji with skin tone")
        << letters.left(TextPieceChars - 3) + man + QString::fromUtf8("\U0001F3FD") + letters
        << TextPieceChars - 3;
    // One character longer than a piece can only be cut between its code points.
    QTest::newRow("letter with thousands of marks")
        << "e" + QString::fromUtf8("\U0001D167").repeated(TextPieceChars) << TextPieceChars - 1;
}

void TestMsgPagePainter::longParagraphCutBetweenCharacters()
{
    QFETCH(QString, paragraph);
    QFETCH(int, cut);
    QCOMPARE(textPieceEnd(paragraph, 0, paragraph.size()), cut);
    // The same inside a longer text.
    const QString text = "before\n" + paragraph + "\nafter";
    QCOMPARE(textPieceEnd(text, 7, 7 + paragraph.size()), 7 + cut);
}

void TestMsgPagePainter::framePicturesEmbeddedOncePerFile()
{
    QM_FIND_TOOL(pdfimages, "pdfimages");
    MsgMessageList list;
    for (int i = 0; i < 200; ++i)
        list.append(builder->message(chat, alice, 400000000 + i,
            QString("message %1\n").arg(i).repeated(1 + i % 40), i % 2 == 0));
    const QString path = tmp->filePath("frames.pdf");
    exportPdf(path, list);
    QVERIFY(pdfPages(path) > 20);
    // A row per picture drawn; the eleventh column is the object that holds its pixels.
    QSet<QString> objects;
    for (const QString &row :
        QString::fromUtf8(runTool(pdfimages, { "-list", path }).out).split('\n')) {
        const QStringList columns = row.simplified().split(' ');
        if (columns.size() > 10 && columns.at(2) == "image")
            objects.insert(columns.at(10));
    }
    QVERIFY2(
        !objects.isEmpty() && objects.size() <= 18, qPrintable(QString::number(objects.size())));
}

void TestMsgPagePainter::bubbleThatDoesNotFitStartsNewPage()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    QPrinter printer(QPrinter::ScreenResolution);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::PdfFormat);
    const QString path = tmp->filePath("pages.pdf");
    printer.setOutputFileName(path);
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    MsgPagePainter painter;
    QVERIFY(painter.begin(&printer));
    QCOMPARE(painter.pageNumber(), 1);
    MsgMessageList list;
    int messages = 0;
    while (painter.pageNumber() == 1) {
        _MsgMessage *m = builder->message(chat, alice, 400000000, QString("m%1").arg(++messages));
        painter.drawMessage(*m);
    }
    QVERIFY(messages > 5);
    QVERIFY(painter.end());
    QCOMPARE(pdfPages(path), 2);
    // Page numbers under each page; the last bubble is whole on page 2.
    const QStringList pages = pdfText(path).split('\f');
    QVERIFY(pages.at(0).contains(QRegularExpression("\\b1\\s*$")));
    QVERIFY(pages.at(1).contains(QString("m%1").arg(messages)));
    QVERIFY(pages.at(1).contains(QRegularExpression("\\b2\\s*$")));
}

void TestMsgPagePainter::pdfThatCannotBeCreatedIsError()
{
    ExportMessagesPdf writer(tmp->filePath("missing/folder/x.pdf"));
    QVERIFY_EXCEPTION_THROWN(writer.begin(), std::runtime_error);
    writer.write(builder->message(chat, alice, 400000000, "x"));
    QVERIFY(!QFileInfo::exists(tmp->filePath("missing")));
}

void TestMsgPagePainter::printPreviewInterleavesChatsByDate()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    _MsgHandle *bob = builder->handle("+15550002222", "Bob");
    _MsgChat *other = builder->chat(bob->id, { bob });
    MsgMessageList list;
    // Grouped by chat in the list, and far apart in storage, so that only dates order them.
    for (int i = 0; i < 3; ++i)
        list.append(builder->message(chat, alice, 400000000 + i * 1000, QString("alice%1").arg(i)));
    for (int i = 0; i < 3; ++i) {
        _MsgMessage *m
            = builder->message(other, bob, 400000500 + i * 1000, QString("bob%1").arg(i));
        m->srcRowid += 1000;
        list.append(m);
    }

    MMSPrinter printer;
    int previewPages = -1;
    QString title;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QPrintPreviewDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        title = dialog->windowTitle();
        if (auto *preview = dialog->findChild<QPrintPreviewWidget *>())
            previewPages = preview->pageCount();
        dialog->reject();
    });
    printer.print(list);
    QCOMPARE(title, QString("Print Messages"));
    QCOMPARE(previewPages, 1);

    // What the preview prints, into a PDF file as with no printer installed.
    QPrinter pdf(QPrinter::ScreenResolution);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setOutputFormat(QPrinter::PdfFormat);
    const QString path = tmp->filePath("printed.pdf");
    pdf.setOutputFileName(path);
    printer.onPaintRequested(&pdf);
    const QString text = pdfText(path);
    int from = -1;
    for (const char *expected : { "alice0", "bob0", "alice1", "bob1", "alice2", "bob2" }) {
        const int at = text.indexOf(expected);
        QVERIFY2(at > from, expected);
        from = at;
    }
}

// The preview of a message of a million line breaks (over 10,000 pages) paints for seconds:
// meanwhile the window's events run, a progress dialog shows, and its Cancel ends the
// painting with the pages so far and no error.
void TestMsgPagePainter::longPrintPreviewKeepsTheWindowAliveAndStops()
{
    const QString text = "top line" + QString(1000000, '\n') + "bottom line";
    MsgMessageList list { builder->message(chat, alice, 400000000, text, true) };
    MMSPrinter printer;
    bool stopped = false;
    int previewPages = -1;
    QStringList boxes;
    setMessageBoxHook([&](QMessageBox &box) {
        boxes.append(box.text());
        return QMessageBox::Ok;
    });
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *form = qobject_cast<ProgressForm *>(widget);
            if (form && form->isVisible() && !stopped) {
                stopped = true;
                form->cancel();
                return;
            }
        }
        auto *dialog = qobject_cast<QPrintPreviewDialog *>(QApplication::activeModalWidget());
        if (!dialog || !stopped)
            return;
        if (auto *preview = dialog->findChild<QPrintPreviewWidget *>())
            previewPages = preview->pageCount();
        dialog->reject();
    });
    watch.start(20);
    // Past the time the painting would take whole, the preview is closed anyway.
    QTimer::singleShot(60000, this, [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    printer.print(list);
    setMessageBoxHook(MessageBoxHook());
    QVERIFY(stopped);
    QVERIFY2(previewPages >= 2 && previewPages < 10000, qPrintable(QString::number(previewPages)));
    QCOMPARE(boxes, QStringList());
}

QTEST_MAIN(TestMsgPagePainter)
#include "tst_msgpagepainter.moc"
