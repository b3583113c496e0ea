// Draws the two pictures of the device warnings: where to switch off iCloud backup on the
// phone, and where to stop encrypting the phone's backups on the computer.
//
// Build and run from this folder:
//   g++ -std=c++17 -fPIC make_device_pictures.cpp $(pkg-config --cflags --libs Qt5Gui) \
//       -o /tmp/make_device_pictures && QT_QPA_PLATFORM=offscreen /tmp/make_device_pictures
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

static bool drawSetting(const char *fileName, const QStringList &path, const QString &setting)
{
    QImage image(420, 150, QImage::Format_RGB32);
    image.fill(QColor(0xf2, 0xf2, 0xf7));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font(QStringLiteral("DejaVu Sans"), 11);
    painter.setFont(font);
    painter.setPen(QColor(0x3a, 0x3a, 0x3c));
    painter.drawText(QRect(16, 12, 388, 40), Qt::AlignLeft | Qt::AlignVCenter,
        path.join(QStringLiteral("  \u203a  ")));
    painter.setBrush(Qt::white);
    painter.setPen(QColor(0xd1, 0xd1, 0xd6));
    painter.drawRoundedRect(QRect(16, 62, 388, 56), 10, 10);
    painter.setPen(Qt::black);
    painter.drawText(QRect(32, 62, 260, 56), Qt::AlignLeft | Qt::AlignVCenter, setting);
    // A switch, off.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xe5, 0xe5, 0xea));
    painter.drawRoundedRect(QRect(330, 75, 58, 30), 15, 15);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRect(332, 77, 26, 26));
    painter.end();
    if (!image.save(QString::fromLatin1(fileName), "JPG", 92)) {
        std::fprintf(stderr, "cannot write %s\n", fileName);
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const bool ok
        = drawSetting("close_icloudbk.jpg",
              { QStringLiteral("Settings"), QStringLiteral("iCloud"), QStringLiteral("Backup") },
              QStringLiteral("iCloud Backup"))
        && drawSetting("close_itunesbkenc.jpg",
            { QStringLiteral("iTunes"), QStringLiteral("Summary"), QStringLiteral("Backups") },
            QStringLiteral("Encrypt iPhone backup"));
    return ok ? 0 : 1;
}
