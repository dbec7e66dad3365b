#pragma once

// How close a batch runs to each guide, over time: a warning before the batch starts to reject.
//
// A frame's margin to the upper guide is (its highest sample's height - the upper guide's
// height) x 100 / H, and to the lower guide (the lower guide's height - its lowest sample's
// height) x 100 / H: twips of the designed scope screen (H = 4815) as the window judges them,
// turned into slider steps (a step is H / 100 twips). A margin is positive inside, 0 is inside
// (a sample level with a guide is inside), negative outside, so its sign is the verdict's.
//
// The frames fall into time bins of max(1 s, ceil(span / 100)) from the first frame, span being
// the time from the first frame to the last, so there are at most 100; the last frame counts in
// the last bin even where it lies on that bin's end. Empty bins are left out. Per bin: frames,
// rejects at each guide, and the nearest-rank 5th percentile and median of each margin. The trend
// of a guide is the unweighted least-squares slope of the bins' median margins against the bins'
// middle times, in steps per hour. A bin is near a guide when its 5th percentile margin is below
// the warning distance while it rejects under 5 % of its frames there; the drift warning stands
// when the last bins are near, since the start of the last unbroken run of such bins.
//
// Times are microseconds since the capture's start, as the records' times are.

#include "tools/capture/capturejudge.h"
#include "tools/capture/frameextremes.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumatrax {

enum class GuideSide { Upper = 0, Lower = 1 };

inline constexpr int kDefaultDriftWarnSteps = 3;

// The width of the time bins for frames spread over `spanUs`.
[[nodiscard]] std::int64_t driftBinUs(std::int64_t spanUs);

struct DriftBin
{
    std::int64_t startUs = 0;
    std::int64_t endUs = 0; // the start of the next bin
    qint64 frames = 0;
    // By GuideSide: frames rejected at that guide (those outside both count at each), and the
    // 5th percentile and median of the margins to it, in slider steps.
    std::array<qint64, 2> rejects{};
    std::array<double, 2> nearMargin{};
    std::array<double, 2> medianMargin{};
    // The band of the bin's frames on the screen, in twips: the height of the highest sample of
    // all and of the lowest.
    std::int16_t top = 0;
    std::int16_t bottom = 0;

    // Near a guide: the 5th percentile margin below `warnSteps`, under 5 % rejected there.
    [[nodiscard]] bool near(GuideSide side, int warnSteps) const;
};

struct GuideDrift
{
    double firstMedian = 0.0; // median margin of the first bin and of the last, slider steps
    double lastMedian = 0.0;
    std::optional<double> stepsPerHour; // nothing with a single bin
    // The last unbroken run of bins near the guide: from the start of its first bin to the end
    // of its last; and whether it reaches the last bin, which is the drift warning.
    std::optional<std::int64_t> nearFromUs;
    std::int64_t nearToUs = 0;
    bool warning = false;
};

struct DriftReport
{
    GuidePositions guides;
    int warnSteps = kDefaultDriftWarnSteps;
    std::int64_t binUs = 0;
    std::vector<DriftBin> bins;      // those with frames, in time order
    std::array<GuideDrift, 2> sides; // by GuideSide
};

// The frames of a capture folded into time bins, each keeping how many frames had each highest
// and each lowest sample, so the report at any guides needs no pass over the frames.
class DriftFold
{
public:
    // For frames from `firstUs` to `lastUs`; a frame outside that span counts in the nearest bin.
    DriftFold(std::int64_t firstUs, std::int64_t lastUs);
    DriftFold() : DriftFold(0, 0) {}

    void add(std::int64_t atUs, FrameExtremes extremes);

    [[nodiscard]] DriftReport report(GuidePositions guides,
                                     int warnSteps = kDefaultDriftWarnSteps) const;

private:
    struct Bin
    {
        qint64 frames = 0;
        std::array<qint64, 256> highest{}; // frames by highest sample + 128
        std::array<qint64, 256> lowest{};  // frames by lowest sample + 128
    };

    std::int64_t m_firstUs = 0;
    std::int64_t m_binUs = 0;
    std::vector<Bin> m_bins;
};

// "01:23:45": a time since the capture's start, whole seconds.
[[nodiscard]] QString captureClock(std::int64_t us);

// The line the judge prints for one guide:
// "drift upper: margin 11.8 -> 4.2 steps (median of the first and last bin), -6.1 steps/hour;
// within 3 steps since 01:23:45".
[[nodiscard]] QString driftLine(const DriftReport& report, GuideSide side);

// The bins as CSV, a header line first.
[[nodiscard]] QByteArray driftCsv(const DriftReport& report);

} // namespace lumatrax
