#pragma once

// Plays the instrument's part of a capture on a virtual instrument's line: the captured answer
// to every greeting, and between RUN 1 and RUN 0 the captured records, each as one burst, at
// their captured spacing (scaled by the speed) or back to back at the line rate. RUN 0 pauses
// and RUN 1 goes on from where it paused; at the end of the capture it stops, or starts again
// from the first record when looping. The line's own pace (LinePacer) holds every burst to the
// line rate on top of that.
//
// Bursts are handed to the line by a thread of its own at their times. It never runs more than
// kMaxAhead bytes ahead of what the line has taken, so a program that stops reading stops the
// replay instead of piling the capture up in memory.

#include "link/protocol.h"
#include "tools/capture/replayscript.h"
#include "tools/line/virtualinstrument.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace lumatrax {

class CaptureReplay
{
public:
    using Clock = std::chrono::steady_clock;
    using Notice = std::function<void(const QString&)>;

    static constexpr qint64 kMaxAhead = 4096;

    // speed: how many times faster than captured; 0 for back to back at the line rate.
    CaptureReplay(ReplayScript& script, VirtualInstrument& instrument, double speed, bool loop);
    ~CaptureReplay();
    CaptureReplay(const CaptureReplay&) = delete;
    CaptureReplay& operator=(const CaptureReplay&) = delete;

    // Said once, from the replay's thread, when it has played the last record (not looping).
    void setNotice(Notice notice) { m_notice = std::move(notice); }

    void start();
    void stop();

    // Every command the instrument receives, on its I/O thread.
    void onCommand(const Command& command);

    [[nodiscard]] std::uint64_t burstsSent() const { return m_burstsSent; }

private:
    void play();
    bool send(const QByteArray& bytes);
    [[nodiscard]] Clock::duration waitBefore(const ReplayBurst& burst,
                                             qsizetype previousLength) const;

    ReplayScript& m_script;
    VirtualInstrument& m_instrument;
    const double m_speed;
    const bool m_loop;
    Notice m_notice;
    std::thread m_thread;
    // Bytes handed to the line, answers included, to tell how far ahead of it the replay is.
    std::atomic<std::uint64_t> m_queued{0};
    std::atomic<std::uint64_t> m_burstsSent{0};

    // I/O thread only.
    Command m_previous{};
    bool m_hasPrevious = false;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_running = false;
    std::uint64_t m_runs = 0; // RUN 1 commands so far
    Clock::time_point m_runAt;
};

} // namespace lumatrax
