// What the scope screen shows, read back pixel by pixel: black, the grid beneath, the guides and
// the trace over it. CTest runs it once plainly and once with QT_SCALE_FACTOR=2.

#include "display/colours.h"
#include "display/linerasterizer.h"
#include "display/lineobject.h"
#include "display/scopescreen.h"
#include "display/scopesurface.h"
#include "tests/testsupport.h"

#include <QImage>
#include <QTest>

#include <random>

using namespace lumatrax;

namespace {

// The inner drawing area starts 2 pixels in, past the sunken border.
constexpr int kBorder = 2;

// The screen as it would show, at the screen's device pixel ratio.
QImage render(const test::Rig& rig)
{
    return rig.widget("pic")->grab().toImage();
}

bool is(const QImage& image, int x, int y, std::uint32_t colour)
{
    return (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
}

// Device-pixel rows of one column whose colour is exactly `colour`.
QList<int> rowsOf(const QImage& image, int column, std::uint32_t colour)
{
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y)
        if (is(image, column, y, colour))
            rows << y;
    return rows;
}

bool anyPixelOf(const QImage& image, std::uint32_t colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (is(image, x, y, colour))
                return true;
    return false;
}

} // namespace

class TestScopeRender : public QObject
{
    Q_OBJECT
private slots:
    void guidesAndGridLieAtTheirRows();
    void afterStartUpTheLowerGuideShowsOverTheCentreLine();
    void aGuideMovedClearsTheTraceButNotTheGrid();
    void frameAfterFramePaintsWhatAWholeRepaintWould();
};

void TestScopeRender::guidesAndGridLieAtTheirRows()
{
    test::Rig rig(4, true, VirtualInstrument::AckBehaviour::never());
    rig.start();
    rig.setGuides(25, 75); // 1204 twips: 80.3 pixels; 3611 twips: 240.7 pixels
    const QImage image = render(rig);
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
    const QList<int> red = rowsOf(image, column, kUpperGuideColour);
    const QList<int> blue = rowsOf(image, column, kLowerGuideColour);
    QVERIFY2(near(red, 1204 / 15.0), qPrintable(QString("red rows %1").arg(red.size())));
    QVERIFY2(near(blue, 3611 / 15.0), qPrintable(QString("blue rows %1").arg(blue.size())));

    // Green grid: nine horizontal lines in this column, the centre one twice as thick.
    const QList<int> green = rowsOf(image, column, kGridColour);
    QCOMPARE(green.size(), int(10 * ratio));
    QVERIFY(std::abs(green.first() - (kBorder + 481.5 / 15.0) * ratio) <= ratio + 0.5);

    // Black elsewhere, and no trace before the first frame.
    QVERIFY(is(image, column, int(150 * ratio), kBlack));
    QVERIFY(!anyPixelOf(image, kTraceColour));
    // The picture stays as it is from one repaint to the next.
    QCOMPARE(render(rig), image);
}

void TestScopeRender::afterStartUpTheLowerGuideShowsOverTheCentreLine()
{
    // Both guides lie at mid-height, on the centre grid line: the lower one, drawn last, shows
    // all the way across, over the upper one and over the grid, vertical lines included.
    test::Rig rig(4, true, VirtualInstrument::AckBehaviour::never());
    rig.start();
    const QImage image = render(rig);
    const qreal ratio = image.devicePixelRatio();
    const int row = int((kBorder + 2408 / 15) * ratio);
    for (int x = int(kBorder * ratio); x < image.width() - int(kBorder * ratio); ++x)
        QVERIFY2(is(image, x, row, kLowerGuideColour), qPrintable(QString("column %1").arg(x)));
    // The rest of the centre line is still there, just above.
    QVERIFY(is(image, int(20 * ratio), row - 1, kGridColour));
}

void TestScopeRender::aGuideMovedClearsTheTraceButNotTheGrid()
{
    test::Rig rig(4);
    QVERIFY(rig.startDetected());
    QVERIFY(rig.sendAndJudge(QByteArray(FRAME_RX_THRESHOLD, char(200))));
    QTRY_VERIFY(anyPixelOf(render(rig), kTraceColour));
    rig.widget<QSlider>("sliderPos")->setValue(10);
    QTRY_VERIFY(!anyPixelOf(render(rig), kTraceColour));
    QVERIFY(anyPixelOf(render(rig), kGridColour));
    QVERIFY(anyPixelOf(render(rig), kUpperGuideColour));
}

void TestScopeRender::frameAfterFramePaintsWhatAWholeRepaintWould()
{
    // The surface paints only what changed from one frame to the next; what it shows must be
    // the screen's whole drawing over black and the grid, as a paint from nothing makes it.
    ScopeSurface pic(nullptr);
    pic.resize(481, 321);
    ScopeScreen screen(pic.widthTwips(), pic.heightTwips());
    for (int i = 0; i < kGridLines; ++i)
        for (const LineEnds& ends : {screen.horizontalGridLine(i), screen.verticalGridLine(i)}) {
            auto* line = new LineObject(QStringLiteral("grid"), QColor::fromRgb(kGridColour),
                                        i == 4 ? 2 : 1, &pic);
            line->setEnds(ends);
            pic.addLineObject(line);
        }
    pic.setScreen(&screen);
    screen.setUpperGuide(40);
    screen.setLowerGuide(60);

    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(90, 165); // across both guides
    for (int frame = 0; frame < 12; ++frame) {
        SampleArray samples{};
        for (int k = 0; k < kSegmentsDrawn; ++k)
            samples[k] = std::int16_t(byte(random) - 128);
        (void)screen.showFrame(samples);
        if (frame == 6)
            screen.setLowerGuide(70); // the guides move between two frames, too
        const QImage shown = pic.grab().toImage();
        const qreal ratio = shown.devicePixelRatio();
        const QRect inner(QPoint(kBorder, kBorder) * ratio, QSize(477, 317) * ratio);

        QImage whole(inner.size(), QImage::Format_RGB32);
        whole.setDevicePixelRatio(ratio);
        whole.fill(Qt::black);
        for (const LineObject* line : pic.findChildren<LineObject*>())
            if (const auto band = line->devicePixels(ratio))
                for (int y = band->top(); y <= band->bottom(); ++y)
                    for (int x = band->left(); x <= band->right(); ++x)
                        if (whole.rect().contains(x, y))
                            whole.setPixel(x, y, kGridColour);
        std::vector<DrawnLine> lines;
        screen.drawnLines(lines);
        rasterizeLines(whole, lines);
        QVERIFY2(shown.copy(inner).convertToFormat(QImage::Format_RGB32) == whole,
                 qPrintable(QString("frame %1").arg(frame)));
    }
}

QTEST_MAIN(TestScopeRender)
#include "tst_scoperender.moc"
