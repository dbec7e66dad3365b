// Hostile byte streams through the real serial stack: the virtual instrument on a
// pseudo-terminal sends garbage at the full line rate, bursts far larger than the receive buffer,
// an acknowledgement with garbage behind it, and a stream that stops in the middle of a frame. The program stays up, its heap does not grow, it does not spin
// once the line falls quiet, and the lamps always show the verdict of the last complete frame.

#include "link/commport.h"
#include "tests/processprobe.h"
#include "tests/testsupport.h"

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
    [[nodiscard]] test::Rig& rig() { return *m_rig; }

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
    if (!rig().startDetected(kTimeoutMs))
        return false;
    rig().setGuides(30, 70);
    return true;
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
    std::mt19937 random(8);
    QByteArray sent;
    sent.reserve(5 * kBytesPerSecond);
    // Bursts of 1 to 1024 bytes back to back: the line is never idle.
    auto stream = [&](int seconds) {
        QList<QByteArray> bursts;
        std::uniform_int_distribution<int> length(1, 1024);
        for (qsizetype end = sent.size() + seconds * kBytesPerSecond; sent.size() < end;) {
            bursts << randomBytes(random, length(random));
            sent += bursts.last();
        }
        return bursts;
    };

    QVERIFY(sendAndDrain(stream(1))); // warms up every cache and buffer
    const qint64 heapBefore = test::heapInUse();
    const qint64 residentBefore = test::residentKiB();
    const int framesBefore = int(rig().judged.size());
    QVERIFY(sendAndDrain(stream(3)));

    // Every byte was read once, in order, in reads of a frame's burst or more, each judged on
    // its first 200 bytes; what is left waits below the threshold.
    QTRY_VERIFY_WITH_TIMEOUT(sent.size() - rig().bytesJudged() < FRAME_RX_THRESHOLD, kTimeoutMs);
    const QString differ = test::readsJoinedDiffer(rig().judged, sent.left(rig().bytesJudged()));
    QVERIFY2(differ.isEmpty(), qPrintable(differ));
    QVERIFY2(rig().firstMismatch.isEmpty(), qPrintable(rig().firstMismatch));
    QVERIFY(int(rig().judged.size()) > framesBefore);
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
    QVERIFY(!rig().retryOffered());
}

void TestHostileStreams::burstsFarLargerThanTheReceiveBufferAreDrained()
{
    QVERIFY(startAcknowledged());
        std::mt19937 random(1024);
    constexpr qsizetype kBurst = 16 * CommPort::kReceiveBufferSize;

    QVERIFY(sendAndDrain({randomBytes(random, kBurst)}));
    const qint64 heapBefore = test::heapInUse();
    QVERIFY(sendAndDrain(
        {randomBytes(random, kBurst), randomBytes(random, kBurst), randomBytes(random, kBurst)}));

    QVERIFY2(rig().firstMismatch.isEmpty(), qPrintable(rig().firstMismatch));
    // Each read takes everything waiting and judges only its first 200 bytes: far fewer frames
    // than the bytes would make.
    QVERIFY(int(rig().judged.size()) > 0);
    QVERIFY(int(rig().judged.size()) < 4 * kBurst / SAMPLES_PER_FRAME);
    const qint64 heapGrowth = test::heapInUse() - heapBefore;
    QVERIFY2(heapGrowth < kHeapGrowthLimit, qPrintable(QString::number(heapGrowth)));
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));

    // Still judging: one more frame, behind what was left below the threshold, is read and
    // judged.
    const int before = int(rig().judged.size());
    QVERIFY(sendAndDrain({frameOf(128)}));
    QTRY_VERIFY_WITH_TIMEOUT(int(rig().judged.size()) > before, kTimeoutMs);
    QVERIFY2(rig().firstMismatch.isEmpty(), qPrintable(rig().firstMismatch));
}

void TestHostileStreams::acknowledgementFollowedByGarbageLeavesTheLinkSilent()
{
    std::mt19937 random(172);
    m_rig.reset(); // the start-up directory of one rig at a time
    m_rig = std::make_unique<test::Rig>(
        5, true, VirtualInstrument::AckBehaviour::followedBy(randomBytes(random, 300)));
    rig().start();
    QTRY_VERIFY_WITH_TIMEOUT(!rig().detectionTimer()->isActive(), kTimeoutMs);

    // Not detected: no controls, no message, Retry offered, no frame reception.
    QVERIFY(!rig().controlsEnabled());
    QVERIFY(rig().retryOffered());
    QVERIFY(m_rig->messages.titles.isEmpty());

    // More garbage than every buffer on the way holds: nothing reads it, the instrument is held
    // up, and the program neither spins nor grows meanwhile.
    const qint64 heapBefore = test::heapInUse();
    const std::uint64_t sentBefore = instrument().bytesSent();
    QVERIFY(instrument().sendRaw(randomBytes(random, 64 * CommPort::kReceiveBufferSize)));
    QTRY_VERIFY_WITH_TIMEOUT(instrument().bytesSent() > sentBefore, kTimeoutMs);
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
    QVERIFY(test::heapInUse() - heapBefore < kHeapGrowthLimit);
    QVERIFY(rig().judged.empty());
    QVERIFY(m_rig->messages.titles.isEmpty());

    // Closing still sends the stop command.
    instrument().clearRecords();
    rig().window->close();
    QVERIFY(instrument().waitForCommands(1, std::chrono::milliseconds(kTimeoutMs)));
    QCOMPARE(instrument().commands().front(), command(Opcode::CMD_RUN, 0, 0, 0));
}

void TestHostileStreams::streamStoppingMidFrameKeepsTheLastVerdict()
{
    QVERIFY(startAcknowledged());
    
    QVERIFY(sendAndDrain({frameOf(128)}));
    QTRY_COMPARE_WITH_TIMEOUT(int(rig().judged.size()), 1, kTimeoutMs);
    QCOMPARE(rig().lamp("shpMiddle"), test::kLampGreen);
    QVERIFY(sendAndDrain({frameOf(255)}));
    QTRY_COMPARE_WITH_TIMEOUT(int(rig().judged.size()), 2, kTimeoutMs);
    QCOMPARE(rig().lamp("shpHigher"), test::kLampRed);

    // 150 bytes of an accepted frame, then nothing: no event, and REJECT stays lit.
    QVERIFY(sendAndDrain({QByteArray(150, char(128))}));
    const auto cpu = test::cpuTimeOver(kIdleWindow);
    QVERIFY2(cpu < kIdleCpuLimit, qPrintable(QString::number(cpu.count())));
    QCOMPARE(int(rig().judged.size()), 2);
    QCOMPARE(rig().lamp("shpHigher"), test::kLampRed);
    QCOMPARE(rig().lamp("shpMiddle"), test::kLampBlack);

    // The stream resumes with a whole frame of bytes 0: the read begins with the 150 waiting
    // bytes, so the frame judged is those and 50 bytes of 0; no resynchronisation.
    QVERIFY(sendAndDrain({frameOf(0)}));
    QTRY_COMPARE_WITH_TIMEOUT(int(rig().judged.size()), 3, kTimeoutMs);
    QVERIFY2(rig().firstMismatch.isEmpty(), qPrintable(rig().firstMismatch));
    QCOMPARE(rig().judged.back().read,
             QByteArray(150, char(128)) + QByteArray(FRAME_RX_THRESHOLD, char(0)));
}

QTEST_MAIN(TestHostileStreams)
#include "tst_hostilestreams.moc"
