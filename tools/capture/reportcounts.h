#pragma once

// The counts of a judged capture as the test report's "Sorting Result" lines carry them: the
// report's own lines 15 to 20, made by the report's own function, with Tested the frames,
// Accepted the frames accepted, Upper Reject the frames that went above the upper guide and Lower
// Reject those that went below the lower guide. A frame that went both ways counts in both.

#include "tools/capture/capturejudge.h"

#include <QByteArray>

namespace lumatrax {

// The report file's lines that hold the sorting result, 1-based, first and last.
inline constexpr int kSortingResultFirstLine = 15;
inline constexpr int kSortingResultLastLine = 20;

// Those lines as the report writes them, each ending in a line feed instead of the file's CR LF.
[[nodiscard]] QByteArray sortingResultLines(const JudgeSummary& summary);

// The line that says how many frames count in both rejects.
[[nodiscard]] QByteArray countedTwiceLine(const JudgeSummary& summary);

} // namespace lumatrax
