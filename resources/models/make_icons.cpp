// Draws the small icons of the navigation tree and the message list: the two roots, device
// and database nodes, the group placeholder, the sent/received marks of iMessage and SMS, and
// the magnifier of the two search fields.
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_icons.cpp $(pkg-config --cflags --libs Qt5Gui)
//     -o /tmp/make_icons && /tmp/make_icons
#include "../iconshapes.h"

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

const int Size = 32;

using iconshapes::cylinder;
using iconshapes::phone;

bool draw(const char *fileName, const std::function<void(QPainter &)> &paint)
{
    return iconshapes::draw(fileName, Size, paint);
}

void person(QPainter &p, qreal x, qreal scale, const QColor &colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(x - 5 * scale, 16 - 13 * scale, 10 * scale, 10 * scale));
    QPainterPath body;
    body.moveTo(x - 9 * scale, 30);
    body.cubicTo(
        x - 9 * scale, 30 - 11 * scale, x - 4 * scale, 30 - 13 * scale, x, 30 - 13 * scale);
    body.cubicTo(x + 4 * scale, 30 - 13 * scale, x + 9 * scale, 30 - 11 * scale, x + 9 * scale, 30);
    body.closeSubpath();
    p.drawPath(body);
}

// A speech bubble with its tail on the right for sent messages, on the left for received ones.
void bubble(QPainter &p, const QColor &colour, bool sent)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(3, 5, 26, 19), 9, 9);
    QPainterPath tail;
    if (sent) {
        tail.moveTo(20, 21);
        tail.lineTo(29, 29);
        tail.lineTo(25, 19);
    } else {
        tail.moveTo(12, 21);
        tail.lineTo(3, 29);
        tail.lineTo(7, 19);
    }
    tail.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(path.united(tail));
    // An arrow inside: up and out when sent, down and in when received.
    p.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const qreal cx = 16, top = 9, bottom = 20;
    if (sent) {
        p.drawLine(QPointF(cx, bottom), QPointF(cx, top));
        p.drawPolyline(QPolygonF(
            { QPointF(cx - 4.5, top + 4.5), QPointF(cx, top), QPointF(cx + 4.5, top + 4.5) }));
    } else {
        p.drawLine(QPointF(cx, top), QPointF(cx, bottom));
        p.drawPolyline(QPolygonF({ QPointF(cx - 4.5, bottom - 4.5), QPointF(cx, bottom),
            QPointF(cx + 4.5, bottom - 4.5) }));
    }
}

const QColor PhoneGrey(60, 64, 72);
const QColor DatabaseBlue(74, 134, 200);
const QColor IMessageBlue(30, 132, 250);
const QColor SmsGreen(76, 190, 80);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    bool ok = true;
    ok &= draw("devices.png", [](QPainter &p) {
        phone(p, QRectF(2, 3, 17, 26), PhoneGrey.lighter(150));
        phone(p, QRectF(13, 6, 16, 24), PhoneGrey);
    });
    ok &= draw("iphone.png", [](QPainter &p) { phone(p, QRectF(8, 1, 16, 30), PhoneGrey); });
    ok &= draw("android.png", [](QPainter &p) {
        const QColor green(120, 194, 87);
        p.setPen(QPen(green, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10, 4), QPointF(12.5, 8));
        p.drawLine(QPointF(22, 4), QPointF(19.5, 8));
        p.setPen(Qt::NoPen);
        p.setBrush(green);
        p.drawChord(QRectF(6, 6, 20, 16), 0, 180 * 16);
        p.drawRoundedRect(QRectF(6, 15.5, 20, 14), 3, 3);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(12, 11), 1.5, 1.5);
        p.drawEllipse(QPointF(20, 11), 1.5, 1.5);
    });
    ok &= draw("databases.png", [](QPainter &p) {
        cylinder(p, QRectF(2, 2, 17, 19), DatabaseBlue.lighter(125));
        cylinder(p, QRectF(12, 10, 18, 20), DatabaseBlue);
    });
    ok &= draw(
        "database.png", [](QPainter &p) { cylinder(p, QRectF(6, 2, 20, 28), DatabaseBlue); });
    ok &= draw("group.png", [](QPainter &p) {
        person(p, 11, 0.85, QColor(170, 178, 194));
        person(p, 20, 1.0, QColor(120, 132, 152));
    });
    ok &= draw("imsg-send.png", [](QPainter &p) { bubble(p, IMessageBlue, true); });
    ok &= draw("imsg-rec.png", [](QPainter &p) { bubble(p, IMessageBlue.lighter(135), false); });
    ok &= draw("icon_sms-sent.png", [](QPainter &p) { bubble(p, SmsGreen, true); });
    ok &= draw(
        "icon_sms-receive.png", [](QPainter &p) { bubble(p, SmsGreen.lighter(130), false); });
    ok &= draw("search.png", [](QPainter &p) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(PhoneGrey, 3));
        p.drawEllipse(QPointF(13, 13), 8, 8);
        p.setPen(QPen(PhoneGrey, 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(19, 19), QPointF(27, 27));
    });
    return ok ? 0 : 1;
}
