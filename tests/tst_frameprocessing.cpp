#include "display/frameprocessing.h"

#include <QTest>

using namespace lumatrax;

namespace {

constexpr double kHeight = 4815.0; // the designed height of the screen, in twips

SegmentArray guideAt(std::int16_t y)
{
    SegmentArray g{};
    layoutSegmentX(g, 7215.0);
    setHorizontal(g, y);
    return g;
}

// A frame of 200 equal bytes, with some bytes replaced: {index, byte}.
SampleArray frame(int fill, std::initializer_list<std::pair<int, int>> changes = {})
{
    SampleArray s{};
    for (int i = 0; i < 200; ++i)
        s[i] = std::int16_t(fill - 128);
    for (auto [index, byte] : changes)
        s[index] = std::int16_t(byte - 128);
    return s;
}

Verdict judgeFrame(const SampleArray& samples, int upperPercent, int lowerPercent)
{
    SegmentArray trace{};
    layoutSegmentX(trace, 7215.0);
    mapTrace(trace, samples, SampleHeights(kHeight));
    return judge(trace, guideAt(guideHeight(kHeight, upperPercent)),
                 guideAt(guideHeight(kHeight, lowerPercent)));
}

} // namespace

Q_DECLARE_METATYPE(lumatrax::SampleArray)

class TestFrameProcessing : public QObject
{
    Q_OBJECT
private slots:
    void heightsMatchTheRoundedFormula();
    void segmentsJoinNeighbouringSamples();
    void lastSegmentEndsAtTheHeightOfByte128();
    void framesAreJudgedAgainstTheGuides_data();
    void framesAreJudgedAgainstTheGuides();
    void onlyStartPointsAreJudged();
};

void TestFrameProcessing::heightsMatchTheRoundedFormula()
{
    for (double h : {kHeight, 4800.0, 1.0, 32767.0}) {
        const SampleHeights heights(h);
        for (int s = -128; s <= 127; ++s)
            QCOMPARE(heights(std::int16_t(s)), sampleHeight(h, s));
    }
    const SampleHeights heights(kHeight);
    QCOMPARE(int(heights(127)), 0);
    QCOMPARE(int(heights(0)), 2389);
    QCOMPARE(int(heights(-1)), 2408);
    QCOMPARE(int(heights(-128)), 4796);
}

void TestFrameProcessing::segmentsJoinNeighbouringSamples()
{
    SegmentArray trace{};
    layoutSegmentX(trace, 7215.0);
    const SampleArray samples = frame(128, {{0, 255}, {1, 0}});
    mapTrace(trace, samples, SampleHeights(kHeight));
    QCOMPARE(int(trace[0].Y1), 0);
    QCOMPARE(int(trace[0].Y2), 4796);
    QCOMPARE(int(trace[1].Y1), 4796);
    QCOMPARE(int(trace[1].Y2), 2389);
    QCOMPARE(int(trace[0].X2), 36); // X untouched
    QCOMPARE(trace[200], TraceSegment{});
}

void TestFrameProcessing::lastSegmentEndsAtTheHeightOfByte128()
{
    for (int fill : {0, 77, 255}) {
        SegmentArray trace{};
        mapTrace(trace, frame(fill), SampleHeights(kHeight));
        QCOMPARE(int(trace[199].Y2), 2389);
        QCOMPARE(int(trace[199].Y1), int(sampleHeight(kHeight, fill - 128)));
    }
}

void TestFrameProcessing::framesAreJudgedAgainstTheGuides_data()
{
    QTest::addColumn<SampleArray>("samples");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("lower");
    QTest::addColumn<bool>("aboveUpper");
    QTest::addColumn<bool>("belowLower");

    QTest::newRow("all 127 lie on both middle guides: accept")
        << frame(127) << 50 << 50 << false << false;
    QTest::newRow("all 128 lie above the middle: reject")
        << frame(128) << 50 << 50 << true << false;
    QTest::newRow("all 126 lie below the middle: reject")
        << frame(126) << 50 << 50 << false << true;
    QTest::newRow("inside wide guides") << frame(128) << 25 << 75 << false << false;
    QTest::newRow("one sample above is enough")
        << frame(128, {{117, 230}}) << 25 << 75 << true << false;
    QTest::newRow("one sample below is enough")
        << frame(128, {{3, 10}}) << 25 << 75 << false << true;
    QTest::newRow("both ways") << frame(128, {{0, 255}, {199, 0}}) << 25 << 75 << true << true;
    QTest::newRow("upper guide below lower guide rejects")
        << frame(128) << 75 << 25 << true << true;
    QTest::newRow("upper guide at the top edge: byte 255 is level, inside")
        << frame(255) << 0 << 100 << false << false;
    QTest::newRow("lower guide on the bottom edge: byte 0 is inside")
        << frame(0) << 0 << 100 << false << false;
}

void TestFrameProcessing::framesAreJudgedAgainstTheGuides()
{
    QFETCH(SampleArray, samples);
    QFETCH(int, upper);
    QFETCH(int, lower);
    QFETCH(bool, aboveUpper);
    QFETCH(bool, belowLower);
    const Verdict v = judgeFrame(samples, upper, lower);
    QCOMPARE(v.aboveUpper, aboveUpper);
    QCOMPARE(v.belowLower, belowLower);
    QCOMPARE(v.rejected(), aboveUpper || belowLower);
}

void TestFrameProcessing::onlyStartPointsAreJudged()
{
    // Entry 200 (always 0, byte 128) is only an end point: with guides level with byte 127 a
    // frame of 127s is accepted although its last segment ends above the guides.
    SegmentArray trace{};
    mapTrace(trace, frame(127), SampleHeights(kHeight));
    QVERIFY(trace[199].Y2 < trace[199].Y1);
    QVERIFY(!judgeFrame(frame(127), 50, 50).rejected());
}

QTEST_APPLESS_MAIN(TestFrameProcessing)
#include "tst_frameprocessing.moc"
