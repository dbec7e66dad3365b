// Times the frame path piece by piece on this machine (not a test: it prints figures, it asserts
// nothing).
//
//   1. decode + map + judge of one frame (plain functions, no widgets, no I/O);
//   2. one frame shown on the screen model (decode, trace, verdict) and its drawing listed;
//   3. the serial port component: a burst written into a pseudo-terminal until its read is
//      delivered on the user-interface thread, a burst every 20 ms so every read is delivered at
//      once (at the full line rate reads are gathered into turns of the screen's rate instead);
//   4. one paint of the scope screen after a new frame, at device pixel ratio 1 and 2.
//
// The line allows one 210-byte burst per 4.2 ms.

#include "display/colours.h"
#include "display/frameprocessing.h"
#include "display/lineobject.h"
#include "display/scopescreen.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/linktiming.h"
#include "link/protocol.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <pty.h>
#include <string_view>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace lumatrax;
using Clock = std::chrono::steady_clock;

namespace {

QByteArray testFrame(int n)
{
    QByteArray bytes(FRAME_RX_THRESHOLD, char(0));
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i)
        bytes[i] = char(128 + int(70 * std::sin((i + n) * 0.07)));
    return bytes;
}

struct Stats
{
    double median;
    double p99;
};

Stats stats(std::vector<double> v)
{
    if (v.empty())
        return {0, 0};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void print(const char* what, const Stats& s)
{
    std::printf("%-56s median %8.2f us   p99 %8.2f us\n", what, s.median, s.p99);
}

Stats timeDecodeMapJudge()
{
    SegmentArray trace{}, upper{}, lower{};
    layoutSegmentX(trace, 7215);
    setHorizontal(upper, 963); // guides at 20 and 80: the test frames lie between them
    setHorizontal(lower, 3852);
    const SampleHeights heights(4815);
    SampleArray samples{};
    std::vector<QByteArray> frames;
    for (int i = 0; i < 64; ++i)
        frames.push_back(testFrame(i));
    std::vector<double> us;
    int rejected = 0;
    for (int round = 0; round < 200; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < 100; ++i) {
            (void)decodeFrame(frames[i % 64], samples);
            mapTrace(trace, samples, heights);
            rejected += judge(trace, upper, lower).rejected();
        }
        us.push_back(since(start) / 100);
    }
    std::printf("(%d of 20000 frames rejected)\n", rejected);
    return stats(us);
}

Stats timeScreenModel()
{
    ScopeScreen screen;
    screen.setUpperGuide(20);
    screen.setLowerGuide(80);
    SampleArray samples{};
    std::vector<DrawnLine> lines;
    lines.reserve(1024);
    std::vector<QByteArray> frames;
    for (int i = 0; i < 64; ++i)
        frames.push_back(testFrame(i));
    std::vector<double> us;
    for (int round = 0; round < 200; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < 100; ++i) {
            (void)decodeFrame(frames[i % 64], samples);
            (void)screen.showFrame(samples);
        }
        us.push_back(since(start) / 100);
    }
    print("one frame on the screen model (decode, trace, verdict)", stats(us));
    us.clear();
    for (int round = 0; round < 2000; ++round) {
        const auto start = Clock::now();
        screen.drawnLines(lines);
        us.push_back(since(start));
    }
    return stats(us);
}

// A burst into the pseudo-terminal until the serial port component delivers its read.
Stats timeDelivery()
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return {0, 0};
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    QTemporaryDir dir;
    QFile::link(QString::fromLocal8Bit(::ttyname(slave)), QDir(dir.path()).filePath("COM7"));
    CommPort port;
    port.setStartDirectory(dir.path());
    port.setCommPort(7);
    if (const auto error = port.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return {0, 0};
    }
    port.setRThreshold(FRAME_RX_THRESHOLD);

    std::vector<double> us;
    Clock::time_point written;
    QEventLoop loop;
    QObject::connect(&port, &CommPort::comm, &loop, [&] {
        for (std::size_t i = 0; i < port.reads().size(); ++i)
            us.push_back(since(written));
        loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (int i = 0; i < 1000; ++i) {
        const QByteArray frame = testFrame(i);
        // Past the previous turn, so this read is delivered at once.
        QTimer::singleShot(linktiming::kTurnInterval + std::chrono::milliseconds(4), &loop,
                           &QEventLoop::quit);
        loop.exec();
        written = Clock::now();
        if (::write(master, frame.constData(), size_t(frame.size())) != frame.size())
            break;
        guard.start(1000);
        loop.exec();
    }
    port.close();
    ::close(slave);
    ::close(master);
    std::printf("(%zu of 1000 bursts delivered)\n", us.size());
    return stats(us);
}

// One paint as the screen does it after a new frame: the previous frame's lines give the
// background back, the new ones are drawn, and the changed area is copied to the window.
int paintOnly(int argc, char* argv[])
{
    QApplication app(argc, argv);
    ScopeSurface pic(nullptr);
    pic.resize(481, 321);
    ScopeScreen screen(pic.widthTwips(), pic.heightTwips());
    std::vector<LineObject*> grid;
    for (int i = 0; i < kGridLines; ++i) {
        for (const LineEnds& ends : {screen.horizontalGridLine(i), screen.verticalGridLine(i)}) {
            auto* line = new LineObject(QStringLiteral("grid"), QColor::fromRgb(kGridColour),
                                        i == 4 ? 2 : 1, &pic);
            line->setEnds(ends);
            pic.addLineObject(line);
        }
    }
    screen.setUpperGuide(20);
    screen.setLowerGuide(80);
    pic.setScreen(&screen);
    pic.show();
    QApplication::processEvents();
    SampleArray frames[2]{};
    for (int n = 0; n < 2; ++n)
        (void)decodeFrame(testFrame(n * 40), frames[n]);
    std::vector<double> us;
    for (int i = 0; i < 500; ++i) {
        (void)screen.showFrame(frames[i % 2]);
        const auto start = Clock::now();
        pic.repaint();
        us.push_back(since(start));
    }
    char what[64];
    std::snprintf(what, sizeof what, "one paint of the screen, ratio %.0f",
                  pic.devicePixelRatioF());
    print(what, stats(us));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && std::string_view(argv[1]) == "--paint")
        return paintOnly(argc, argv);
    QApplication app(argc, argv);

    print("decode + map + judge, per frame", timeDecodeMapJudge());
    print("the screen's drawing listed (600 lines)", timeScreenModel());
    print("a burst written until its read is delivered", timeDelivery());
    std::fflush(stdout);
    // Paints are timed in a process of their own per device pixel ratio, since the ratio is
    // fixed when the application starts.
    for (const char* ratio : {"1", "2"}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(ratio));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--paint")});
        child.waitForFinished(60000);
    }
    std::printf("one burst per 4200 us at the full line rate\n");
    return 0;
}
