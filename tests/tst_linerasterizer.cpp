#include "display/linerasterizer.h"

#include <QImage>
#include <QRect>
#include <QTest>

using namespace lumatrax;

namespace {

QImage blank(QSize logical, qreal ratio)
{
    QImage image(logical * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::black);
    return image;
}

int countOf(const QImage& image, QRgb colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return n;
}

constexpr QRgb kRed = qRgb(255, 0, 0);
constexpr QRgb kBlue = qRgb(0, 0, 255);

} // namespace

class TestLineRasterizer : public QObject
{
    Q_OBJECT
private slots:
    void pointsLandOnTheirLogicalPixel_data();
    void pointsLandOnTheirLogicalPixel();
    void laterLinesCoverEarlierOnes();
    void linesJoinWithoutGaps();
    void erasingRestoresTheBackground();
    void pixelsOutsideTheImageAreSkipped();
    void boundsCoverEveryLitPixel();
};

void TestLineRasterizer::pointsLandOnTheirLogicalPixel_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<int>("twipsX");
    QTest::addColumn<int>("twipsY");
    QTest::addColumn<int>("pixelX");
    QTest::addColumn<int>("pixelY");
    QTest::newRow("origin") << 1.0 << 0 << 0 << 0 << 0;
    QTest::newRow("14 twips is still pixel 0") << 1.0 << 14 << 14 << 0 << 0;
    QTest::newRow("2408 twips is pixel 160") << 1.0 << 30 << 2408 << 2 << 160;
    QTest::newRow("ratio 2 doubles") << 2.0 << 30 << 2408 << 4 << 320;
    QTest::newRow("ratio 1.5") << 1.5 << 30 << 2408 << 3 << 240;
}

void TestLineRasterizer::pointsLandOnTheirLogicalPixel()
{
    QFETCH(qreal, ratio);
    QFETCH(int, twipsX);
    QFETCH(int, twipsY);
    QFETCH(int, pixelX);
    QFETCH(int, pixelY);
    QImage image = blank(QSize(200, 200), ratio);
    const DrawnLine point{std::int16_t(twipsX), std::int16_t(twipsY), std::int16_t(twipsX),
                          std::int16_t(twipsY), kRed};
    rasterizeLines(image, std::span(&point, 1));
    QCOMPARE(image.pixel(pixelX, pixelY) & 0xFFFFFF, kRed & 0xFFFFFF);
    // One logical pixel lights a block of device pixels as large as the ratio.
    const int side = int(std::floor((twipsX / 15 + 1) * ratio) - std::floor((twipsX / 15) * ratio));
    const int sideY =
        int(std::floor((twipsY / 15 + 1) * ratio) - std::floor((twipsY / 15) * ratio));
    QCOMPARE(countOf(image, kRed), side * sideY);
}

void TestLineRasterizer::laterLinesCoverEarlierOnes()
{
    QImage image = blank(QSize(50, 50), 1);
    const DrawnLine lines[] = {{0, 150, 600, 150, kRed}, {0, 150, 600, 150, kBlue}};
    rasterizeLines(image, lines);
    QCOMPARE(countOf(image, kRed), 0);
    QCOMPARE(countOf(image, kBlue), 41);
}

void TestLineRasterizer::linesJoinWithoutGaps()
{
    // A steep line lights one pixel per row between its ends.
    QImage image = blank(QSize(50, 50), 1);
    const DrawnLine steep{0, 0, 36, 600, kRed};
    rasterizeLines(image, std::span(&steep, 1));
    QCOMPARE(countOf(image, kRed), 41);
    for (int y = 0; y <= 40; ++y) {
        int lit = 0;
        for (int x = 0; x < 50; ++x)
            lit += (image.pixel(x, y) & 0xFFFFFF) == (kRed & 0xFFFFFF);
        QCOMPARE(lit, 1);
    }
}

void TestLineRasterizer::erasingRestoresTheBackground()
{
    for (qreal ratio : {1.0, 2.0, 1.25}) {
        // A background with a pattern of its own, as the screen's grid is.
        QImage background = blank(QSize(60, 60), ratio);
        for (int y = 0; y < background.height(); y += 7)
            for (int x = 0; x < background.width(); ++x)
                background.setPixel(x, y, qRgb(0, 192, 0));
        QImage image = background.copy();
        const DrawnLine lines[] = {{0, 0, 800, 450, kRed}, {15, 800, 700, 20, kBlue}};
        rasterizeLines(image, lines);
        QVERIFY(image != background);
        eraseLines(image, lines, background);
        QCOMPARE(image, background);
    }
}

void TestLineRasterizer::pixelsOutsideTheImageAreSkipped()
{
    for (qreal ratio : {1.0, 2.0, 1.5}) {
        QImage image = blank(QSize(20, 10), ratio);
        const DrawnLine lines[] = {{-32768, -32768, 32767, 32767, kRed},
                                   {-500, 75, 32767, 75, kBlue},
                                   {400, 400, 500, 500, kRed}};
        rasterizeLines(image, lines);
        QVERIFY(countOf(image, kBlue) > 0);
    }
}

void TestLineRasterizer::boundsCoverEveryLitPixel()
{
    QImage image = blank(QSize(100, 100), 1);
    const DrawnLine lines[] = {{30, 45, 400, 900, kRed}, {600, 20, 90, 31, kBlue}};
    rasterizeLines(image, lines);
    const QRect bounds = logicalBounds(lines);
    QCOMPARE(bounds, QRect(QPoint(2, 1), QPoint(40, 60)));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0)
                QVERIFY(bounds.contains(x, y));
    QVERIFY(logicalBounds({}).isEmpty());
}

QTEST_APPLESS_MAIN(TestLineRasterizer)
#include "tst_linerasterizer.moc"
