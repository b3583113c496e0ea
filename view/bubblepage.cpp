#include "view/bubblepage.h"

#include "records/emojimarkup.h"
#include "records/msgidentity.h"
#include "view/contactcardimage.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QUrl>
#include <QVector>

namespace {

const QString pageHead = QStringLiteral(
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">"
    "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
    "<title>Bubble</title>"
    "<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"
    "</head><body><a name=\"start\"></a>");

QString fileLink(const QString &path, const QString &label)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(fileUrlAttribute(path), label);
}

// The file's text up to its first NUL byte; a null string when it cannot be read. Only as
// much is read as a bubble can show, and one unit more so that the cut shows.
QString plainTextAttachment(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.read(qint64(BubbleLimits::Characters + 1) * 4);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// The bubble content of one attachment; a null string when it shows nothing.
QString attachmentContent(const _MsgAttachment &attachment)
{
    const QString &path = attachment.localPath;
    const AttachmentKind kind = attachmentKind(attachment.mime_type);
    if (kind == AttachmentKind::Image) {
        return attachmentImageLink(path, attachmentThumbnail(attachment),
            QStringLiteral("stype=\"max-width:120px;max-height:120px\""));
    }
    if (kind == AttachmentKind::VCard) {
        const QString card = renderVCardImage(path);
        if (!card.isEmpty() && QFileInfo(card).isFile()) {
            return attachmentImageLink(
                path, card, QStringLiteral("stype=\"max-width:200px;max-height:200px\""));
        }
    }
    if (kind == AttachmentKind::Text) {
        const QString text = plainTextAttachment(path);
        if (text.isNull())
            return QString();
        return bubbleTextHtml(text);
    }
    return fileLink(path, attachmentLabel(kind));
}

// The words without attachment marks, as far as a bubble can show them and one unit more,
// so that the cut still shows: a hostile text is never copied whole.
QString shownPlainText(const QString &text)
{
    QString shown;
    shown.reserve(qMin(text.size(), BubbleLimits::Characters + 1));
    for (const QChar c : text) {
        if (c.unicode() == 0xFFFC)
            continue;
        shown += c;
        if (shown.size() > BubbleLimits::Characters)
            break;
    }
    return shown;
}

// The date line that an ordinary message opens when it comes more than a minute after the
// last one (lastDate, seconds since 1970); empty otherwise and for system events.
QString dateLine(const _MsgMessage &m, qint64 &lastDate)
{
    if (m.item_type != 0)
        return QString();
    const QDateTime when = dateTimeFromTime(m.date);
    const qint64 t = when.toSecsSinceEpoch();
    if (t - lastDate <= 60)
        return QString();
    lastDate = t;
    return QStringLiteral("<div class=\"dt\">%1</div>")
        .arg(QLocale::c().toString(when.toLocalTime(), QStringLiteral("dd MMM yyyy h:m AP")));
}

// The message with its date line above it, or below it on a page of newest first.
void appendMessage(QString &page, const _MsgMessage &m, const QString &dateLine, bool lineBelow)
{
    page += QStringLiteral("<a name=\"sms_%1\"></a>").arg(m.rowid);
    if (m.item_type != 0) {
        page
            += QStringLiteral("<div class=\"sysif\">%1</div>").arg(bubbleTextHtml(m.displayText()));
        return;
    }

    bool cut = false;
    const QString sender = boundedBubbleText(groupSenderName(m), &cut);
    const bool fromMe = m.is_from_me != 0;
    if (!lineBelow)
        page += dateLine;

    QString text;
    if (!m.subject.isEmpty())
        text = QStringLiteral("<Subject:%1>\n").arg(m.subject.left(BubbleLimits::Characters));
    text += shownPlainText(m.text);
    if (!text.isEmpty() || m.attachments.isEmpty())
        page += bubbleHtml(bubbleTextHtml(text), fromMe, sender);

    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        const QString content = attachmentContent(*attachment);
        if (!content.isNull())
            page += bubbleHtml(content, fromMe, sender);
    }
    if (lineBelow)
        page += dateLine;
}

} // namespace

QString escapeHtmlText(QString &text)
{
    text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    // Plain replacements rather than a regular expression: PCRE refuses texts holding a
    // lone surrogate, and such texts do arrive from phones.
    text.replace(QLatin1String("\r\n"), QLatin1String("<br/>"));
    text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return markEmoji(text, emojiImageTag, nullptr);
}

QString escapeHtmlAttribute(const QString &text)
{
    QString escaped = text.toHtmlEscaped();
    escaped.replace(QLatin1Char('\''), QLatin1String("&#39;"));
    return escaped;
}

QString fileUrlAttribute(const QString &path)
{
    return escapeHtmlAttribute(QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded()));
}

QString bubbleHtml(const QString &content, bool fromMe, const QString &senderName)
{
    QString html;
    if (!senderName.isEmpty()) {
        QString name = senderName;
        html += QStringLiteral("<div class=\"ct_left\">%1</div><div class=\"clear\"></div>")
                    .arg(escapeHtmlText(name));
    }
    html += QStringLiteral("<div class=\"%1\">")
                .arg(fromMe ? QLatin1String("bb2") : QLatin1String("bb1"));
    html += QLatin1String(
        "<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
        "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
        "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
        "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
        "<div class=\"bb_bg bottom_right\"></div>");
    html += content;
    html += QLatin1String("</div><div class=\"clear\"></div>");
    return html;
}

QString attachmentImageLink(
    const QString &file, const QString &thumbnail, const QString &attributes)
{
    const QString source = QFileInfo(thumbnail).isFile() ? fileUrlAttribute(thumbnail)
                                                         : QStringLiteral("bubble/empty_photo.jpg");
    return QStringLiteral("<a href=\"%1\"><img src=\"%2\" %3></a>")
        .arg(fileUrlAttribute(file), source, attributes);
}

QString emojiImageTag(void *, const QString &hex)
{
    return QStringLiteral("<img src=\"emoji/%1.png\" />").arg(hex);
}

QString boundedBubbleText(const QString &text, bool *cut)
{
    int lines = 0;
    int emoji = 0;
    int i = 0;
    const int size = qMin(text.size(), BubbleLimits::Characters);
    while (i < size) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\n') && ++lines > BubbleLimits::Lines)
            break;
        const int units = emojiUnitsAt(text, i);
        if (units > 0 && ++emoji > BubbleLimits::Emoji)
            break;
        i += qMax(units, 1);
    }
    // Never end on half of a surrogate pair.
    if (i > size || (i < text.size() && i > 0 && text.at(i - 1).isHighSurrogate()))
        i = i > size ? size - 1 : i - 1;
    *cut = i < text.size();
    return *cut ? text.left(i) : text;
}

QString bubbleTextHtml(const QString &text)
{
    bool cut = false;
    QString shown = boundedBubbleText(text, &cut);
    escapeHtmlText(shown);
    if (cut) {
        shown += QStringLiteral("<span class=\"cut\">%1</span>")
                     .arg(QCoreApplication::translate("BubbleViewMgr", "IDS_BUBBLE_TEXT_CUT"));
    }
    return shown;
}

QString bubblePageHtml(const MsgMessageList &list, int page, int pageCount, Qt::SortOrder order)
{
    if (page < 1 || page > pageCount)
        return QString();
    const int per = BubblePageSize;
    const int first = (page - 1) * per;
    const int last = qMin(first + per, list.size());

    QString html = pageHead;
    if (page != 1)
        html += QLatin1String("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");
    // The minute clock always runs from the oldest message of the page, so that newest first
    // shows the date lines of oldest first, each on the older side of its message.
    const bool newestFirst = order == Qt::DescendingOrder;
    QVector<QString> dateLines(last - first);
    qint64 lastDate = 0;
    for (int k = 0; k < last - first; ++k) {
        const int i = newestFirst ? last - 1 - k : first + k;
        if (list.at(i))
            dateLines[i - first] = dateLine(*list.at(i), lastDate);
    }
    for (int i = first; i < last; ++i) {
        if (list.at(i))
            appendMessage(html, *list.at(i), dateLines.at(i - first), newestFirst);
    }
    if (page != pageCount)
        html += QLatin1String("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    html += QLatin1String("<a name=\"end\"></a></body></html>");
    return html;
}
