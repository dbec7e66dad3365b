#include "tools/capture/guideteacher.h"

#include <algorithm>
#include <cstdlib>

namespace lumatrax {

namespace {

// Largest sum of a highest and a lowest height: both at most the screen's height.
constexpr int kMaxMiddleSum = 2 * int(kScreenHeightTwips);

} // namespace

GuideTeacher::GuideTeacher() : m_middles(std::size_t(kMaxMiddleSum + 1), 0) {}

void GuideTeacher::add(const SampleArray& samples)
{
    // The highest sample lies highest on the screen, the lowest lowest.
    const FrameExtremes extremes = extremesOf(samples);
    addEnvelope(screenHeightOf(extremes.highest), screenHeightOf(extremes.lowest));
}

void GuideTeacher::addEnvelope(std::int16_t highest, std::int16_t lowest)
{
    const GuideLimits limits = guideLimitsAt(highest, lowest);
    if (limits.upper >= 0) // above guide 0 no guides accept it
        m_pairs.add(limits);
    const int sum = std::clamp(int(highest) + int(lowest), 0, kMaxMiddleSum);
    ++m_middles[std::size_t(sum)];
    ++m_frames;
}

qint64 GuideTeacher::framesNeeded(qint64 frames, int keepHundredths)
{
    return (frames * keepHundredths + 9999) / 10000;
}

qint64 GuideTeacher::accepted(GuidePositions guides) const
{
    return settled().summary(guides).accepted;
}

GuidePairCounts GuideTeacher::settled() const
{
    GuidePairCounts pairs = m_pairs;
    pairs.settle();
    return pairs;
}

double GuideTeacher::medianMiddleTwice() const
{
    // The value at a rank (0-based) in the sorted sums.
    auto at = [this](qint64 rank) {
        qint64 seen = 0;
        for (std::size_t sum = 0; sum < m_middles.size(); ++sum) {
            seen += m_middles[sum];
            if (seen > rank)
                return double(sum);
        }
        return double(kMaxMiddleSum);
    };
    if (m_frames % 2 == 1)
        return at(m_frames / 2);
    return (at(m_frames / 2 - 1) + at(m_frames / 2)) / 2.0;
}

std::optional<TaughtGuides> GuideTeacher::teach(const TeachRequest& request) const
{
    if (m_frames == 0)
        return std::nullopt;

    const GuidePairCounts pairs = settled();
    TaughtGuides taught;
    taught.frames = m_frames;
    taught.needed = std::max<qint64>(1, framesNeeded(m_frames, request.keepHundredths));
    const double median = medianMiddleTwice();
    // Widths from the narrowest up; within the first width that keeps enough, the band whose
    // middle lies nearest the median middle, then the smaller U.
    for (int width = 0; width < kPositions; ++width) {
        bool found = false;
        double bestDistance = 0.0;
        for (int u = 0; u + width < kPositions; ++u) {
            const int l = u + width;
            const qint64 kept = pairs.summary({u, l}).accepted;
            if (kept < taught.needed)
                continue;
            const double distance = std::abs(double(guideHeight(kScreenHeightTwips, u)) +
                                             guideHeight(kScreenHeightTwips, l) - median);
            if (!found || distance < bestDistance) {
                found = true;
                bestDistance = distance;
                taught.narrowest = {u, l};
                taught.kept = kept;
            }
        }
        if (found)
            break;
    }
    taught.guides = {std::max(0, taught.narrowest.upper - request.margin),
                     std::min(kPositions - 1, taught.narrowest.lower + request.margin)};
    return taught;
}

TeachOutcome teachFromCapture(const QString& path, const TeachRequest& request)
{
    GuideTeacher teacher;
    const JudgeOutcome read = judgeCapture(
        path, {}, [&teacher](const JudgedFrame& frame) { teacher.add(frame.samples); });
    TeachOutcome outcome;
    outcome.error = read.error;
    outcome.warnings = read.warnings;
    if (read.reads.drawWarning())
        outcome.warnings << QStringLiteral("these frames may be shifted, so the taught band may "
                                           "be wrong");
    outcome.reads = read.reads;
    if (read.error.isEmpty())
        outcome.taught = teacher.teach(request);
    return outcome;
}

} // namespace lumatrax
