// The markup of the bubble view, built from the messages alone: escaping, one bubble, a
// picture link and whole pages. HTML export and printing use the same helpers.
#pragma once

#include "records/msgrecords.h"

#include <QString>

// Messages on one page.
constexpr int BubblePageSize = 50;

// What one bubble shows at most, so that any page lays out at once however long or odd a
// message is: characters (UTF-16 units), line breaks and emoji pictures. The rest is cut
// with a visible mark; the message itself stays whole.
struct BubbleLimits
{
    static constexpr int Characters = 4000;
    static constexpr int Lines = 100;
    static constexpr int Emoji = 100;
};

// Escapes & < > and line breaks (CR LF or LF become "<br/>") and turns emoji into image
// tags, in place; returns the result. Quotes are left alone: for element text only.
QString escapeHtmlText(QString &text);
// The text made safe inside a double-quoted attribute value.
QString escapeHtmlAttribute(const QString &text);
// The local-file URL of a path, percent-encoded and made safe for an attribute value.
QString fileUrlAttribute(const QString &path);
// One bubble around already-built content; a non-empty sender name is shown above it.
QString bubbleHtml(const QString &content, bool fromMe, const QString &senderName);
// A link to a file shown as an image; "bubble/empty_photo.jpg" when the thumbnail is missing.
// attributes is markup of the caller, written as it is.
QString attachmentImageLink(
    const QString &file, const QString &thumbnail, const QString &attributes);
// The emoji callback of the bubble markup: an image from the "emoji" folder.
QString emojiImageTag(void *userData, const QString &hex);

// The text cut to BubbleLimits (never inside a surrogate pair); cut tells whether anything
// was left out.
QString boundedBubbleText(const QString &text, bool *cut);
// Escaped bubble content of a text within BubbleLimits, ending in the cut mark when cut.
QString bubbleTextHtml(const QString &text);

// The XHTML of page `page` (1-based) of `pageCount`, each page holding up to
// BubblePageSize messages of the list; "" when the page is out of range. A list sorted newest
// first gives the mirror image of its page sorted oldest first.
QString bubblePageHtml(
    const MsgMessageList &list, int page, int pageCount, Qt::SortOrder order = Qt::AscendingOrder);
