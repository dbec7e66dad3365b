#pragma once

// What the instrument has been told: timebase, trigger edge and trigger level, and whether it
// runs. The instrument starts at timebase 0 (40 µs per division), rising edge, level code 500
// (mid-screen) and stopped: the same as the program's controls after start-up, since the
// program sends none of these settings until the operator changes one.
//
// A command with a parameter outside its range is recorded but changes nothing.

#include "link/protocol.h"

#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

namespace lumatrax {

enum class TriggerEdge { Rising, Falling };

struct Timebase
{
    std::string_view name; // as the program lists it
};

// Index i of CMD_TIMEBASE selects entry i; its time per division is kTimebasePerDivision[i].
inline constexpr std::array<Timebase, 9> kTimebases = {{
    {"40\u00B5s"},
    {"80\u00B5s"},
    {"200\u00B5s"},
    {"400\u00B5s"},
    {"800\u00B5s"},
    {"2ms"},
    {"4ms"},
    {"8ms"},
    {"20ms"},
}};
static_assert(kTimebases.size() == kTimebasePerDivision.size());
// Trigger-level codes run from 0 (bottom of the screen) to 1000 (top).
inline constexpr int kMaxLevelCode = 1000;

struct AcquisitionSettings
{
    int timebaseIndex = 0;
    TriggerEdge edge = TriggerEdge::Rising;
    int levelCode = 500;
    bool running = false;

    // Takes the setting a command carries; false when the command changes no setting (the
    // greeting, an unknown opcode, a parameter out of range).
    bool apply(const Command& command);

    // Time between two samples of a frame: the screen's ten divisions over 200 samples.
    [[nodiscard]] std::chrono::nanoseconds sampleInterval() const;

    friend bool operator==(const AcquisitionSettings&, const AcquisitionSettings&) = default;
};

// The sample value, in byte units (0..255, fractional), at which the trigger fires for a level
// code: code 1000 lies on the top edge of the screen (byte 255) and code 0 one step below the
// bottom byte, so the level sits where the program draws its trigger-level marker.
[[nodiscard]] constexpr double levelInSampleUnits(int code)
{
    return code * 256.0 / kMaxLevelCode - 1.0;
}

// A command in words, as the simulator logs it: "RUN 1", "TIMEBASE 8 (20ms)",
// "TRIGGER LEVEL 500", "TRIGGER EDGE falling", "SYNC", "HELLO"; anything else as "UNKNOWN" and
// its four bytes in decimal.
[[nodiscard]] QString describeCommand(const Command& command);

} // namespace lumatrax
