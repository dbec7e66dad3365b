#pragma once

// The link's intervals, in one place: the reading thread's (turn, hold limit, back-off, close
// flush), the quiet line a Retry waits for after its stop, and the connection's detection delay,
// which the capture tools' read model shares.

#include <chrono>

namespace lumatrax::linktiming {

using namespace std::chrono_literals;

// Least time between two deliveries of reads to the user-interface thread while reads keep
// coming: at the full line rate a turn takes about 16.8 ms of reads, some sixty turns a second.
inline constexpr std::chrono::milliseconds kTurnInterval = 14ms;

// Longest a read is held back for the next turn when no further read comes: a turn interval and
// a little more than a frame's time on the line, so at the full rate the next read ends the wait.
inline constexpr std::chrono::milliseconds kHoldLimit = kTurnInterval + 5ms;

// How often a reading thread held back by a full queue of reads looks again, should the wake-up
// that frees the queue be missed.
inline constexpr std::chrono::milliseconds kBackPressurePoll = 20ms;

// How long closing waits for bytes still queued (the stop command) to leave the adapter before
// the port's settings are restored: 10000 bytes at 500000 bit/s, far more than any command.
inline constexpr std::chrono::milliseconds kCloseFlush = 200ms;

// After the stop sent to a silent instrument, the line is read and emptied until it has been
// quiet for one frame's time at the selected timebase and kQuietMargin more, so that the end of a
// frame still on its way (an adapter may hold a packet for up to 16 ms) cannot spoil the answer
// to the greeting that follows; but for no longer than kQuietLimit from the stop, so an
// instrument that keeps streaming is still greeted. The line is read every kQuietPoll meanwhile.
inline constexpr std::chrono::milliseconds kQuietMargin = 50ms;
inline constexpr std::chrono::milliseconds kQuietLimit = 1000ms;
inline constexpr std::chrono::milliseconds kQuietPoll = 10ms;

// Whether the wait after a stop sent at `stopped` is over at `now`, when bytes were last read at
// `lastHeard` (or never since the stop: `stopped`) and one frame takes `frameTime`.
using QuietClock = std::chrono::steady_clock;
[[nodiscard]] constexpr bool quietLongEnough(QuietClock::time_point stopped,
                                             QuietClock::time_point lastHeard,
                                             QuietClock::time_point now,
                                             std::chrono::microseconds frameTime)
{
    return now - lastHeard >= frameTime + kQuietMargin || now - stopped >= kQuietLimit;
}

// From the greeting to the detection check, which reads the instrument's answer.
inline constexpr std::chrono::milliseconds kDetectionDelay = 1000ms;

} // namespace lumatrax::linktiming
