#include "operations/msgpagepainter.h"

#include "operations/textattachment.h"
#include "records/emojimarkup.h"
#include "records/msgidentity.h"
#include "view/contactcardimage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QPagedPaintDevice>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QColor textColour(146, 146, 165);
const int bubbleGap = 10;
const int systemLineGap = 8;

typedef std::array<QImage, 9> Frame;

QString programFile(const QString &relative)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
}

// Loaded once per process, in the format the PDF engine embeds, so that it knows each picture
// again by its cache key and a PDF file holds it once; a missing file draws nothing.
const Frame &frameImages(bool fromMe)
{
    static const std::array<Frame, 2> frames = [] {
        std::array<Frame, 2> loaded;
        for (int kind = 0; kind < 2; ++kind) {
            for (int cell = 0; cell < 9; ++cell) {
                loaded[kind][cell] = QImage(
                    programFile(QStringLiteral("bubble/bb%1_0%2.png").arg(kind + 1).arg(cell + 1)))
                                         .convertToFormat(QImage::Format_ARGB32);
            }
        }
        return loaded;
    }();
    return frames[fromMe ? 1 : 0];
}

QImage loadPicture(const QString &path)
{
    QImage image;
    if (!path.isEmpty() && !image.load(path, "JPEG") && !image.load(path, "PNG"))
        image = QImage();
    if (image.isNull())
        image.load(programFile(QStringLiteral("bubble/empty_photo.jpg")));
    return image;
}

QFont bubbleFont()
{
    static const QFont font = MsgPagePainter::pageFont(12);
    return font;
}

// Text laid out from `origin` in a bubble's own coordinates, in pieces of whole lines: it is
// measured once, and a piece is laid out again only while the part of the bubble being
// painted shows it. So neither the memory nor the work of a page depends on the length of
// the text.
class BubbleText
{
public:
    BubbleText(const QString &text, const QFont &font, Qt::Alignment alignment, qreal lineWidth,
        const QPointF &origin);

    qreal width() const { return textWidth; }
    qreal height() const { return textHeight; }
    // The lowest line end in (from, from + room] of the bubble's rows; 0 when no line ends
    // there.
    int lastLineEnd(int from, int room);
    // Draws the lines that end in (from, to], the bubble's origin at `at`.
    void draw(QPainter &painter, const QPointF &at, int from, int to);

private:
    struct Piece
    {
        int start;
        int length;
        qreal top;
        int bottom; // the lowest line end, rounded up
    };

    void addPiece(int start, int end);
    std::unique_ptr<QTextLayout> layOut(const Piece &piece, qreal *height, qreal *width) const;
    const QTextLayout &layout(int index);
    // Visits the lines that end below `from`, in order, until `visit` returns false.
    template <typename Visit> void visitLines(int from, Visit visit);

    QString lines;
    QFont font;
    QTextOption option;
    qreal lineWidth;
    QPointF origin;
    std::vector<Piece> pieces;
    std::map<int, std::unique_ptr<QTextLayout>> laidOut;
    qreal textWidth = 0;
    qreal textHeight = 0;
};

BubbleText::BubbleText(const QString &text, const QFont &font, Qt::Alignment alignment,
    qreal lineWidth, const QPointF &origin)
    : lines(text)
    , font(font)
    , option(alignment)
    , lineWidth(lineWidth)
    , origin(origin)
{
    // Word-wrapped; a word longer than a line is broken rather than cut off at the edge.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    lines.remove(QLatin1Char('\r'));
    lines.replace(QLatin1Char('\n'), QChar::LineSeparator);
    // Pieces end at line breaks; a paragraph longer than a piece is cut where a line may end.
    int pieceStart = 0;
    int next = 0;
    for (;;) {
        int end = lines.indexOf(QChar::LineSeparator, next);
        if (end < 0)
            end = lines.size();
        if (end - pieceStart > TextPieceChars && next > pieceStart) {
            addPiece(pieceStart, next - 1);
            pieceStart = next;
        }
        while (end - pieceStart > TextPieceChars) {
            const int cut = textPieceEnd(lines, pieceStart, end);
            addPiece(pieceStart, cut);
            pieceStart = cut;
        }
        if (end == lines.size()) {
            addPiece(pieceStart, end);
            break;
        }
        next = end + 1;
    }
}

void BubbleText::addPiece(int start, int end)
{
    Piece piece { start, end - start, origin.y() + textHeight, 0 };
    qreal height = 0;
    qreal width = 0;
    layOut(piece, &height, &width);
    textHeight += height;
    textWidth = qMax(textWidth, width);
    piece.bottom = qCeil(origin.y() + textHeight);
    pieces.push_back(piece);
}

std::unique_ptr<QTextLayout> BubbleText::layOut(
    const Piece &piece, qreal *height, qreal *width) const
{
    auto layout = std::make_unique<QTextLayout>(lines.mid(piece.start, piece.length), font);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    qreal y = 0;
    qreal widest = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(lineWidth);
        line.setPosition(QPointF(origin.x(), y));
        y += line.height();
        widest = qMax(widest, line.naturalTextWidth());
    }
    layout->endLayout();
    if (height)
        *height = y;
    if (width)
        *width = widest;
    return layout;
}

const QTextLayout &BubbleText::layout(int index)
{
    std::unique_ptr<QTextLayout> &slot = laidOut[index];
    if (!slot)
        slot = layOut(pieces[size_t(index)], nullptr, nullptr);
    return *slot;
}

template <typename Visit> void BubbleText::visitLines(int from, Visit visit)
{
    const auto first = std::upper_bound(pieces.begin(), pieces.end(), from,
        [](int row, const Piece &piece) { return row < piece.bottom; });
    const int firstIndex = int(first - pieces.begin());
    // Pieces above are never painted again: parts follow one another down the bubble.
    laidOut.erase(laidOut.begin(), laidOut.lower_bound(firstIndex));
    for (int index = firstIndex; index < int(pieces.size()); ++index) {
        const QTextLayout &piece = layout(index);
        const qreal top = pieces[size_t(index)].top;
        for (int i = 0; i < piece.lineCount(); ++i) {
            const QTextLine line = piece.lineAt(i);
            const int bottom = qCeil(top + line.y() + line.height());
            if (bottom > from && !visit(line, top, bottom))
                return;
        }
    }
}

int BubbleText::lastLineEnd(int from, int room)
{
    int last = 0;
    visitLines(from, [&](const QTextLine &, qreal, int bottom) {
        if (bottom > from + room)
            return false;
        last = bottom;
        return true;
    });
    return last;
}

void BubbleText::draw(QPainter &painter, const QPointF &at, int from, int to)
{
    visitLines(from, [&](const QTextLine &line, qreal top, int bottom) {
        if (bottom > to)
            return false;
        line.draw(&painter, QPointF(at.x(), at.y() + top));
        return true;
    });
}

} // namespace

// One bubble ready for the page: its size, the frame drawn from the frame pictures, and a
// picture or text over it (drawn as text, so that a PDF keeps it searchable).
struct MsgPagePainter::PageBubble
{
    QSize size;
    bool fromMe = false;
    bool framed = true;
    QImage picture;
    QRect pictureRect;
    std::unique_ptr<BubbleText> text;
};

namespace {

void textBubble(MsgPagePainter::PageBubble &bubble, const QString &text, int width, bool fromMe)
{
    bubble.fromMe = fromMe;
    bubble.text = std::make_unique<BubbleText>(
        text, bubbleFont(), Qt::AlignLeft, qMax(width - 50, 10), QPointF(fromMe ? 20 : 30, 10));
    bubble.size = QSize(
        qMax(qCeil(bubble.text->width()) + 50, 90), qMax(qCeil(bubble.text->height()) + 20, 52));
}

void pictureBubble(MsgPagePainter::PageBubble &bubble, const QImage &picture, bool fromMe)
{
    bubble.fromMe = fromMe;
    bubble.picture = picture;
    // Stretched by 10 pixels vertically, as the bubble view shows it.
    bubble.pictureRect = QRect(fromMe ? 20 : 30, 10, picture.width(), picture.height() + 10);
    bubble.size = QSize(qMax(picture.width() + 50, 90), qMax(picture.height() + 30, 52));
}

// Paints the rows from `from` to `to` of a bubble whose origin is at `at`.
void paintBubble(
    QPainter &painter, MsgPagePainter::PageBubble &bubble, const QPoint &at, int from, int to)
{
    if (bubble.framed)
        MsgPagePainter::drawBubble(painter, QRect(at, bubble.size), bubble.fromMe, from, to);
    if (!bubble.picture.isNull())
        painter.drawImage(bubble.pictureRect.translated(at), bubble.picture);
    if (bubble.text)
        bubble.text->draw(painter, at, from, to);
}

QImage renderBubble(MsgPagePainter::PageBubble &bubble)
{
    QImage image(bubble.size, QImage::Format_ARGB32);
    image.fill(bubbleBackground());
    QPainter painter(&image);
    painter.setPen(textColour);
    paintBubble(painter, bubble, QPoint(0, 0), 0, bubble.size.height());
    return image;
}

} // namespace

const QColor &bubbleBackground()
{
    static const QColor colour(219, 226, 237);
    return colour;
}

MsgPagePainter::Slices MsgPagePainter::slices(bool fromMe)
{
    // The tail column is the wider one: on the left of a received bubble, on the right of
    // a sent one.
    return fromMe ? Slices { 14, 20, 14, 14 } : Slices { 14, 14, 14, 20 };
}

QFont MsgPagePainter::pageFont(int pointSize)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    return font;
}

MsgPagePainter::MsgPagePainter() = default;

MsgPagePainter::~MsgPagePainter()
{
    if (painter.isActive())
        painter.end();
}

void MsgPagePainter::setCutTextNote(std::function<QString(const _MsgAttachment &)> note)
{
    cutTextNote = std::move(note);
}

void MsgPagePainter::setPageStarted(std::function<void(int)> started)
{
    pageStarted = std::move(started);
}

bool MsgPagePainter::begin(QPagedPaintDevice *pages)
{
    device = pages;
    const QPageLayout layout = pages->pageLayout();
    const QMarginsF margins = layout.margins(QPageLayout::Point);
    const QRect pageRect = layout.paintRectPixels(pages->logicalDpiX());
    content = QRect(int(margins.left()), int(margins.top()),
        int(pageRect.width() - margins.left() - margins.right()),
        int(pageRect.height() - margins.top() - margins.bottom()));
    y = content.top();
    page = 1;
    lastDateLineTime = 0;
    if (!painter.begin(pages))
        return false;
    painter.setFont(pageFont(12));
    painter.setPen(textColour);
    startPage();
    return true;
}

void MsgPagePainter::startPage()
{
    painter.fillRect(content, bubbleBackground());
    painter.drawText(QRect(content.left(), content.bottom() + 2, content.width(), 18),
        Qt::AlignRight, QString::number(page));
}

int MsgPagePainter::spaceLeft() const
{
    // y counts from the page's top edge, so the lowest stretch, as high as the top margin,
    // stays empty.
    return content.bottom() - content.top() + 1 - y;
}

int MsgPagePainter::wholePage() const
{
    return content.height() - content.top();
}

void MsgPagePainter::ensureSpace(int height)
{
    if (!painter.isActive() || spaceLeft() >= height)
        return;
    device->newPage();
    y = content.top();
    ++page;
    startPage();
    if (pageStarted)
        pageStarted(page);
}

void MsgPagePainter::drawMessage(const _MsgMessage &m)
{
    if (!painter.isActive())
        return;
    const int width = content.width();
    const QString sender = groupSenderName(m);
    const bool fromMe = m.is_from_me != 0;

    if (m.item_type != 0) {
        PageBubble line;
        line.framed = false;
        line.text = std::make_unique<BubbleText>(
            m.displayText(), pageFont(10), Qt::AlignHCenter, width, QPointF(0, 0));
        line.size = QSize(width, qCeil(line.text->height()));
        if (line.size.height() + systemLineGap <= wholePage())
            ensureSpace(line.size.height() + systemLineGap);
        placeBubble(line, systemLineGap);
        return;
    }

    const qint64 t = qint64(m.date) + RecordEpochOffset;
    if (t - lastDateLineTime > 60) {
        lastDateLineTime = t;
        ensureSpace(24);
        painter.drawText(QRect(content.left(), y, width, 22), Qt::AlignHCenter,
            QLocale::c().toString(times.at(m.date), QStringLiteral("dd MMM yyyy h:m AP")));
        y += 24;
    }

    QString text;
    if (!m.subject.isEmpty())
        text = QStringLiteral("<Subject:%1>\n").arg(m.subject);
    text += m.plainText();
    text = text.trimmed();
    markEmoji(text, emojiPlaceholder, nullptr);
    if (!text.isEmpty() || m.attachments.isEmpty()) {
        if (!sender.isEmpty())
            drawSenderLine(sender, fromMe);
        PageBubble bubble;
        textBubble(bubble, text, int(width * 0.8), fromMe);
        placeBubble(bubble, bubbleGap);
    }
    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        if (!sender.isEmpty())
            drawSenderLine(sender, fromMe);
        PageBubble bubble = attachmentBubble(*attachment, fromMe);
        placeBubble(bubble, bubbleGap);
    }
}

MsgPagePainter::PageBubble MsgPagePainter::attachmentBubble(
    const _MsgAttachment &attachment, bool fromMe) const
{
    PageBubble bubble;
    const int width = int(content.width() * 0.8);
    const AttachmentKind kind = attachmentKind(attachment.mime_type);
    if (kind == AttachmentKind::Image) {
        pictureBubble(bubble, loadPicture(attachmentThumbnail(attachment)), fromMe);
        return bubble;
    }
    if (kind == AttachmentKind::VCard) {
        const QString card = QFileInfo(attachment.localPath).isFile()
            ? renderVCardImage(attachment.localPath)
            : QString();
        if (!card.isEmpty() && QFileInfo(card).isFile()) {
            pictureBubble(bubble, loadPicture(card), fromMe);
            return bubble;
        }
    }
    if (kind == AttachmentKind::Text) {
        bool cut = false;
        QString text = readTextAttachment(attachment.localPath, &cut);
        // An unreadable file makes no bubble.
        if (text.isNull())
            return bubble;
        const QString note = cut && cutTextNote ? cutTextNote(attachment) : QString();
        if (!note.isEmpty())
            text += QLatin1Char('\n') + note;
        textBubble(bubble, text, width, fromMe);
        return bubble;
    }
    textBubble(bubble, attachmentLabel(kind), width, fromMe);
    return bubble;
}

void MsgPagePainter::drawSenderLine(const QString &name, bool fromMe)
{
    ensureSpace(19);
    painter.drawText(QRect(content.left() + 25, y, content.width() - 50, 18),
        fromMe ? Qt::AlignRight : Qt::AlignLeft, name);
    y += 19;
}

void MsgPagePainter::placeBubble(PageBubble &bubble, int gap)
{
    if (bubble.size.isEmpty()) {
        y += gap;
        return;
    }
    const int height = bubble.size.height();
    const int x = bubble.fromMe ? content.right() - bubble.size.width() : content.left();
    int top = 0;
    for (;;) {
        const int rest = height - top;
        // A bubble that fits a page goes whole onto the next page when it does not fit here.
        if (rest <= wholePage() || spaceLeft() < 40)
            ensureSpace(rest);
        int part = qMin(rest, spaceLeft());
        if (part <= 0)
            throw std::runtime_error("A message is too large for the page and cannot be drawn.");
        // Taller than the room left: this page gets the lines that end on it.
        if (part < rest && bubble.text) {
            const int cut = bubble.text->lastLineEnd(top, part);
            if (cut > top)
                part = cut - top;
        }
        const bool whole = part == height;
        if (!whole) {
            painter.save();
            painter.setClipRect(QRect(x, y, bubble.size.width(), part));
        }
        paintBubble(painter, bubble, QPoint(x, y - top), top, top + part);
        if (!whole)
            painter.restore();
        top += part;
        if (top >= height) {
            y += part + gap;
            return;
        }
        y += part;
        ensureSpace(height - top);
    }
}

bool MsgPagePainter::end()
{
    if (!painter.isActive())
        return false;
    return painter.end();
}

void MsgPagePainter::drawBubble(
    QPainter &painter, const QRect &rect, bool fromMe, int visibleTop, int visibleBottom)
{
    const Slices s = slices(fromMe);
    const int wb = rect.width();
    const int hb = rect.height();
    const int xs[3] = { 0, s.left, wb - 1 - s.right };
    const int ws[3] = { s.left, wb - s.left - s.right, s.right };
    const int ys[3] = { 0, s.top, hb - 1 - s.bottom };
    const int hs[3] = { s.top, hb - s.top - s.bottom, s.bottom };
    const Frame &frame = frameImages(fromMe);
    for (int row = 0; row < 3; ++row) {
        int top = ys[row];
        int bottom = ys[row] + hs[row];
        if (bottom <= visibleTop || top >= visibleBottom)
            continue;
        // Only the visible stretch of the middle row, which would reach far beyond the page
        // in a long bubble; the corner rows are clipped by the caller.
        if (row == 1) {
            top = qMax(top, visibleTop);
            bottom = qMin(bottom, visibleBottom);
        }
        for (int column = 0; column < 3; ++column) {
            const QImage &cell = frame[size_t(row * 3 + column)];
            if (!cell.isNull())
                painter.drawImage(
                    QRect(rect.x() + xs[column], rect.y() + top, ws[column], bottom - top), cell);
        }
    }
}

QImage renderTextBubble(const QString &text, int width, bool fromMe)
{
    MsgPagePainter::PageBubble bubble;
    textBubble(bubble, text, width, fromMe);
    return renderBubble(bubble);
}

QImage renderImageBubble(const QImage &picture, bool fromMe)
{
    if (picture.isNull())
        return picture;
    MsgPagePainter::PageBubble bubble;
    pictureBubble(bubble, picture, fromMe);
    return renderBubble(bubble);
}

int textPieceEnd(const QString &text, int start, int end)
{
    const int limit = start + TextPieceChars;
    if (end <= limit)
        return end;
    // The rules look past a cut only a few characters; the window keeps each piece's work
    // to its own size, however long the paragraph.
    const int window = qMin(end, limit + 64) - start;
    const QChar *chars = text.constData() + start;
    QTextBoundaryFinder lineEnds(QTextBoundaryFinder::Line, chars, window);
    lineEnds.setPosition(TextPieceChars + 1);
    const int lineEnd = lineEnds.toPreviousBoundary();
    if (lineEnd > TextPieceChars / 2)
        return start + lineEnd;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, chars, window);
    characters.setPosition(TextPieceChars + 1);
    const int character = characters.toPreviousBoundary();
    if (character > 0)
        return start + character;
    // One character longer than a piece, a letter with thousands of marks: cut between
    // its code points.
    return text.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
}

QString emojiPlaceholder(void *, const QString &)
{
    return QStringLiteral("[EMOJI]");
}
