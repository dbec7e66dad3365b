#include "tools/line/virtualinstrument.h"

#include "tools/line/toolsupport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace lumatrax {

namespace {

constexpr std::uint8_t kRunOpcode = std::uint8_t(Opcode::CMD_RUN);

timespec untilDeadline(VirtualInstrument::Clock::time_point deadline)
{
    const auto left =
        std::max(std::chrono::nanoseconds::zero(),
                 std::chrono::nanoseconds(deadline - VirtualInstrument::Clock::now()));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    return timespec{time_t(seconds.count()), long((left - seconds).count())};
}

} // namespace

// What the I/O thread does next: write a burst now (perhaps a frame still to be made), and when
// at the latest to look again.
struct VirtualInstrument::Plan
{
    std::optional<Burst> burst;
    Clock::time_point start;
    bool makeFrame = false;
    FrameSource source;
    std::uint64_t frameIndex = 0;
    FrameFormat format;
    std::optional<Clock::time_point> deadline;

    void wakeBy(Clock::time_point t) { deadline = deadline ? std::min(*deadline, t) : t; }
};

VirtualInstrument::VirtualInstrument() = default;

VirtualInstrument::~VirtualInstrument()
{
    close();
}

// ---- The line

bool VirtualInstrument::open()
{
    return isOpen() || startLine();
}

void VirtualInstrument::close()
{
    stopLine();
    m_link.remove();
}

bool VirtualInstrument::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_lineOpen;
}

QString VirtualInstrument::devicePath() const
{
    std::lock_guard lock(m_mutex);
    return m_devicePath;
}

QString VirtualInstrument::errorString() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool VirtualInstrument::placeLink(const QString& directory, int portNumber)
{
    if (!isOpen()) {
        std::lock_guard lock(m_mutex);
        m_error = QStringLiteral("the line is not open");
        return false;
    }
    if (m_link.place(directory, portNumber, m_pty.devicePath()))
        return true;
    std::lock_guard lock(m_mutex);
    m_error = m_link.errorString();
    return false;
}

QString VirtualInstrument::linkPath() const
{
    return m_link.path();
}

void VirtualInstrument::pullPlug()
{
    stopLine();
}

bool VirtualInstrument::replug()
{
    stopLine();
    if (!startLine())
        return false;
    if (!m_link.isPlaced() || m_link.retarget(m_pty.devicePath()))
        return true;
    std::lock_guard lock(m_mutex);
    m_error = m_link.errorString();
    return false;
}

bool VirtualInstrument::startLine()
{
    auto fail = [this](const QString& error) {
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        m_wakeFd = -1;
        m_pty.close();
        std::lock_guard lock(m_mutex);
        m_error = error;
        return false;
    };
    if (!m_pty.open())
        return fail(m_pty.errorString());
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        return fail(QStringLiteral("eventfd: ") + qt_error_string(errno));

    m_assembler.reset();
    m_pacer = LinePacer(kByteTime);
    m_hasPreviousCommand = false;
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = false;
        m_lineOpen = true;
        m_devicePath = m_pty.devicePath();
        m_error.clear();
        m_nextFrameAt = Clock::now();
    }
    try {
        m_thread = std::thread(&VirtualInstrument::ioLoop, this);
    } catch (const std::system_error& e) {
        {
            std::lock_guard lock(m_mutex);
            m_lineOpen = false;
            m_devicePath.clear();
        }
        return fail(QString::fromLocal8Bit(e.what()));
    }
    return true;
}

void VirtualInstrument::stopLine()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_wakeFd = -1;
    m_pty.close();

    std::lock_guard lock(m_mutex);
    m_lineOpen = false;
    m_devicePath.clear();
    m_queue.clear();
    m_delayed.clear();
    m_streaming = false;
    m_running = false;
    m_stopRequested = false;
    m_changed.notify_all();
}

void VirtualInstrument::wake() const
{
    if (m_wakeFd < 0)
        return;
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

// ---- Behaviour

void VirtualInstrument::setAckBehaviour(const AckBehaviour& behaviour)
{
    std::lock_guard lock(m_mutex);
    m_ack = behaviour;
}

void VirtualInstrument::setFrameSource(FrameSource source)
{
    std::lock_guard lock(m_mutex);
    m_source = std::move(source);
}

void VirtualInstrument::setBurstLength(int bytes)
{
    std::lock_guard lock(m_mutex);
    m_format.burstLength = std::clamp(bytes, FRAME_RX_THRESHOLD, kMaxBurstLength);
}

void VirtualInstrument::setPadByte(std::uint8_t byte)
{
    std::lock_guard lock(m_mutex);
    m_format.padByte = byte;
}

void VirtualInstrument::setFrameInterval(std::chrono::microseconds interval)
{
    {
        std::lock_guard lock(m_mutex);
        m_frameInterval = std::max(interval, std::chrono::microseconds::zero());
    }
    wake();
}

void VirtualInstrument::setPackets(int packetSize, std::chrono::microseconds latency)
{
    std::lock_guard lock(m_mutex);
    m_packetSize = packetSize <= 0 ? 0 : std::clamp(packetSize, kMinPacketSize, kMaxPacketSize);
    m_packetLatency = std::max(latency, std::chrono::microseconds::zero());
}

void VirtualInstrument::setStreamOnRun(bool on)
{
    std::lock_guard lock(m_mutex);
    m_streamOnRun = on;
}

void VirtualInstrument::setCommandObserver(CommandObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void VirtualInstrument::setFrameObserver(FrameObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_frameObserver = std::move(observer);
}

// ---- Output

bool VirtualInstrument::sendFrame(const Frame& samples)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_lineOpen)
            return false;
        m_queue.push_back({frameBurst(samples, m_format), BurstKind::Frame, Clock::now()});
    }
    wake();
    return true;
}

bool VirtualInstrument::sendRaw(const QByteArray& bytes)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_lineOpen)
            return false;
        if (!bytes.isEmpty())
            m_queue.push_back({bytes, BurstKind::Raw, Clock::now()});
    }
    wake();
    return true;
}

void VirtualInstrument::startStreaming()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_streaming)
            return;
        m_streaming = true;
        m_frameIndex = 0;
        m_nextFrameAt = Clock::now();
    }
    wake();
}

void VirtualInstrument::stopStreaming()
{
    std::lock_guard lock(m_mutex);
    m_streaming = false;
}

bool VirtualInstrument::isStreaming() const
{
    std::lock_guard lock(m_mutex);
    return m_streaming;
}

// ---- Records

std::vector<Command> VirtualInstrument::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

int VirtualInstrument::commandCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_commands.size());
}

QByteArray VirtualInstrument::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

qsizetype VirtualInstrument::receivedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_received.size();
}

std::uint64_t VirtualInstrument::framesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_framesSent;
}

int VirtualInstrument::acksSent() const
{
    std::lock_guard lock(m_mutex);
    return m_acksSent;
}

std::uint64_t VirtualInstrument::bytesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesSent;
}

bool VirtualInstrument::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

void VirtualInstrument::clearRecords()
{
    std::lock_guard lock(m_mutex);
    m_commands.clear();
    m_received.clear();
    m_framesSent = 0;
    m_bytesSent = 0;
    m_acksSent = 0;
}

template <typename Predicate>
bool VirtualInstrument::waitFor(std::chrono::milliseconds timeout, Predicate done) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, done);
}

bool VirtualInstrument::waitForCommands(int count, std::chrono::milliseconds timeout) const
{
    return waitFor(timeout, [&] { return int(m_commands.size()) >= count; });
}

bool VirtualInstrument::waitForReceived(qsizetype bytes, std::chrono::milliseconds timeout) const
{
    return waitFor(timeout, [&] { return m_received.size() >= bytes; });
}

bool VirtualInstrument::waitForFramesSent(std::uint64_t frames,
                                          std::chrono::milliseconds timeout) const
{
    return waitFor(timeout, [&] { return m_framesSent >= frames; });
}

VirtualInstrument::Frame VirtualInstrument::testPattern(std::uint64_t index)
{
    constexpr double kPeriods = 4.0;
    constexpr double kAmplitude = 100.0;
    const double phase = double(index % 40) / 40.0;
    Frame frame{};
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const double turns = kPeriods * k / SAMPLES_PER_FRAME + phase;
        const double value = SAMPLE_OFFSET + kAmplitude * std::sin(2.0 * std::numbers::pi * turns);
        frame[std::size_t(k)] = std::uint8_t(std::lround(value));
    }
    return frame;
}

QByteArray VirtualInstrument::frameBurst(const Frame& samples, FrameFormat format)
{
    QByteArray burst(format.burstLength, char(format.padByte));
    std::memcpy(burst.data(), samples.data(), samples.size());
    return burst;
}

// ---- The I/O thread

void VirtualInstrument::ioLoop()
{
    // Wake up for a burst when it is due, not up to the default 50 µs later: every late wake-up
    // delays the rest of the stream.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int packetSize = 0;
    std::chrono::microseconds latency{0};
    {
        std::lock_guard lock(m_mutex);
        packetSize = m_packetSize;
        latency = m_packetLatency;
    }
    if (packetSize > 0)
        packetLoop(m_pty.masterFd(), PacketLine(kByteTime, packetSize, latency));
    else
        burstLoop(m_pty.masterFd());
}

void VirtualInstrument::makeFrame(Plan& plan) const
{
    const Frame samples = plan.source ? plan.source(plan.frameIndex) : testPattern(plan.frameIndex);
    plan.burst = Burst{frameBurst(samples, plan.format), BurstKind::Frame, plan.start};
}

void VirtualInstrument::burstLoop(int masterFd)
{
    // The rest of a burst that the line's buffer could not take because the program is not
    // reading; nothing else is written until it has gone.
    QByteArray backlog;
    BurstKind backlogKind = BurstKind::Raw;
    bool lineUp = true;

    for (;;) {
        Plan plan;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopRequested)
                return;
            if (backlog.isEmpty() && lineUp)
                plan = planNext(Clock::now());
        }
        if (plan.makeFrame)
            makeFrame(plan);

        bool wrote = false;
        if (plan.burst) {
            // One write per burst, so the program finds a burst waiting whole, not byte by byte.
            // The line counts as busy from when the write has returned, not from the planned
            // start: after a late wake-up, or a thread held up in the middle of writing, the next
            // burst still comes a whole burst time after this one reached the program.
            const QByteArray& bytes = plan.burst->bytes;
            const qsizetype written = writeSome(masterFd, bytes);
            if (written > 0)
                deliverNow();
            m_pacer.occupy(std::max(plan.start, Clock::now()), std::max<qsizetype>(written, 0));
            if (written < 0) {
                lineUp = false;
            } else {
                burstWritten(plan.burst->kind, written, written == bytes.size());
                if (written < bytes.size()) {
                    backlog = bytes.mid(written);
                    backlogKind = plan.burst->kind;
                }
            }
            wrote = true;
        }

        pollfd fds[2] = {
            {m_wakeFd, POLLIN, 0},
            {lineUp ? masterFd : -1, short(POLLIN | (backlog.isEmpty() ? 0 : POLLOUT)), 0}};
        // Straight on after a write, else until the next deadline, else until woken.
        timespec timeout{0, 0};
        const timespec* wait = &timeout;
        if (!wrote && plan.deadline)
            timeout = untilDeadline(*plan.deadline);
        else if (!wrote)
            wait = nullptr;
        if (::ppoll(fds, 2, wait, nullptr) < 0)
            continue; // EINTR
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN)
            receiveFromLine();
        if ((fds[1].revents & POLLOUT) && !backlog.isEmpty()) {
            const qsizetype written = writeSome(masterFd, backlog);
            if (written < 0) {
                lineUp = false;
            } else if (written > 0) {
                deliverNow();
                // The line sends the rest from now on.
                m_pacer.occupy(Clock::now(), written);
                backlog.remove(0, written);
                burstWritten(backlogKind, written, backlog.isEmpty());
            }
        }
        // The slave descriptor held open keeps the master from hanging up; an error here means
        // the line is gone, and the thread waits for the word to stop.
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[1].revents & POLLIN))
            lineUp = false;
        if (!lineUp)
            backlog.clear();
    }
}

void VirtualInstrument::packetLoop(int masterFd, PacketLine line)
{
    // A packet handed over this much later than due (a busy machine, a program that did not
    // read and so held the adapter up) moves the rest of the line with it, as the bursts of
    // burstLoop() move after a late write: the stream goes on at the line's pace from there
    // instead of pouring out what it owes. Later by less, the line keeps to its schedule, so the
    // ordinary lateness of a wake-up neither slows the stream nor cuts it into other packets.
    constexpr auto kMostBehind = std::chrono::milliseconds(2);
    // The last packet went in part only: nothing more until the program has read.
    bool held = false;
    bool lineUp = true;

    for (;;) {
        Plan plan;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopRequested)
                return;
            if (!held && lineUp)
                plan = planNext(Clock::now());
        }
        if (plan.makeFrame)
            makeFrame(plan);
        if (plan.burst) {
            // Every burst that has started goes onto the line before any packet is cut: a burst
            // that follows back to back carries the stream on.
            const qsizetype length = plan.burst->bytes.size();
            m_pacer.occupy(plan.start, length);
            line.add(plan.start, std::move(plan.burst->bytes), int(plan.burst->kind));
            continue;
        }

        bool wrote = false;
        std::optional<Clock::time_point> deadline = plan.deadline;
        if (!held && lineUp) {
            if (const std::optional<PacketLine::Packet> packet = line.next()) {
                if (packet->due <= Clock::now()) {
                    const QByteArray bytes = line.peek(packet->length);
                    const qsizetype written = writeSome(masterFd, bytes);
                    if (written < 0) {
                        lineUp = false;
                    } else {
                        if (written > 0)
                            deliverNow();
                        line.consume(written, [this](int kind, qsizetype sent, bool whole) {
                            burstWritten(BurstKind(kind), sent, whole);
                        });
                        held = written < bytes.size();
                        const auto behind = Clock::now() - packet->due;
                        if (behind > kMostBehind) {
                            line.postpone(behind);
                            m_pacer.postpone(behind);
                        }
                    }
                    wrote = true;
                } else {
                    deadline = deadline ? std::min(*deadline, packet->due) : packet->due;
                }
            }
        }

        pollfd fds[2] = {{m_wakeFd, POLLIN, 0},
                         {lineUp ? masterFd : -1, short(POLLIN | (held ? POLLOUT : 0)), 0}};
        timespec timeout{0, 0};
        const timespec* wait = &timeout;
        if (!wrote && deadline)
            timeout = untilDeadline(*deadline);
        else if (!wrote)
            wait = nullptr;
        if (::ppoll(fds, 2, wait, nullptr) < 0)
            continue; // EINTR
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN)
            receiveFromLine();
        if (fds[1].revents & POLLOUT)
            held = false;
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[1].revents & POLLIN))
            lineUp = false;
    }
}

void VirtualInstrument::deliverNow() const
{
    // The kernel hands what the master was given to the program's side in a worker thread,
    // which a busy machine can hold up for milliseconds, until after the next burst has come:
    // the program would then find two bursts at once where a line delivered them 4.2 ms apart.
    // Polling a slave descriptor that has nothing to read makes the kernel hand them over at
    // once, so the program sees a burst when it was sent. When the program has not yet read what
    // came before, nothing is handed over here, as on a line whose reader is late.
    pollfd slave{m_pty.heldSlaveFd(), POLLIN, 0};
    ::poll(&slave, 1, 0);
}

VirtualInstrument::Plan VirtualInstrument::planNext(Clock::time_point now)
{
    Plan plan;
    // Acknowledgements whose delay has passed join the queue in the order they were due.
    std::stable_sort(m_delayed.begin(), m_delayed.end(),
                     [](const Burst& a, const Burst& b) { return a.readyAt < b.readyAt; });
    const auto firstPending = std::find_if(m_delayed.begin(), m_delayed.end(),
                                           [now](const Burst& b) { return b.readyAt > now; });
    std::move(m_delayed.begin(), firstPending, std::back_inserter(m_queue));
    m_delayed.erase(m_delayed.begin(), firstPending);
    if (!m_delayed.empty())
        plan.wakeBy(m_delayed.front().readyAt);

    if (!m_queue.empty()) {
        const auto start = m_pacer.startFor(m_queue.front().readyAt);
        if (start > now) {
            plan.wakeBy(start);
            return plan;
        }
        plan.burst = std::move(m_queue.front());
        plan.start = start;
        m_queue.pop_front();
    } else if (m_streaming) {
        const auto start = m_pacer.startFor(m_nextFrameAt);
        if (start > now) {
            plan.wakeBy(start);
            return plan;
        }
        plan.makeFrame = true;
        plan.source = m_source;
        plan.frameIndex = m_frameIndex++;
        plan.format = m_format;
        plan.start = start;
        m_nextFrameAt = start + m_frameInterval;
    }
    return plan;
}

void VirtualInstrument::burstWritten(BurstKind kind, qsizetype bytes, bool whole)
{
    const Clock::time_point at = Clock::now();
    FrameObserver observer;
    std::uint64_t frames = 0;
    {
        std::lock_guard lock(m_mutex);
        m_bytesSent += std::uint64_t(bytes);
        if (whole && kind == BurstKind::Frame) {
            frames = ++m_framesSent;
            observer = m_frameObserver;
        }
        if (whole && kind == BurstKind::Ack)
            ++m_acksSent;
        m_changed.notify_all();
    }
    if (observer)
        observer(frames, at);
}

void VirtualInstrument::receiveFromLine()
{
    // At most 64 KiB in one go, so a program that writes without pause cannot hold up output.
    constexpr int kReadsPerWakeUp = 16;
    std::array<char, 4096> buffer;
    std::vector<Command> arrived;
    for (int reads = 0; reads < kReadsPerWakeUp; ++reads) {
        const ssize_t got = ::read(m_pty.masterFd(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        const QByteArrayView chunk(buffer.data(), qsizetype(got));
        const std::vector<Command> complete = m_assembler.feed(chunk);
        const auto now = Clock::now();
        std::lock_guard lock(m_mutex);
        m_received.append(chunk);
        for (const Command& command : complete) {
            m_commands.push_back(command);
            handleCommand(command, now);
        }
        arrived.insert(arrived.end(), complete.begin(), complete.end());
        m_changed.notify_all();
    }
    CommandObserver observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_observer;
    }
    if (observer)
        for (const Command& command : arrived)
            observer(command);
}

// Called with m_mutex held, on the I/O thread.
void VirtualInstrument::handleCommand(const Command& command, Clock::time_point now)
{
    const bool greeting =
        m_hasPreviousCommand && m_previousCommand == SYNC_FRAME && command == CMD_HELLO;
    m_previousCommand = command;
    m_hasPreviousCommand = true;

    if (greeting && m_ack.answer) {
        Burst ack{QByteArray(1, char(DEVICE_ACK)) + m_ack.trailer, BurstKind::Ack,
                  now + m_ack.delay};
        if (m_ack.delay > std::chrono::microseconds::zero())
            m_delayed.push_back(std::move(ack));
        else
            m_queue.push_back(std::move(ack));
    }

    if (command[0] == kRunOpcode && (command[3] == 0 || command[3] == 1)) {
        m_running = command[3] == 1;
        if (m_streamOnRun && m_running != m_streaming) {
            m_streaming = m_running;
            m_frameIndex = 0;
            m_nextFrameAt = now;
        }
    }
}

} // namespace lumatrax
