#pragma once

// Display geometry of the scope screen. Everything here is plain arithmetic on twips
// (1/1440 inch) with no widgets, so tests can check exact positions.
//
// Coordinates inside the display area: origin at its top-left corner, X to the right, Y down.
// This folder never includes link/ or report/.

#include "common/twips.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace lumatrax {

// Rounds to the nearest integer, ties to even (721.5 -> 722, 2164.5 -> 2164), and stores the
// result in 16 bits. Callers compute the value exactly in double first and round once. Values
// beyond the 16-bit range saturate; with screens of at most 32767 twips that never happens.
[[nodiscard]] std::int16_t roundHalfEven(double value);

// One straight segment of the display, in twips, drawn from (X1, Y1) to (X2, Y2).
struct TraceSegment
{
    std::int16_t X1 = 0;
    std::int16_t X2 = 0;
    std::int16_t Y1 = 0;
    std::int16_t Y2 = 0;

    friend bool operator==(const TraceSegment&, const TraceSegment&) = default;
};

// The trace and both guides are 200 segments side by side; entry 200 exists but is never
// computed, judged or drawn, and stays all-zero.
inline constexpr int kSegmentsDrawn = 200;
using SegmentArray = std::array<TraceSegment, kSegmentsDrawn + 1>;

// Sets X1 = round(i * width / 200) and X2 = round((i + 1) * width / 200) for entries 0..199,
// so neighbouring segments share their end points and together run from 0 to width.
void layoutSegmentX(SegmentArray& segments, double width);

// Sets Y1 and Y2 of entries 0..199 to one height: a guide line is always horizontal.
void setHorizontal(SegmentArray& segments, std::int16_t y);

// A straight line object (grid line or marker) in single precision, never rounded.
struct LineEnds
{
    float x1 = 0;
    float y1 = 0;
    float x2 = 0;
    float y2 = 0;

    friend bool operator==(const LineEnds&, const LineEnds&) = default;
};

inline constexpr int kGridLines = 9;

// Line i of the horizontal grid (x_axis) lies at Y = (i + 1) * height / 10 across the full
// width; the display's own edges carry no grid line.
[[nodiscard]] LineEnds horizontalGridLine(int i, float width, float height);

// Line i of the vertical grid (y_axis) lies at X = (i + 1) * width / 10 over the full height.
[[nodiscard]] LineEnds verticalGridLine(int i, float width, float height);

// Start-up height of the trigger-level marker in window coordinates: 50 twips below the display
// area's vertical centre (2697.5 for a 4815-twip area 240 twips from the top).
[[nodiscard]] float triggerMarkerStartY(float height, float top);

// Height of the marker for trigger-level slider value v (0..50): level with the display area's
// top edge at 0 and its bottom edge at 50, in window coordinates.
[[nodiscard]] float triggerMarkerY(float height, float top, int v);

// Height of a guide for slider value v (0..100, 0 at the top): round(height * v / 100).
[[nodiscard]] std::int16_t guideHeight(double height, int v);

// Height of sample s (-128..127): round((127 - s) * height / 256); larger samples lie higher.
[[nodiscard]] std::int16_t sampleHeight(double height, int s);

// The timebase list, time per grid division; the index of an entry is what the instrument is sent.
inline constexpr std::array<std::string_view, 9> kTimebaseEntries = {
    "40\u00B5s", "80\u00B5s", "200\u00B5s", "400\u00B5s", "800\u00B5s", "2ms", "4ms", "8ms", "20ms",
};

} // namespace lumatrax
