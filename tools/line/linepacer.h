#pragma once

// Keeps the bursts that the instrument writes to the pace of a real serial line. A burst goes to
// the pseudo-terminal in one write, which delivers it at once; on a real line its bytes follow
// one another at the line rate, so the line stays busy for bytes x byte time and the next burst
// cannot start before that. Times are absolute points on the steady clock, and a burst occupies
// the line from when it actually went out: when the writing thread wakes up late, the bursts
// after it move with it. A late wake-up so costs rate, never spacing: two bursts never reach the
// program closer together than the line could carry them, which catching up on a schedule kept
// from the planned starts would do.

#include <QtGlobal>

#include <algorithm>
#include <chrono>

namespace lumatrax {

class LinePacer
{
public:
    using Clock = std::chrono::steady_clock;

    // Time on the line of one byte with a start bit, 8 data bits, no parity and a stop bit:
    // 10 bit times, 20 µs at 500000 bit/s.
    [[nodiscard]] static constexpr std::chrono::nanoseconds byteTime(int bitsPerSecond)
    {
        return std::chrono::nanoseconds(std::chrono::seconds(10)) / bitsPerSecond;
    }

    explicit LinePacer(std::chrono::nanoseconds byteTime) : m_byteTime(byteTime) {}

    // When a burst that is ready at `readyAt` may start: once it is ready and the line is free.
    [[nodiscard]] Clock::time_point startFor(Clock::time_point readyAt) const
    {
        return std::max(readyAt, m_freeAt);
    }

    // The line sends `bytes` bytes from `start` on; returns when it is free again.
    Clock::time_point occupy(Clock::time_point start, qsizetype bytes)
    {
        const Clock::time_point end = start + m_byteTime * bytes;
        m_freeAt = std::max(m_freeAt, end);
        return m_freeAt;
    }

    // When the line has sent everything given to it so far.
    [[nodiscard]] Clock::time_point freeAt() const { return m_freeAt; }

    [[nodiscard]] std::chrono::nanoseconds byteTime() const { return m_byteTime; }

private:
    std::chrono::nanoseconds m_byteTime;
    Clock::time_point m_freeAt{};
};

} // namespace lumatrax
