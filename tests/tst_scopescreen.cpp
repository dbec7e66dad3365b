// The scope screen as a model, without a window or a port: what is drawn, in which order, and
// how a frame is judged against the guides as they stand.

#include "display/colours.h"
#include "display/scopescreen.h"

#include <QTest>

using namespace lumatrax;

namespace {

SampleArray filled(int byte)
{
    SampleArray s{};
    for (int i = 0; i < kSegmentsDrawn; ++i)
        s[i] = std::int16_t(byte - 128);
    return s;
}

std::vector<DrawnLine> linesOf(const ScopeScreen& screen)
{
    std::vector<DrawnLine> lines;
    screen.drawnLines(lines);
    return lines;
}

} // namespace

class TestScopeScreen : public QObject
{
    Q_OBJECT
private slots:
    void nothingIsDrawnBeforeTheGuides();
    void guidesFollowTheirSliders_data();
    void guidesFollowTheirSliders();
    void aFrameIsDrawnSegmentBySegmentWithBothGuides();
    void movingAGuideClearsTheTraceAndKeepsTheOtherGuide();
    void framesAreJudgedAgainstTheGuidesAsTheyStand();
    void theGridDividesTheScreenIntoTenBandsEachWay();
};

void TestScopeScreen::nothingIsDrawnBeforeTheGuides()
{
    ScopeScreen screen;
    QVERIFY(linesOf(screen).empty());
    screen.setDefaultGuides();
    const std::vector<DrawnLine> lines = linesOf(screen);
    QCOMPARE(lines.size(), std::size_t(400));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // Upper guide in red, then lower in blue, segment by segment, both at round(4815 / 2).
        QCOMPARE(lines[i].colour, i % 2 == 0 ? kUpperGuideColour : kLowerGuideColour);
        QCOMPARE(lines[i].y1, std::int16_t(2408));
        QCOMPARE(lines[i].y2, std::int16_t(2408));
    }
    QCOMPARE(lines.front().x1, std::int16_t(0));
    QCOMPARE(lines.back().x2, std::int16_t(7215));
    QCOMPARE(screen.trace()[200], TraceSegment{});
}

void TestScopeScreen::guidesFollowTheirSliders_data()
{
    QTest::addColumn<int>("slider");
    QTest::addColumn<int>("height");
    QTest::newRow("top edge") << 0 << 0;
    QTest::newRow("25") << 25 << 1204;
    QTest::newRow("middle, a half twip rounded to even") << 50 << 2408;
    QTest::newRow("75") << 75 << 3611;
    QTest::newRow("bottom edge") << 100 << 4815;
}

void TestScopeScreen::guidesFollowTheirSliders()
{
    QFETCH(int, slider);
    QFETCH(int, height);
    ScopeScreen screen;
    screen.setUpperGuide(slider);
    screen.setLowerGuide(slider);
    for (int i : {0, 99, 199}) {
        QCOMPARE(int(screen.upperGuide()[i].Y1), height);
        QCOMPARE(int(screen.upperGuide()[i].Y2), height);
        QCOMPARE(int(screen.lowerGuide()[i].Y1), height);
    }
}

void TestScopeScreen::aFrameIsDrawnSegmentBySegmentWithBothGuides()
{
    ScopeScreen screen;
    screen.setUpperGuide(25);
    screen.setLowerGuide(75);
    SampleArray ramp = filled(0);
    for (int i = 0; i < kSegmentsDrawn; ++i)
        ramp[i] = std::int16_t(i - 100);
    (void)screen.showFrame(ramp);
    const std::vector<DrawnLine> lines = linesOf(screen);
    QCOMPARE(lines.size(), std::size_t(600));
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        const DrawnLine* s = &lines[std::size_t(3 * i)];
        QCOMPARE(s[0].colour, kTraceColour);
        QCOMPARE(s[1].colour, kUpperGuideColour);
        QCOMPARE(s[2].colour, kLowerGuideColour);
        QCOMPARE(s[0].x1, s[1].x1);
        QCOMPARE(s[0].y1, screen.trace()[i].Y1);
        QCOMPARE(s[1].y1, std::int16_t(1204));
    }
    // Segments join neighbouring samples; the last ends at the height of a byte of 128 (sample
    // 200 is never written).
    QCOMPARE(screen.trace()[0].Y2, screen.trace()[1].Y1);
    QCOMPARE(int(screen.trace()[199].Y2), 2389);
    QCOMPARE(screen.trace()[200], TraceSegment{});
}

void TestScopeScreen::movingAGuideClearsTheTraceAndKeepsTheOtherGuide()
{
    ScopeScreen screen;
    screen.setDefaultGuides();
    (void)screen.showFrame(filled(200));
    QCOMPARE(screen.drawing(), ScopeScreen::Drawing::Frame);
    const auto revision = screen.revision();
    screen.setLowerGuide(90);
    QVERIFY(screen.revision() != revision);
    QCOMPARE(screen.drawing(), ScopeScreen::Drawing::Guides);
    const std::vector<DrawnLine> lines = linesOf(screen);
    QCOMPARE(lines.size(), std::size_t(400));
    QCOMPARE(int(lines[0].y1), 2408);
    QCOMPARE(int(lines[1].y1), 4334);
}

void TestScopeScreen::framesAreJudgedAgainstTheGuidesAsTheyStand()
{
    ScopeScreen screen;
    screen.setDefaultGuides();
    // Exactly on both guides at mid-height: inside. A step higher: above the upper guide.
    QCOMPARE(screen.showFrame(filled(127)), (Verdict{false, false}));
    QCOMPARE(screen.showFrame(filled(128)), (Verdict{true, false}));
    screen.setUpperGuide(25);
    screen.setLowerGuide(75);
    SampleArray dip = filled(128);
    dip[150] = -118; // byte 10, near the bottom
    QCOMPARE(screen.showFrame(dip), (Verdict{false, true}));
    // An upper guide below the lower one rejects everything.
    screen.setUpperGuide(80);
    screen.setLowerGuide(20);
    QVERIFY(screen.showFrame(filled(128)).rejected());
}

void TestScopeScreen::theGridDividesTheScreenIntoTenBandsEachWay()
{
    const ScopeScreen screen;
    QCOMPARE(screen.horizontalGridLine(0), (LineEnds{0.0f, 481.5f, 7215.0f, 481.5f}));
    QCOMPARE(screen.horizontalGridLine(8), (LineEnds{0.0f, 4333.5f, 7215.0f, 4333.5f}));
    QCOMPARE(screen.verticalGridLine(2), (LineEnds{2164.5f, 0.0f, 2164.5f, 4815.0f}));
    QCOMPARE(screen.verticalGridLine(8), (LineEnds{6493.5f, 0.0f, 6493.5f, 4815.0f}));
}

QTEST_MAIN(TestScopeScreen)
#include "tst_scopescreen.moc"
