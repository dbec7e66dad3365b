// Hostile byte streams through the real serial stack: the virtual instrument on a
// pseudo-terminal sends garbage at the full line rate, bursts far larger than the receive buffer,
// reads too short to be a frame, an acknowledgement with garbage behind it, and a stream that
// stops in the middle of a frame. The program stays up, its heap does not grow, it does not spin
// once the line falls quiet, and the lamps always show the verdict of the last complete frame.

#include "link/commport.h"
#include "tests/lampwatch.h"
#include "tests/processprobe.h"
#include "tests/testsupport.h"

#include <QGroupBox>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <random>

using namespace lumatrax;
using namespace std::chrono_literals;

namespace {

constexpr int kTimeoutMs = 10000;
// What the heap may grow by while a stream runs, once the first one has warmed everything up.
constexpr qint64 kHeapGrowthLimit = 2 << 20;
constexpr qint64 kResidentGrowthLimitKiB = 16 << 10;
// CPU time a quiet program may use in a second of wall time (timers, the instrument's thread).
constexpr auto kIdleCpuLimit = 100ms;
constexpr auto kIdleWindow = 1000ms;

// Bytes at the line's rate: 20 µs each at 500000 bit/s.
constexpr int kBytesPerSecond = 50000;

QByteArray randomBytes(std::mt19937& random, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : bytes)
        c = char(byte(random));
    return bytes;
}

QByteArray frameOf(std::uint8_t value)
{
    return QByteArray(FRAME_RX_THRESHOLD, char(value));
}

} // namespace

class TestHostileStreams : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void randomBytesAtTheLineRateKeepTheProgramSteady();
    void burstsFarLargerThanTheReceiveBufferAreDrained();
    void readsOfOneTo209BytesChangeNothingButTheBuffer();
    void acknowledgementFollowedByGarbageLeavesTheLinkSilent();
    void streamStoppingMidFrameKeepsTheLastVerdict();

private:
    // Starts the window with an instrument that answers at once, waits for the detection, and
    // sets the guides to a band (30 % to 70 % of the height) that accepts some frames.
    bool startAcknowledged();
    // Queues the bursts and waits until the instrument has sent them all, the program reading
    // meanwhile.
    bool sendAndDrain(const QList<QByteArray>& bursts);
    [[nodiscard]] VirtualInstrument& instrument() { return m_rig->instrument; }
    [[nodiscard]] MainWindow& window() { return *m_rig->window; }

    std::unique_ptr<test::Rig> m_rig;
};

void TestHostileStreams::init()
{
    m_rig = std::make_unique<test::Rig>(2);
}

void TestHostileStreams::cleanup()
{
    m_rig.reset();
}

bool TestHostileStreams::startAcknowledged()
{
    window().formLoad();
    if (!QTest::qWaitFor([this] { return window().ui().Frame1->isEnabled(); }, kTimeoutMs))
        return false;
    window().findChild<QSlider*>("sliderPos")->setValue(30);
    window().findChild<QSlider*>("sliderOff")->setValue(70);
    return window().cm().rThreshold() == FRAME_RX_THRESHOLD;
}

bool TestHostileStreams::sendAndDrain(const QList<QByteArray>& bursts)
{
    std::uint64_t total = instrument().bytesSent();
    for (const QByteArray& burst : bursts) {
        if (!instrument().sendRaw(burst))
            return false;
        total += std::uint64_t(burst.size());
    }
    const int lineTimeMs = int((total - instrument().bytesSent()) * 1000 / kBytesPerSecond);
    return QTest::qWaitFor([&] { return instrument().bytesSent() >= total; },
                           3 * lineTimeMs + kTimeoutMs);
}

void TestHostileStreams::randomBytesAtTheLineRateKeepTheProgramSteady()
{
    QVERIFY(startAcknowledged());
    test::LampWatch lamps(window());
    std::mt19937 random(8);
    // Bursts of 1 to 1024 bytes back to back: the line is never idle.
    auto stream = [&](int seconds) {
        QList<QByteArray> bursts;
        std::uniform_int_distribution<int> length(1, 1024);
        for (int sent = 0; sent < seconds * kBytesPerSecond;) {
            bursts << randomBytes(random, length(random));
            sent += int(bursts.last().size());
        }
        return bursts;
    };

    QVERIFY(sendAndDrain(stream(1))); // warms up every cache and buffer
    const qint64 heapBefore = test::heapInUse();
    const qint64 residentBefore = test::residentKiB();
    const int framesBefore = lamps.frames();
    QVERIFY(sendAndDrain(stream(3)));

    QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
    // Frames were judged all along: at least one every 100 ms, however busy the machine.
    QVERIFY(lamps.frames() - framesBefore >= 30);
    QVERIFY(lamps.accepted() > 0 || lamps.rejected() > 0);
    const qint64 heapGrowth = test::heapInUse() - heapBefore;
    QVERIFY2(heapGrowth < kHeapGrowthLimit, qPrintable(QString::number(heapGrowth)));
    if (!test::kAddressSanitizer) {
        const qint64 residentGrowth = test::residentKiB() - residentBefore;
        QVERIFY2(residentGrowth < kResidentGrowthLimitKiB,
                 qPrintable(QString::number(residentGrowth)));
    }
    // Quiet now, with up to 209 bytes of a frame left waiting below the threshold.
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
    QVERIFY(!window().state().linkDown);
}

void TestHostileStreams::burstsFarLargerThanTheReceiveBufferAreDrained()
{
    QVERIFY(startAcknowledged());
    test::LampWatch lamps(window());
    std::mt19937 random(1024);
    constexpr qsizetype kBurst = 16 * CommPort::kReceiveBufferSize;

    QVERIFY(sendAndDrain({randomBytes(random, kBurst)}));
    const qint64 heapBefore = test::heapInUse();
    QVERIFY(sendAndDrain(
        {randomBytes(random, kBurst), randomBytes(random, kBurst), randomBytes(random, kBurst)}));

    QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
    // Each read takes everything waiting and judges only its first 200 bytes: far fewer frames
    // than the bytes would make.
    QVERIFY(lamps.frames() > 0);
    QVERIFY(lamps.frames() < 4 * kBurst / SAMPLES_PER_FRAME);
    const qint64 heapGrowth = test::heapInUse() - heapBefore;
    QVERIFY2(heapGrowth < kHeapGrowthLimit, qPrintable(QString::number(heapGrowth)));
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));

    // Still judging: one more frame, behind what was left below the threshold, is read and
    // judged.
    const int before = lamps.frames();
    QVERIFY(sendAndDrain({frameOf(128)}));
    QTRY_VERIFY_WITH_TIMEOUT(lamps.frames() > before, kTimeoutMs);
    QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
}

void TestHostileStreams::readsOfOneTo209BytesChangeNothingButTheBuffer()
{
    QVERIFY(startAcknowledged());
    QVERIFY(sendAndDrain({frameOf(128)}));
    QTRY_COMPARE_WITH_TIMEOUT(window().state().frameSeen, std::int16_t(1), kTimeoutMs);
    const MainWindowState before = window().state();
    const QColor accept = window().ui().shpMiddle->colour();
    const QColor reject = window().ui().shpHigher->colour();
    const std::vector<DrawnLine> drawing = window().ui().pic->drawing();
    test::LampWatch lamps(window());

    // The receive threshold set to each burst's length makes the port raise the event when the
    // whole burst waits, so each read is exactly one burst. Bytes 255 lie above the band.
    for (int length = 1; length < FRAME_RX_THRESHOLD; ++length) {
        window().cm().setRThreshold(length);
        const int events = lamps.frames() + lamps.shortReads();
        const QByteArray burst(length, char(255));
        QVERIFY(sendAndDrain({burst}));
        QTRY_COMPARE_WITH_TIMEOUT(lamps.frames() + lamps.shortReads(), events + 1, kTimeoutMs);
        QCOMPARE(window().state().rxBuffer, burst);
        if (length == SAMPLES_PER_FRAME - 1) {
            // Nothing shorter than a frame changed anything but the receive buffer.
            const MainWindowState& after = window().state();
            QCOMPARE(lamps.frames(), 0);
            QCOMPARE(after.sampleValues, before.sampleValues);
            QCOMPARE(after.liveTrace, before.liveTrace);
            QCOMPARE(after.aboveUpper, before.aboveUpper);
            QCOMPARE(after.belowLower, before.belowLower);
            // (frameSeen is not compared: the activity timer clears it every second.)
            QCOMPARE(window().ui().shpMiddle->colour(), accept);
            QCOMPARE(window().ui().shpHigher->colour(), reject);
            QVERIFY(window().ui().pic->drawing() == drawing);
        }
    }
    // Reads of 200 to 209 bytes are frames, judged on their first 200.
    QCOMPARE(lamps.frames(), FRAME_RX_THRESHOLD - SAMPLES_PER_FRAME);
    QCOMPARE(lamps.shortReads(), SAMPLES_PER_FRAME - 1);
    QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
    QCOMPARE(window().ui().shpHigher->colour(), QColor::fromRgb(kRed));
}

void TestHostileStreams::acknowledgementFollowedByGarbageLeavesTheLinkSilent()
{
    std::mt19937 random(172);
    m_rig.reset(); // the start-up directory of one rig at a time
    m_rig = std::make_unique<test::Rig>(
        5, true, VirtualInstrument::AckBehaviour::followedBy(randomBytes(random, 300)));
    window().formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(!window().ui().tmrFirst->isActive(), kTimeoutMs);

    // Not detected: no controls, no message, no Retry, no frame reception.
    QVERIFY(!window().state().linkDown);
    QVERIFY(!window().ui().Frame1->isEnabled());
    QVERIFY(!window().ui().Frame2->isEnabled());
    QVERIFY(window().ui().Frame3->isHidden());
    QVERIFY(m_rig->messages.titles.isEmpty());
    QCOMPARE(window().cm().rThreshold(), 0);

    // More garbage than every buffer on the way holds: nothing reads it, the instrument is held
    // up, and the program neither spins nor grows meanwhile.
    const qint64 heapBefore = test::heapInUse();
    const std::uint64_t sentBefore = instrument().bytesSent();
    QVERIFY(instrument().sendRaw(randomBytes(random, 64 * CommPort::kReceiveBufferSize)));
    QTRY_VERIFY_WITH_TIMEOUT(instrument().bytesSent() > sentBefore, kTimeoutMs);
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
    QVERIFY(test::heapInUse() - heapBefore < kHeapGrowthLimit);
    QCOMPARE(window().state().frameSeen, std::int16_t(0));
    QVERIFY(m_rig->messages.titles.isEmpty());

    // Closing still sends the stop command.
    instrument().clearRecords();
    window().close();
    QVERIFY(instrument().waitForCommands(1, std::chrono::milliseconds(kTimeoutMs)));
    QCOMPARE(instrument().commands().front(), command(Opcode::CMD_RUN, 0, 0, 0));
}

void TestHostileStreams::streamStoppingMidFrameKeepsTheLastVerdict()
{
    QVERIFY(startAcknowledged());
    test::LampWatch lamps(window());

    QVERIFY(sendAndDrain({frameOf(128)}));
    QTRY_COMPARE_WITH_TIMEOUT(lamps.frames(), 1, kTimeoutMs);
    QCOMPARE(window().ui().shpMiddle->colour(), QColor::fromRgb(kGreen));
    QVERIFY(sendAndDrain({frameOf(255)}));
    QTRY_COMPARE_WITH_TIMEOUT(lamps.frames(), 2, kTimeoutMs);
    QCOMPARE(window().ui().shpHigher->colour(), QColor::fromRgb(kRed));

    // 150 bytes of an accepted frame, then nothing: no event, and REJECT stays lit.
    QVERIFY(sendAndDrain({QByteArray(150, char(128))}));
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
    QCOMPARE(lamps.frames() + lamps.shortReads(), 2);
    QCOMPARE(window().ui().shpHigher->colour(), QColor::fromRgb(kRed));
    QCOMPARE(window().ui().shpMiddle->colour(), QColor::fromRgb(kBlack));

    // The stream resumes with a whole frame of bytes 0: the read begins with the 150 waiting
    // bytes, so the frame judged is those and 50 bytes of 0; no resynchronisation.
    QVERIFY(sendAndDrain({frameOf(0)}));
    QTRY_COMPARE_WITH_TIMEOUT(lamps.frames(), 3, kTimeoutMs);
    QVERIFY2(lamps.firstMismatch().isEmpty(), qPrintable(lamps.firstMismatch()));
    QCOMPARE(window().state().rxBuffer.left(150), QByteArray(150, char(128)));
    QCOMPARE(window().state().sampleValues[149], std::int16_t(0));
    QCOMPARE(window().state().sampleValues[150], std::int16_t(-128));
}

QTEST_MAIN(TestHostileStreams)
#include "tst_hostilestreams.moc"
