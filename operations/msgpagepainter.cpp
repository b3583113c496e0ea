#include "operations/msgpagepainter.h"

#include "operations/textattachment.h"
#include "records/emojimarkup.h"
#include "records/msgidentity.h"
#include "view/contactcardimage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QPrinter>
#include <QTextLayout>
#include <QtMath>

#include <array>
#include <climits>
#include <memory>

namespace {

const QColor textColour(146, 146, 165);
const int bubbleGap = 10;

typedef std::array<QImage, 9> Frame;

QString programFile(const QString &relative)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
}

// Loaded once per process; a missing file gives an empty image, which draws nothing.
const Frame &frameImages(bool fromMe)
{
    static const std::array<Frame, 2> frames = [] {
        std::array<Frame, 2> loaded;
        for (int kind = 0; kind < 2; ++kind) {
            for (int cell = 0; cell < 9; ++cell) {
                loaded[kind][cell] = QImage(
                    programFile(QStringLiteral("bubble/bb%1_0%2.png").arg(kind + 1).arg(cell + 1)));
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

// The text of a text bubble laid out in the bubble's own coordinates; `size` is the bubble's.
std::unique_ptr<QTextLayout> layoutBubbleText(
    const QString &text, int width, bool fromMe, QSize &size)
{
    QString lines = text;
    lines.remove(QLatin1Char('\r'));
    lines.replace(QLatin1Char('\n'), QChar::LineSeparator);
    auto layout = std::make_unique<QTextLayout>(lines, bubbleFont());
    QTextOption option(Qt::AlignLeft);
    // Word-wrapped; a word longer than a line is broken rather than cut off at the edge.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    const int left = fromMe ? 20 : 30;
    const qreal wrapWidth = qMax(width - 50, 10);
    qreal height = 0;
    qreal textWidth = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(wrapWidth);
        line.setPosition(QPointF(left, 10 + height));
        height += line.height();
        textWidth = qMax(textWidth, line.naturalTextWidth());
    }
    layout->endLayout();
    size = QSize(qMax(qCeil(textWidth) + 50, 90), qMax(qCeil(height) + 20, 52));
    return layout;
}

QImage bubbleFrame(const QSize &size, bool fromMe)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(bubbleBackground());
    QPainter painter(&image);
    MsgPagePainter::drawBubble(painter, image.rect(), fromMe);
    return image;
}

} // namespace

// One bubble ready for the page: its picture (for a text bubble the frame alone) and the
// text laid out over it, drawn as text so that a PDF keeps it searchable.
struct MsgPagePainter::PageBubble
{
    QImage image;
    std::unique_ptr<QTextLayout> text;
};

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

MsgPagePainter::~MsgPagePainter()
{
    if (painter.isActive())
        painter.end();
}

bool MsgPagePainter::begin(QPrinter *printer)
{
    device = printer;
    const QMarginsF margins = printer->pageLayout().margins(QPageLayout::Point);
    const QRectF pageRect = printer->pageRect(QPrinter::DevicePixel);
    content = QRect(int(margins.left()), int(margins.top()),
        int(pageRect.width() - margins.left() - margins.right()),
        int(pageRect.height() - margins.top() - margins.bottom()));
    y = content.top();
    page = 1;
    lastDateLineTime = 0;
    if (!painter.begin(printer))
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

void MsgPagePainter::ensureSpace(int height)
{
    if (!painter.isActive() || spaceLeft() >= height)
        return;
    device->newPage();
    y = content.top();
    ++page;
    startPage();
}

void MsgPagePainter::drawMessage(const _MsgMessage &m)
{
    if (!painter.isActive())
        return;
    const int width = content.width();
    const QString sender = groupSenderName(m);
    const bool fromMe = m.is_from_me != 0;

    if (m.item_type != 0) {
        painter.setFont(pageFont(10));
        const QString text = m.displayText();
        const int flags = Qt::AlignHCenter | Qt::TextWordWrap;
        const int height
            = painter.boundingRect(QRect(0, 0, width, INT_MAX / 2), flags, text).height();
        ensureSpace(height + 8);
        painter.drawText(QRect(content.left(), y, width, height), flags, text);
        y += height + 8;
        painter.setFont(pageFont(12));
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
        placeBubble(textBubble(text, fromMe), fromMe);
    }
    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        if (!sender.isEmpty())
            drawSenderLine(sender, fromMe);
        placeBubble(attachmentBubble(*attachment, fromMe), fromMe);
    }
}

MsgPagePainter::PageBubble MsgPagePainter::textBubble(const QString &text, bool fromMe) const
{
    PageBubble bubble;
    QSize size;
    bubble.text = layoutBubbleText(text, int(content.width() * 0.8), fromMe, size);
    bubble.image = bubbleFrame(size, fromMe);
    return bubble;
}

MsgPagePainter::PageBubble MsgPagePainter::attachmentBubble(
    const _MsgAttachment &attachment, bool fromMe) const
{
    const AttachmentKind kind = attachmentKind(attachment.mime_type);
    if (kind == AttachmentKind::Image)
        return { renderImageBubble(loadPicture(attachmentThumbnail(attachment)), fromMe), {} };
    if (kind == AttachmentKind::VCard) {
        const QString card = QFileInfo(attachment.localPath).isFile()
            ? renderVCardImage(attachment.localPath)
            : QString();
        if (!card.isEmpty() && QFileInfo(card).isFile())
            return { renderImageBubble(loadPicture(card), fromMe), {} };
    }
    if (kind == AttachmentKind::Text) {
        const QString text = readTextAttachment(attachment.localPath);
        return text.isNull() ? PageBubble() : textBubble(text, fromMe);
    }
    return textBubble(attachmentLabel(kind), fromMe);
}

void MsgPagePainter::drawSenderLine(const QString &name, bool fromMe)
{
    ensureSpace(19);
    painter.drawText(QRect(content.left() + 25, y, content.width() - 50, 18),
        fromMe ? Qt::AlignRight : Qt::AlignLeft, name);
    y += 19;
}

void MsgPagePainter::placeBubble(const PageBubble &bubble, bool fromMe)
{
    const QImage &image = bubble.image;
    if (image.isNull()) {
        y += bubbleGap;
        return;
    }
    const int x = fromMe ? content.right() - image.width() : content.left();
    const int wholePage = content.height() - content.top();
    int top = 0;
    for (;;) {
        const int rest = image.height() - top;
        // A bubble that fits a page goes whole onto the next page when it does not fit here.
        if (rest <= wholePage || spaceLeft() < 40)
            ensureSpace(rest);
        if (rest <= spaceLeft()) {
            drawBubblePart(bubble, x, top, rest);
            y += rest + bubbleGap;
            return;
        }
        // Taller than a whole page: fill this page, cut after the last whole line.
        int part = spaceLeft();
        if (part <= 0)
            return; // no room on any page
        if (bubble.text) {
            int cut = 0;
            for (int i = 0; i < bubble.text->lineCount(); ++i) {
                const QTextLine line = bubble.text->lineAt(i);
                const int bottom = qCeil(line.y() + line.height()) - top;
                if (bottom > 0 && bottom <= part)
                    cut = bottom;
            }
            part = cut > 0 ? cut : part;
        }
        drawBubblePart(bubble, x, top, part);
        top += part;
        y += part;
        ensureSpace(image.height() - top);
    }
}

void MsgPagePainter::drawBubblePart(const PageBubble &bubble, int x, int top, int height)
{
    painter.drawImage(QPoint(x, y), bubble.image, QRect(0, top, bubble.image.width(), height));
    if (!bubble.text)
        return;
    const QPointF origin(x, y - top);
    for (int i = 0; i < bubble.text->lineCount(); ++i) {
        const QTextLine line = bubble.text->lineAt(i);
        if (line.y() >= top && line.y() < top + height)
            line.draw(&painter, origin);
    }
}

bool MsgPagePainter::end()
{
    if (!painter.isActive())
        return false;
    return painter.end();
}

void MsgPagePainter::drawBubble(QPainter &painter, const QRect &rect, bool fromMe)
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
        for (int column = 0; column < 3; ++column) {
            const QImage &cell = frame[row * 3 + column];
            if (!cell.isNull())
                painter.drawImage(QRect(xs[column], ys[row], ws[column], hs[row]), cell);
        }
    }
}

QImage renderTextBubble(const QString &text, int width, bool fromMe)
{
    QSize size;
    const std::unique_ptr<QTextLayout> layout = layoutBubbleText(text, width, fromMe, size);
    QImage image = bubbleFrame(size, fromMe);
    QPainter painter(&image);
    painter.setPen(textColour);
    layout->draw(&painter, QPointF(0, 0));
    return image;
}

QImage renderImageBubble(const QImage &picture, bool fromMe)
{
    if (picture.isNull())
        return picture;
    const int w = picture.width();
    const int h = picture.height();
    QImage image(qMax(w + 50, 90), qMax(h + 30, 52), QImage::Format_ARGB32);
    image.fill(bubbleBackground());
    QPainter painter(&image);
    MsgPagePainter::drawBubble(painter, image.rect(), fromMe);
    painter.drawImage(QRect(fromMe ? 20 : 30, 10, w, h + 10), picture);
    return image;
}

QString emojiPlaceholder(void *, const QString &)
{
    return QStringLiteral("[EMOJI]");
}
