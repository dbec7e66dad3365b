// The tap at the full line rate (not a test: it prints figures, it asserts nothing).
//
// The simulated instrument streams pieces back to back, one 210-byte burst per 4.2 ms (about 238
// a second), to a reader that plays the program: first straight from the simulator's link, then
// through lumatrax-tap, run as its own process as on a real line. It prints:
//   - frames the reader received whole each time, and whether the capture holds every byte the
//     reader received;
//   - CPU time per frame of the tap process (every thread: forwarding and writing the capture),
//     and its share of one core while the line runs;
//   - latency from the moment a burst's write returned in the simulator to the moment its last
//     byte was read by the reader, straight and through the tap: median, 99th percentile,
//     maximum, and how many frames took over a millisecond; and what the tap adds. Straight from
//     the simulator the reader may take the burst before the simulator's write call has returned,
//     so that latency can be a little below 0.
//
//   bench_tap [FRAMES]     (default 5000 frames, 21 s of line time per pass)

#include "link/protocol.h"
#include "tools/capture/capturereader.h"
#include "tools/sim/simulator.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <spawn.h>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

using namespace lumatrax;
using Clock = std::chrono::steady_clock;

namespace {

struct Pass
{
    std::vector<double> latencyUs; // sorted
    qsizetype bytesReceived = 0;
    double wallSeconds = 0.0;
    [[nodiscard]] double at(double q) const
    {
        return latencyUs.empty() ? 0.0
                                 : latencyUs[std::min(latencyUs.size() - 1,
                                                      std::size_t(q * double(latencyUs.size())))];
    }
};

// Plays the program on `device`: greets, waits for the acknowledgement, starts the instrument
// and reads until `frames` bursts have come whole, noting when each one's last byte was read.
std::optional<Pass> readFrames(const QString& device, int frames, Simulator& sim,
                               const std::vector<Clock::time_point>& written)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd, TCSANOW, &settings);
    auto waitReadable = [fd](int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    };
    const QByteArray greeting = toBytes(SYNC_FRAME) + toBytes(CMD_HELLO);
    char ack = 0;
    if (::write(fd, greeting.constData(), std::size_t(greeting.size())) != greeting.size() ||
        !waitReadable(2000) || ::read(fd, &ack, 1) != 1 || std::uint8_t(ack) != DEVICE_ACK) {
        ::close(fd);
        return std::nullopt;
    }

    sim.instrument().clearRecords();
    const QByteArray run = toBytes(command(Opcode::CMD_RUN, 0, 0, 1));
    const auto start = Clock::now();
    [[maybe_unused]] const auto sent = ::write(fd, run.constData(), std::size_t(run.size()));
    std::vector<Clock::time_point> arrived;
    arrived.reserve(std::size_t(frames));
    Pass pass;
    char buffer[4096];
    while (int(arrived.size()) < frames && waitReadable(1000)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        const auto now = Clock::now();
        pass.bytesReceived += n;
        while (int(arrived.size()) < frames &&
               pass.bytesReceived >= qsizetype(arrived.size() + 1) * FRAME_RX_THRESHOLD)
            arrived.push_back(now);
    }
    pass.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const QByteArray stop = toBytes(command(Opcode::CMD_RUN, 0, 0, 0));
    [[maybe_unused]] const auto stopped = ::write(fd, stop.constData(), std::size_t(stop.size()));
    ::close(fd);

    // The reader may take the last burst before the simulator has noted when its write returned.
    sim.instrument().waitForFramesSent(std::uint64_t(arrived.size()), std::chrono::seconds(2));
    for (std::size_t k = 0; k < arrived.size() && k < written.size(); ++k)
        pass.latencyUs.push_back(
            std::chrono::duration<double, std::micro>(arrived[k] - written[k]).count());
    std::sort(pass.latencyUs.begin(), pass.latencyUs.end());
    return pass;
}

std::chrono::nanoseconds cpuTimeOf(clockid_t clock)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

void printLatency(const char* what, const Pass& p)
{
    const auto late = std::count_if(p.latencyUs.begin(), p.latencyUs.end(),
                                    [](double us) { return us > 1000.0; });
    std::printf("  %-28s median %5.0f us, p99 %5.0f us, max %6.0f us, %td over 1 ms\n", what,
                p.at(0.5), p.at(0.99), p.latencyUs.empty() ? 0.0 : p.latencyUs.back(), late);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 5000;
    std::signal(SIGPIPE, SIG_IGN);

    // As the tap does, the reader and the simulator's thread (which inherits it) take the lowest
    // real-time priority where the system allows it, so that what the figures show is the tap,
    // not the other builds on the machine.
    sched_param lowest{};
    lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO, &lowest) != 0)
        std::printf("(reader and simulator at normal priority)\n");

    QTemporaryDir dir;
    SimOptions options;
    options.directory = dir.path();
    options.port = 1;
    Simulator sim(options);
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("program")) || !sim.start()) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    // When each burst's write returned; written on the simulator's I/O thread, read after a pass.
    std::vector<Clock::time_point> written(std::size_t(frames) + 64);
    sim.instrument().setFrameSource([&](std::uint64_t n) {
        if (n + 1 == std::uint64_t(frames))
            sim.instrument().stopStreaming();
        return sim.nextFrame();
    });
    sim.instrument().setFrameObserver([&](std::uint64_t count, Clock::time_point at) {
        if (count <= written.size())
            written[count - 1] = at;
    });

    const auto direct = readFrames(sim.instrument().linkPath(), frames, sim, written);
    if (!direct) {
        std::fprintf(stderr, "no answer from the simulator\n");
        return 1;
    }

    // The tap in a process of its own, between the simulator's link and the reader.
    const QByteArray capture = QFile::encodeName(dir.filePath(QStringLiteral("line.lmxcap")));
    const QByteArray device = QFile::encodeName(sim.instrument().linkPath());
    const QByteArray programDir = QFile::encodeName(dir.filePath(QStringLiteral("program")));
    const char* tapArgs[] = {LUMATRAX_TAP_PROGRAM,   "--device", device.constData(),  "--dir",
                             programDir.constData(), "--out",    capture.constData(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // Started at normal priority, as from a shell; it raises its forwarding thread itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sched_param normal{};
    posix_spawnattr_setschedpolicy(&attributes, SCHED_OTHER);
    posix_spawnattr_setschedparam(&attributes, &normal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSCHEDULER);
    pid_t tap = 0;
    if (posix_spawn(&tap, LUMATRAX_TAP_PROGRAM, &actions, &attributes, const_cast<char**>(tapArgs),
                    environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", LUMATRAX_TAP_PROGRAM);
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    const QString tapLink = dir.filePath(QStringLiteral("program/COM1"));
    for (int tries = 0; tries < 500 && !QFile::exists(tapLink); ++tries)
        ::usleep(10'000);
    clockid_t tapClock{};
    ::clock_getcpuclockid(tap, &tapClock);

    const auto tapCpuBefore = cpuTimeOf(tapClock);
    const auto viaTap = readFrames(tapLink, frames, sim, written);
    const auto tapCpu = cpuTimeOf(tapClock) - tapCpuBefore;
    ::kill(tap, SIGINT);
    int status = 0;
    ::waitpid(tap, &status, 0);
    sim.stop();
    if (!viaTap) {
        std::fprintf(stderr, "no answer through the tap\n");
        return 1;
    }

    // The capture: the acknowledgement and every frame burst the reader received, at least.
    CaptureReader reader;
    qsizetype captured = 0;
    if (!reader.open(QFile::decodeName(capture)))
        while (const auto record = reader.next())
            if (record->direction == CaptureDirection::ToProgram)
                captured += record->bytes.size();

    const double cpuPerFrameUs =
        std::chrono::duration<double, std::micro>(tapCpu).count() / double(frames);
    std::printf("frames received whole      %8zu straight (%.1f per second), %zu through the tap "
                "(%.1f per second), of %d\n",
                direct->latencyUs.size(), double(direct->latencyUs.size()) / direct->wallSeconds,
                viaTap->latencyUs.size(), double(viaTap->latencyUs.size()) / viaTap->wallSeconds,
                frames);
    std::printf("capture                    %8lld bytes to the program (%s every byte the reader "
                "received), tap exit status %d\n",
                static_cast<long long>(captured),
                captured >= viaTap->bytesReceived + 1 ? "holds" : "MISSES",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("tap CPU per frame          %8.1f us (%.2f %% of one core at the line rate)\n",
                cpuPerFrameUs,
                100.0 * std::chrono::duration<double>(tapCpu).count() / viaTap->wallSeconds);
    std::printf("latency, burst written to last byte read:\n");
    printLatency("straight from the simulator", *direct);
    printLatency("through the tap", *viaTap);
    std::printf("  %-28s median %5.0f us, p99 %5.0f us\n", "added by the tap",
                viaTap->at(0.5) - direct->at(0.5), viaTap->at(0.99) - direct->at(0.99));
    std::printf("targets: every frame through and captured, under 1000 us added to any byte, "
                "CPU to spare\n");
    return 0;
}
