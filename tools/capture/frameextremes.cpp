#include "tools/capture/frameextremes.h"

#include <algorithm>
#include <array>

namespace lumatrax {

namespace {

using GuideHeights = std::array<std::int16_t, GuidePairCounts::kPositions>; // by slider value

// The largest U whose guide lies at `highest` or above it (a smaller height), and the smallest L
// whose guide lies at `lowest` or below it; past 100 when none does.
GuideLimits limitsAt(const GuideHeights& guide, std::int16_t highest, std::int16_t lowest)
{
    return {int(std::upper_bound(guide.begin(), guide.end(), highest) - guide.begin()) - 1,
            int(std::lower_bound(guide.begin(), guide.end(), lowest) - guide.begin())};
}

// Everything that depends only on a sample value or a slider value, worked out once by the
// window's own functions.
struct Tables
{
    GuideHeights guide{};
    std::array<std::int16_t, 256> height{};     // by sample + 128
    std::array<std::uint8_t, 256> upperLimit{}; // of a highest sample, by sample + 128
    std::array<std::uint8_t, 256> lowerLimit{}; // of a lowest sample, by sample + 128
};

const Tables& tables()
{
    static const Tables t = [] {
        Tables made;
        for (int v = 0; v < GuidePairCounts::kPositions; ++v)
            made.guide[std::size_t(v)] = guideHeight(kScreenHeightTwips, v);
        const SampleHeights heights(kScreenHeightTwips);
        for (int s = -128; s <= 127; ++s) {
            const std::int16_t y = heights(std::int16_t(s));
            const std::size_t at = std::size_t(s + 128);
            made.height[at] = y;
            // Guide 0 lies at 0, at or above every sample, so the upper limit is never below 0.
            const GuideLimits limits = limitsAt(made.guide, y, y);
            made.upperLimit[at] = std::uint8_t(limits.upper);
            made.lowerLimit[at] = std::uint8_t(limits.lower);
        }
        return made;
    }();
    return t;
}

} // namespace

GuideLimits guideLimitsAt(std::int16_t highest, std::int16_t lowest)
{
    return limitsAt(tables().guide, highest, lowest);
}

FrameExtremes extremesOf(const SampleArray& samples)
{
    // Two plain reductions over all 200, a whole number of vector registers, which the compiler
    // turns into vector instructions: a fraction of the time minmax_element takes, spent on
    // every frame of a capture.
    std::int16_t high = samples[0];
    std::int16_t low = samples[0];
    for (int k = 0; k < kSegmentsDrawn; ++k) {
        high = std::max(high, samples[std::size_t(k)]);
        low = std::min(low, samples[std::size_t(k)]);
    }
    return {std::int8_t(high), std::int8_t(low)};
}

GuideLimits guideLimits(FrameExtremes extremes)
{
    const Tables& t = tables();
    return {t.upperLimit[std::size_t(extremes.highest + 128)],
            t.lowerLimit[std::size_t(extremes.lowest + 128)]};
}

Verdict verdictAt(FrameExtremes extremes, GuidePositions guides)
{
    const GuideLimits limits = guideLimits(extremes);
    return {limits.upper<guides.upper, limits.lower> guides.lower};
}

std::int16_t screenHeightOf(int sample)
{
    return tables().height[std::size_t(std::clamp(sample, -128, 127) + 128)];
}

GuidePairCounts::GuidePairCounts()
    : m_cells(std::size_t(kUpperCells * kLowerCells), 0),
      m_below(std::size_t((kUpperCells + 1) * (kLowerCells + 1)), 0)
{}

void GuidePairCounts::add(GuideLimits limits)
{
    ++m_cells[std::size_t(limits.upper * kLowerCells + limits.lower)];
    ++m_frames;
}

void GuidePairCounts::settle()
{
    constexpr int stride = kLowerCells + 1;
    for (int i = 1; i <= kUpperCells; ++i) {
        qint64 row = 0; // frames with upper limit i - 1 and lower limit below j
        for (int j = 1; j <= kLowerCells; ++j) {
            row += m_cells[std::size_t((i - 1) * kLowerCells + (j - 1))];
            m_below[std::size_t(i * stride + j)] = m_below[std::size_t((i - 1) * stride + j)] + row;
        }
    }
    m_settledFrames = m_frames;
}

qint64 GuidePairCounts::below(int upperCells, int lowerCells) const
{
    return m_below[std::size_t(upperCells * (kLowerCells + 1) + lowerCells)];
}

JudgeSummary GuidePairCounts::summary(GuidePositions guides) const
{
    // Above the upper guide: upper limit below U. Inside the lower guide: lower limit at most L.
    const int u = std::clamp(guides.upper, 0, kUpperCells);
    const int l = std::clamp(guides.lower + 1, 0, kLowerCells);
    JudgeSummary s;
    s.frames = m_settledFrames;
    s.rejectedAbove = below(u, l);
    s.rejectedBoth = below(u, kLowerCells) - below(u, l);
    s.accepted = below(kUpperCells, l) - below(u, l);
    s.rejectedBelow = s.frames - s.accepted - s.rejectedAbove - s.rejectedBoth;
    return s;
}

} // namespace lumatrax
