// Fuzz target: arbitrary reads handed to the main window's frame handler, through its real
// serial port component.
//
// The window starts as the program does, in a start-up directory of its own whose COM1 leads to
// a pseudo-terminal. Each input is written to the instrument's end of the line as one burst;
// once every byte waits at the program's end, the communications event is raised, so the
// handler's read returns exactly the input (up to kMaxRead bytes, what the line holds ready for
// one read). The window's state is then checked against what the bytes alone say: a read of at
// least 200 bytes is a frame, whose first 200 bytes set the samples, the trace, the verdict and
// the lamps; a shorter read changes nothing but the receive buffer. Any difference aborts, and
// the fuzzer keeps the input.

#include "app/mainwindow.h"
#include "display/colours.h"
#include "display/lamp.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/configfile.h"
#include "link/protocol.h"
#include "tools/pseudoterminal.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSlider>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

// A pseudo-terminal's line discipline holds at most 4095 bytes ready for one read; longer
// inputs are cut there.
constexpr std::size_t kMaxRead = 4095;
// The guides stand at 30 % and 70 % of the screen's height, so frames are accepted as well as
// rejected.
constexpr int kUpperGuideSlider = 30;
constexpr int kLowerGuideSlider = 70;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "frame path: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

// What the frame handler may change.
struct Snapshot
{
    SampleArray samples;
    SegmentArray trace;
    std::vector<DrawnLine> drawing;
    QColor accept, reject, activity;
    std::int16_t frameSeen;
    Flag16 aboveUpper, belowLower;
};

Snapshot snapshot(const MainWindow& w)
{
    const MainWindowState& s = w.state();
    return {s.sampleValues,
            s.liveTrace,
            w.ui().pic->drawing(),
            w.ui().shpMiddle->colour(),
            w.ui().shpHigher->colour(),
            w.ui().shpTr->colour(),
            s.frameSeen,
            s.aboveUpper,
            s.belowLower};
}

class Harness
{
public:
    Harness()
    {
        require(m_dir.isValid(), "no temporary directory");
        require(m_line.open(), "no pseudo-terminal");
        const QByteArray device = QFile::encodeName(m_line.devicePath());
        m_watchFd = ::open(device.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        require(m_watchFd >= 0, "the program's end of the line cannot be watched");
        require(QFile::link(m_line.devicePath(), QDir(m_dir.path()).filePath("COM1")),
                "no COM1 link");
        QFile config(configFilePath(m_dir.path()));
        require(config.open(QIODevice::WriteOnly) && config.write(formatPortNumber(1)) > 0,
                "no configuration file");
        config.close();

        // Start-up captures its directory; the fuzzer's own paths stay relative to the old one.
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        m_window = std::make_unique<MainWindow>();
        m_window->setMessageBox(
            [](QWidget*, const QString&, const QString& text) { fail(qPrintable(text)); });
        m_window->formLoad();
        QDir::setCurrent(previous);
        require(!m_window->state().linkDown, "the port did not open");
        m_window->findChild<QSlider*>("sliderPos")->setValue(kUpperGuideSlider);
        m_window->findChild<QSlider*>("sliderOff")->setValue(kLowerGuideSlider);
    }
    ~Harness()
    {
        m_window.reset();
        if (m_watchFd >= 0)
            ::close(m_watchFd);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    [[nodiscard]] MainWindow& window() { return *m_window; }

    // Writes the bytes to the instrument's end and returns once all of them wait at the
    // program's end (the line hands them over a moment after the write).
    void deliver(QByteArrayView bytes)
    {
        for (QByteArrayView rest = bytes; !rest.isEmpty();) {
            const ssize_t n = ::write(m_line.masterFd(), rest.data(), std::size_t(rest.size()));
            if (n > 0)
                rest = rest.sliced(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                fail("writing to the line failed");
        }
        const QDeadlineTimer deadline(std::chrono::seconds(5));
        int waiting = 0;
        while (::ioctl(m_watchFd, FIONREAD, &waiting) == 0 && waiting < bytes.size()) {
            if (deadline.hasExpired())
                fail("the line did not hand the bytes over");
            std::this_thread::yield();
        }
    }

private:
    QTemporaryDir m_dir;
    PseudoTerminal m_line;
    int m_watchFd = -1;
    std::unique_ptr<MainWindow> m_window;
};

Harness* harness = nullptr;

void checkFrame(const MainWindow& w, QByteArrayView read, const Snapshot& before)
{
    const MainWindowState& s = w.state();
    const double height = w.ui().pic->heightTwips();
    // Screen height of byte b: round((255 - b) * H / 256), ties to even; exact in a double.
    auto heightOf = [height](int sample) {
        return std::int16_t(std::nearbyint((127.0 - sample) * height / 256.0));
    };
    bool above = false, below = false;
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const int sample = std::uint8_t(read[k]) - SAMPLE_OFFSET;
        require(s.sampleValues[k] == sample, "sample differs from its byte");
        const std::int16_t y = heightOf(sample);
        require(s.liveTrace[k].Y1 == y, "segment start at the wrong height");
        above |= y < s.upperGuide[k].Y1;
        below |= y > s.lowerGuide[k].Y1;
    }
    require(s.sampleValues[SAMPLES_PER_FRAME] == 0, "entry 200 of the samples was written");
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        require(s.liveTrace[k].Y2 == heightOf(s.sampleValues[k + 1]), "segment end misplaced");
    require(s.liveTrace[SAMPLES_PER_FRAME] == TraceSegment{}, "entry 200 of the trace changed");

    const std::vector<DrawnLine>& drawing = w.ui().pic->drawing();
    require(drawing.size() == 3 * SAMPLES_PER_FRAME, "the screen does not hold 600 segments");
    require(drawing.front().colour == kTraceColour && drawing[1].colour == kUpperGuideColour &&
                drawing[2].colour == kLowerGuideColour,
            "trace and guides are not drawn segment by segment");

    require((s.aboveUpper == kTrue) == above && (s.belowLower == kTrue) == below,
            "verdict flags differ from the samples");
    const bool rejected = above || below;
    require(w.ui().shpHigher->colour() == QColor::fromRgb(rejected ? kRed : kBlack),
            "REJECT lamp does not show the verdict");
    require(w.ui().shpMiddle->colour() == QColor::fromRgb(rejected ? kBlack : kGreen),
            "ACCEPT lamp does not show the verdict");
    require(w.ui().shpTr->colour() == QColor::fromRgb(kGreen), "activity lamp is not green");
    require(s.frameSeen == std::min<int>(before.frameSeen + 1, INT16_MAX),
            "the frame was not counted once");
}

void checkShortRead(const MainWindow& w, const Snapshot& before)
{
    const Snapshot after = snapshot(w);
    require(after.samples == before.samples && after.trace == before.trace,
            "a short read changed the samples or the trace");
    require(after.drawing == before.drawing, "a short read changed the screen");
    require(after.accept == before.accept && after.reject == before.reject &&
                after.activity == before.activity,
            "a short read changed the lamps");
    require(after.frameSeen == before.frameSeen && after.aboveUpper == before.aboveUpper &&
                after.belowLower == before.belowLower,
            "a short read changed the flags or the count");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt sees only the program's name: the fuzzer's own options are not Qt's to take.
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argc > 0 ? (*argv)[0] : const_cast<char*>("fuzz")), nullptr};
    static QApplication app(qtArgc, qtArgv);
    static Harness instance;
    harness = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView read(data, qsizetype(std::min(size, kMaxRead)));
    MainWindow& window = harness->window();
    const Snapshot before = snapshot(window);

    harness->deliver(read);
    window.cm().raiseEvent(CommPort::comEvReceive);

    require(window.state().rxBuffer == read, "the read is not exactly what waited");
    if (read.size() >= SAMPLES_PER_FRAME)
        checkFrame(window, read, before);
    else
        checkShortRead(window, before);
    return 0;
}
