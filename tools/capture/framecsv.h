#pragma once

// A table of a capture's frames, one line each: the time since the capture began in seconds, the
// verdict, whether the frame went above the upper guide and below the lower guide (1 or 0), its
// 200 samples (byte - 128), and last its wall-clock time in UTC, the capture's start plus the
// record's time, ISO 8601 with milliseconds.

#include "display/frameprocessing.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace lumatrax {

// "2026-12-07T10:11:12.345Z" for a frame `atUs` after a capture started at `startedAtUs` (µs
// since 1970-01-01 UTC).
[[nodiscard]] QString wallClockUtc(std::int64_t startedAtUs, std::int64_t atUs);

// "12.345678": a time since the capture began, in seconds to the microsecond, as every table
// of the tools writes it.
[[nodiscard]] QByteArray secondsText(std::int64_t us);
// "REJECT" or "ACCEPT".
[[nodiscard]] QByteArray verdictWord(const Verdict& verdict);

[[nodiscard]] QByteArray frameCsvHeader();
[[nodiscard]] QByteArray frameCsvLine(std::int64_t startedAtUs, std::int64_t atUs,
                                      const Verdict& verdict, const SampleArray& samples);

} // namespace lumatrax
