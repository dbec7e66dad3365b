// Frames from the virtual instrument through the real serial stack into the main window: decoded,
// drawn, judged and shown on the lamps.

#include "display/lamp.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "tests/testsupport.h"

#include <QGroupBox>
#include <QSlider>
#include <QTest>

using namespace lumatrax;
using namespace std::chrono_literals;

namespace {

VirtualInstrument::Frame filled(std::uint8_t byte)
{
    VirtualInstrument::Frame f{};
    f.fill(byte);
    return f;
}

const QColor kLampGreen(0, 255, 0);
const QColor kLampRed(255, 0, 0);
const QColor kLampOff(0, 0, 0);

} // namespace

class TestFrameLink : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyFrameIsJudgedWithTheGuidesAsPlaced();
    void theTraceIsDrawnInCyanOverTheScreen();
    void aLongReadKeepsItsFirstTwoHundredBytes();
    void aShortReadChangesNothingButTheBuffer();
    void otherEventKindsChangeNothing();

private:
    std::unique_ptr<test::Rig> m_rig;
    MainWindow* m_window = nullptr;

    void send(const VirtualInstrument::Frame& frame)
    {
        const std::int16_t seen = m_window->state().frameSeen;
        QVERIFY(m_rig->instrument.sendFrame(frame));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->state().frameSeen, std::int16_t(seen + 1), 5000);
    }
};

void TestFrameLink::init()
{
    m_rig = std::make_unique<test::Rig>(2);
    m_window = m_rig->window.get();
    m_window->formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->ui().Frame2->isEnabled(), 5000);
}

void TestFrameLink::cleanup()
{
    QVERIFY(m_rig->messages.texts.isEmpty());
    m_rig.reset();
}

void TestFrameLink::everyFrameIsJudgedWithTheGuidesAsPlaced()
{
    // Acquisition was never started: frames are processed whatever the run state.
    QCOMPARE(m_window->state().isRunning, kFalse);

    send(filled(127)); // exactly on both guides at mid-height
    QCOMPARE(m_window->ui().shpMiddle->colour(), kLampGreen);
    QCOMPARE(m_window->ui().shpHigher->colour(), kLampOff);
    QCOMPARE(m_window->ui().shpTr->colour(), kLampGreen);
    QCOMPARE(m_window->state().aboveUpper, kFalse);

    send(filled(128)); // a step above the middle
    QCOMPARE(m_window->ui().shpMiddle->colour(), kLampOff);
    QCOMPARE(m_window->ui().shpHigher->colour(), kLampRed);
    QCOMPARE(m_window->state().aboveUpper, kTrue);
    QCOMPARE(m_window->state().belowLower, kFalse);
    QCOMPARE(int(m_window->state().sampleValues[5]), 0);
    QCOMPARE(int(m_window->state().sampleValues[200]), 0);

    // Wider guides take the same frame in; one sample below the lower guide rejects it.
    m_window->ui().sliderPos->setValue(25);
    m_window->ui().sliderOff->setValue(75);
    send(filled(128));
    QCOMPARE(m_window->ui().shpMiddle->colour(), kLampGreen);
    VirtualInstrument::Frame dip = filled(128);
    dip[150] = 10;
    send(dip);
    QCOMPARE(m_window->ui().shpHigher->colour(), kLampRed);
    QCOMPARE(m_window->state().belowLower, kTrue);
    QCOMPARE(m_window->state().aboveUpper, kFalse);
}

void TestFrameLink::theTraceIsDrawnInCyanOverTheScreen()
{
    // Guides between grid lines (at whole tens of percent they lie under the grid).
    m_window->ui().sliderPos->setValue(15);
    m_window->ui().sliderOff->setValue(85);
    VirtualInstrument::Frame ramp{};
    for (int i = 0; i < 200; ++i)
        ramp[i] = std::uint8_t(40 + i * 3 / 4);
    send(ramp);

    const QImage image = m_window->ui().pic->grab().toImage();
    auto cyanRows = [&image](int column) {
        QList<int> rows;
        for (int y = 0; y < image.height(); ++y)
            if ((image.pixel(column, y) & 0xFFFFFF) == 0x00FFFF)
                rows << y;
        return rows;
    };
    // The trace climbs from left to right: byte 40 near the bottom, byte 189 near the top.
    const QList<int> left = cyanRows(ScopeSurface::kBorder + 1), right = cyanRows(460);
    QVERIFY(!left.isEmpty() && !right.isEmpty());
    const int border = ScopeSurface::kBorder;
    QVERIFY(std::abs(left.first() - (border + (255 - 40) * 4815 / 256 / 15)) <= 3);
    QVERIFY(right.first() < left.first());
    // Both guides are drawn with the trace.
    bool red = false, blue = false;
    for (int y = 0; y < image.height(); ++y) {
        red |= (image.pixel(30, y) & 0xFFFFFF) == 0xFF0000;
        blue |= (image.pixel(30, y) & 0xFFFFFF) == 0x0000FF;
    }
    QVERIFY(red && blue);
    QCOMPARE(m_window->ui().pic->drawing().size(), std::size_t(600));
}

void TestFrameLink::aLongReadKeepsItsFirstTwoHundredBytes()
{
    QByteArray burst(215, char(128));
    for (int i = 200; i < 215; ++i)
        burst[i] = char(0); // would reject the frame if it were looked at
    const std::int16_t seen = m_window->state().frameSeen;
    QVERIFY(m_rig->instrument.sendRaw(burst));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->state().frameSeen, std::int16_t(seen + 1), 5000);
    QCOMPARE(m_window->state().rxBuffer.size(), 215);
    QCOMPARE(m_window->state().belowLower, kFalse);
    // The next frame starts with the next read.
    send(filled(127));
    QCOMPARE(m_window->state().rxBuffer.size(), 210);
    QCOMPARE(m_window->ui().shpMiddle->colour(), kLampGreen);
}

void TestFrameLink::aShortReadChangesNothingButTheBuffer()
{
    send(filled(128));
    const auto trace = m_window->state().liveTrace;
    const std::int16_t seen = m_window->state().frameSeen;
    QVERIFY(m_rig->instrument.sendRaw(QByteArray(50, char(127))));
    // Below the threshold no event comes; raise one by hand until the bytes are read.
    bool read = false;
    auto readShort = [&] {
        if (!read) {
            m_window->cm().raiseEvent(CommPort::comEvReceive);
            read = !m_window->state().rxBuffer.isEmpty();
        }
        return read;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readShort(), 5000);
    QVERIFY(m_window->state().rxBuffer.size() < 200);
    QCOMPARE(m_window->state().frameSeen, seen);
    QCOMPARE(m_window->state().liveTrace, trace);
    QCOMPARE(m_window->ui().shpHigher->colour(), kLampRed);
    QCOMPARE(m_window->state().aboveUpper, kTrue);
}

void TestFrameLink::otherEventKindsChangeNothing()
{
    send(filled(127));
    QVERIFY(m_rig->instrument.sendRaw(QByteArray(210, char(0))));
    QVERIFY(m_rig->instrument.waitForReceived(8, 1s)); // (the greeting, long since)
    const std::int16_t seen = m_window->state().frameSeen;
    const QByteArray buffer = m_window->state().rxBuffer;
    m_window->cm().raiseEvent(1);
    m_window->cm().raiseEvent(3);
    QCOMPARE(m_window->state().frameSeen, seen);
    QCOMPARE(m_window->state().rxBuffer, buffer);
    QCOMPARE(m_window->ui().shpMiddle->colour(), kLampGreen);
    // The waiting bytes are still there for the next received-data event.
    QTRY_COMPARE_WITH_TIMEOUT(m_window->state().frameSeen, std::int16_t(seen + 1), 5000);
    QCOMPARE(m_window->ui().shpHigher->colour(), kLampRed);
}

QTEST_MAIN(TestFrameLink)
#include "tst_framelink.moc"
