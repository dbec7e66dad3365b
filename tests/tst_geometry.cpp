#include "display/geometry.h"

#include <QString>
#include <QTest>

using namespace lumatrax;

class TestGeometry : public QObject
{
    Q_OBJECT
private slots:
    void roundingTiesGoToEven_data();
    void roundingTiesGoToEven();
    void designSegmentsHaveKnownEnds_data();
    void designSegmentsHaveKnownEnds();
    void neighbouringSegmentsShareEndsForAnyWidth_data();
    void neighbouringSegmentsShareEndsForAnyWidth();
    void gridHasNineInnerLinesEachWay();
    void guideHeightFollowsSliderPercent_data();
    void guideHeightFollowsSliderPercent();
    void sampleHeightPutsLargerBytesHigher_data();
    void sampleHeightPutsLargerBytesHigher();
    void triggerMarkerSpansTheScreen_data();
    void triggerMarkerSpansTheScreen();
    void timebaseEntriesUseTheMicroSign();
};

void TestGeometry::roundingTiesGoToEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("721.5 up to even") << 721.5 << 722;
    QTest::newRow("2164.5 down to even") << 2164.5 << 2164;
    QTest::newRow("2407.5 up to even") << 2407.5 << 2408;
    QTest::newRow("36.075 nearest") << 36.075 << 36;
    QTest::newRow("0.5 to zero") << 0.5 << 0;
    QTest::newRow("1.5 to two") << 1.5 << 2;
    QTest::newRow("just under a half") << 2.4999999 << 2;
    QTest::newRow("just over a half") << 2.5000001 << 3;
    QTest::newRow("-0.5 to zero") << -0.5 << 0;
    QTest::newRow("-1.5 to minus two") << -1.5 << -2;
    QTest::newRow("-2.6") << -2.6 << -3;
    QTest::newRow("16-bit maximum") << 32767.0 << 32767;
    QTest::newRow("past 16 bits saturates") << 40000.0 << 32767;
    QTest::newRow("below 16 bits saturates") << -40000.0 << -32768;
}

void TestGeometry::roundingTiesGoToEven()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(int(roundHalfEven(value)), expected);
}

void TestGeometry::designSegmentsHaveKnownEnds_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("x1");
    QTest::addColumn<int>("x2");
    QTest::newRow("first") << 0 << 0 << 36;
    QTest::newRow("entry 1") << 1 << 36 << 72;
    QTest::newRow("entry 19 ends on 721.5 rounded up") << 19 << 685 << 722;
    QTest::newRow("entry 20") << 20 << 722 << 758;
    QTest::newRow("entry 59 ends on 2164.5 rounded down") << 59 << 2128 << 2164;
    QTest::newRow("entry 60") << 60 << 2164 << 2201;
    QTest::newRow("last") << 199 << 7179 << 7215;
}

void TestGeometry::designSegmentsHaveKnownEnds()
{
    QFETCH(int, index);
    QFETCH(int, x1);
    QFETCH(int, x2);
    SegmentArray segments{};
    layoutSegmentX(segments, 7215.0);
    QCOMPARE(int(segments[index].X1), x1);
    QCOMPARE(int(segments[index].X2), x2);
    QCOMPARE(segments[200], TraceSegment{});
}

void TestGeometry::neighbouringSegmentsShareEndsForAnyWidth_data()
{
    QTest::addColumn<double>("width");
    for (double w : {7215.0, 4815.0, 1.0, 199.0, 200.0, 201.0, 333.0, 1000.5, 32767.0})
        QTest::newRow(qPrintable(QString::number(w))) << w;
}

void TestGeometry::neighbouringSegmentsShareEndsForAnyWidth()
{
    QFETCH(double, width);
    SegmentArray segments{};
    layoutSegmentX(segments, width);
    QCOMPARE(int(segments[0].X1), 0);
    QCOMPARE(int(segments[199].X2), int(roundHalfEven(width)));
    for (int i = 0; i < 199; ++i)
        QCOMPARE(segments[i].X2, segments[i + 1].X1);
    QCOMPARE(segments[200], TraceSegment{});
}

void TestGeometry::gridHasNineInnerLinesEachWay()
{
    const float w = 7215.0f;
    const float h = 4815.0f;
    QCOMPARE(kGridLines, 9);
    for (int i = 0; i < kGridLines; ++i) {
        const LineEnds across = horizontalGridLine(i, w, h);
        QCOMPARE(across.x1, 0.0f);
        QCOMPARE(across.x2, w);
        QCOMPARE(across.y1, across.y2);
        QCOMPARE(across.y1, float(i + 1) * 481.5f);
        QVERIFY(across.y1 > 0.0f && across.y1 < h);

        const LineEnds down = verticalGridLine(i, w, h);
        QCOMPARE(down.y1, 0.0f);
        QCOMPARE(down.y2, h);
        QCOMPARE(down.x1, down.x2);
        QCOMPARE(down.x1, float(i + 1) * 721.5f);
        QVERIFY(down.x1 > 0.0f && down.x1 < w);
    }
    QCOMPARE(horizontalGridLine(8, w, h).y1, 4333.5f);
    QCOMPARE(verticalGridLine(2, w, h).x1, 2164.5f);
    QCOMPARE(verticalGridLine(8, w, h).x1, 6493.5f);
}

void TestGeometry::guideHeightFollowsSliderPercent_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("height");
    QTest::newRow("top edge") << 0 << 0;
    QTest::newRow("quarter") << 25 << 1204;
    QTest::newRow("half, 2407.5 to even") << 50 << 2408;
    QTest::newRow("three quarters") << 75 << 3611;
    QTest::newRow("bottom edge") << 100 << 4815;
}

void TestGeometry::guideHeightFollowsSliderPercent()
{
    QFETCH(int, value);
    QFETCH(int, height);
    QCOMPARE(int(guideHeight(4815.0, value)), height);
}

void TestGeometry::sampleHeightPutsLargerBytesHigher_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("height");
    QTest::newRow("255 on the top edge") << 255 << 0;
    QTest::newRow("128 just above the middle") << 128 << 2389;
    QTest::newRow("127 on the middle") << 127 << 2408;
    QTest::newRow("0 near the bottom") << 0 << 4796;
}

void TestGeometry::sampleHeightPutsLargerBytesHigher()
{
    QFETCH(int, byte);
    QFETCH(int, height);
    QCOMPARE(int(sampleHeight(4815.0, byte - 128)), height);
}

void TestGeometry::triggerMarkerSpansTheScreen_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<float>("y");
    QTest::newRow("top") << 0 << 240.0f;
    QTest::newRow("middle") << 25 << 2647.5f;
    QTest::newRow("bottom") << 50 << 5055.0f;
}

void TestGeometry::triggerMarkerSpansTheScreen()
{
    QFETCH(int, value);
    QFETCH(float, y);
    QCOMPARE(triggerMarkerY(4815.0f, 240.0f, value), y);
    QCOMPARE(triggerMarkerStartY(4815.0f, 240.0f), 2697.5f);
}

void TestGeometry::timebaseEntriesUseTheMicroSign()
{
    QCOMPARE(kTimebaseEntries.size(), std::size_t(9));
    const QString first =
        QString::fromUtf8(kTimebaseEntries[0].data(), qsizetype(kTimebaseEntries[0].size()));
    QCOMPARE(first, QString::fromUtf16(u"40\u00B5s"));
    QCOMPARE(first.at(2).unicode(), char16_t(0x00B5));
    QCOMPARE(QString::fromUtf8(kTimebaseEntries[8].data()), QStringLiteral("20ms"));
}

QTEST_APPLESS_MAIN(TestGeometry)
#include "tst_geometry.moc"
