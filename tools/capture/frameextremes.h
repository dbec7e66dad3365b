#pragma once

// A frame's verdict at any pair of guides follows from two of its samples: the highest and the
// lowest of samples 0..199 (the window judges no other). Screen heights fall as samples rise, so
// the highest sample lies highest on the screen; a sample level with a guide is inside.
//
// For slider values 0..100 (0 at the top) a frame so has two limits: the window accepts it at
// (U, L) exactly when U <= upper and L >= lower, where upper is the largest value whose guide lies
// at the highest sample's height or above it, and lower the smallest value whose guide lies at the
// lowest sample's height or below it (101 when none does). GuidePairCounts folds every frame's
// limits once into a table over the 101 x 101 pairs, as the guide teacher searches them, and with
// prefix sums over that table gives the counts at any pair without going over the frames again.

#include "display/frameprocessing.h"
#include "tools/capture/capturejudge.h"

#include <cstdint>
#include <vector>

namespace lumatrax {

struct FrameExtremes
{
    std::int8_t highest = 0; // the largest sample (byte - 128)
    std::int8_t lowest = 0;  // the smallest sample

    friend bool operator==(const FrameExtremes&, const FrameExtremes&) = default;
};

// The extremes of samples 0..199 (entry 200 is never judged).
[[nodiscard]] FrameExtremes extremesOf(const SampleArray& samples);

// The limits of a frame, as above: accepted at (U, L) when U <= upper and L >= lower.
struct GuideLimits
{
    int upper = 0; // 0..100
    int lower = 0; // 0..101
};
[[nodiscard]] GuideLimits guideLimits(FrameExtremes extremes);
// The same limits for a frame whose highest sample lies at `highest` twips and its lowest at
// `lowest` (on the designed screen): the rule itself, which guideLimits() keeps per sample. An
// upper limit of -1 for a height above guide 0, which no sample's height is.
[[nodiscard]] GuideLimits guideLimitsAt(std::int16_t highest, std::int16_t lowest);

// The window's verdict on a frame of these extremes, on the designed scope screen.
[[nodiscard]] Verdict verdictAt(FrameExtremes extremes, GuidePositions guides);

// Screen height, in twips of the designed scope screen, of a sample -128..127.
[[nodiscard]] std::int16_t screenHeightOf(int sample);

class GuidePairCounts
{
public:
    static constexpr int kPositions = 101; // slider values 0..100

    GuidePairCounts();

    // Folds one frame in: O(1).
    void add(FrameExtremes extremes) { add(guideLimits(extremes)); }
    // The same for a frame by its limits: upper 0..100, lower 0..101.
    void add(GuideLimits limits);
    // Brings the prefix sums up to every frame added: O(101 x 102).
    void settle();

    // Frames added, and frames counted by summary() (those added before the last settle()).
    [[nodiscard]] qint64 frames() const { return m_frames; }
    [[nodiscard]] qint64 settledFrames() const { return m_settledFrames; }

    // The counts at these guides of the frames settled: O(1). Guides outside 0..100 are held to it.
    [[nodiscard]] JudgeSummary summary(GuidePositions guides) const;

private:
    static constexpr int kUpperCells = kPositions;     // upper limits 0..100
    static constexpr int kLowerCells = kPositions + 1; // lower limits 0..101
    [[nodiscard]] qint64 below(int upperCells, int lowerCells) const;

    // m_cells[a * kLowerCells + b]: frames whose limits are (a, b).
    std::vector<qint64> m_cells;
    // m_below[i * (kLowerCells + 1) + j]: settled frames whose upper limit is below i and whose
    // lower limit is below j.
    std::vector<qint64> m_below;
    qint64 m_frames = 0;
    qint64 m_settledFrames = 0;
};

} // namespace lumatrax
