#pragma once

// The link's intervals, in one place: the reading thread's (turn, hold limit, back-off, close
// flush) and the connection's detection delay, which the capture tools' read model shares.

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

// From the stop sent to a silent instrument to the greeting of the new attempt: an instrument
// still streaming finishes the frame it is sending (4.2 ms on the line) and an adapter may hold
// more, and bytes arriving after the greeting would spoil its answer.
inline constexpr std::chrono::milliseconds kStopSettle = 100ms;

// From the greeting to the detection check, which reads the instrument's answer.
inline constexpr std::chrono::milliseconds kDetectionDelay = 1000ms;

} // namespace lumatrax::linktiming
