// Frames at the full line rate, end to end: the virtual instrument streams 210-byte bursts back
// to back (one per 4.2 ms, as at 500000 bit/s) through its pseudo-terminal into the real main
// window: its port's reading thread takes each one, and the window judges them all, a turn at a
// time. Every frame carries its sequence number and a
// pattern derived from it, so a frame that is lost, merged with the next (one read taking two
// bursts) or split shows up, and so does one judged against the wrong samples.
//
// What it measures is the program keeping up with the line, not the machine's other work. CTest
// runs it alone, and where the system allows it its threads take the lowest real-time priority,
// so that other processes on a shared machine (a parallel build) do not keep the port's reading
// thread from waking up within a burst's 4.2 ms. When other processes keep every core busy even that
// is not always enough: the pseudo-terminal's own delivery, done by a kernel worker thread, can
// then be held up long enough to hand two bursts over at once, whatever the program does.

#include "tests/testsupport.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <vector>

#include <sched.h>

using namespace lumatrax;
using Frame = VirtualInstrument::Frame;

namespace {

constexpr int kFrames = 1500; // 6.3 s of line time
constexpr int kDetectionTimeoutMs = 5000;
// The line time of every frame and a few seconds over.
constexpr int kStreamTimeoutMs = kFrames * 42 / 10 + 5000;

// Samples 1..4 hold the sequence number's four nibbles, the others a pattern that depends on it;
// every value lies well between guides at 25 and 75. Every fifth frame has one sample above the
// upper guide, the one after it one sample below the lower guide.
Frame numberedFrame(std::uint64_t n)
{
    Frame f{};
    f[0] = 128;
    for (int i = 0; i < 4; ++i)
        f[std::size_t(1 + i)] = std::uint8_t(96 + 4 * ((n >> (4 * i)) & 0xF));
    for (std::size_t k = 5; k < f.size(); ++k)
        f[k] = std::uint8_t(100 + (n * 7 + k * 13) % 56);
    if (n % 5 == 3)
        f[150] = 230;
    if (n % 5 == 4)
        f[160] = 20;
    return f;
}

// The sequence number of the frame a read holds, if its first 200 bytes are one exactly.
int sequenceOf(const QByteArray& read)
{
    Frame samples{};
    std::copy_n(read.constData(), samples.size(), samples.begin());
    std::uint64_t n = 0;
    for (int i = 0; i < 4; ++i)
        n |= std::uint64_t((samples[std::size_t(1 + i)] - 96) / 4) << (4 * i);
    return numberedFrame(n) == samples ? int(n) : -1;
}

} // namespace

class TestFullLineRate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void everyFrameIsJudgedOnceAndInOrder();
};

void TestFullLineRate::initTestCase()
{
    // Threads started later (the instrument's, Qt's) inherit the policy.
    sched_param lowest{};
    lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO, &lowest) != 0)
        qInfo("running at normal priority: %s", std::strerror(errno));
}

void TestFullLineRate::everyFrameIsJudgedOnceAndInOrder()
{
    test::Rig rig(4);
    rig.instrument.setFrameSource([&rig](std::uint64_t n) {
        if (n + 1 == kFrames)
            rig.instrument.stopStreaming(); // this frame is the last
        return numberedFrame(n);
    });
    QVERIFY(rig.startDetected(kDetectionTimeoutMs));
    rig.setGuides(25, 75);

    // The wait runs a real event loop, as the program's does: QTest::qWait() and the QTRY
    // macros sleep between rounds of events.
    QEventLoop loop;
    rig.judged.reserve(kFrames + 16);
    connect(rig.window.get(), &MainWindow::frameJudged, &loop, [&] {
        if (rig.judged.size() >= std::size_t(kFrames))
            loop.quit();
    });
    // A merged frame leaves the count short for good; the wait then ends at its time limit.
    QTimer::singleShot(kStreamTimeoutMs, &loop, &QEventLoop::quit);
    rig.instrument.startStreaming();
    loop.exec();

    // The count follows each write a moment after the bytes can be read.
    QTRY_COMPARE(rig.instrument.framesSent(), std::uint64_t(kFrames));

    // Frame by frame: one read of exactly one burst, holding the frame sent in that place,
    // judged as its samples say (the fixture checks each verdict and the lamps after it).
    int merged = 0;
    std::size_t firstOutOfPlace = rig.judged.size();
    for (std::size_t i = 0; i < rig.judged.size(); ++i) {
        merged += rig.judged[i].read.size() != FRAME_RX_THRESHOLD;
        if (sequenceOf(rig.judged[i].read) != int(i) && firstOutOfPlace == rig.judged.size())
            firstOutOfPlace = i;
    }
    QVERIFY2(merged == 0 && firstOutOfPlace == rig.judged.size(),
             qPrintable(QStringLiteral("%1 of %2 reads held more than one burst; the first frame "
                                       "out of place is number %3")
                            .arg(merged)
                            .arg(rig.judged.size())
                            .arg(firstOutOfPlace)));
    QCOMPARE(rig.judged.size(), std::size_t(kFrames));
    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
    for (std::size_t i = 0; i < rig.judged.size(); ++i) {
        QCOMPARE(rig.judged[i].verdict.aboveUpper, i % 5 == 3);
        QCOMPARE(rig.judged[i].verdict.belowLower, i % 5 == 4);
    }
    QCOMPARE(rig.lamp("shpHigher"), test::kLampRed); // the last frame, n % 5 == 4
}

QTEST_MAIN(TestFullLineRate)
#include "tst_fulllinerate.moc"
