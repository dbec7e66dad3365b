// Frames from the virtual instrument through the real serial stack into the main window: read on
// the port's own thread, handed over whole and in order, decoded, drawn, judged and shown on the
// lamps.

#include "display/colours.h"
#include "tests/testsupport.h"

#include <QSlider>
#include <QTest>

using namespace lumatrax;
using namespace std::chrono_literals;

namespace {

QByteArray burstOf(std::uint8_t byte, qsizetype size = FRAME_RX_THRESHOLD)
{
    return QByteArray(size, char(byte));
}

} // namespace

class TestFrameLink : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyFrameIsJudgedWithTheGuidesAsPlaced();
    void theTraceIsDrawnInCyanOverTheGridAndGuides();
    void aLongReadIsOneFrameJudgedOnItsFirstTwoHundredBytes();
    void readsComeWholeInOrderAndOnceWhileTheWindowIsBusy();

private:
    std::unique_ptr<test::Rig> m_rig;
};

void TestFrameLink::init()
{
    m_rig = std::make_unique<test::Rig>(2);
    QVERIFY(m_rig->startDetected());
}

void TestFrameLink::cleanup()
{
    QVERIFY2(m_rig->firstMismatch.isEmpty(), qPrintable(m_rig->firstMismatch));
    QVERIFY(m_rig->messages.texts.isEmpty());
    m_rig.reset();
}

void TestFrameLink::everyFrameIsJudgedWithTheGuidesAsPlaced()
{
    test::Rig& rig = *m_rig;
    // Acquisition was never started: frames are processed whatever the run state.
    QCOMPARE(rig.lamp("shpStatus"), test::kLampRed);

    QVERIFY(rig.sendAndJudge(burstOf(127))); // exactly on both guides at mid-height
    QCOMPARE(rig.lamp("shpMiddle"), test::kLampGreen);
    QCOMPARE(rig.lamp("shpHigher"), test::kLampBlack);
    QCOMPARE(rig.lamp("shpTr"), test::kLampGreen);

    QVERIFY(rig.sendAndJudge(burstOf(128))); // a step above the middle
    QCOMPARE(rig.judged.back().verdict, (Verdict{true, false}));
    QCOMPARE(rig.lamp("shpHigher"), test::kLampRed);

    // Wider guides take the same frame in; one sample below the lower guide rejects it.
    rig.setGuides(25, 75);
    QVERIFY(rig.sendAndJudge(burstOf(128)));
    QCOMPARE(rig.lamp("shpMiddle"), test::kLampGreen);
    QByteArray dip = burstOf(128);
    dip[150] = char(10);
    QVERIFY(rig.sendAndJudge(dip));
    QCOMPARE(rig.judged.back().verdict, (Verdict{false, true}));
    QCOMPARE(rig.lamp("shpHigher"), test::kLampRed);
}

void TestFrameLink::theTraceIsDrawnInCyanOverTheGridAndGuides()
{
    m_rig->setGuides(15, 85);
    QByteArray ramp(FRAME_RX_THRESHOLD, char(0));
    for (int i = 0; i < 200; ++i)
        ramp[i] = char(40 + i * 3 / 4);
    QVERIFY(m_rig->sendAndJudge(ramp));

    const QImage image = m_rig->widget("pic")->grab().toImage();
    const qreal ratio = image.devicePixelRatio();
    auto rowsOf = [&image](int column, QRgb colour) {
        QList<int> rows;
        for (int y = 0; y < image.height(); ++y)
            if ((image.pixel(column, y) & 0xFFFFFF) == (colour & 0xFFFFFF))
                rows << y;
        return rows;
    };
    // The trace climbs from left to right: byte 40 near the bottom, byte 189 near the top.
    const int border = int(2 * ratio);
    const QList<int> left = rowsOf(border + 1, kTraceColour);
    const QList<int> right = rowsOf(int(460 * ratio), kTraceColour);
    QVERIFY(!left.isEmpty() && !right.isEmpty());
    QVERIFY(std::abs(left.first() - (border + (255 - 40) * 4815 / 256 / 15 * ratio)) <= 3 * ratio);
    QVERIFY(right.first() < left.first());
    // Both guides are drawn with the trace, and the grid beneath it: where the trace crosses
    // the vertical grid line at a tenth of the width, the line shows above and below it, and
    // the trace has no gap there.
    QVERIFY(!rowsOf(int(30 * ratio), kUpperGuideColour).isEmpty());
    QVERIFY(!rowsOf(int(30 * ratio), kLowerGuideColour).isEmpty());
    const int gridColumn = border + int(721.5 / 15 * ratio);
    QVERIFY(!rowsOf(gridColumn, kTraceColour).isEmpty());
    QVERIFY(rowsOf(gridColumn, kGridColour).size() > image.height() / 2);
}

void TestFrameLink::aLongReadIsOneFrameJudgedOnItsFirstTwoHundredBytes()
{
    QByteArray burst = burstOf(127, 215);
    for (int i = 200; i < 215; ++i)
        burst[i] = char(0); // would reject the frame if it were looked at
    QVERIFY(m_rig->sendAndJudge(burst));
    QCOMPARE(m_rig->judged.back().read, burst);
    QCOMPARE(m_rig->judged.back().verdict, Verdict{});
    // The next frame starts with the next read.
    QVERIFY(m_rig->sendAndJudge(burstOf(255)));
    QCOMPARE(m_rig->judged.back().read, burstOf(255));
    QCOMPARE(m_rig->judged.size(), std::size_t(2));
}

void TestFrameLink::readsComeWholeInOrderAndOnceWhileTheWindowIsBusy()
{
    test::Rig& rig = *m_rig;
    rig.setGuides(30, 70);
    // A frame every 6 ms, faster than the window's turns.
    constexpr int kFrames = 40;
    auto frame = [](std::uint64_t n) {
        VirtualInstrument::Frame f;
        f.fill(std::uint8_t(60 + 3 * n));
        return f;
    };
    QByteArray sent;
    for (int n = 0; n < kFrames; ++n)
        sent += test::frameBurst(frame(std::uint64_t(n)));
    rig.instrument.setFrameInterval(6ms);
    rig.instrument.setFrameSource([&rig, frame](std::uint64_t n) {
        if (n + 1 == kFrames)
            rig.instrument.stopStreaming();
        return frame(n);
    });
    rig.instrument.startStreaming();
    // The user-interface thread held up (a slow handler, a long repaint) while half the frames
    // come: they wait for the next turn. How many bursts a read then holds depends on how the
    // port's reading thread was scheduled meanwhile; each read is judged on its first 200 bytes.
    QVERIFY(rig.instrument.waitForFramesSent(kFrames / 2, 5s));
    QTRY_VERIFY_WITH_TIMEOUT(rig.bytesJudged() >= sent.size(), 5000);
    const QString differ = test::readsJoinedDiffer(rig.judged, sent);
    QVERIFY2(differ.isEmpty(), qPrintable(differ));
    QVERIFY(rig.judged.size() <= std::size_t(kFrames));
    // The lamps end on the last read's verdict (the fixture checks them after every read).
    QCOMPARE(rig.lamp("shpMiddle"),
             rig.judged.back().verdict.rejected() ? test::kLampBlack : test::kLampGreen);
}

QTEST_MAIN(TestFrameLink)
#include "tst_framelink.moc"
