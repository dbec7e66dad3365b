#include "display/frameprocessing.h"

namespace lumatrax {

SampleHeights::SampleHeights(double displayHeight) : m_displayHeight(displayHeight)
{
    for (int s = -128; s <= 127; ++s)
        m_heights[std::size_t(s + 128)] = sampleHeight(displayHeight, s);
}

void mapTrace(SegmentArray& trace, const SampleArray& samples, const SampleHeights& heights)
{
    std::int16_t y = heights(samples[0]);
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        const std::int16_t next = heights(samples[i + 1]);
        trace[i].Y1 = y;
        trace[i].Y2 = next;
        y = next;
    }
}

Verdict judge(const SegmentArray& trace, const SegmentArray& upper, const SegmentArray& lower)
{
    Verdict v;
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        v.aboveUpper |= trace[i].Y1 < upper[i].Y1;
        v.belowLower |= trace[i].Y1 > lower[i].Y1;
    }
    return v;
}

} // namespace lumatrax
