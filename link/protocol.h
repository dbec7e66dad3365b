#pragma once

// What crosses the serial line to the instrument: four-byte commands out, a one-byte
// acknowledgement and 200-byte sample frames in. Raw bytes: no start marker, escape, length or
// checksum anywhere. This folder never includes display/, report/ or app/.
//
//   name            bytes 0..3                      sent
//   SYNC_FRAME      0,   0, 0, 0                    first write after the port opens
//   CMD_HELLO       64,  0, 0, 0                    right after SYNC_FRAME; answered by DEVICE_ACK
//   CMD_RUN         128, 0, 0, r                    r = 1 run, 0 stop
//   CMD_TRIG_LEVEL  129, 0, code / 256, code % 256  code = (50 - v) * 20 for slider value v
//   CMD_TRIG_EDGE   130, 0, 0, e                    e = 0 rising, 1 falling
//   CMD_TIMEBASE    131, 0, 0, i                    i = timebase entry 0 ("40µs") .. 8 ("20ms")

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace lumatrax {

inline constexpr int SAMPLES_PER_FRAME = 200;
inline constexpr int SAMPLE_OFFSET = 128;
// The receive threshold once the instrument has answered: an event whenever 210 bytes wait.
inline constexpr int FRAME_RX_THRESHOLD = 210;
// The instrument's answer to CMD_HELLO.
inline constexpr std::uint8_t DEVICE_ACK = 0xAC;

inline constexpr int kBaudRate = 500000;

enum class Opcode : std::uint8_t {
    SYNC_FRAME = 0x00,
    CMD_HELLO = 0x40,
    CMD_RUN = 0x80,
    CMD_TRIG_LEVEL = 0x81,
    CMD_TRIG_EDGE = 0x82,
    CMD_TIMEBASE = 0x83,
};

using Command = std::array<std::uint8_t, 4>;

// The instrument's timebases by CMD_TIMEBASE's parameter: time per division of its screen.
inline constexpr std::array<std::chrono::microseconds, 9> kTimebasePerDivision = {
    std::chrono::microseconds(40),   std::chrono::microseconds(80),
    std::chrono::microseconds(200),  std::chrono::microseconds(400),
    std::chrono::microseconds(800),  std::chrono::microseconds(2000),
    std::chrono::microseconds(4000), std::chrono::microseconds(8000),
    std::chrono::microseconds(20000)};

// The time one frame takes to sample at timebase i: ten divisions, the screen's width. A
// parameter outside 0..8 is taken as the nearest timebase.
[[nodiscard]] constexpr std::chrono::microseconds frameTime(int timebase)
{
    const int last = int(kTimebasePerDivision.size()) - 1;
    return 10 * kTimebasePerDivision[std::size_t(std::clamp(timebase, 0, last))];
}

[[nodiscard]] constexpr Command command(Opcode opcode, std::uint8_t p1 = 0, std::uint8_t p2 = 0,
                                        std::uint8_t p3 = 0)
{
    return {static_cast<std::uint8_t>(opcode), p1, p2, p3};
}

inline constexpr Command SYNC_FRAME = command(Opcode::SYNC_FRAME);
inline constexpr Command CMD_HELLO = command(Opcode::CMD_HELLO);

[[nodiscard]] inline QByteArray toBytes(const Command& c)
{
    return QByteArray(reinterpret_cast<const char*>(c.data()), qsizetype(c.size()));
}

// The two bytes of the trigger-level code for slider value v: code = (50 - v) * 20, high byte
// = code / 256 and low byte = code % 256 (truncating, sign of the code). Empty when the code
// overflows 32 bits or a byte falls outside 0..255, which cannot happen for v in 0..50.
struct TrigLevelBytes
{
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    friend bool operator==(const TrigLevelBytes&, const TrigLevelBytes&) = default;
};
[[nodiscard]] std::optional<TrigLevelBytes> trigLevelBytes(std::int32_t v);

// True exactly when the read holds one byte and it is DEVICE_ACK.
[[nodiscard]] bool isDeviceAck(QByteArrayView read);

// Decodes the first SAMPLES_PER_FRAME bytes of a read into samples[0..199] as byte - 128; bytes
// after the 200th are dropped. A read shorter than a frame decodes nothing and returns false,
// leaving the samples as they were. samples must hold at least 200 entries.
[[nodiscard]] bool decodeFrame(QByteArrayView read, std::span<std::int16_t> samples);

} // namespace lumatrax
