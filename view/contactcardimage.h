// The picture of a business card drawn from the first card of a vCard file, as the bubble
// view, the HTML export and printing show a contact attachment.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <climits>

class QFont;
class QPainter;

// The values taken from the first card; the last occurrence of a field wins, except TEL.
struct ContactCardInfo
{
    QByteArray photo;
    QString fn;
    QString title;
    QString org;
    QString bday;
    QString email;
    QString adr;
    QStringList tels;
};

// The path of the card's JPEG in the user's cache, drawn on first use; "" when the file
// cannot be read or holds no card. A changed file gets a new picture.
QString renderVCardImage(const QString &vcfPath);

// Draws a bold italic label and its value to its right; returns the height used. A text
// wider than its line, or a wrapped value that would reach below `bottom`, is cut and ends
// in an ellipsis, so that the card shows that there is more.
int drawCardField(QPainter &painter, QFont font, int x, int y, int width, const QString &label,
    const QString &value, bool singleLine, int bottom = INT_MAX);
