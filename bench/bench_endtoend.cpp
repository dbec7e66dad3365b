// End to end at the full line rate (not a test: it prints figures, it asserts nothing).
//
// The simulated instrument streams pieces back to back, one 210-byte burst per 4.2 ms, through
// its pseudo-terminal into the real main window, shown on the current platform (offscreen unless
// QT_QPA_PLATFORM says otherwise), with the guides at 25 and 75. It prints:
//   - frames sent, frames judged (matched byte for byte with a frame sent, in order), and reads
//     that held more than one burst;
//   - CPU time per frame of the user-interface thread, where the whole program runs, and of the
//     process without the simulator's own thread;
//   - latency from the moment a burst's last byte reached the line (its write returned) to the
//     moment the window had judged it and set its lamps: median, 99th percentile, maximum.
//
// With --breakdown it also charges the user-interface thread's CPU time to the kinds of event it
// handled; timing every event costs a little CPU of its own, so the total is then a little higher.
//
//   bench_endtoend [FRAMES] [--breakdown]     (default 5000 frames, 21 s of line time)

#include "app/mainwindow.h"
#include "link/commport.h"
#include "link/configfile.h"
#include "tools/simulator.h"

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
#include <map>
#include <optional>
#include <string_view>
#include <vector>

using namespace lumatrax;
using Clock = std::chrono::steady_clock;

namespace {

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

template <typename Done> bool runUntil(Done done, std::chrono::milliseconds limit)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(100); // seldom, so the polling costs the measured thread next to nothing
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
    case QEvent::SockAct:
        return "serial port events: read, decode, draw list, judge, lamps";
    case QEvent::UpdateRequest:
        return "repaints, at most about 30 a second";
    case QEvent::Timer:
        return "timers";
    case QEvent::MetaCall:
        return "queued calls";
    default:
        return nullptr;
    }
}

struct Judged
{
    Clock::time_point at;
    qsizetype readSize;
    VirtualInstrument::Frame samples;
};

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    int frames = 5000;
    bool breakdown = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--breakdown")
            breakdown = true;
        else
            frames = std::max(10, std::atoi(argv[i]));
    }

    QTemporaryDir dir;
    SimOptions options;
    options.directory = dir.path();
    options.port = 1;
    Simulator sim(options);
    QFile config(configFilePath(dir.path()));
    if (!dir.isValid() || !config.open(QIODevice::WriteOnly) ||
        config.write(formatPortNumber(1)) < 0 || !sim.start()) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    config.close();

    // What the simulator sends, and when each burst's write returned: written on its I/O thread,
    // read once it has stopped.
    std::vector<VirtualInstrument::Frame> sent(static_cast<std::size_t>(frames));
    std::vector<Clock::time_point> written(static_cast<std::size_t>(frames));
    std::atomic<std::int64_t> simulatorCpuNs{0};
    sim.instrument().setFrameSource([&](std::uint64_t n) {
        if (n + 1 == std::uint64_t(frames))
            sim.instrument().stopStreaming();
        sent[n] = sim.nextFrame();
        return sent[n];
    });
    sim.instrument().setFrameObserver([&](std::uint64_t count, Clock::time_point at) {
        if (count <= written.size())
            written[count - 1] = at;
        simulatorCpuNs = cpuTime(CLOCK_THREAD_CPUTIME_ID).count();
    });

    QDir::setCurrent(dir.path());
    MainWindow window;
    window.setMessageBox([](QWidget*, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });
    window.formLoad();
    window.show();
    if (!runUntil([&] { return window.ui().Frame1->isEnabled(); }, std::chrono::seconds(5))) {
        std::fprintf(stderr, "the simulated instrument was not detected\n");
        return 1;
    }
    window.ui().sliderPos->setValue(25);
    window.ui().sliderOff->setValue(75);
    runUntil([] { return false; }, std::chrono::milliseconds(200)); // first paints settle

    // Runs right after the window's own handler: the frame is judged and its lamps are set.
    std::vector<Judged> judged;
    judged.reserve(std::size_t(frames) + 16);
    QObject::connect(&window.cm(), &CommPort::comm, &window, [&] {
        if (window.cm().commEvent() != CommPort::comEvReceive)
            return;
        Judged j{Clock::now(), window.state().rxBuffer.size(), {}};
        for (std::size_t k = 0; k < j.samples.size(); ++k)
            j.samples[k] = std::uint8_t(window.state().sampleValues[k] + SAMPLE_OFFSET);
        judged.push_back(j);
    });

    const auto uiCpuBefore = cpuTime(CLOCK_THREAD_CPUTIME_ID);
    const auto processCpuBefore = cpuTime(CLOCK_PROCESS_CPUTIME_ID);
    const auto simulatorCpuBefore = std::chrono::nanoseconds(simulatorCpuNs.load());
    const auto wallBefore = Clock::now();
    app.setTiming(breakdown);
    sim.instrument().startStreaming();
    const auto lineTime = std::chrono::microseconds(4200) * frames;
    std::optional<Clock::time_point> allSent;
    runUntil(
        [&] {
            if (!allSent && sim.instrument().framesSent() >= std::uint64_t(frames))
                allSent = Clock::now();
            // A frame lost to a merged read never comes: a second after the last one, stop.
            return allSent && (judged.size() >= std::size_t(frames) ||
                               Clock::now() - *allSent > std::chrono::seconds(1));
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(lineTime) + std::chrono::seconds(10));
    app.setTiming(false);
    const auto wall = Clock::now() - wallBefore;
    const auto uiCpu = cpuTime(CLOCK_THREAD_CPUTIME_ID) - uiCpuBefore;
    const auto simulatorCpu = std::chrono::nanoseconds(simulatorCpuNs.load()) - simulatorCpuBefore;
    const auto processCpu = cpuTime(CLOCK_PROCESS_CPUTIME_ID) - processCpuBefore;
    const std::uint64_t framesSent = sim.instrument().framesSent();
    sim.stop();

    // Match the judged frames with the frames sent, in order.
    std::vector<double> latency;
    std::size_t next = 0;
    int merged = 0, unmatched = 0;
    for (const Judged& j : judged) {
        merged += j.readSize > FRAME_RX_THRESHOLD;
        const auto found = std::find(sent.begin() + std::ptrdiff_t(next), sent.end(), j.samples);
        if (found == sent.end()) {
            ++unmatched;
            continue;
        }
        next = std::size_t(found - sent.begin());
        latency.push_back(microseconds(j.at - written[next]));
        ++next;
    }
    std::sort(latency.begin(), latency.end());
    const auto at = [&](double q) {
        return latency.empty()
                   ? 0.0
                   : latency[std::min(latency.size() - 1, std::size_t(q * double(latency.size())))];
    };

    std::printf("frames sent                     %8llu  in %.2f s (%.1f per second)\n",
                static_cast<unsigned long long>(framesSent),
                std::chrono::duration<double>(wall).count(),
                double(framesSent) / std::chrono::duration<double>(wall).count());
    std::printf("frames judged                   %8zu  (%d reads held more than one burst, "
                "%d judged reads matched no frame sent)\n",
                latency.size(), merged, unmatched);
    const double perFrame = double(std::max<std::size_t>(1, judged.size()));
    std::printf("CPU per frame, UI thread        %8.1f us%s\n", microseconds(uiCpu) / perFrame,
                breakdown ? ", of which" : "");
    if (breakdown) {
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
    std::printf("CPU per frame, process without  %8.1f us  (simulator thread: %.1f us per frame)\n"
                "  the simulator thread\n",
                microseconds(processCpu - simulatorCpu) / perFrame,
                microseconds(simulatorCpu) / double(std::max<std::uint64_t>(1, framesSent)));
    std::printf("latency, last byte to lamps     median %.0f us, p99 %.0f us, max %.0f us\n",
                at(0.5), at(0.99), latency.empty() ? 0.0 : latency.back());
    std::printf("targets: every frame judged, under 100 us of CPU per frame, p99 under 5000 us\n");
    return 0;
}
