// Lays messages out on printer pages as a conversation of speech bubbles: a page number
// under each page, centred date lines, sender names in group chats, and text and picture
// bubbles framed by nine-slice images. Shared by the PDF export and printing. However long
// a message is, painting keeps to the memory and the work of the page at hand.
#pragma once

#include "operations/localtimecache.h"
#include "records/msgrecords.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRect>

#include <climits>
#include <functional>

class QPagedPaintDevice;

// The page and bubble background, rgb(219, 226, 237); the contact card pictures use it too.
const QColor &bubbleBackground();

class MsgPagePainter
{
public:
    // The frame slices of a bubble in pixels; they match the pictures in the "bubble" folder.
    struct Slices
    {
        int top;
        int right;
        int bottom;
        int left;
    };
    static Slices slices(bool fromMe);
    // One bubble ready for the page; known only where bubbles are painted.
    struct PageBubble;

    MsgPagePainter();
    // Ends painting when it is still active.
    ~MsgPagePainter();
    MsgPagePainter(const MsgPagePainter &) = delete;
    MsgPagePainter &operator=(const MsgPagePainter &) = delete;

    // Computes the page geometry and starts the first page on a printer or a PDF writer.
    // False when painting cannot start (the PDF file cannot be created); every later call
    // then draws nothing.
    bool begin(QPagedPaintDevice *device);
    // Starts a new page when `height` does not fit below the current position.
    void ensureSpace(int height);
    // Throws a std::runtime_error when the message cannot be drawn.
    void drawMessage(const _MsgMessage &message);
    // Ends painting; for a PDF this completes the file. False when it failed.
    bool end();

    // Called for a text attachment of which the page shows only the beginning; its answer
    // (where the whole text is, say) is shown under the cut.
    void setCutTextNote(std::function<QString(const _MsgAttachment &)> note);
    // Called as each page after the first starts, with its number; what it throws stops the
    // painting and leaves the call that was drawing.
    void setPageStarted(std::function<void(int page)> started);

    bool isActive() const { return painter.isActive(); }
    int pageNumber() const { return page; }
    QRect contentRect() const { return content; }

    // The nine frame images stretched over `rect`, drawn only over the bubble's own rows
    // from `visibleTop` to `visibleBottom` (the part of a bubble split over pages).
    static void drawBubble(QPainter &painter, const QRect &rect, bool fromMe, int visibleTop = 0,
        int visibleBottom = INT_MAX);
    // The text and picture fonts: DejaVu Sans, which the set-up installs, so that pages
    // look the same on every machine.
    static QFont pageFont(int pointSize);

private:
    void startPage();
    void drawSenderLine(const QString &name, bool fromMe);
    PageBubble attachmentBubble(const _MsgAttachment &attachment, bool fromMe) const;
    // Places a bubble, split over pages at line ends when it is taller than a whole page.
    void placeBubble(PageBubble &bubble, int gap);
    int spaceLeft() const;
    int wholePage() const;

    QPagedPaintDevice *device = nullptr;
    QPainter painter;
    QRect content;
    int y = 0;
    int page = 1;
    qint64 lastDateLineTime = 0;
    LocalTimeCache times;
    std::function<QString(const _MsgAttachment &)> cutTextNote;
    std::function<void(int)> pageStarted;
};

// A bubble holding `text` word-wrapped to `width` - 50 pixels (a word longer than that is
// broken); at least 90 x 52.
QImage renderTextBubble(const QString &text, int width, bool fromMe);
// A bubble holding a picture; an empty picture gives an empty image.
QImage renderImageBubble(const QImage &image, bool fromMe);
// Text is laid out at most this many characters at a time, about a page of it.
constexpr int TextPieceChars = 4096;
// Where the piece of a paragraph (no line breaks) that starts at `start` ends, the paragraph
// ending at `end`: at its end when that is near enough, else at the last place within
// TextPieceChars where a line may end, when that falls in the piece's second half, else
// between the last two characters as a reader sees them (never inside a letter with its
// marks, a flag or a joined emoji).
int textPieceEnd(const QString &text, int start, int end);
// The emoji callback of the printed pages: "[EMOJI]".
QString emojiPlaceholder(void *userData, const QString &hex);
