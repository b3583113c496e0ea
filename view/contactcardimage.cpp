#include "contactcardimage.h"

#include "shell/datafolder.h"
#include "view/vcardreader.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QImageReader>
#include <QLocale>
#include <QPainter>
#include <QPen>
#include <QSaveFile>

namespace {

const int cardWidth = 200;
const int cardHeight = 90;
const int borderWidth = 1;
const int margin = 5;
const int lineSpacing = 1;
const int photoSize = 47;
const int basePixelSize = 11;
const int maxPhoneLines = 4;
// A vCard is a few kilobytes plus a photo: only its start is read, so that a hostile file of
// many megabytes still draws at once.
const qint64 maxVCardRead = 4 * 1024 * 1024;
// The card shows a few lines of each field; longer values are cut with an ellipsis.
const int maxFieldLength = 256;
// Photos of more pixels are decoded scaled down (JPEG) or not at all.
const qint64 maxPhotoPixels = 4096 * 4096;

QString cacheFolder()
{
    const QString path = dataFolder().filePath(QStringLiteral("vcard_cache"));
    QDir().mkpath(path);
    return path;
}

// Keyed by the file's identity, so a vCard replaced at the same path gets a new picture.
QString cachePath(const QFileInfo &info)
{
    const QString key = info.absoluteFilePath() + QLatin1Char('\n') + QString::number(info.size())
        + QLatin1Char('\n') + QString::number(info.lastModified().toMSecsSinceEpoch());
    return QDir(cacheFolder()).absoluteFilePath(md5Hex(key) + QStringLiteral(".jpg"));
}

// The property's text, cut to maxFieldLength characters and marked with an ellipsis when
// longer. Only the bytes that can matter are decoded.
QString fieldText(const VCardProperty &property)
{
    VCardProperty head = property;
    head.value = property.value.left((maxFieldLength + 1) * 4);
    QString text = vcardValueToString(head);
    if (text.size() <= maxFieldLength && head.value.size() == property.value.size())
        return text;
    text.truncate(maxFieldLength);
    if (text.endsWith(QChar(0xFFFD))
        || (!text.isEmpty() && text.at(text.size() - 1).isHighSurrogate()))
        text.chop(1);
    return text + QChar(0x2026);
}

ContactCardInfo cardInfo(const VCard &card)
{
    ContactCardInfo info;
    for (const VCardProperty &property : card) {
        const QString name = property.name.toUpper();
        if (name == QLatin1String("FN"))
            info.fn = fieldText(property);
        else if (name == QLatin1String("BDAY"))
            info.bday = fieldText(property);
        else if (name == QLatin1String("ADR"))
            info.adr = fieldText(property);
        else if (name == QLatin1String("TEL") && info.tels.size() < maxPhoneLines)
            info.tels.append(fieldText(property));
        else if (name == QLatin1String("EMAIL"))
            info.email = fieldText(property);
        else if (name == QLatin1String("TITLE"))
            info.title = fieldText(property);
        else if (name == QLatin1String("ORG"))
            info.org = fieldText(property);
        else if (name == QLatin1String("PHOTO"))
            info.photo = property.value;
    }
    return info;
}

QImage readImage(const QByteArray &bytes, const char *format)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    if (!reader.canRead())
        return QImage();
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > maxPhotoPixels) {
        // Only the JPEG decoder scales while decoding; others would allocate it all first.
        if (qstrcmp(format, "jpg") != 0)
            return QImage();
        reader.setScaledSize(size.scaled(photoSize, photoSize, Qt::KeepAspectRatio));
    }
    return reader.read();
}

QImage photoImage(const QByteArray &bytes)
{
    QImage image;
    if (!bytes.isEmpty()) {
        image = readImage(bytes, "jpg");
        if (image.isNull())
            image = readImage(bytes, "png");
    }
    if (image.isNull())
        image.load(QStringLiteral(":res/contact.png"));
    return image;
}

QString birthdayText(const QString &bday)
{
    const QString datePart = bday.trimmed().section(QLatin1Char('T'), 0, 0);
    QDate date = QDate::fromString(datePart, Qt::ISODate);
    if (!date.isValid())
        date = QDate::fromString(datePart, QStringLiteral("yyyyMMdd"));
    return QLocale::system().toString(date, QLocale::ShortFormat);
}

void drawCard(QImage &image, const ContactCardInfo &info)
{
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(219, 226, 237));
    painter.setPen(QPen(
        QBrush(QColor(185, 185, 187)), borderWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(QPoint(0, 0), QPoint(cardWidth - 2, cardHeight - 2)));

    const QImage photo = photoImage(info.photo);
    if (!photo.isNull())
        painter.drawImage(QPoint(margin, margin),
            photo.scaled(photoSize, photoSize, Qt::KeepAspectRatio, Qt::FastTransformation));

    painter.setPen(Qt::black);
    QFont font;
    const int x = margin + borderWidth + photoSize;
    const int width = cardWidth - 10 - x;
    int y = margin;

    font.setPixelSize(basePixelSize + basePixelSize / 7);
    y += drawCardField(painter, font, x, y, width, info.fn, QString(), true) + lineSpacing;
    font.setPixelSize(basePixelSize);

    if (!info.title.isEmpty() || !info.org.isEmpty()) {
        QString job = info.title;
        if (!info.org.isEmpty())
            job += QLatin1Char(' ') + info.org;
        y += drawCardField(painter, font, x, y, width, job.trimmed(), QString(), true)
            + lineSpacing;
    }
    const int bottom = cardHeight - margin;
    if (!info.bday.isEmpty())
        y += drawCardField(painter, font, x, y, width, QStringLiteral("Birthday:"),
                 birthdayText(info.bday), false, bottom)
            + lineSpacing;
    for (int i = 0; i < info.tels.size() && i < maxPhoneLines; ++i)
        y += drawCardField(
                 painter, font, x, y, width, QStringLiteral("Phone:"), info.tels.at(i), true)
            + lineSpacing;
    if (!info.email.isEmpty())
        y += drawCardField(painter, font, x, y, width, QStringLiteral("E-Mail:"), info.email, true)
            + lineSpacing;
    if (!info.adr.isEmpty())
        drawCardField(
            painter, font, x, y, width, QStringLiteral("Address:"), info.adr, false, bottom);
    painter.end();
}

// The text cut to its longest start that, with an ellipsis, wraps within the box's width
// and maxHeight; the text itself when it fits.
QString fitWrapped(
    QPainter &painter, const QRect &box, int flags, const QString &text, int maxHeight)
{
    const auto fits = [&](const QString &candidate) {
        return painter.boundingRect(box, flags, candidate).height() <= maxHeight;
    };
    if (fits(text))
        return text;
    const QChar ellipsis(0x2026);
    int shortest = 0;
    int longest = text.size() - 1;
    while (shortest < longest) {
        const int middle = (shortest + longest + 1) / 2;
        if (fits(text.left(middle) + ellipsis))
            shortest = middle;
        else
            longest = middle - 1;
    }
    if (shortest > 0 && text.at(shortest - 1).isHighSurrogate())
        --shortest;
    return text.left(shortest) + ellipsis;
}

} // namespace

int drawCardField(QPainter &painter, QFont font, int x, int y, int width, const QString &label,
    const QString &value, bool singleLine, int bottom)
{
    const int lineFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
    const int wrapFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
    const int openHeight = 10000;

    font.setWeight(QFont::Bold);
    font.setItalic(true);
    painter.setFont(font);
    // A label wider than the column is cut at its edge rather than drawn over the border.
    const QString shownLabel = painter.fontMetrics().elidedText(label, Qt::ElideRight, width);
    QRect labelRect = painter.boundingRect(QRect(x, y, width, openHeight), lineFlags, shownLabel);
    labelRect.setRight(qMin(labelRect.right(), x + width - 1));
    painter.drawText(labelRect, lineFlags, shownLabel);
    if (value.isEmpty())
        return labelRect.height();

    font.setWeight(QFont::Normal);
    font.setItalic(false);
    painter.setFont(font);
    const int left = labelRect.right() + 3;
    const int right = x + width - 2;
    if (right <= left)
        return labelRect.height();
    if (singleLine) {
        const QRect box(QPoint(left, labelRect.top()), QPoint(right, labelRect.bottom()));
        painter.drawText(
            box, lineFlags, painter.fontMetrics().elidedText(value, Qt::ElideRight, box.width()));
        return labelRect.height();
    }
    const QRect box(QPoint(left, y), QPoint(right, y + openHeight));
    const QString shown = bottom == INT_MAX
        ? value
        : fitWrapped(painter, box, wrapFlags, value, qMax(bottom - y, labelRect.height()));
    const QRect valueRect = painter.boundingRect(box, wrapFlags, shown);
    painter.drawText(valueRect, wrapFlags, shown);
    return valueRect.height();
}

QString renderVCardImage(const QString &vcfPath)
{
    const QFileInfo fileInfo(vcfPath);
    if (!fileInfo.isFile())
        return QString();
    const QString path = cachePath(fileInfo);
    if (QFileInfo::exists(path))
        return path;

    QFile file(vcfPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QList<VCard> cards = parseVCards(file.read(maxVCardRead));
    if (cards.isEmpty())
        return QString();

    QImage image(cardWidth, cardHeight, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return QString();
    drawCard(image, cardInfo(cards.first()));

    // Written whole or not at all: a torn file would be shown from the cache forever.
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && image.save(&out, "JPG"))
        out.commit();
    return path;
}
