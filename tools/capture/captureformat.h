#pragma once

// The capture file of a serial line: what crossed it, each way, and when. tools/README.md
// describes the layout byte by byte; in short, all numbers little-endian:
//
//   header   magic "LMXCAP\r\n", u16 format version, u16 header length (bytes from the start
//            of the file), u32 bit/s, u8 data bits, u8 parity, u8 stop bits, u8 flow control,
//            i64 wall-clock start (µs since 1970-01-01 UTC), u16 device name length, the
//            device name (UTF-8)
//   records  u8 direction ('I' instrument to program, 'P' program to instrument), u16 byte
//            count (1..4096), u64 time (µs on the monotonic clock since the capture started),
//            then the bytes
//
// A record is written whole or not at all, and only appended, so a file cut at any point holds
// every record before the cut intact.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>

namespace lumatrax {

inline constexpr QByteArrayView kCaptureMagic = "LMXCAP\r\n";
inline constexpr std::uint16_t kCaptureVersion = 1;
// Header of version 1 without the device name.
inline constexpr int kCaptureFixedHeaderLength = 30;
// Direction, byte count and time.
inline constexpr int kCaptureRecordHeadLength = 11;
// The most bytes one record holds: the tap reads at most this many at once, and a longer read
// would go into several records. A reader takes a larger count for damage.
inline constexpr int kCaptureMaxRecordBytes = 4096;
// The longest a line may stand still between two records before a reader asks the record after
// the pause to confirm its time: a damaged time most often lies far ahead.
inline constexpr std::chrono::microseconds kCaptureMaxPause = std::chrono::hours(1);

enum class CaptureDirection : std::uint8_t {
    ToProgram = 'I',    // from the instrument, read on its device
    ToInstrument = 'P', // from the program, read on the pseudo-terminal
};

enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2 };

// The instrument's line as the capture was made on it: 500000 bit/s 8N1, no flow control.
struct LineSettings
{
    std::uint32_t bitsPerSecond = 500000;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    std::uint8_t stopBits = 1;
    bool flowControl = false;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

struct CaptureHeader
{
    std::uint16_t version = kCaptureVersion;
    LineSettings line;
    std::int64_t startedAtUs = 0; // wall clock, µs since 1970-01-01 00:00 UTC
    QString device;               // the instrument's device as given to the tap

    friend bool operator==(const CaptureHeader&, const CaptureHeader&) = default;
};

struct CaptureRecord
{
    CaptureDirection direction = CaptureDirection::ToProgram;
    std::int64_t atUs = 0; // monotonic, µs since the capture started
    QByteArray bytes;      // 1..4096 bytes, as they were read

    friend bool operator==(const CaptureRecord&, const CaptureRecord&) = default;
};

// The header as it goes at the start of the file. A device name longer than the header can hold
// is cut at a character boundary.
[[nodiscard]] QByteArray encodeCaptureHeader(const CaptureHeader& header);

// The direction, byte count and time that go before a record's bytes; `length` is 1..4096.
[[nodiscard]] std::array<char, kCaptureRecordHeadLength>
encodeRecordHead(CaptureDirection direction, std::int64_t atUs, qsizetype length);

// Appends one record to `out`; `bytes` must hold 1..4096 bytes.
void appendCaptureRecord(QByteArray& out, CaptureDirection direction, std::int64_t atUs,
                         QByteArrayView bytes);

// "8N1 at 500000 bit/s, no flow control"
[[nodiscard]] QString describeLine(const LineSettings& line);

} // namespace lumatrax
