// Frames at the full line rate, end to end: the virtual instrument streams 210-byte bursts back
// to back (one per 4.2 ms, as at 500000 bit/s) through its pseudo-terminal into the real main
// window: its port's reading thread takes what waits, and the window judges each read, a turn at
// a time. Every frame carries its sequence number and a pattern derived from it, so a burst that
// is lost, read twice or out of order shows up, and so does a read judged against the wrong
// samples.
//
// Whether each burst comes as a read of its own depends on the machine: on one whose cores are
// busy with other work the reading thread may wake only after two bursts wait, and that read is
// one frame, judged on its first 200 bytes. So this asserts what holds whatever the timing; how
// many frames are judged at the line rate on a quiet machine is a figure of bench_endtoend.

#include "tests/testsupport.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <vector>

using namespace lumatrax;
using Frame = VirtualInstrument::Frame;

namespace {

constexpr int kFrames = 1500; // 6.3 s of line time
constexpr int kDetectionTimeoutMs = 5000;
// The line time of every frame and half a minute over, for a loaded machine; the wait ends as
// soon as every byte is judged.
constexpr int kStreamTimeoutMs = kFrames * 42 / 10 + 30000;

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
    void everyByteIsJudgedOnceAndInOrder();
};

void TestFullLineRate::everyByteIsJudgedOnceAndInOrder()
{
    test::Rig rig(4);
    QByteArray sent;
    for (int n = 0; n < kFrames; ++n)
        sent += test::frameBurst(numberedFrame(std::uint64_t(n)));
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
    qsizetype bytesJudged = 0;
    connect(rig.window.get(), &MainWindow::frameJudged, &loop, [&](const QByteArray& read) {
        bytesJudged += read.size();
        if (bytesJudged >= sent.size())
            loop.quit();
    });
    // A lost burst leaves the count short for good; the wait then ends at its time limit.
    QTimer::singleShot(kStreamTimeoutMs, &loop, &QEventLoop::quit);
    rig.instrument.startStreaming();
    loop.exec();

    // The count follows each write a moment after the bytes can be read.
    QTRY_COMPARE(rig.instrument.framesSent(), std::uint64_t(kFrames));

    // Every read at least one burst, the reads joined exactly the bursts sent, each read judged
    // as its first 200 bytes say (the fixture checks each verdict and the lamps after it).
    const QString differ = test::readsJoinedDiffer(rig.judged, sent);
    QVERIFY2(differ.isEmpty(), qPrintable(differ));
    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
    // A read that begins with a whole frame is judged by that frame: every fifth one above the
    // upper guide, the one after it below the lower one, the rest between.
    int whole = 0;
    for (const test::Rig::Judged& judged : rig.judged) {
        const int n = sequenceOf(judged.read);
        if (n < 0)
            continue;
        ++whole;
        QCOMPARE(judged.verdict.aboveUpper, n % 5 == 3);
        QCOMPARE(judged.verdict.belowLower, n % 5 == 4);
    }
    QVERIFY(whole > 0);
    qInfo("%zu reads for %d frames", rig.judged.size(), kFrames);
}

QTEST_MAIN(TestFullLineRate)
#include "tst_fulllinerate.moc"
