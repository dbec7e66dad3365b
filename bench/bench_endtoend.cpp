// End to end at the full line rate (not a test: it prints figures, it asserts nothing).
//
// The simulated instrument streams pieces back to back, one 210-byte burst per 4.2 ms, through
// its pseudo-terminal into the real main window, shown on the current platform (offscreen unless
// QT_QPA_PLATFORM says otherwise), with the guides at 25 and 75. Then the same stream goes to a
// bare blocking reader: a loop with no Qt event loop that reads each burst, judges its 200 samples
// against two limits and counts. It prints, from the one run:
//   - frames sent, frames judged (matched byte for byte with a frame sent, in order);
//   - CPU time per frame of the program (every thread of the process but the simulator's), the
//     same for the bare reader, and their ratio;
//   - wake-ups of the user-interface thread per second (its voluntary context switches);
//   - latency from the moment a burst went onto the line (just before its write; a
//     pseudo-terminal delivers the whole burst at once) to the moment the window had judged it
//     and set its lamps, both read from one steady clock: median and 99th percentile.
//
// With --breakdown it also charges the user-interface thread's CPU time to the kinds of event it
// handled; timing every event costs a little CPU of its own, so the total is then a little higher.
//
// With --packet N the same frames reach both readers as a USB adapter hands them over: the
// stream, back to back, in packets of at most N bytes paced at the line rate, whose packets do
// not respect burst boundaries (lumatrax-sim --packet N, latency 0). CPU per frame is then per
// 210-byte burst sent. The program's reads of 210 bytes or more then take the head of the next
// burst and shift every later frame, so it prints how many reads were judged, not frames matched
// or latency; the bare reader stays as it is and cuts its stream into 210-byte frames.
//
//   bench_endtoend [FRAMES] [--breakdown] [--program-only] [--packet N]
//                                  (default 5000 frames, 21 s of line time each; --program-only
//                                  leaves the bare reader out, for profiling the program alone)

#include "app/mainwindow.h"
#include "display/frameprocessing.h"
#include "display/geometry.h"
#include "link/configfile.h"
#include "tools/sim/simulator.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace lumatrax;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kUpperGuide = 25;
constexpr int kLowerGuide = 75;

std::chrono::nanoseconds cpuTime(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

double microseconds(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Times the calling thread gave up the processor to wait: each is one sleep and one wake-up.
long voluntarySwitches()
{
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    return 0;
}

template <typename Done> bool runUntil(Done done, std::chrono::milliseconds limit)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(250); // seldom, so the polling costs the measured thread next to nothing
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

// Charges the user-interface thread's CPU time to the kind of each event it delivers, counting
// only the outermost delivery (a repaint's paint events belong to the repaint).
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!m_timing || m_depth > 0)
            return QApplication::notify(receiver, event);
        ++m_depth;
        const auto before = cpuTime(CLOCK_THREAD_CPUTIME_ID);
        const bool done = QApplication::notify(receiver, event);
        m_spent[event->type()] += cpuTime(CLOCK_THREAD_CPUTIME_ID) - before;
        --m_depth;
        return done;
    }

    void setTiming(bool on) { m_timing = on; }
    [[nodiscard]] const std::map<QEvent::Type, std::chrono::nanoseconds>& spent() const
    {
        return m_spent;
    }

private:
    bool m_timing = false;
    int m_depth = 0;
    std::map<QEvent::Type, std::chrono::nanoseconds> m_spent;
};

const char* eventName(QEvent::Type type)
{
    switch (type) {
    case QEvent::MetaCall:
        return "turns: reads handed over by the port's thread, judged";
    case QEvent::Timer:
        return "timers: repaint pacing, the activity lamp";
    case QEvent::UpdateRequest:
        return "repaints, at most about 30 a second";
    default:
        return nullptr;
    }
}

// The simulator streaming `frames` pieces, recording what it sent and when each burst was made,
// right before its write. Its I/O thread's CPU time is kept apart from the process's.
class Stream
{
public:
    Stream(const QString& directory, int frames, int packetSize)
        : m_sim(options(directory, packetSize)), m_sent(std::size_t(frames)),
          m_made(std::size_t(frames))
    {
        m_sim.instrument().setFrameSource([this, frames](std::uint64_t n) {
            if (n + 1 == std::uint64_t(frames))
                m_sim.instrument().stopStreaming();
            m_sent[n] = m_sim.nextFrame();
            m_made[n] = Clock::now();
            return m_sent[n];
        });
        m_sim.instrument().setFrameObserver([this](std::uint64_t, Clock::time_point) {
            m_cpuNs = cpuTime(CLOCK_THREAD_CPUTIME_ID).count();
        });
    }

    bool start() { return m_sim.start(); }
    void stop() { m_sim.stop(); }
    [[nodiscard]] QString errorString() const { return m_sim.errorString(); }
    [[nodiscard]] VirtualInstrument& instrument() { return m_sim.instrument(); }
    [[nodiscard]] std::chrono::nanoseconds cpu() const
    {
        return std::chrono::nanoseconds(m_cpuNs.load());
    }
    [[nodiscard]] const std::vector<VirtualInstrument::Frame>& sent() const { return m_sent; }
    [[nodiscard]] const std::vector<Clock::time_point>& made() const { return m_made; }

private:
    static SimOptions options(const QString& directory, int packetSize)
    {
        SimOptions o;
        o.directory = directory;
        o.port = 1;
        o.packetSize = packetSize;
        return o;
    }

    Simulator m_sim;
    std::vector<VirtualInstrument::Frame> m_sent;
    std::vector<Clock::time_point> m_made;
    std::atomic<std::int64_t> m_cpuNs{0};
};

struct Measured
{
    std::uint64_t sent = 0;
    std::size_t judged = 0;
    std::chrono::nanoseconds cpu{0}; // the process without the simulator's thread
    double seconds = 0;
};

// The bare reader: blocking reads of the line, each burst's 200 samples judged against two byte
// limits, counted. No Qt event loop.
Measured bareReader(const QString& directory, int frames, int packetSize)
{
    Measured m;
    Stream stream(directory, frames, packetSize);
    if (!stream.start())
        return m;
    const int fd = ::open(QFile::encodeName(stream.instrument().devicePath()).constData(),
                          O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &raw);
    // A sample is accepted between the byte values of the two guides.
    const std::int16_t upper = guideHeight(ScopeScreen::kDesignedHeight, kUpperGuide);
    const std::int16_t lower = guideHeight(ScopeScreen::kDesignedHeight, kLowerGuide);
    int highest = 255, lowest = 0;
    while (sampleHeight(ScopeScreen::kDesignedHeight, highest - SAMPLE_OFFSET) < upper)
        --highest;
    while (sampleHeight(ScopeScreen::kDesignedHeight, lowest - SAMPLE_OFFSET) > lower)
        ++lowest;

    const auto cpuBefore = cpuTime(CLOCK_PROCESS_CPUTIME_ID);
    const auto simBefore = stream.cpu();
    const auto wallBefore = Clock::now();
    stream.instrument().startStreaming();
    std::vector<std::uint8_t> pending;
    pending.reserve(8192);
    std::uint8_t buffer[4096];
    int accepted = 0;
    while (m.judged < std::size_t(frames)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            break; // the stream stopped short
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.insert(pending.end(), buffer, buffer + n);
        std::size_t at = 0;
        for (; pending.size() - at >= std::size_t(FRAME_RX_THRESHOLD); at += FRAME_RX_THRESHOLD) {
            bool inside = true;
            for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
                inside &= pending[at + k] >= lowest && pending[at + k] <= highest;
            accepted += inside;
            ++m.judged;
        }
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(at));
    }
    m.seconds = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    m.cpu = cpuTime(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - (stream.cpu() - simBefore);
    m.sent = stream.instrument().framesSent();
    ::close(fd);
    stream.stop();
    std::printf("bare reader accepted %d of %zu\n", accepted, m.judged);
    return m;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    int frames = 5000;
    bool breakdown = false;
    bool bareToo = true;
    int packetSize = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--breakdown")
            breakdown = true;
        else if (std::string_view(argv[i]) == "--program-only")
            bareToo = false;
        else if (std::string_view(argv[i]) == "--packet" && i + 1 < argc)
            packetSize = std::atoi(argv[++i]);
        else
            frames = std::max(10, std::atoi(argv[i]));
    }
    if (packetSize != 0 && (packetSize < VirtualInstrument::kMinPacketSize ||
                            packetSize > VirtualInstrument::kMaxPacketSize)) {
        std::fprintf(stderr, "--packet must be 0 or from %d to %d\n",
                     VirtualInstrument::kMinPacketSize, VirtualInstrument::kMaxPacketSize);
        return 2;
    }
    const bool whole = packetSize == 0;
    const qint64 bytesToSend = qint64(frames) * FRAME_RX_THRESHOLD;

    QTemporaryDir dir;
    QFile config(configFilePath(dir.path()));
    if (!dir.isValid() || !config.open(QIODevice::WriteOnly) ||
        config.write(formatPortNumber(1)) < 0) {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(dir.path()));
        return 1;
    }
    config.close();

    Measured program;
    std::chrono::nanoseconds uiCpu{0};
    std::vector<double> latency;
    int unmatched = 0;
    long switches = 0;
    {
        Stream stream(dir.path(), frames, packetSize);
        if (!stream.start()) {
            std::fprintf(stderr, "cannot start the simulator: %s\n",
                         qPrintable(stream.errorString()));
            return 1;
        }
        QDir::setCurrent(dir.path());
        MainWindow window;
        window.setMessageBox([](QWidget*, const QString& title, const QString& text) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
        });
        window.formLoad();
        window.show();
        if (!runUntil([&] { return window.findChild<QGroupBox*>("Frame1")->isEnabled(); },
                      std::chrono::seconds(5))) {
            std::fprintf(stderr, "the simulated instrument was not detected\n");
            return 1;
        }
        window.findChild<QSlider*>("sliderPos")->setValue(kUpperGuide);
        window.findChild<QSlider*>("sliderOff")->setValue(kLowerGuide);
        runUntil([] { return false; }, std::chrono::milliseconds(200)); // first paints settle

        // Each frame judged, matched with the frames sent, in order, where bursts arrive whole.
        std::size_t next = 0;
        qint64 bytesRead = 0;
        latency.reserve(std::size_t(frames));
        QObject::connect(&window, &MainWindow::frameJudged, &window, [&](const QByteArray& read) {
            const auto at = Clock::now();
            ++program.judged;
            bytesRead += read.size();
            if (!whole)
                return;
            VirtualInstrument::Frame samples{};
            std::copy_n(read.constData(), samples.size(), samples.begin());
            const auto& sent = stream.sent();
            const auto found = std::find(sent.begin() + std::ptrdiff_t(next), sent.end(), samples);
            if (found == sent.end()) {
                ++unmatched;
                return;
            }
            next = std::size_t(found - sent.begin());
            latency.push_back(microseconds(at - stream.made()[next]));
            ++next;
        });

        const auto cpuBefore = cpuTime(CLOCK_PROCESS_CPUTIME_ID);
        const auto simBefore = stream.cpu();
        const long switchesBefore = voluntarySwitches();
        const auto wallBefore = Clock::now();
        app.setTiming(breakdown);
        const auto uiBefore = cpuTime(CLOCK_THREAD_CPUTIME_ID);
        stream.instrument().startStreaming();
        const auto lineTime = std::chrono::microseconds(4200) * frames;
        std::optional<Clock::time_point> allSent;
        runUntil(
            [&] {
                if (!allSent && stream.instrument().framesSent() >= std::uint64_t(frames))
                    allSent = Clock::now();
                // A frame lost never comes: a second after the last one, stop. In packets, the
                // reads have taken all but the tail that never reaches 210 bytes.
                const bool allRead = whole ? program.judged >= std::size_t(frames)
                                           : bytesRead > bytesToSend - FRAME_RX_THRESHOLD;
                return allSent && (allRead || Clock::now() - *allSent > std::chrono::seconds(1));
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(lineTime) +
                std::chrono::seconds(10));
        uiCpu = cpuTime(CLOCK_THREAD_CPUTIME_ID) - uiBefore;
        app.setTiming(false);
        program.seconds = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        switches = voluntarySwitches() - switchesBefore;
        program.cpu = cpuTime(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - (stream.cpu() - simBefore);
        program.sent = stream.instrument().framesSent();
        stream.stop();

        if (breakdown) {
            const double perFrame = double(std::max<std::uint64_t>(1, program.sent));
            std::printf("CPU per frame, user-interface thread %8.1f us, of which\n",
                        microseconds(uiCpu) / perFrame);
            std::chrono::nanoseconds inEvents{0}, other{0};
            for (const auto& [type, spent] : app.spent()) {
                inEvents += spent;
                if (const char* name = eventName(type))
                    std::printf("  %-56s %6.1f us\n", name, microseconds(spent) / perFrame);
                else
                    other += spent;
            }
            std::printf("  %-56s %6.1f us\n", "other events", microseconds(other) / perFrame);
            std::printf("  %-56s %6.1f us\n", "the event loop itself: polling, dispatching",
                        microseconds(uiCpu - inEvents) / perFrame);
        }
    }

    const Measured bare = bareToo ? bareReader(dir.path(), frames, packetSize) : Measured{};

    std::sort(latency.begin(), latency.end());
    const auto at = [&](double q) {
        return latency.empty()
                   ? 0.0
                   : latency[std::min(latency.size() - 1, std::size_t(q * double(latency.size())))];
    };
    // Per 210-byte burst sent: in packets the program judges fewer, longer reads.
    const auto perFrame = [](const Measured& m) {
        // The last burst is counted just after its write returns, perhaps after it was read.
        const std::uint64_t sent = std::max<std::uint64_t>(m.sent, m.judged);
        return microseconds(m.cpu) / double(std::max<std::uint64_t>(1, sent));
    };
    std::printf("frames sent                     %8llu  in %.2f s (%.1f per second)\n",
                static_cast<unsigned long long>(program.sent), program.seconds,
                double(program.sent) / program.seconds);
    if (whole)
        std::printf("frames judged                   %8zu  (%zu matched a frame sent, in order; "
                    "%d matched none)\n",
                    program.judged, latency.size(), unmatched);
    else
        std::printf("line                            packets of at most %d bytes, back to back\n"
                    "reads judged                    %8zu  (reads of 210 bytes or more; they "
                    "take the head of the next burst)\n",
                    packetSize, program.judged);
    std::printf("CPU per frame, program          %8.1f us  (every thread but the simulator's)\n",
                perFrame(program));
    std::printf("  of which the user-interface   %8.1f us\n",
                microseconds(uiCpu) / double(std::max<std::uint64_t>(1, program.sent)));
    std::printf("CPU per frame, bare reader      %8.1f us  (%zu of %llu frames judged)\n",
                perFrame(bare), bare.judged, static_cast<unsigned long long>(bare.sent));
    std::printf("ratio, program to bare reader   %8.2f\n",
                perFrame(program) / std::max(0.001, perFrame(bare)));
    std::printf("user-interface thread wake-ups  %8.1f per second\n",
                double(switches) / program.seconds);
    if (whole) {
        std::printf("latency, burst to lamps         median %.0f us, p99 %.0f us, max %.0f us\n",
                    at(0.5), at(0.99), latency.empty() ? 0.0 : latency.back());
        std::printf("targets: every frame judged, ratio at most 2.5, p99 under 20000 us\n");
    }
    return 0;
}
