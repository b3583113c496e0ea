// Draws the pictures of the bubble view's pages: the nine-slice frames of the received
// ("bb1", tail at the lower left) and the sent ("bb2", tail at the lower right) bubble, one
// PNG per cell named "<kind>_01.png" (top left) to "<kind>_09.png" (bottom right), row by
// row, and the placeholder thumbnail "empty_photo.jpg".
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_bubbles.cpp $(pkg-config --cflags --libs Qt5Gui) -o /tmp/mb
//   QT_QPA_PLATFORM=offscreen /tmp/mb
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

// The slice widths must match the cell sizes in style.css and the slice table of the page
// painter (operations/msgpagepainter.cpp).
const int tailSide = 20; // the column that holds the tail
const int plainSide = 14;
const int topRow = 14;
const int bottomRow = 14;
const int middle = 8;

struct Kind
{
    const char *name;
    bool tailRight;
    QColor fill;
    QColor border;
};

QPainterPath bubblePath(int width, int height, bool tailRight)
{
    // Drawn for a tail at the lower left, mirrored for the other kind.
    const qreal inset = 6.5;
    const qreal radius = 12;
    QPainterPath body;
    body.addRoundedRect(QRectF(inset, 0.5, width - inset - 0.5, height - 1), radius, radius);
    QPainterPath tail;
    tail.moveTo(inset + 2, height - 18);
    tail.cubicTo(inset + 2, height - 6, inset - 2, height - 2, 0.5, height - 0.5);
    tail.cubicTo(inset + 4, height - 1.5, inset + 9, height - 3, inset + 12, height - 6);
    tail.closeSubpath();
    QPainterPath path = body.united(tail);
    if (tailRight) {
        QTransform mirror;
        mirror.translate(width, 0);
        mirror.scale(-1, 1);
        path = mirror.map(path);
    }
    return path;
}

bool drawKind(const Kind &kind)
{
    const int left = kind.tailRight ? plainSide : tailSide;
    const int right = kind.tailRight ? tailSide : plainSide;
    const int width = left + middle + right;
    const int height = topRow + middle + bottomRow;
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(kind.border, 1));
        painter.setBrush(kind.fill);
        painter.drawPath(bubblePath(width, height, kind.tailRight));
    }
    const int xs[] = { 0, left, left + middle, width };
    const int ys[] = { 0, topRow, topRow + middle, height };
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QRect cell(
                xs[column], ys[row], xs[column + 1] - xs[column], ys[row + 1] - ys[row]);
            const QString file = QString::asprintf("%s_%02d.png", kind.name, row * 3 + column + 1);
            if (!image.copy(cell).save(file, "PNG"))
                return false;
        }
    }
    return true;
}

bool drawEmptyPhoto()
{
    const int width = 120;
    const int height = 90;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(236, 238, 242));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(190, 194, 202), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(0.5, 0.5, width - 1, height - 1));
    // A landscape with a sun: the usual sign for a picture that is not there.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(172, 178, 190));
    painter.drawEllipse(QRectF(76, 18, 16, 16));
    QPainterPath hills;
    hills.moveTo(20, 70);
    hills.lineTo(46, 38);
    hills.lineTo(64, 58);
    hills.lineTo(74, 48);
    hills.lineTo(100, 70);
    hills.closeSubpath();
    painter.drawPath(hills);
    painter.end();
    return image.save(QStringLiteral("empty_photo.jpg"), "JPG", 90);
}

}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const Kind kinds[] = {
        { "bb1", false, QColor(236, 236, 240), QColor(196, 196, 204) },
        { "bb2", true, QColor(214, 244, 190), QColor(160, 206, 132) },
    };
    for (const Kind &kind : kinds) {
        if (!drawKind(kind)) {
            std::fprintf(stderr, "cannot write the %s frame\n", kind.name);
            return 1;
        }
    }
    if (!drawEmptyPhoto()) {
        std::fprintf(stderr, "cannot write empty_photo.jpg\n");
        return 1;
    }
    return 0;
}
