// The cable pulled again and again: fifty cycles of connecting, streaming frames, the
// instrument's side of the line closing in the middle of a frame, and Retry once the device is
// back. Each loss takes the failure path exactly once, each Retry reconnects and frames are
// judged again, and over the cycles neither file descriptors nor memory pile up. A reading thread
// whose own wait fails takes the same path.

#include "tests/processprobe.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"

#include <QPushButton>
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
    void aFailingReadingThreadTakesTheSamePath();
};

void TestPulledCable::everyPulledCableFailsOnceAndRetryReconnects()
{
    test::Rig rig(kPort);
    VirtualInstrument& instrument = rig.instrument;
    rig.detectionTimer()->setInterval(kDetectionWait);
    rig.start();
    rig.setGuides(30, 70);
    const QString portName = QStringLiteral("COM%1").arg(kPort);

    int descriptorsBefore = 0;
    qint64 heapBefore = 0;
    qint64 residentBefore = 0;
    for (int cycle = 0; cycle <= kCycles; ++cycle) {
        // Connected and detected: frame reception armed, no Retry offered.
        QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), kTimeoutMs);
        QVERIFY(!rig.retryOffered());
        QCOMPARE(rig.status(), portName);
        QCOMPARE(rig.messages.titles.size(), cycle);
        if (cycle == kWarmUpCycles) {
            descriptorsBefore = test::openDescriptors();
            heapBefore = test::heapInUse();
            residentBefore = test::residentKiB();
        }

        // Frames back to back, then half a frame, then the plug.
        const std::size_t framesJudged = rig.judged.size();
        const std::uint64_t sent = instrument.bytesSent();
        for (int i = 0; i < kFramesPerCycle; ++i)
            QVERIFY(instrument.sendFrame(frameOf(i % 2 == 0 ? 128 : 255)));
        QVERIFY(instrument.sendRaw(QByteArray(SAMPLES_PER_FRAME / 2, char(128))));
        const std::uint64_t burst = kFramesPerCycle * FRAME_RX_THRESHOLD + SAMPLES_PER_FRAME / 2;
        QTRY_VERIFY_WITH_TIMEOUT(instrument.bytesSent() >= sent + burst, kTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(rig.judged.size() > framesJudged, kTimeoutMs);
        QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
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
        QVERIFY(rig.retryOffered());
        QVERIFY(!rig.controlsEnabled());
        QCOMPARE(rig.status(), portName + QStringLiteral(" ... Device not found!"));
        if (cycle == kWarmUpCycles) {
            // Waiting for the operator with the device gone costs next to nothing.
            const auto cpu = test::cpuTimeOver(kIdleWindow);
            QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
        }

        QVERIFY2(instrument.replug(), qPrintable(instrument.errorString()));
        rig.widget<QPushButton>("cmdRetry")->click();
        QVERIFY(!rig.retryOffered());
        QVERIFY(rig.detectionTimer()->isActive());
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

void TestPulledCable::aFailingReadingThreadTakesTheSamePath()
{
    test::Rig rig(kPort);
    rig.detectionTimer()->setInterval(kDetectionWait);
    QVERIFY(rig.startDetected());
    QVERIFY(rig.sendAndJudge(QByteArray(FRAME_RX_THRESHOLD, char(128))));
    {
        // The port's thread, woken by a frame, can no longer wait on its two descriptors.
        const test::PortThreadProbe portThread;
        QVERIFY(!portThread.ended());
        const test::FileLimit limit(1);
        QVERIFY(limit.isSet());
        QVERIFY(rig.instrument.sendRaw(QByteArray(FRAME_RX_THRESHOLD, char(128))));
        QVERIFY(test::spinUntil([&] { return portThread.ended(); }));
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.messages.titles.size(), 1, kTimeoutMs);
    QCOMPARE(rig.messages.titles[0], QStringLiteral("Communication Error!"));
    const QString text = rig.messages.texts[0];
    QVERIFY2(text.startsWith(QStringLiteral("COM%1 (/dev/pts/").arg(kPort)) &&
                 text.contains(QStringLiteral("): The connection to the device was lost (")),
             qPrintable(text));
    QCOMPARE(rig.status(), QStringLiteral("COM%1 ... Device not found!").arg(kPort));
    QVERIFY(rig.retryOffered());
    QVERIFY(!rig.controlsEnabled());

    // The device never went away: Retry finds it at once.
    rig.widget<QPushButton>("cmdRetry")->click();
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), kTimeoutMs);
    QVERIFY(rig.sendAndJudge(QByteArray(FRAME_RX_THRESHOLD, char(255))));
    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
    QCOMPARE(rig.messages.titles.size(), 1);
}

QTEST_MAIN(TestPulledCable)
#include "tst_pulledcable.moc"
