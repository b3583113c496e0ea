#include "view/bubblepage.h"

#include "messages/msgidentity.h"
#include "view/bubbleviewmgr.h"
#include "view/contactcardimage.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace {

const QString pageHead = QStringLiteral(
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">"
    "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
    "<title>Bubble</title>"
    "<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"
    "</head><body><a name=\"start\"></a>");

QString fileLink(const QString &path, const char *label)
{
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(fileUrlAttribute(path), QLatin1String(label));
}

// The file's text up to its first NUL byte; a null string when it cannot be read.
QString plainTextAttachment(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// The bubble content of one attachment; a null string when it shows nothing.
QString attachmentContent(const _MsgAttachment &attachment)
{
    const QString &mime = attachment.mime_type;
    const QString &path = attachment.localPath;
    if (mime.startsWith(QLatin1String("image/"), Qt::CaseInsensitive)) {
        return attachmentImageLink(path, attachmentThumbnail(attachment),
            QStringLiteral("stype=\"max-width:120px;max-height:120px\""));
    }
    if (mime.startsWith(QLatin1String("video/"), Qt::CaseInsensitive))
        return fileLink(path, "[VIDEO]");
    if (mime.startsWith(QLatin1String("audio/"), Qt::CaseInsensitive))
        return fileLink(path, "[AUDIO]");
    if (mime.compare(QLatin1String("text/x-vCard"), Qt::CaseInsensitive) == 0
        || mime.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0) {
        const QString card = renderVCardImage(path);
        if (!card.isEmpty() && QFileInfo(card).isFile()) {
            return attachmentImageLink(
                path, card, QStringLiteral("stype=\"max-width:200px;max-height:200px\""));
        }
        return fileLink(path, "[VCARD]");
    }
    if (mime.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
        QString text = plainTextAttachment(path);
        if (text.isNull())
            return QString();
        return escapeHtmlText(text);
    }
    return fileLink(path, "[ATTACHMENT]");
}

QString senderNameOf(const _MsgMessage &m)
{
    if (m.chat && m.chat->isGroup() && m.is_from_me == 0 && m.handle)
        return m.handle->displayName(false);
    return QString();
}

void appendMessage(QString &page, const _MsgMessage &m, qint64 &lastDate)
{
    page += QStringLiteral("<a name=\"sms_%1\"></a>").arg(m.rowid);
    if (m.item_type != 0) {
        QString event = m.displayText();
        page += QStringLiteral("<div class=\"sysif\">%1</div>").arg(escapeHtmlText(event));
        return;
    }

    const QString sender = senderNameOf(m);
    const bool fromMe = m.is_from_me != 0;
    const QDateTime when = dateTimeFromTime(m.date);
    const qint64 t = when.toSecsSinceEpoch();
    if (t - lastDate > 60) {
        page += QStringLiteral("<div class=\"dt\">%1</div>")
                    .arg(QLocale::c().toString(
                        when.toLocalTime(), QStringLiteral("dd MMM yyyy h:m AP")));
        lastDate = t;
    }

    QString text;
    if (!m.subject.isEmpty())
        text = QStringLiteral("<Subject:%1>\n").arg(m.subject);
    text += m.plainText();
    if (!text.isEmpty() || m.attachments.isEmpty())
        page += bubbleHtml(escapeHtmlText(text), fromMe, sender);

    for (const _MsgAttachment *attachment : m.sortedAttachments()) {
        const QString content = attachmentContent(*attachment);
        if (!content.isNull())
            page += bubbleHtml(content, fromMe, sender);
    }
}

}

QString bubblePageHtml(const MsgMessageList &list, int page, int pageCount)
{
    if (page < 1 || page > pageCount)
        return QString();
    const int per = BubbleViewMgr::MessagesPerPage;
    const int first = (page - 1) * per;
    const int last = qMin(first + per, list.size());

    QString html = pageHead;
    if (page != 1)
        html += QLatin1String("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");
    qint64 lastDate = 0;
    for (int i = first; i < last; ++i) {
        if (list.at(i))
            appendMessage(html, *list.at(i), lastDate);
    }
    if (page != pageCount)
        html += QLatin1String("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    html += QLatin1String("<a name=\"end\"></a></body></html>");
    return html;
}
