// Draws the icons of the main window's menus and tool bar: saving to a database, the two
// transfers to a phone, attachment extraction, export, print, delete, import of a backup,
// the database folder, exit, help and disconnecting a device.
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_menu_icons.cpp $(pkg-config --cflags --libs Qt5Gui)
//     -o /tmp/make_menu_icons && /tmp/make_menu_icons
#include "../iconshapes.h"

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

const int Size = 48;
const QColor Blue(38, 120, 205);
const QColor Green(46, 160, 80);
const QColor Red(205, 52, 45);
const QColor Grey(95, 100, 110);
const QColor Orange(235, 140, 30);
const QColor Casing(60, 64, 72);

bool draw(const char *fileName, const std::function<void(QPainter &)> &paint)
{
    return iconshapes::draw(fileName, Size, paint);
}

void phone(QPainter &p, const QRectF &body)
{
    iconshapes::phone(p, body, Casing);
}

void cylinder(QPainter &p, const QRectF &box, const QColor &colour)
{
    iconshapes::cylinder(p, box, colour, 1.2);
}

// A thick arrow from `from` to `to`.
void arrow(QPainter &p, QPointF from, QPointF to, const QColor &colour, qreal width = 5)
{
    QLineF line(from, to);
    const qreal head = width * 2.2;
    QLineF shaft(from, line.pointAt(1 - head / line.length()));
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(shaft);
    QLineF normal = line.normalVector().unitVector();
    const QPointF side(normal.dx() * head * 0.8, normal.dy() * head * 0.8);
    QPolygonF tip;
    tip << to << shaft.p2() + side << shaft.p2() - side;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(tip);
}

void document(QPainter &p, const QRectF &page)
{
    const qreal fold = page.width() / 3.5;
    QPainterPath sheet;
    sheet.moveTo(page.topLeft());
    sheet.lineTo(page.right() - fold, page.top());
    sheet.lineTo(page.right(), page.top() + fold);
    sheet.lineTo(page.bottomRight());
    sheet.lineTo(page.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(Grey, 1.5));
    p.setBrush(Qt::white);
    p.drawPath(sheet);
    p.setPen(QPen(QColor(170, 175, 185), 2));
    for (qreal y = page.top() + fold + 4; y < page.bottom() - 4; y += 5)
        p.drawLine(QPointF(page.left() + 5, y), QPointF(page.right() - 5, y));
}

void folder(QPainter &p, const QRectF &box, const QColor &colour)
{
    p.setPen(QPen(colour.darker(150), 1.2));
    p.setBrush(colour.darker(110));
    QPainterPath back;
    back.moveTo(box.left(), box.bottom());
    back.lineTo(box.left(), box.top());
    back.lineTo(box.left() + box.width() * 0.4, box.top());
    back.lineTo(box.left() + box.width() * 0.5, box.top() + box.height() * 0.15);
    back.lineTo(box.right(), box.top() + box.height() * 0.15);
    back.lineTo(box.right(), box.bottom());
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(colour);
    p.drawRect(QRectF(box.left(), box.top() + box.height() * 0.3, box.width(), box.height() * 0.7));
}

void bubble(QPainter &p, const QRectF &box, const QColor &colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(box, box.height() / 2.5, box.height() / 2.5);
    QPolygonF tail;
    tail << QPointF(box.left() + box.width() * 0.2, box.bottom() - 2)
         << QPointF(box.left() + box.width() * 0.1, box.bottom() + box.height() * 0.35)
         << QPointF(box.left() + box.width() * 0.42, box.bottom() - 2);
    p.drawPolygon(tail);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    bool ok = true;
    ok &= draw("backup.png", [](QPainter &p) {
        bubble(p, QRectF(3, 4, 24, 15), Green);
        cylinder(p, QRectF(18, 20, 26, 25), Blue);
        arrow(p, QPointF(15, 20), QPointF(15, 40), Green, 4);
    });
    ok &= draw("i2i.png", [](QPainter &p) {
        phone(p, QRectF(3, 6, 16, 34));
        phone(p, QRectF(29, 6, 16, 34));
        arrow(p, QPointF(12, 44), QPointF(38, 44), Green, 3.5);
    });
    ok &= draw("db2i.png", [](QPainter &p) {
        cylinder(p, QRectF(2, 12, 20, 24), Blue);
        phone(p, QRectF(29, 6, 16, 34));
        arrow(p, QPointF(10, 43), QPointF(38, 43), Green, 3.5);
    });
    ok &= draw("extract_media.png", [](QPainter &p) {
        p.setPen(QPen(Grey, 1.5));
        p.setBrush(QColor(250, 250, 250));
        p.drawRoundedRect(QRectF(3, 3, 30, 26), 3, 3);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(120, 190, 90));
        QPolygonF hill;
        hill << QPointF(5, 27) << QPointF(15, 13) << QPointF(23, 22) << QPointF(27, 18)
             << QPointF(31, 27);
        p.drawPolygon(hill);
        p.setBrush(Orange);
        p.drawEllipse(QPointF(25, 10), 3, 3);
        arrow(p, QPointF(24, 28), QPointF(40, 44), Blue, 5);
    });
    ok &= draw("export.png", [](QPainter &p) {
        document(p, QRectF(6, 3, 26, 36));
        arrow(p, QPointF(22, 34), QPointF(45, 34), Orange, 6);
    });
    ok &= draw("print.png", [](QPainter &p) {
        document(p, QRectF(13, 2, 22, 20));
        p.setPen(QPen(Grey.darker(130), 1.5));
        p.setBrush(Grey);
        p.drawRoundedRect(QRectF(3, 18, 42, 18), 4, 4);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(12, 31, 24, 14));
        p.setPen(Qt::NoPen);
        p.setBrush(Green);
        p.drawEllipse(QPointF(39, 24), 2, 2);
    });
    ok &= draw("delete.png", [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(Red);
        p.drawEllipse(QRectF(4, 4, 40, 40));
        p.setPen(QPen(Qt::white, 6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16, 16), QPointF(32, 32));
        p.drawLine(QPointF(32, 16), QPointF(16, 32));
    });
    ok &= draw("import_itunes.png", [](QPainter &p) {
        folder(p, QRectF(2, 4, 24, 20), QColor(240, 190, 70));
        p.setPen(QPen(QColor(200, 40, 120), 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(14, 16), 5, 5);
        cylinder(p, QRectF(22, 22, 23, 23), Blue);
        arrow(p, QPointF(14, 26), QPointF(14, 44), Green, 4);
    });
    ok &= draw("open_db_folder.png", [](QPainter &p) {
        folder(p, QRectF(3, 8, 42, 34), QColor(240, 190, 70));
        cylinder(p, QRectF(16, 20, 16, 18), Blue);
    });
    ok &= draw("exit.png", [](QPainter &p) {
        p.setPen(QPen(Grey, 2));
        p.setBrush(QColor(225, 225, 230));
        p.drawRect(QRectF(5, 4, 22, 40));
        arrow(p, QPointF(16, 24), QPointF(45, 24), Red, 6);
    });
    ok &= draw("help.png", [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(Blue);
        p.drawEllipse(QRectF(4, 4, 40, 40));
        QFont font;
        font.setPixelSize(30);
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(4, 4, 40, 40), Qt::AlignCenter, QStringLiteral("?"));
    });
    ok &= draw("unmount.png", [](QPainter &p) {
        phone(p, QRectF(6, 4, 18, 38));
        p.setPen(Qt::NoPen);
        p.setBrush(Orange);
        QPolygonF up;
        up << QPointF(36, 10) << QPointF(46, 24) << QPointF(26, 24);
        p.drawPolygon(up);
        p.drawRect(QRectF(26, 28, 20, 5));
    });
    return ok ? 0 : 1;
}
