#include "tools/sim/capturereplay.h"

namespace lumatrax {

CaptureReplay::CaptureReplay(ReplayScript& script, VirtualInstrument& instrument, double speed,
                             bool loop)
    : m_script(script), m_instrument(instrument), m_speed(speed), m_loop(loop)
{}

CaptureReplay::~CaptureReplay()
{
    stop();
}

void CaptureReplay::start()
{
    if (!m_thread.joinable())
        m_thread = std::thread(&CaptureReplay::play, this);
}

void CaptureReplay::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CaptureReplay::onCommand(const Command& command)
{
    const bool greeting = m_hasPrevious && m_previous == SYNC_FRAME && command == CMD_HELLO;
    m_previous = command;
    m_hasPrevious = true;
    if (greeting && !m_script.answer().isEmpty())
        send(m_script.answer());

    if (Opcode(command[0]) != Opcode::CMD_RUN || command[3] > 1)
        return;
    {
        std::lock_guard lock(m_mutex);
        const bool run = command[3] == 1;
        if (run && !m_running) {
            ++m_runs;
            m_runAt = Clock::now();
        }
        m_running = run;
    }
    m_changed.notify_all();
}

bool CaptureReplay::send(const QByteArray& bytes)
{
    m_queued += std::uint64_t(bytes.size());
    return m_instrument.sendRaw(bytes);
}

CaptureReplay::Clock::duration CaptureReplay::waitBefore(const ReplayBurst& burst,
                                                         qsizetype previousLength) const
{
    if (m_speed <= 0.0)
        return std::chrono::duration_cast<Clock::duration>(VirtualInstrument::kByteTime *
                                                           previousLength);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(double(burst.delay.count()) / m_speed));
}

void CaptureReplay::play()
{
    std::optional<ReplayBurst> pending;
    qsizetype previousLength = 0;
    Clock::time_point lastDue;
    std::uint64_t runsSeen = 0;
    bool ended = false;

    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stopping || (m_running && !ended); });
        if (m_stopping)
            return;
        // The times count from the RUN 1 that started this stretch, then from burst to burst.
        if (runsSeen != m_runs) {
            runsSeen = m_runs;
            lastDue = m_runAt;
            previousLength = 0;
        }
        if (!pending) {
            lock.unlock();
            pending = m_script.next();
            if (!pending && m_loop && m_script.rewind())
                pending = m_script.next();
            if (!pending && m_notice)
                m_notice(QStringLiteral("the whole capture has been played"));
            lock.lock();
            ended = !pending;
            continue;
        }

        const Clock::time_point due = lastDue + waitBefore(*pending, previousLength);
        auto interrupted = [&] { return m_stopping || !m_running || runsSeen != m_runs; };
        if (m_changed.wait_until(lock, due, interrupted))
            continue; // stopped or paused: the burst waits for the next RUN 1
        // A program that does not read holds the replay up rather than filling memory.
        while (qint64(m_queued - m_instrument.bytesSent()) > kMaxAhead && !interrupted())
            m_changed.wait_for(lock, std::chrono::milliseconds(2), interrupted);
        if (interrupted())
            continue;

        lock.unlock();
        send(pending->bytes);
        ++m_burstsSent;
        lock.lock();
        lastDue = due;
        previousLength = pending->bytes.size();
        pending.reset();
    }
}

} // namespace lumatrax
