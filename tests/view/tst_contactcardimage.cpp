#include "shell/datafolder.h"
#include "view/contactcardimage.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray imageBytes(const QColor &color, const char *format, int side = 40)
{
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray card(const QByteArray &body)
{
    return "BEGIN:VCARD\r\nVERSION:3.0\r\n" + body + "END:VCARD\r\n";
}

QByteArray photoLine(const QByteArray &bytes)
{
    return "PHOTO;ENCODING=b;TYPE=JPEG:" + bytes.toBase64() + "\r\n";
}

bool near(QRgb a, QRgb b, int tolerance)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

} // namespace

class TestContactCardImage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void rendersCardSizedJpegInUserCache();
    void givesEmptyPathForUnusableFiles_data();
    void givesEmptyPathForUnusableFiles();
    void drawsPhotoOrPlaceholder_data();
    void drawsPhotoOrPlaceholder();
    void drawsAtMostFourPhoneLines();
    void drawsOnlyTheFirstCard();
    void reusesCacheUntilFileChanges();
    void fieldHeightGrowsWithWrappedValue();
    void wrappedValueStopsAtTheBottom();
    void hostileCardDrawsAtOnce_data();
    void hostileCardDrawsAtOnce();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);
    QImage render(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_home;
};

void TestContactCardImage::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
}

QString TestContactCardImage::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = QDir(m_home.path()).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QImage TestContactCardImage::render(const QString &name, const QByteArray &bytes)
{
    const QString image = renderVCardImage(writeFile(name, bytes));
    return image.isEmpty() ? QImage() : QImage(image);
}

void TestContactCardImage::rendersCardSizedJpegInUserCache()
{
    const QString vcf
        = writeFile(QStringLiteral("plain.vcf"), card("FN:Jane Roe\r\nTEL:+1 555 0100\r\n"));
    const QString path = renderVCardImage(vcf);
    QVERIFY(!path.isEmpty());
    QVERIFY(QFileInfo(path).isFile());
    QVERIFY2(path.startsWith(dataFolder().absolutePath()), qPrintable(path));
    QVERIFY(QFileInfo(path).absolutePath() != QDir(QDir::tempPath()).absolutePath());
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("jpeg"));
    QCOMPARE(reader.size(), QSize(200, 90));
    const QImage image = reader.read();
    QVERIFY(near(image.pixel(150, 80), qRgb(219, 226, 237), 12));
}

void TestContactCardImage::givesEmptyPathForUnusableFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("no card") << QStringLiteral("text.vcf") << QByteArray("just some text\n");
    QTest::newRow("empty") << QStringLiteral("empty.vcf") << QByteArray();
    QTest::newRow("missing") << QString() << QByteArray();
    QTest::newRow("folder") << QStringLiteral(".") << QByteArray();
}

void TestContactCardImage::givesEmptyPathForUnusableFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QString path = QDir(m_home.path()).filePath(QStringLiteral("missing.vcf"));
    if (name == QLatin1String("."))
        path = m_home.path();
    else if (!name.isEmpty())
        path = writeFile(name, bytes);
    QCOMPARE(renderVCardImage(path), QString());
}

void TestContactCardImage::drawsPhotoOrPlaceholder_data()
{
    QTest::addColumn<QByteArray>("photo");
    QTest::addColumn<bool>("placeholder");
    QTest::newRow("jpeg") << imageBytes(Qt::red, "JPG") << false;
    QTest::newRow("png") << imageBytes(Qt::red, "PNG") << false;
    QTest::newRow("bmp") << imageBytes(Qt::red, "BMP") << true;
    // Past the pixel bound only JPEG, which decodes scaled down, is drawn.
    QTest::newRow("huge jpeg") << imageBytes(Qt::red, "JPG", 4200) << false;
    QTest::newRow("huge png") << imageBytes(Qt::red, "PNG", 4200) << true;
    QTest::newRow("garbage") << QByteArray("\x89PNG not really an image", 24) << true;
    QTest::newRow("none") << QByteArray() << true;
}

void TestContactCardImage::drawsPhotoOrPlaceholder()
{
    QFETCH(QByteArray, photo);
    QFETCH(bool, placeholder);
    const QByteArray body
        = "FN:Photo Test\r\n" + (photo.isEmpty() ? QByteArray() : photoLine(photo));
    const QImage image
        = render(QStringLiteral("photo-%1.vcf").arg(QTest::currentDataTag()), card(body));
    QVERIFY(!image.isNull());
    const QRgb centre = image.pixel(5 + 20, 5 + 20);
    if (placeholder) {
        QImage expected(QStringLiteral(":res/contact.png"));
        QVERIFY(!expected.isNull());
        expected = expected.scaled(47, 47, Qt::KeepAspectRatio);
        QVERIFY(near(centre, expected.pixel(20, 20), 24));
    } else {
        QVERIFY(near(centre, qRgb(255, 0, 0), 24));
    }
}

// The fifth number would still show at the card's bottom edge if it were drawn.
void TestContactCardImage::drawsAtMostFourPhoneLines()
{
    const QByteArray four = "FN:Many Numbers\r\nTEL:1111\r\nTEL:2222\r\nTEL:3333\r\nTEL:4444\r\n";
    const QImage withFour = render(QStringLiteral("four.vcf"), card(four));
    const QImage withFive = render(QStringLiteral("five.vcf"), card(four + "TEL:5555\r\n"));
    const QImage withThree = render(QStringLiteral("three.vcf"),
        card("FN:Many Numbers\r\nTEL:1111\r\nTEL:2222\r\nTEL:3333\r\n"));
    QVERIFY(!withFour.isNull());
    QCOMPARE(withFive, withFour);
    QVERIFY(withThree != withFour);
}

void TestContactCardImage::drawsOnlyTheFirstCard()
{
    const QByteArray first = card("FN:First Person\r\nEMAIL:first@example.org\r\n");
    const QImage single = render(QStringLiteral("single.vcf"), first);
    const QImage pair
        = render(QStringLiteral("pair.vcf"), first + card("FN:Second Person\r\nTEL:999\r\n"));
    QVERIFY(!single.isNull());
    QCOMPARE(pair, single);
}

void TestContactCardImage::reusesCacheUntilFileChanges()
{
    const QString vcf = writeFile(QStringLiteral("changing.vcf"), card("FN:Old Name\r\n"));
    const QString first = renderVCardImage(vcf);
    QVERIFY(!first.isEmpty());
    const QDateTime firstTime = QFileInfo(first).lastModified();
    QCOMPARE(renderVCardImage(vcf), first);
    QCOMPARE(QFileInfo(first).lastModified(), firstTime);

    QVERIFY(!writeFile(QStringLiteral("changing.vcf"), card("FN:A Much Longer New Name\r\n"))
                 .isEmpty());
    const QString second = renderVCardImage(vcf);
    QVERIFY(!second.isEmpty());
    QVERIFY(second != first);
    QVERIFY(QImage(second) != QImage(first));

    // A rewrite of the same length is told apart by its time.
    QVERIFY(!writeFile(QStringLiteral("changing.vcf"), card("FN:A Much Longer Old Name\r\n"))
                 .isEmpty());
    QFile file(vcf);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(
        QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC), QFileDevice::FileModificationTime));
    file.close();
    const QString third = renderVCardImage(vcf);
    QVERIFY(!third.isEmpty());
    QVERIFY(third != second);
    QVERIFY(QImage(third) != QImage(second));
}

void TestContactCardImage::fieldHeightGrowsWithWrappedValue()
{
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font;
    font.setPixelSize(11);
    const int labelOnly
        = drawCardField(painter, font, 53, 5, 137, QStringLiteral("Address:"), QString(), false);
    const int wrapped = drawCardField(painter, font, 53, 5, 137, QStringLiteral("Address:"),
        QStringLiteral("Flat 4;;12 Long Street Name;Some Town;County;AB1 2CD;United Kingdom"),
        false);
    const int single = drawCardField(painter, font, 53, 5, 137, QStringLiteral("Phone:"),
        QStringLiteral("+44 20 7946 0000 0000 0000 0000"), true);
    painter.end();
    QVERIFY(labelOnly > 0);
    QVERIFY(wrapped > labelOnly);
    QCOMPARE(single, labelOnly);
}

void TestContactCardImage::wrappedValueStopsAtTheBottom()
{
    QImage image(200, 400, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font;
    font.setPixelSize(11);
    const QString address = QStringLiteral("12 Long Street Name; ").repeated(40);
    const int open
        = drawCardField(painter, font, 53, 5, 137, QStringLiteral("Address:"), address, false);
    const int fitted
        = drawCardField(painter, font, 53, 40, 137, QStringLiteral("Address:"), address, false, 85);
    const int oneLine
        = drawCardField(painter, font, 53, 80, 137, QStringLiteral("Address:"), address, false, 85);
    const int labelOnly
        = drawCardField(painter, font, 53, 5, 137, QStringLiteral("Address:"), QString(), false);
    painter.end();
    QVERIFY(open > 85);
    QVERIFY2(fitted <= 85 - 40 && fitted > labelOnly, qPrintable(QString::number(fitted)));
    // Below the bottom there is still one line, ending in the mark.
    QCOMPARE(oneLine, labelOnly);
}

void TestContactCardImage::hostileCardDrawsAtOnce_data()
{
    QTest::addColumn<QByteArray>("body");

    const int megabytes50 = 50 * 1024 * 1024;
    QTest::newRow("50 MB address") << "FN:Jane Roe\r\nADR:" + QByteArray(megabytes50, 'a') + "\r\n";
    QTest::newRow("50 MB folded address") << "FN:Jane Roe\r\nADR:"
            + QByteArray(72, 'a').append("\r\n ").repeated(megabytes50 / 76) + "\r\n";
    QTest::newRow("a million phone lines")
        << "FN:Jane Roe\r\n" + QByteArray("TEL:+1 555 0100\r\n").repeated(1000000);
    QTest::newRow("10 MB name") << "FN:" + QByteArray(10 * 1024 * 1024, 'n') + "\r\n";
}

void TestContactCardImage::hostileCardDrawsAtOnce()
{
    QFETCH(QByteArray, body);
    const QString vcf = writeFile(QStringLiteral("hostile.vcf"), card(body));
    QVERIFY(!vcf.isEmpty());
    QElapsedTimer timer;
    timer.start();
    const QString path = renderVCardImage(vcf);
    const qint64 elapsed = timer.elapsed();
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(QImageReader(path).size(), QSize(200, 90));
    // Only a guard against reading and drawing the whole card: the bounded card draws in
    // well under a second.
    QVERIFY2(elapsed < 20000, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
}

QTEST_MAIN(TestContactCardImage)
#include "tst_contactcardimage.moc"
