// Shapes and the PNG writer shared by the icon generators of this folder (they are small
// programs run by hand; their pictures are committed).
#pragma once

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace iconshapes {

// Paints a transparent square icon of the given size and writes it as PNG.
inline bool draw(const char *fileName, int size, const std::function<void(QPainter &)> &paint)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    paint(painter);
    painter.end();
    if (!image.save(QString::fromLatin1(fileName), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", fileName);
        return false;
    }
    return true;
}

// A phone front: casing, screen and home button.
inline void phone(QPainter &p, const QRectF &body, const QColor &colour)
{
    const qreal r = body.width() / 5;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(body, r, r);
    const qreal margin = body.width() / 8;
    p.setBrush(QColor(205, 228, 250));
    p.drawRect(QRectF(body.left() + margin, body.top() + body.height() * 0.13,
        body.width() - 2 * margin, body.height() * 0.68));
    p.setBrush(QColor(240, 240, 240));
    const qreal button = body.width() / 5;
    p.drawEllipse(
        QPointF(body.center().x(), body.bottom() - body.height() * 0.09), button / 2, button / 2);
}

// The database drum: a shaded side and a lighter top.
inline void cylinder(QPainter &p, const QRectF &box, const QColor &colour, qreal outline = 1)
{
    const qreal cap = box.height() / 4;
    QPainterPath side;
    side.moveTo(box.left(), box.top() + cap / 2);
    side.lineTo(box.left(), box.bottom() - cap / 2);
    side.arcTo(QRectF(box.left(), box.bottom() - cap, box.width(), cap), 180, 180);
    side.lineTo(box.right(), box.top() + cap / 2);
    side.closeSubpath();
    QLinearGradient gradient(box.topLeft(), box.topRight());
    gradient.setColorAt(0, colour.darker(125));
    gradient.setColorAt(0.45, colour.lighter(120));
    gradient.setColorAt(1, colour.darker(140));
    p.setPen(QPen(colour.darker(170), outline));
    p.setBrush(gradient);
    p.drawPath(side);
    p.setBrush(colour.lighter(135));
    p.drawEllipse(QRectF(box.left(), box.top(), box.width(), cap));
}

} // namespace iconshapes
