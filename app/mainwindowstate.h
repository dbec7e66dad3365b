#pragma once

#include "display/frameprocessing.h"
#include "display/geometry.h"

#include <QByteArray>

#include <array>
#include <cstdint>

namespace lumatrax {

// Flags of the main window are 16-bit and hold true as -1, false as 0.
using Flag16 = std::int16_t;
inline constexpr Flag16 kTrue = -1;
inline constexpr Flag16 kFalse = 0;

// The run-time state that the main window owns for as long as it exists.
struct MainWindowState
{
    SegmentArray liveTrace{};
    SegmentArray upperGuide{};
    SegmentArray lowerGuide{};

    // Entries 0..199 hold the last frame's bytes minus 128; entry 200 is never written.
    SampleArray sampleValues{};
    QByteArray rxBuffer; // the most recent read from the port; every read replaces it

    Flag16 linkDown = kTrue; // no port believed open (none is, until start-up opens one)
    Flag16 isRunning = kFalse;
    std::int16_t frameSeen = 0; // frames since the activity lamp's last tick
    Flag16 aboveUpper = kFalse;
    Flag16 belowLower = kFalse;

    std::uint8_t trigLevelHigh = 0;
    std::uint8_t trigLevelLow = 0;
};

} // namespace lumatrax
