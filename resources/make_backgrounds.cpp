// Draws the two window backgrounds of the style sheet, main_bg.jpg and sub_bg.jpg: soft
// vertical gradients in narrow tiles that the style sheet repeats across.
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_backgrounds.cpp $(pkg-config --cflags --libs Qt5Gui) \
//       -o /tmp/make_backgrounds && /tmp/make_backgrounds
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <cstdio>

static bool drawGradient(
    const char *fileName, int width, int height, const QColor &top, const QColor &bottom)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, height);
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(image.rect(), gradient);
    painter.end();
    if (!image.save(QString::fromLatin1(fileName), "JPG", 92)) {
        std::fprintf(stderr, "cannot write %s\n", fileName);
        return false;
    }
    return true;
}

int main()
{
    const bool ok
        = drawGradient("main_bg.jpg", 16, 1200, QColor(0xFB, 0xFC, 0xFE), QColor(0xE4, 0xEA, 0xF2))
        && drawGradient("sub_bg.jpg", 16, 600, QColor(0xFF, 0xFE, 0xF8), QColor(0xF1, 0xEC, 0xDE));
    return ok ? 0 : 1;
}
