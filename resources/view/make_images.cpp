// Draws the pictures of the conversation view and dialogs: contact.png, the placeholder
// photo of a contact card, and main.png, the product picture of the About box.
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_images.cpp $(pkg-config --cflags --libs Qt5Gui) \
//       -o /tmp/make_images && /tmp/make_images
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

static bool drawContact(const char *fileName)
{
    const int size = 64;
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(QColor(238, 241, 246));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(150, 160, 178));
    painter.drawEllipse(QRectF(20, 9, 24, 24));
    QPainterPath body;
    body.moveTo(8, 64);
    body.cubicTo(8, 42, 20, 36, 32, 36);
    body.cubicTo(44, 36, 56, 42, 56, 64);
    body.closeSubpath();
    painter.drawPath(body);
    painter.setPen(QPen(QColor(185, 185, 187), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(0.5, 0.5, size - 1, size - 1));
    painter.end();
    return image.save(QString::fromLatin1(fileName), "PNG");
}

static bool drawProduct(const char *fileName)
{
    const int size = 128;
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, 0, size);
    gradient.setColorAt(0, QColor(255, 196, 92));
    gradient.setColorAt(1, QColor(254, 149, 22));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(QRectF(4, 4, size - 8, size - 8), 24, 24);
    // A speech bubble with a spool of thread: messages kept.
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(22, 26, 84, 60), 18, 18);
    bubble.moveTo(40, 84);
    bubble.lineTo(32, 104);
    bubble.lineTo(58, 84);
    painter.setBrush(Qt::white);
    painter.drawPath(bubble.simplified());
    painter.setPen(QPen(QColor(254, 149, 22), 5, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i)
        painter.drawLine(QPointF(38, 42 + i * 14), QPointF(90 - i * 12, 42 + i * 14));
    painter.end();
    return image.save(QString::fromLatin1(fileName), "PNG");
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!drawContact("contact.png") || !drawProduct("main.png")) {
        std::fprintf(stderr, "cannot write the pictures\n");
        return 1;
    }
    return 0;
}
