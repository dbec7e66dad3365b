#pragma once

// From decoded samples to screen heights and a verdict; no widgets.

#include "display/geometry.h"

#include <array>
#include <cstdint>

namespace lumatrax {

// Samples of the last frame: entries 0..199 are byte - 128; entry 200 is never written and
// stays 0, so the trace's last segment always ends at the height of a byte of 128.
using SampleArray = std::array<std::int16_t, kSegmentsDrawn + 1>;

// Screen height, in twips, of every sample value -128..127 for one display height: the frame
// path looks heights up instead of rounding 201 products per frame.
class SampleHeights
{
public:
    explicit SampleHeights(double displayHeight);
    [[nodiscard]] std::int16_t operator()(std::int16_t sample) const
    {
        return m_heights[std::size_t(sample + 128) & 0xFF];
    }
    [[nodiscard]] double displayHeight() const { return m_displayHeight; }

private:
    double m_displayHeight;
    std::array<std::int16_t, 256> m_heights{};
};

// Segment i joins sample i to sample i + 1: Y1 = height(samples[i]), Y2 = height(samples[i + 1])
// for i = 0..199. X values and entry 200 are left alone.
void mapTrace(SegmentArray& trace, const SampleArray& samples, const SampleHeights& heights);

struct Verdict
{
    bool aboveUpper = false; // some sample lies above the upper guide on the screen
    bool belowLower = false; // some sample lies below the lower guide
    [[nodiscard]] bool rejected() const { return aboveUpper || belowLower; }
    friend bool operator==(const Verdict&, const Verdict&) = default;
};

// Judges the start point of every segment 0..199 (samples 0..199) against the guides. Screen Y
// grows downward, so "above" is a smaller Y; a sample level with a guide is inside.
[[nodiscard]] Verdict judge(const SegmentArray& trace, const SegmentArray& upper,
                            const SegmentArray& lower);

} // namespace lumatrax
