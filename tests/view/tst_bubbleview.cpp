#include "records/msgidentity.h"
#include "shell/messagebox.h"
#include "view/bubblepage.h"
#include "view/bubbleviewmgr.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QWebElement>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>
#include <QtTest>

namespace {

// 2013-03-05 14:07:09 UTC in record time (seconds since 2001-01-01).
const qint32 baseDate = 384185229;

const QString frameCells = QStringLiteral(
    "<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
    "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
    "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
    "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
    "<div class=\"bb_bg bottom_right\"></div>");

// One chat with its records, owned by a message set.
class Conversation
{
public:
    explicit Conversation(bool group)
    {
        chat = new _MsgChat;
        chat->rowid = 1;
        chat->guid
            = group ? QStringLiteral("iMessage;+;chat77") : QStringLiteral("SMS;-;+447700900001");
        set.chatMap.insert(chat->rowid, chat);
        first = addHandle(QStringLiteral("+447700900001"), QStringLiteral("Ann <Lee>"));
        if (group)
            addHandle(QStringLiteral("+447700900002"), QString());
    }

    _MsgHandle *addHandle(const QString &id, const QString &contactName)
    {
        auto *handle = new _MsgHandle;
        handle->rowid = set.handleMap.size() + 1;
        handle->id = id;
        handle->contactName = contactName;
        set.handleMap.insert(handle->rowid, handle);
        chat->handles.insert(QString::number(handle->rowid), handle);
        return handle;
    }

    _MsgMessage *add(qint32 date, const QString &text, bool fromMe = false)
    {
        auto *m = new _MsgMessage;
        m->rowid = 1000 + set.messageMap.size();
        m->srcRowid = m->rowid;
        m->date = date;
        m->text = text;
        m->is_from_me = fromMe ? 1 : 0;
        m->handle = first;
        m->handle_id = first->rowid;
        m->chat = chat;
        set.messageMap.insert(m->srcRowid, m);
        chat->messages.insert(QString::number(m->rowid), m);
        list.append(m);
        return m;
    }

    _MsgMessage *addEvent(qint32 date)
    {
        _MsgMessage *m = add(date, QString());
        m->item_type = 3; // left the conversation
        return m;
    }

    _MsgAttachment *attach(_MsgMessage *m, const QString &mime, const QString &path)
    {
        auto *a = new _MsgAttachment;
        a->rowid = set.attachmentMap.size() + 1;
        a->mime_type = mime;
        a->localPath = path;
        set.attachmentMap.insert(a->rowid, a);
        m->attachments.insert(QString::number(a->rowid), a);
        return a;
    }

    MsgMessageSet set;
    _MsgChat *chat = nullptr;
    _MsgHandle *first = nullptr;
    MsgMessageList list;
};

QString singlePage(const Conversation &c)
{
    return bubblePageHtml(c.list, 1, 1);
}

// The contents of every bubble of a page, in order.
QStringList bubbleContents(const QString &page)
{
    QStringList contents;
    int from = 0;
    while ((from = page.indexOf(frameCells, from)) >= 0) {
        from += frameCells.size();
        const int end = page.indexOf(QLatin1String("</div><div class=\"clear\"></div>"), from);
        contents.append(page.mid(from, end - from));
        from = end;
    }
    return contents;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString fileUrl(const QString &path)
{
    return QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded());
}

// Records the desktop actions instead of running them.
class TestableBubbleViewMgr : public BubbleViewMgr
{
public:
    QStringList opened;
    QStringList asked;
    QString saveTarget;
    bool opens = true; // false: nothing on the system opens files

protected:
    bool openFile(const QString &path) override
    {
        opened.append(path);
        return opens;
    }
    QString askSavePath(const QString &proposedPath) override
    {
        asked.append(proposedPath);
        return saveTarget;
    }
};

} // namespace

class TestBubbleView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pagesCarryPagingLinks_data();
    void pagesCarryPagingLinks();
    void dateLinesFollowTheMinuteClock_data();
    void dateLinesFollowTheMinuteClock();
    void dateLineIsEnglishLocalTime();
    void newestFirstPageMirrorsDateLines_data();
    void newestFirstPageMirrorsDateLines();
    void escapesTextAndLineBreaks_data();
    void escapesTextAndLineBreaks();
    void escapeKeepsQuotesAndMarksEmoji();
    void everyMarkedEmojiHasPicture();
    void senderNameOnlyForReceivedGroupMessages_data();
    void senderNameOnlyForReceivedGroupMessages();
    void systemEventShowsEscapedSentence();
    void pictureOnlyMessageShowsOnlyPicture();
    void missingPictureShowsPlaceholder();
    void thumbnailFollowsSourceFile();
    void vCardBecomesCardImageLink();
    void unreadableVCardBecomesLink();
    void plainTextAttachmentShowsContentUpToNul();
    void missingPlainTextAttachmentShowsNothing();
    void hostileFileNameStaysInert();

    void boundedTextCutsAtTheFirstLimit_data();
    void boundedTextCutsAtTheFirstLimit();
    void hostilePageAppearsAtOnce_data();
    void hostilePageAppearsAtOnce();

    void viewPagesAndScrollsToRow();
    void emptyListClearsView();
    void linkOpensOrSavesBySuffix_data();
    void linkOpensOrSavesBySuffix();
    void savingReplacesTargetAndReports();
    void missingLinkedFileWarns();
    void pictureWithoutOpenerSaysWhy();
    void savingOntoItselfKeepsFile();

private:
    QTemporaryDir m_home;
    QTemporaryDir m_files;
    QStringList m_boxes;
};

void TestBubbleView::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_files.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    auto *translator = new QTranslator(this);
    QVERIFY(translator->load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(translator);
}

void TestBubbleView::init()
{
    m_boxes.clear();
    setMessageBoxHook([this](QMessageBox &box) {
        m_boxes.append(box.text());
        return QMessageBox::Ok;
    });
}

void TestBubbleView::cleanup()
{
    setMessageBoxHook(MessageBoxHook());
}

void TestBubbleView::pagesCarryPagingLinks_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("pageCount");
    QTest::addColumn<bool>("previousLink");
    QTest::addColumn<bool>("nextLink");
    QTest::addColumn<int>("firstIndex");
    QTest::addColumn<int>("shown");

    QTest::newRow("single page") << 3 << 1 << 1 << false << false << 0 << 3;
    QTest::newRow("exactly fifty") << 50 << 1 << 1 << false << false << 0 << 50;
    QTest::newRow("51, page 1") << 51 << 1 << 2 << false << true << 0 << 50;
    QTest::newRow("51, page 2") << 51 << 2 << 2 << true << false << 50 << 1;
    QTest::newRow("120, middle page") << 120 << 2 << 3 << true << true << 50 << 50;
}

void TestBubbleView::pagesCarryPagingLinks()
{
    QFETCH(int, count);
    QFETCH(int, page);
    QFETCH(int, pageCount);
    QFETCH(bool, previousLink);
    QFETCH(bool, nextLink);
    QFETCH(int, firstIndex);
    QFETCH(int, shown);

    Conversation c(false);
    for (int i = 0; i < count; ++i)
        c.add(baseDate + i, QStringLiteral("m%1").arg(i));
    const QString html = bubblePageHtml(c.list, page, pageCount);

    QVERIFY(html.startsWith(
        QLatin1String("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\"")));
    QVERIFY(html.contains(
        QLatin1String("<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>")));
    QVERIFY(html.endsWith(QLatin1String("<a name=\"end\"></a></body></html>")));
    QVERIFY(!html.contains(QLatin1Char('\n')));
    const QString previous
        = QStringLiteral("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");
    const QString next = QStringLiteral("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    QCOMPARE(html.contains(QStringLiteral("<a name=\"start\"></a>") + previous), previousLink);
    QCOMPARE(html.contains(next + QStringLiteral("<a name=\"end\"></a>")), nextLink);

    const QRegularExpression anchor(QStringLiteral("<a name=\"sms_(\\d+)\"></a>"));
    QList<qint64> rowids;
    for (auto it = anchor.globalMatch(html); it.hasNext();)
        rowids.append(it.next().captured(1).toLongLong());
    QCOMPARE(rowids.size(), shown);
    QCOMPARE(rowids.first(), c.list.at(firstIndex)->rowid);
    QCOMPARE(rowids.last(), c.list.at(firstIndex + shown - 1)->rowid);
}

void TestBubbleView::dateLinesFollowTheMinuteClock_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<bool>("eventBetween");
    QTest::addColumn<int>("dateLines");

    QTest::newRow("60 seconds share a line") << 60 << false << 1;
    QTest::newRow("61 seconds get two") << 61 << false << 2;
    QTest::newRow("event does not reset the clock") << 60 << true << 1;
    QTest::newRow("event between 61 seconds") << 61 << true << 2;
}

void TestBubbleView::dateLinesFollowTheMinuteClock()
{
    QFETCH(int, gap);
    QFETCH(bool, eventBetween);
    QFETCH(int, dateLines);

    Conversation c(false);
    c.add(baseDate, QStringLiteral("one"));
    if (eventBetween)
        c.addEvent(baseDate + gap - 1);
    c.add(baseDate + gap, QStringLiteral("two"), true);
    QCOMPARE(singlePage(c).count(QLatin1String("<div class=\"dt\">")), dateLines);
}

void TestBubbleView::dateLineIsEnglishLocalTime()
{
    Conversation c(false);
    c.add(baseDate, QStringLiteral("x"));
    // Hours and minutes without leading zeros; TZ is UTC in tests.
    QVERIFY(singlePage(c).contains(QLatin1String("<div class=\"dt\">05 Mar 2013 2:7 PM</div>")));
}

void TestBubbleView::newestFirstPageMirrorsDateLines_data()
{
    QTest::addColumn<QList<int>>("offsets"); // seconds after baseDate, oldest first; -1: event
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("dateLines");

    QTest::newRow("a minute apart") << QList<int> { 0, 60, 120, 180, 240 } << 1 << 3;
    QTest::newRow("61 seconds apart") << QList<int> { 0, 61, 122 } << 1 << 3;
    QTest::newRow("one minute") << QList<int> { 0, 10, 20 } << 1 << 1;
    QTest::newRow("event between") << QList<int> { 0, -1, 60, 61 } << 1 << 2;
    QList<int> many;
    for (int i = 0; i < 120; ++i)
        many << 40 * i;
    QTest::newRow("second page") << many << 2 << 25;
    QTest::newRow("last page") << many << 3 << 10;
}

void TestBubbleView::newestFirstPageMirrorsDateLines()
{
    QFETCH(QList<int>, offsets);
    QFETCH(int, page);
    QFETCH(int, dateLines);

    Conversation c(false);
    for (int offset : offsets) {
        if (offset < 0)
            c.addEvent(c.list.last()->date + 1);
        else
            c.add(baseDate + offset, QStringLiteral("at %1").arg(offset));
    }
    MsgMessageList newestFirst = c.list;
    std::reverse(newestFirst.begin(), newestFirst.end());
    const int pages = (newestFirst.size() + BubblePageSize - 1) / BubblePageSize;
    const QString mirrored = bubblePageHtml(newestFirst, page, pages, Qt::DescendingOrder);
    // The same messages oldest first on a page of their own.
    MsgMessageList oldestFirst = newestFirst.mid((page - 1) * BubblePageSize, BubblePageSize);
    std::reverse(oldestFirst.begin(), oldestFirst.end());
    const QString plain = bubblePageHtml(oldestFirst, 1, 1);

    // Each message with the date line that stands between it and the next one.
    const auto lines = [](const QString &html) {
        const QRegularExpression mark(
            QStringLiteral("<a name=\"sms_(\\d+)\"></a>|<div class=\"dt\">([^<]*)</div>"));
        QStringList messages;
        for (auto it = mark.globalMatch(html); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (!m.captured(1).isEmpty())
                messages << m.captured(1);
            else
                messages.last() += QLatin1Char(' ') + m.captured(2);
        }
        return messages;
    };
    QStringList expected = lines(plain);
    std::reverse(expected.begin(), expected.end());
    QCOMPARE(lines(mirrored), expected);
    QCOMPARE(mirrored.count(QLatin1String("<div class=\"dt\">")), dateLines);
    // Below its message, never between a message's anchor and its bubble.
    QVERIFY(!mirrored.contains(QLatin1String("></a><div class=\"dt\">")));
    QVERIFY(mirrored.contains(QLatin1String("<div class=\"clear\"></div><div class=\"dt\">")));
}

void TestBubbleView::escapesTextAndLineBreaks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("content");

    QTest::newRow("markup and CR LF") << QStringLiteral("a<b & c>d\r\ne") << QString()
                                      << QStringLiteral("a&lt;b &amp; c&gt;d<br/>e");
    QTest::newRow("lone LF") << QStringLiteral("x\ny") << QString() << QStringLiteral("x<br/>y");
    QTest::newRow("CR CR LF") << QStringLiteral("x\r\r\ny") << QString()
                              << QStringLiteral("x\r<br/>y");
    QTest::newRow("lone surrogate")
        << QStringLiteral("a\xD83D\nb") << QString() << QStringLiteral("a\xD83D<br/>b");
    QTest::newRow("lone CR stays") << QStringLiteral("x\ry") << QString() << QStringLiteral("x\ry");
    QTest::newRow("entity stays text")
        << QStringLiteral("&lt;") << QString() << QStringLiteral("&amp;lt;");
    QTest::newRow("subject") << QStringLiteral("body") << QStringLiteral("Hi <there>")
                             << QStringLiteral("&lt;Subject:Hi &lt;there&gt;&gt;<br/>body");
    QTest::newRow("attachment marker dropped")
        << QStringLiteral("see\xFFFC") << QString() << QStringLiteral("see");
}

void TestBubbleView::escapesTextAndLineBreaks()
{
    QFETCH(QString, text);
    QFETCH(QString, subject);
    QFETCH(QString, content);

    Conversation c(false);
    c.add(baseDate, text)->subject = subject;
    QCOMPARE(bubbleContents(singlePage(c)), QStringList { content });
}

void TestBubbleView::escapeKeepsQuotesAndMarksEmoji()
{
    QString text = QStringLiteral("\"q\" 'a' \xE415 ") + QString::fromUcs4(U"\U0001F604");
    const QString expected = QStringLiteral(
        "\"q\" 'a' <img src=\"emoji/E415.png\" /> <img src=\"emoji/1F604.png\" />");
    QCOMPARE(escapeHtmlText(text), expected);
    QCOMPARE(text, expected);
    QCOMPARE(escapeHtmlAttribute(QStringLiteral("a\"b'c<d>&")),
        QStringLiteral("a&quot;b&#39;c&lt;d&gt;&amp;"));
}

// Codes that stand for no known emoji get the shared placeholder, so a page never shows a
// broken image for any character the markup turns into a picture.
void TestBubbleView::everyMarkedEmojiHasPicture()
{
    const QDir pictures(QStringLiteral(QM_EMOJI_DIR));
    const QRegularExpression source(QStringLiteral("^<img src=\"(emoji/[0-9A-F]+\\.png)\" />$"));
    int marked = 0;
    for (uint code = 0x2000; code <= 0x1FFFF; ++code) {
        if (QChar::isSurrogate(code))
            continue;
        QString text = QString::fromUcs4(&code, 1);
        const QRegularExpressionMatch match = source.match(escapeHtmlText(text));
        if (!match.hasMatch())
            continue;
        ++marked;
        const QString file = pictures.filePath(match.captured(1).mid(6));
        QVERIFY2(!QImage(file).isNull(), qPrintable(file));
    }
    QCOMPARE(marked, 0xE538 - 0xE000 + 44 + 0x1F800 - 0x1F000);
}

void TestBubbleView::senderNameOnlyForReceivedGroupMessages_data()
{
    QTest::addColumn<bool>("group");
    QTest::addColumn<bool>("fromMe");
    QTest::addColumn<QString>("nameMarkup");

    QTest::newRow("one-to-one received") << false << false << QString();
    QTest::newRow("group sent") << true << true << QString();
    QTest::newRow("group received")
        << true << false
        << QStringLiteral("<div class=\"ct_left\">Ann &lt;Lee&gt;</div><div class=\"clear\"></div>"
                          "<div class=\"bb1\">");
}

void TestBubbleView::senderNameOnlyForReceivedGroupMessages()
{
    QFETCH(bool, group);
    QFETCH(bool, fromMe);
    QFETCH(QString, nameMarkup);

    Conversation c(group);
    c.add(baseDate, QStringLiteral("hello"), fromMe);
    const QString html = singlePage(c);
    QCOMPARE(html.contains(QLatin1String("ct_left")), !nameMarkup.isEmpty());
    if (!nameMarkup.isEmpty())
        QVERIFY(html.contains(nameMarkup));
    QVERIFY(html.contains(
        fromMe ? QLatin1String("<div class=\"bb2\">") : QLatin1String("<div class=\"bb1\">")));
}

void TestBubbleView::systemEventShowsEscapedSentence()
{
    Conversation c(true);
    c.first->contactName = QStringLiteral("<i>Bo</i>");
    c.addEvent(baseDate);
    const QString html = singlePage(c);
    QVERIFY(html.contains(QLatin1String("<div class=\"sysif\">&lt;i&gt;Bo&lt;/i&gt; left the "
                                        "conversation.<br/>05 Mar 2013 2:7 PM</div>")));
    QVERIFY(!html.contains(QLatin1String("class=\"dt\"")));
    QVERIFY(bubbleContents(html).isEmpty());
}

void TestBubbleView::pictureOnlyMessageShowsOnlyPicture()
{
    const QString picture = m_files.filePath(QStringLiteral("photo.png"));
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(image.save(picture, "PNG"));

    Conversation c(false);
    c.attach(c.add(baseDate, QStringLiteral("\xFFFC"), true), QStringLiteral("IMAGE/png"), picture);
    const QStringList contents = bubbleContents(singlePage(c));
    QCOMPARE(contents.size(), 1);

    const QRegularExpression link(
        QStringLiteral("^<a href=\"([^\"]+)\"><img src=\"([^\"]+)\" "
                       "stype=\"max-width:120px;max-height:120px\"></a>$"));
    const QRegularExpressionMatch match = link.match(contents.first());
    QVERIFY2(match.hasMatch(), qPrintable(contents.first()));
    QCOMPARE(match.captured(1), fileUrl(picture));
    const QString thumbnail = QUrl(match.captured(2)).toLocalFile();
    // The cache lives in the user's own data folder, not the shared temporary folder.
    QVERIFY(thumbnail.startsWith(m_home.path()));
    QCOMPARE(QImage(thumbnail).width(), 120);
}

void TestBubbleView::missingPictureShowsPlaceholder()
{
    Conversation c(false);
    c.attach(c.add(baseDate, QString()), QStringLiteral("image/jpeg"),
        m_files.filePath(QStringLiteral("gone.jpg")));
    QVERIFY(bubbleContents(singlePage(c))
                .first()
                .contains(QLatin1String("<img src=\"bubble/empty_photo.jpg\" ")));
}

void TestBubbleView::thumbnailFollowsSourceFile()
{
    _MsgAttachment a;
    a.localPath = m_files.filePath(QStringLiteral("changing.png"));
    QImage image(240, 120, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(a.localPath, "PNG"));
    const QString first = attachmentThumbnail(a);
    QVERIFY(first.startsWith(m_home.path()));
    QVERIFY(QFileInfo(first).absolutePath() != QDir(QDir::tempPath()).absolutePath());
    QCOMPARE(QImage(first).size(), QSize(120, 60));
    QCOMPARE(attachmentThumbnail(a), first);

    // Another picture at the same path gets its own thumbnail.
    image = QImage(100, 200, QImage::Format_RGB32);
    image.fill(Qt::green);
    QVERIFY(image.save(a.localPath, "PNG"));
    QFile touched(a.localPath);
    QVERIFY(touched.open(QIODevice::Append));
    QVERIFY(touched.setFileTime(
        QFileInfo(a.localPath).lastModified().addSecs(60), QFileDevice::FileModificationTime));
    touched.close();
    const QString second = attachmentThumbnail(a);
    QVERIFY(second != first);
    QCOMPARE(QImage(second).size(), QSize(60, 120));
}

void TestBubbleView::vCardBecomesCardImageLink()
{
    const QString vcf = m_files.filePath(QStringLiteral("ann.vcf"));
    QVERIFY(writeFile(vcf,
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Lee\r\nTEL;CELL:+44 7700 900001\r\nEND:VCARD\r\n"));

    Conversation c(false);
    c.attach(c.add(baseDate, QString()), QStringLiteral("text/x-vcard"), vcf);
    const QStringList contents = bubbleContents(singlePage(c));
    QCOMPARE(contents.size(), 1);
    const QRegularExpression link(
        QStringLiteral("^<a href=\"([^\"]+)\"><img src=\"([^\"]+)\" "
                       "stype=\"max-width:200px;max-height:200px\"></a>$"));
    const QRegularExpressionMatch match = link.match(contents.first());
    QVERIFY2(match.hasMatch(), qPrintable(contents.first()));
    QCOMPARE(match.captured(1), fileUrl(vcf));
    QVERIFY(!QImage(QUrl(match.captured(2)).toLocalFile()).isNull());
}

void TestBubbleView::unreadableVCardBecomesLink()
{
    const QString vcf = m_files.filePath(QStringLiteral("empty.vcf"));
    QVERIFY(writeFile(vcf, "no card here\r\n"));

    Conversation c(false);
    c.attach(c.add(baseDate, QString()), QStringLiteral("text/vcard"), vcf);
    QCOMPARE(bubbleContents(singlePage(c)),
        QStringList { QStringLiteral("<a href=\"%1\">[VCARD]</a>").arg(fileUrl(vcf)) });
}

void TestBubbleView::plainTextAttachmentShowsContentUpToNul()
{
    const QString txt = m_files.filePath(QStringLiteral("note.txt"));
    QVERIFY(writeFile(txt, QByteArray("caf\xC3\xA9 <b>\r\nok\0hidden", 20)));

    Conversation c(false);
    _MsgMessage *m = c.add(baseDate, QStringLiteral("text\xFFFC"));
    c.attach(m, QStringLiteral("Text/Plain"), txt);
    QCOMPARE(bubbleContents(singlePage(c)),
        (QStringList { QStringLiteral("text"), QStringLiteral("caf\xE9 &lt;b&gt;<br/>ok") }));
}

void TestBubbleView::missingPlainTextAttachmentShowsNothing()
{
    Conversation c(false);
    c.attach(c.add(baseDate, QString()), QStringLiteral("text/plain"),
        m_files.filePath(QStringLiteral("missing.txt")));
    QVERIFY(bubbleContents(singlePage(c)).isEmpty());
}

void TestBubbleView::hostileFileNameStaysInert()
{
    const QString name = QStringLiteral("x\"><script>alert(1)<b a='1' & .bin");
    const QString path = m_files.filePath(name);
    QVERIFY(writeFile(path, "data"));

    Conversation c(false);
    _MsgMessage *m = c.add(baseDate, QString());
    c.attach(m, QStringLiteral("application/octet-stream"), path);
    c.attach(m, QStringLiteral("video/mp4"), path);
    c.attach(m, QStringLiteral("image/png"), path);
    const QString html = singlePage(c);
    QVERIFY(!html.contains(QLatin1String("<script")));
    QVERIFY(!html.contains(QLatin1String("<b ")));

    // The browser sees exactly three links, each leading back to the file.
    QWebView view;
    view.settings()->setAttribute(QWebSettings::JavascriptEnabled, false);
    QSignalSpy loaded(&view, &QWebView::loadFinished);
    view.setHtml(html, QUrl::fromLocalFile(m_files.path() + QLatin1Char('/')));
    QVERIFY(loaded.wait(10000));
    const QWebElement body = view.page()->mainFrame()->documentElement();
    QCOMPARE(body.findAll(QStringLiteral("script")).count(), 0);
    QCOMPARE(body.findAll(QStringLiteral("b")).count(), 0);
    const QWebElementCollection links = body.findAll(QStringLiteral("a[href]"));
    QCOMPARE(links.count(), 3);
    for (const QWebElement &link : links)
        QCOMPARE(QUrl(link.attribute(QStringLiteral("href"))).toLocalFile(), path);
}

void TestBubbleView::boundedTextCutsAtTheFirstLimit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("shown");

    const int chars = BubbleLimits::Characters;
    const int lines = BubbleLimits::Lines;
    const int emoji = BubbleLimits::Emoji;
    const QString smile = QString::fromUcs4(U"\U0001F604");
    QTest::newRow("short") << QStringLiteral("hello") << 5;
    QTest::newRow("all characters") << QString(chars, 'x') << chars;
    QTest::newRow("one character more") << QString(chars + 1, 'x') << chars;
    QTest::newRow("pair across the limit") << QString(chars - 1, 'x') + smile << chars - 1;
    QTest::newRow("other pair across the limit")
        << QString(chars - 1, 'x') + QString::fromUcs4(U"\U0001F90D") << chars - 1;
    QTest::newRow("all lines") << QString(lines, '\n') << lines;
    QTest::newRow("one line more") << QString(lines, '\n') + "\nrest" << lines;
    QTest::newRow("all emoji") << smile.repeated(emoji) << 2 * emoji;
    QTest::newRow("one emoji more") << smile.repeated(emoji + 1) << 2 * emoji;
    QTest::newRow("private-use emoji") << QString(emoji + 5, QChar(0xE415)) << emoji;
    QTest::newRow("lone high surrogate at the end") << QStringLiteral("ab") + QChar(0xD83D) << 3;
}

void TestBubbleView::boundedTextCutsAtTheFirstLimit()
{
    QFETCH(QString, text);
    QFETCH(int, shown);
    bool cut = true;
    const QString bounded = boundedBubbleText(text, &cut);
    QCOMPARE(bounded, text.left(shown));
    QCOMPARE(cut, shown < text.size());

    const QString html = bubbleTextHtml(text);
    QCOMPARE(html.contains(QLatin1String("<span class=\"cut\">")), cut);
    if (cut)
        QVERIFY(html.contains(QLatin1String("too long to show here")));
}

void TestBubbleView::hostilePageAppearsAtOnce_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("attachment"); // text/plain content, or none

    const int megabytes10 = 10 * 1024 * 1024;
    QTest::newRow("10 MB of line breaks") << QString(megabytes10, '\n') << QString();
    QTest::newRow("10 MB of CR LF")
        << QStringLiteral("\r\n").repeated(megabytes10 / 2) << QString();
    QTest::newRow("a million emoji")
        << QString::fromUcs4(U"\U0001F604").repeated(1000000) << QString();
    QTest::newRow("a million private-use emoji") << QString(1000000, QChar(0xE415)) << QString();
    QTest::newRow("10 MB in one word") << QString(megabytes10, 'w') << QString();
    QTest::newRow("10 MB text attachment") << QString() << QString(megabytes10, '\n');
}

void TestBubbleView::hostilePageAppearsAtOnce()
{
    QFETCH(QString, text);
    QFETCH(QString, attachment);

    const QString file = m_files.filePath(QStringLiteral("hostile.txt"));
    if (!attachment.isEmpty())
        QVERIFY(writeFile(file, attachment.toUtf8()));
    // A whole page of such messages, in a group so that sender names show too.
    Conversation c(true);
    c.first->contactName = text;
    for (int i = 0; i < BubblePageSize; ++i) {
        _MsgMessage *m = c.add(baseDate + i, text);
        if (!attachment.isEmpty())
            c.attach(m, QStringLiteral("text/plain"), file);
    }

    QWebView view;
    view.resize(600, 400);
    BubbleViewMgr mgr;
    mgr.attachView(&view);
    QSignalSpy loaded(&view, &QWebView::loadFinished);
    const QString page = bubblePageHtml(c.list, 1, 1);
    mgr.showBubble(c.list);
    QVERIFY(loaded.wait(60000));
    // Lay the page out and paint what the window shows.
    QImage screen(view.size(), QImage::Format_ARGB32);
    QPainter painter(&screen);
    view.page()->mainFrame()->render(&painter);
    painter.end();

    for (const QString &bubble : bubbleContents(page)) {
        QVERIFY(bubble.count(QLatin1String("<br/>")) <= BubbleLimits::Lines);
        QVERIFY(bubble.count(QLatin1String("<img")) <= BubbleLimits::Emoji);
        QVERIFY(bubble.size() < 40 * BubbleLimits::Characters);
    }
    QCOMPARE(page.count(QLatin1String("<span class=\"cut\">")), BubblePageSize);
    QCOMPARE(c.list.first()->text.size(), text.size());
}

void TestBubbleView::viewPagesAndScrollsToRow()
{
    Conversation c(false);
    for (int i = 0; i < 100; ++i)
        c.add(baseDate + 120 * i, QStringLiteral("message %1").arg(i), i % 2);

    QWebView view;
    view.resize(400, 300);
    BubbleViewMgr mgr;
    mgr.attachView(&view);
    QVERIFY(!view.settings()->testAttribute(QWebSettings::JavascriptEnabled));
    QCOMPARE(view.page()->linkDelegationPolicy(), QWebPage::DelegateAllLinks);
    QCOMPARE(mgr.currentPage(), 0);
    QCOMPARE(mgr.pages(), 0);

    QSignalSpy loaded(&view, &QWebView::loadFinished);
    mgr.showBubble(c.list);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(mgr.pages(), 2);
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.currentAnchor(), QStringLiteral("start"));
    QCOMPARE(view.page()->mainFrame()->baseUrl(),
        QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + QLatin1Char('/')));

    const QString anchor = QStringLiteral("sms_%1").arg(c.list.at(75)->rowid);
    mgr.scrollToPos(75);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(mgr.currentAnchor(), anchor);
    const QWebFrame *frame = view.page()->mainFrame();
    QVERIFY(frame->toHtml().contains(QStringLiteral("name=\"%1\"").arg(anchor)));
    QVERIFY(frame->scrollPosition().y() > 0);

    loaded.clear();
    mgr.scrollToPos(100);
    mgr.scrollToPos(-1);
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(mgr.currentAnchor(), anchor);

    // Paging links are handled by the manager, never followed by the page.
    mgr.onLinkClicked(QUrl(QStringLiteral("file:///pre_page")));
    QVERIFY(loaded.wait(10000));
    QCOMPARE(mgr.currentPage(), 1);
    QCOMPARE(mgr.currentAnchor(), QStringLiteral("end"));
    mgr.previousPage();
    QCOMPARE(mgr.currentPage(), 1);
    mgr.lastPage();
    QCOMPARE(mgr.currentPage(), 2);
    mgr.nextPage();
    QCOMPARE(mgr.currentPage(), 2);
    mgr.firstPage();
    QCOMPARE(mgr.currentPage(), 1);
    mgr.onLinkClicked(QUrl(QStringLiteral("file:///next_page")));
    QCOMPARE(mgr.currentPage(), 2);
    QCOMPARE(mgr.currentAnchor(), QStringLiteral("start"));
}

void TestBubbleView::emptyListClearsView()
{
    Conversation c(false);
    c.add(baseDate, QStringLiteral("hello"));
    QWebView view;
    BubbleViewMgr mgr;
    mgr.attachView(&view);
    QSignalSpy loaded(&view, &QWebView::loadFinished);
    mgr.showBubble(c.list);
    QVERIFY(loaded.wait(10000));
    mgr.showBubble(MsgMessageList());
    QCOMPARE(mgr.currentPage(), 0);
    QCOMPARE(mgr.pages(), 0);
    QTRY_VERIFY(!view.page()->mainFrame()->toHtml().contains(QLatin1String("hello")));
}

void TestBubbleView::linkOpensOrSavesBySuffix_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("opens");

    QTest::newRow("jpg") << QStringLiteral("a.jpg") << true;
    QTest::newRow("jpeg") << QStringLiteral("a.jpeg") << true;
    // The whole suffix is compared without case: camera files are named in capitals.
    QTest::newRow("JPEG upper case") << QStringLiteral("a.JPEG") << true;
    QTest::newRow("MOV upper case") << QStringLiteral("clip.MOV") << true;
    QTest::newRow("mp3") << QStringLiteral("song.mp3") << true;
    QTest::newRow("no suffix") << QStringLiteral("noext") << false;
    QTest::newRow("part of a listed suffix") << QStringLiteral("a.pe") << false;
    QTest::newRow("listed suffix inside a longer one") << QStringLiteral("a.jpgx") << false;
    QTest::newRow("vcf") << QStringLiteral("card.vcf") << false;
    QTest::newRow("only the last suffix counts") << QStringLiteral("a.png.exe") << false;
}

void TestBubbleView::linkOpensOrSavesBySuffix()
{
    QFETCH(QString, fileName);
    QFETCH(bool, opens);

    const QString path = m_files.filePath(fileName);
    QVERIFY(writeFile(path, "content"));
    TestableBubbleViewMgr mgr;
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QCOMPARE(mgr.opened, opens ? QStringList { path } : QStringList());
    QCOMPARE(mgr.asked, opens ? QStringList() : QStringList { QDir::home().filePath(fileName) });
    // A cancelled save dialog ends quietly.
    QVERIFY(m_boxes.isEmpty());
}

void TestBubbleView::savingReplacesTargetAndReports()
{
    const QString path = m_files.filePath(QStringLiteral("doc.pdf"));
    QVERIFY(writeFile(path, "new content"));
    const QString target = m_files.filePath(QStringLiteral("saved.pdf"));
    QVERIFY(writeFile(target, "old content that is longer"));

    TestableBubbleViewMgr mgr;
    mgr.saveTarget = target;
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("new content"));
    QCOMPARE(m_boxes, QStringList { QStringLiteral("Attachment saved successfully.") });

    m_boxes.clear();
    mgr.saveTarget = m_files.filePath(QStringLiteral("no/such/folder/doc.pdf"));
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.first().contains(QLatin1String("Failed to save attachment.")));
}

void TestBubbleView::missingLinkedFileWarns()
{
    const QString path = m_files.filePath(QStringLiteral("vanished.mov"));
    TestableBubbleViewMgr mgr;
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QCOMPARE(m_boxes, QStringList { QStringLiteral("can not find %1.").arg(path) });
    QVERIFY(mgr.opened.isEmpty());

    m_boxes.clear();
    mgr.onLinkClicked(QUrl(QStringLiteral("http://127.0.0.1/x.pdf")));
    QVERIFY(m_boxes.isEmpty());
    QVERIFY(mgr.asked.isEmpty());
}

void TestBubbleView::pictureWithoutOpenerSaysWhy()
{
    const QString path = m_files.filePath(QStringLiteral("photo & more.jpg"));
    QVERIFY(writeFile(path, "picture"));
    TestableBubbleViewMgr mgr;
    mgr.opens = false;
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QCOMPARE(m_boxes,
        QStringList { "No program on this computer opens this file, so it was not opened. It is "
                      "here:<br/>"
            + path.toHtmlEscaped() });
}

void TestBubbleView::savingOntoItselfKeepsFile()
{
    const QString path = m_files.filePath(QStringLiteral("keep.doc"));
    QVERIFY(writeFile(path, "precious"));
    TestableBubbleViewMgr mgr;
    mgr.saveTarget = path;
    mgr.onLinkClicked(QUrl::fromLocalFile(path));
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("precious"));
}

QTEST_MAIN(TestBubbleView)
#include "tst_bubbleview.moc"
