// What the scope screen shows, read back pixel by pixel.

#include "app/mainwindow.h"
#include "display/scopesurface.h"
#include "tests/testsupport.h"

#include <QImage>
#include <QSlider>
#include <QTest>

using namespace lumatrax;

namespace {

// The inner drawing area starts 2 pixels in, past the sunken border.
constexpr int kBorder = 2;

// The widget as the screen would show it, at the screen's device pixel ratio (CTest runs this
// test once plainly and once with QT_SCALE_FACTOR=2).
QImage render(QWidget* w)
{
    return w->grab().toImage();
}

// Device-pixel rows of one column whose colour is exactly `colour`.
QList<int> rowsOf(const QImage& image, int column, QRgb colour)
{
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y)
        if ((image.pixel(column, y) & 0xFFFFFF) == (colour & 0xFFFFFF))
            rows << y;
    return rows;
}

bool anyPixelOf(const QImage& image, QRgb colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF))
                return true;
    return false;
}

} // namespace

class TestScopeRender : public QObject
{
    Q_OBJECT
private slots:
    void guidesAndGridLieAtTheirRows();
    void drawingSurvivesRepaints();
};

void TestScopeRender::guidesAndGridLieAtTheirRows()
{
    test::Rig rig(4, true, VirtualInstrument::AckBehaviour::never());
    MainWindow& window = *rig.window;
    window.formLoad();
    window.findChild<QSlider*>("sliderPos")->setValue(25); // 1204 twips: 80.3 pixels
    window.findChild<QSlider*>("sliderOff")->setValue(75); // 3611 twips: 240.7 pixels
    const QImage image = render(window.ui().pic);
    const qreal ratio = image.devicePixelRatio();
    QCOMPARE(image.size(), QSize(481, 321) * ratio);

    // A column clear of the vertical grid lines (those lie every 48.1 pixels).
    const int column = int(20 * ratio);
    auto near = [ratio](const QList<int>& rows, double pixels) {
        if (rows.isEmpty())
            return false;
        const double expected = (kBorder + pixels) * ratio;
        return std::abs(rows.first() - expected) <= ratio + 0.5 && rows.size() <= int(ratio);
    };
    const QList<int> red = rowsOf(image, column, qRgb(255, 0, 0));
    const QList<int> blue = rowsOf(image, column, qRgb(0, 0, 255));
    QVERIFY2(near(red, 1204 / 15.0), qPrintable(QString("red rows %1").arg(red.size())));
    QVERIFY2(near(blue, 3611 / 15.0), qPrintable(QString("blue rows %1").arg(blue.size())));

    // Green grid: nine horizontal lines in this column, the centre one twice as thick.
    const QList<int> green = rowsOf(image, column, qRgb(0, 192, 0));
    QCOMPARE(green.size(), int(10 * ratio));
    QVERIFY(std::abs(green.first() - (kBorder + 481.5 / 15.0) * ratio) <= ratio + 0.5);

    // Black elsewhere, and no trace before the first frame.
    QCOMPARE(QColor(image.pixel(column, int(150 * ratio))), QColor(Qt::black));
    QVERIFY(!anyPixelOf(image, qRgb(0, 255, 255)));
}

void TestScopeRender::drawingSurvivesRepaints()
{
    test::Rig rig(4, true, VirtualInstrument::AckBehaviour::never());
    MainWindow& window = *rig.window;
    window.formLoad();
    window.findChild<QSlider*>("sliderPos")->setValue(10);
    const QImage first = render(window.ui().pic);
    const QImage second = render(window.ui().pic);
    QCOMPARE(first, second);
    window.ui().pic->clear();
    QVERIFY(!anyPixelOf(render(window.ui().pic), qRgb(255, 0, 0)));
    QVERIFY(anyPixelOf(render(window.ui().pic), qRgb(0, 192, 0))); // the grid stays
}

QTEST_MAIN(TestScopeRender)
#include "tst_scoperender.moc"
