#include "operations/exportmessageshtml.h"

#include "operations/exportfilename.h"
#include "operations/textattachment.h"
#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/writerruns.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "view/bubblepage.h"
#include "view/contactcardimage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QUrl>

#include <stdexcept>

namespace {

QString htmlImageLink(const QString &link, const QString &image, const QString &attributes)
{
    // Closed as XML wants it: the page is XHTML.
    return QStringLiteral("<a href=\"%1\"><img src=\"%2\" %3 /></a>").arg(link, image, attributes);
}

QString textLink(const QString &link, const QString &label)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(link, label);
}

QString escaped(QString text)
{
    return escapeHtmlText(text);
}

// A folder of pictures that the program keeps beside itself.
QDir programPictures(const QString &name)
{
    return QDir(QCoreApplication::applicationDirPath() + QLatin1Char('/') + name);
}

bool sameBytes(const QString &one, const QString &other)
{
    QFile a(one);
    QFile b(other);
    if (a.size() != b.size() || !a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly))
        return false;
    while (!a.atEnd()) {
        if (a.read(1 << 16) != b.read(1 << 16))
            return false;
    }
    return true;
}

// Copies a file that the exported pages name. A page whose style sheet or pictures are
// missing or wrong shows no bubbles or broken pictures: that is a failed export, never a
// success. One already there is kept only when it is the program's own; any other (an empty
// one a killed run left, an older style) is replaced.
void copyNamedFile(CreatedPaths &created, const QString &source, const QString &target)
{
    if (created.copyFile(source, target))
        return;
    const QFileInfo existing(target);
    if (existing.isFile() && sameBytes(source, target))
        return;
    QString error;
    if (existing.isFile() && !existing.isSymLink()) {
        if (durable::copyFile(source, target, &error))
            return;
        throw std::runtime_error(QStringLiteral("Cannot copy %1 to %2")
                                     .arg(QDir::toNativeSeparators(source), error)
                                     .toStdString());
    }
    QFile in(source);
    QString reason = QStringLiteral("something else is in its place");
    if (!QFileInfo::exists(target) && !QFileInfo(target).isSymLink())
        reason
            = in.open(QIODevice::ReadOnly) ? QStringLiteral("it is not a file") : in.errorString();
    throw std::runtime_error(
        QStringLiteral("Cannot copy %1 to %2: %3")
            .arg(QDir::toNativeSeparators(source), QDir::toNativeSeparators(target), reason)
            .toStdString());
}

// The files a style sheet names with url(...): pictures beside it.
QStringList picturesNamedIn(const QString &styleSheet)
{
    QFile file(styleSheet);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression url(
        QStringLiteral("url\\(\\s*['\"]?([^'\")\\s]+)['\"]?\\s*\\)"));
    QStringList names;
    auto it = url.globalMatch(QString::fromUtf8(file.readAll()));
    while (it.hasNext()) {
        const QString name = it.next().captured(1);
        if (isOneFolderEntry(name) && !names.contains(name))
            names.append(name);
    }
    return names;
}

} // namespace

void ExportMessagesHtml::copyPageStyle(const QDir &folder, CreatedPaths &created)
{
    const QDir files(folder.filePath(QStringLiteral("files")));
    created.makeFolder(files.path());
    // What killed runs left of the files they copied goes before this run copies its own.
    writerruns::removeDeadLeftovers(files.path());
    writerruns::removeDeadLeftovers(folder.filePath(QStringLiteral("emoji")));
    const QDir bubble = programPictures(QStringLiteral("bubble"));
    const QString styleSheet = QStringLiteral("style.css");
    // The pages link the style sheet and the placeholder of a missing picture.
    QStringList names { styleSheet, QStringLiteral("empty_photo.jpg") };
    names += picturesNamedIn(bubble.filePath(styleSheet));
    for (const QString &name : bubble.entryList(QDir::Files)) {
        if (!names.contains(name))
            names.append(name);
    }
    for (const QString &name : qAsConst(names))
        copyNamedFile(created, bubble.filePath(name), files.filePath(name));
}

ExportMessagesHtml::ExportMessagesHtml(
    const QDir &folder, const QString &fileName, CreatedPaths *created)
    : folder(folder)
    , filesDir(folder.absoluteFilePath(QStringLiteral("files")))
    , page(folder.absoluteFilePath(fileName))
    , created(created ? created : &ownList)
{
    if (!filesDir.exists())
        QDir().mkpath(filesDir.absolutePath());
}

void ExportMessagesHtml::begin()
{
    page.open();
    page << QLatin1String(
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n"
        "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n")
         << QStringLiteral("<title>%1</title>\r\n").arg(productTitle().toHtmlEscaped())
         << QLatin1String("<link href=\"files/style.css\" type=\"text/css\" "
                          "rel=\"stylesheet\"/></head><body>\r\n");
}

void ExportMessagesHtml::write(_MsgMessage *message)
{
    const _MsgMessage &m = *message;
    QString html;
    if (m.item_type != 0) {
        html = QStringLiteral("<div class=\"sysif\">%1</div>").arg(escaped(m.displayText()));
    } else {
        const QString sender = groupSenderName(m);
        const bool fromMe = m.is_from_me != 0;

        const QDateTime when = times.at(m.date);
        const qint64 t = qint64(m.date) + RecordEpochOffset;
        if (t - lastDateLineTime > 60) {
            html += QStringLiteral("<div class=\"dt\">%1</div>")
                        .arg(QLocale::c().toString(when, QStringLiteral("dd MMM yyyy h:m AP")));
            lastDateLineTime = t;
        }

        QString text;
        if (!m.subject.isEmpty())
            text = QStringLiteral("<Subject:%1>\n").arg(m.subject);
        text += m.plainText();
        text = text.trimmed();
        if (!text.isEmpty() || m.attachments.isEmpty())
            html += bubbleHtml(escapeHtmlText(text), fromMe, sender);
        for (const _MsgAttachment *attachment : m.sortedAttachments()) {
            const QString content = attachmentContent(*attachment);
            if (!content.isNull())
                html += bubbleHtml(content, fromMe, sender);
        }
    }
    noteEmoji(html);
    page << html << QLatin1String("\r\n");
}

void ExportMessagesHtml::end()
{
    page << QLatin1String("</body></html>");
    page.commit();
    created->addFile(page.path());
    copyEmoji();
}

void ExportMessagesHtml::noteEmoji(const QString &html)
{
    const QLatin1String tag("<img src=\"emoji/");
    for (int at = html.indexOf(tag); at >= 0; at = html.indexOf(tag, at)) {
        at += tag.size();
        const int end = html.indexOf(QLatin1Char('"'), at);
        if (end < 0)
            break;
        emoji.insert(html.mid(at, end - at));
    }
}

void ExportMessagesHtml::copyEmoji()
{
    if (emoji.isEmpty())
        return;
    // Only the pictures the page shows: the program's folder holds thousands.
    const QDir source = programPictures(QStringLiteral("emoji"));
    const QString target = folder.absoluteFilePath(QStringLiteral("emoji"));
    created->makeFolder(target);
    for (const QString &name : qAsConst(emoji))
        copyNamedFile(*created, source.filePath(name), QDir(target).filePath(name));
}

QString ExportMessagesHtml::copyToFiles(const QString &sourcePath)
{
    const QString name = safeFileName(QFileInfo(sourcePath).fileName(), QStringLiteral("file"));
    const QString target = uniqueFilePath(filesDir.filePath(name));
    if (!created->copyFile(sourcePath, target))
        return QString();
    return QFileInfo(target).fileName();
}

QString ExportMessagesHtml::filesLink(const QString &name, const QString &missing)
{
    if (name.isEmpty())
        return missing;
    return QStringLiteral("files/") + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

QString ExportMessagesHtml::attachmentContent(const _MsgAttachment &attachment)
{
    const QString &path = attachment.localPath;
    const AttachmentKind kind = attachmentKind(attachment.mime_type);
    if (kind == AttachmentKind::Text) {
        bool cut = false;
        const QString text = readTextAttachment(path, &cut);
        if (text.isNull())
            return QString();
        // The page shows the beginning of a long text and links the whole file.
        const QString whole = cut ? copyToFiles(path) : QString();
        if (whole.isEmpty())
            return escaped(text);
        return escaped(text) + QStringLiteral("<br/>")
            + textLink(filesLink(whole, QStringLiteral("#")),
                QStringLiteral("The whole text: %1").arg(whole.toHtmlEscaped()));
    }
    const bool exists = !path.isEmpty() && QFileInfo(path).isFile();
    const QString link
        = exists ? filesLink(copyToFiles(path), QStringLiteral("#")) : QStringLiteral("#");

    if (kind == AttachmentKind::Image) {
        const QString thumbnail = exists ? attachmentThumbnail(attachment) : QString();
        const QString image = filesLink(thumbnail.isEmpty() ? QString() : copyToFiles(thumbnail),
            QStringLiteral("files/empty_photo.jpg"));
        return htmlImageLink(
            link, image, QStringLiteral("style=\"max-width:120px;max-height:120px\""));
    }
    if (kind == AttachmentKind::VCard) {
        const QString card = exists ? renderVCardImage(path) : QString();
        if (!card.isEmpty() && QFileInfo(card).isFile()) {
            const QString image = filesLink(copyToFiles(card), QStringLiteral("#"));
            return htmlImageLink(
                link, image, QStringLiteral("style=\"max-width:200px;max-height:200px\""));
        }
    }
    return textLink(link, attachmentLabel(kind));
}
