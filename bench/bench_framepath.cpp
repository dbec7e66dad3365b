// Times the frame path on this machine (not a test: it prints figures, it asserts nothing).
//
//   1. decode + map + judge of one frame (no widgets, no I/O);
//   2. the whole communications event of the main window: read from a real pseudo-terminal
//      through the serial port component, decode, map, clear and draw the 600 segments into the
//      screen's drawing list, judge, set the lamps;
//   3. one paint of the scope screen after a new frame, at device pixel ratio 1 and 2.
//
// The line allows one 210-byte burst per 4.2 ms.

#include "app/mainwindow.h"
#include "display/frameprocessing.h"
#include "display/scopedrawing.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/configfile.h"
#include "link/protocol.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSlider>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <string_view>
#include <termios.h>
#include <thread>
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
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

void print(const char* what, const Stats& s)
{
    std::printf("%-48s median %8.2f us   p99 %8.2f us\n", what, s.median, s.p99);
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
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / 100);
    }
    std::printf("(%d of 20000 frames rejected)\n", rejected);
    return stats(us);
}

Stats timeCommEvent(MainWindow& window, int master)
{
    std::vector<double> us;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray frame = testFrame(i);
        if (::write(master, frame.constData(), size_t(frame.size())) != frame.size())
            break;
        // Let the pseudo-terminal hand the bytes to the reading side, and the event loop run
        // whatever the previous frame scheduled (repaints are capped, so most frames paint
        // nothing).
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        QApplication::processEvents();
        const auto start = Clock::now();
        window.cm().raiseEvent(CommPort::comEvReceive);
        const double t = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (window.state().rxBuffer.size() >= SAMPLES_PER_FRAME)
            us.push_back(t);
    }
    std::printf("(%zu of 3000 events read a whole frame)\n", us.size());
    return stats(us);
}

// One paint as the screen does it after a new frame: erase the previous frame's lines, draw the
// new ones and the grid into the backing image, copy the changed area to the window.
Stats timePaint(ScopeSurface& pic)
{
    SegmentArray traces[2]{}, upper{}, lower{};
    for (SegmentArray& t : traces)
        layoutSegmentX(t, 7215);
    setHorizontal(upper, 963);
    setHorizontal(lower, 3852);
    const SampleHeights heights(4815);
    for (int n = 0; n < 2; ++n) {
        SampleArray samples{};
        (void)decodeFrame(testFrame(n * 40), samples);
        mapTrace(traces[n], samples, heights);
    }
    std::vector<double> us;
    const QRect inner = pic.contentsRect();
    for (int i = 0; i < 500; ++i) {
        const std::vector<DrawnLine> before = pic.drawing();
        drawFrame(pic, traces[i % 2], upper, lower);
        // The screen repaints only the area its lines change.
        const QRect changed =
            (logicalBounds(before) | logicalBounds(pic.drawing())).translated(inner.topLeft()) &
            inner;
        const auto start = Clock::now();
        pic.repaint(changed);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return stats(us);
}

// Paints are timed in a process of their own per device pixel ratio, since the ratio is fixed
// when the application starts.
int paintOnly(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Start-up in a directory of its own whose COM1 names no device: the window opens without a
    // link and no real serial port is touched.
    QTemporaryDir dir;
    QFile::link(QStringLiteral("/nonexistent/bench-device"), QDir(dir.path()).filePath("COM1"));
    QDir::setCurrent(dir.path());
    MainWindow window;
    window.setMessageBox([](QWidget*, const QString&, const QString&) {});
    window.formLoad();
    window.show();
    QApplication::processEvents();
    char what[64];
    std::snprintf(what, sizeof what, "one paint of the screen, ratio %.0f",
                  window.ui().pic->devicePixelRatioF());
    print(what, timePaint(*window.ui().pic));
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

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // Start-up in a directory of its own whose COM7 leads to the pseudo-terminal; the greeting
    // goes unanswered, so frames are delivered by raising the event by hand.
    QTemporaryDir dir;
    QFile::link(QString::fromLocal8Bit(::ttyname(slave)), QDir(dir.path()).filePath("COM7"));
    QFile config(configFilePath(dir.path()));
    if (!config.open(QIODevice::WriteOnly) || config.write(formatPortNumber(7)) < 0)
        return 1;
    config.close();
    QDir::setCurrent(dir.path());

    MainWindow window;
    window.setMessageBox([](QWidget*, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });
    window.formLoad();
    if (window.state().linkDown)
        return 1;
    window.findChild<QSlider*>("sliderPos")->setValue(20);
    window.findChild<QSlider*>("sliderOff")->setValue(80);
    window.show();
    print("whole communications event, per frame", timeCommEvent(window, master));
    window.hide();
    std::fflush(stdout);
    for (const char* ratio : {"1", "2"}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(ratio));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--paint")});
        child.waitForFinished(60000);
    }
    std::printf("targets: event under 10 us, paint at ratio 2 under 150 us; "
                "one burst per 4200 us\n");
    ::close(slave);
    ::close(master);
    return 0;
}
