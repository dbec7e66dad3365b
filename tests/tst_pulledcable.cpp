// The cable pulled again and again: fifty cycles of connecting, streaming frames, the
// instrument's side of the line closing in the middle of a frame, and Retry once the device is
// back. Each loss takes the failure path exactly once, each Retry reconnects and frames are
// judged again, and over the cycles neither file descriptors nor memory pile up.

#include "link/commport.h"
#include "tests/lampwatch.h"
#include "tests/processprobe.h"
#include "tests/testsupport.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

using namespace lumatrax;
using namespace std::chrono_literals;

namespace {

constexpr int kCycles = 50;
// Cycles run before the baseline is taken, so that everything made once is already there.
constexpr int kWarmUpCycles = 3;
constexpr int kTimeoutMs = 10000;
constexpr int kPort = 6;
constexpr int kFramesPerCycle = 5;
constexpr qint64 kHeapGrowthLimit = 1 << 20;
constexpr qint64 kResidentGrowthLimitKiB = 8 << 10;
// The detection check waits 1000 ms after each Retry in the program. The instrument answers at
// once, so a shorter wait changes nothing of the check and lets fifty cycles take seconds.
constexpr auto kDetectionWait = 200ms;
constexpr auto kIdleWindow = 1000ms;
constexpr auto kIdleCpuLimit = 100ms;

VirtualInstrument::Frame frameOf(std::uint8_t value)
{
    VirtualInstrument::Frame frame;
    frame.fill(value);
    return frame;
}

} // namespace

class TestPulledCable : public QObject
{
    Q_OBJECT
private slots:
    void everyPulledCableFailsOnceAndRetryReconnects();
};

void TestPulledCable::everyPulledCableFailsOnceAndRetryReconnects()
{
    test::Rig rig(kPort);
    MainWindow& window = *rig.window;
    VirtualInstrument& instrument = rig.instrument;
    window.ui().tmrFirst->setInterval(kDetectionWait);
    window.formLoad();
    window.findChild<QSlider*>("sliderPos")->setValue(30);
    window.findChild<QSlider*>("sliderOff")->setValue(70);
    test::LampWatch lamps(window);
    const QString portName = QStringLiteral("COM%1").arg(kPort);

    int descriptorsBefore = 0;
    qint64 heapBefore = 0;
    qint64 residentBefore = 0;
    for (int cycle = 0; cycle <= kCycles; ++cycle) {
        // Connected and detected: frame reception armed, no Retry offered.
        QTRY_COMPARE_WITH_TIMEOUT(window.cm().rThreshold(), FRAME_RX_THRESHOLD, kTimeoutMs);
        QVERIFY(!window.state().linkDown);
        QVERIFY(window.ui().Frame3->isHidden());
        QCOMPARE(window.ui().lblMsg->text(), portName);
        QCOMPARE(rig.messages.titles.size(), cycle);
        if (cycle == kWarmUpCycles) {
            descriptorsBefore = test::openDescriptors();
            heapBefore = test::heapInUse();
            residentBefore = test::residentKiB();
        }

        // Frames back to back, then half a frame, then the plug.
        const int framesJudged = lamps.frames();
        const std::uint64_t sent = instrument.bytesSent();
        for (int i = 0; i < kFramesPerCycle; ++i)
            QVERIFY(instrument.sendFrame(frameOf(i % 2 == 0 ? 128 : 255)));
        QVERIFY(instrument.sendRaw(QByteArray(SAMPLES_PER_FRAME / 2, char(128))));
        const std::uint64_t burst = kFramesPerCycle * FRAME_RX_THRESHOLD + SAMPLES_PER_FRAME / 2;
        QTRY_VERIFY_WITH_TIMEOUT(instrument.bytesSent() >= sent + burst, kTimeoutMs);
        // A read takes everything waiting, so frames that arrive together are judged as one.
        QTRY_VERIFY_WITH_TIMEOUT(lamps.frames() > framesJudged, kTimeoutMs);
        QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
        if (cycle == kCycles)
            break;
        instrument.pullPlug();

        // One failure path: one message, the suffix once, Retry and Port offered.
        QTRY_COMPARE_WITH_TIMEOUT(rig.messages.titles.size(), cycle + 1, kTimeoutMs);
        QCOMPARE(rig.messages.titles.last(), QStringLiteral("Communication Error!"));
        // The port, the device and what happened, then the system's reason.
        const QString text = rig.messages.texts.last();
        QVERIFY2(text.startsWith(portName + QStringLiteral(" (/dev/pts/")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("): The connection to the device was lost (")),
                 qPrintable(text));
        QVERIFY(window.state().linkDown);
        QVERIFY(!window.cm().portOpen());
        QVERIFY(!window.ui().Frame3->isHidden());
        QCOMPARE(window.ui().lblMsg->text(), portName + QStringLiteral(" ... Device not found!"));
        if (cycle == kWarmUpCycles) {
            // Waiting for the operator with the device gone costs next to nothing.
            const auto cpu = test::cpuTimeOver(kIdleWindow);
            QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
        }

        QVERIFY2(instrument.replug(), qPrintable(instrument.errorString()));
        window.ui().cmdRetry->click();
        QVERIFY(!window.state().linkDown);
        QVERIFY(window.ui().tmrFirst->isActive());
    }

    QCOMPARE(rig.messages.titles.size(), kCycles);
    QCOMPARE(test::openDescriptors(), descriptorsBefore);
    const qint64 heapGrowth = test::heapInUse() - heapBefore;
    QVERIFY2(heapGrowth < kHeapGrowthLimit, qPrintable(QString::number(heapGrowth)));
    if (!test::kAddressSanitizer) {
        const qint64 residentGrowth = test::residentKiB() - residentBefore;
        QVERIFY2(residentGrowth < kResidentGrowthLimitKiB,
                 qPrintable(QString::number(residentGrowth)));
    }
}

QTEST_MAIN(TestPulledCable)
#include "tst_pulledcable.moc"
