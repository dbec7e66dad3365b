#pragma once

// Proposes guide slider values from frames known to come from good pieces: the narrowest band
// between an upper and a lower guide that accepts a given share of them, widened by a margin.
//
// Everything is in the window's own terms: heights are twips on the scope screen of the designed
// size (sample heights and guide heights by the window's functions), slider values 0..100 with 0
// at the top. A frame is accepted at (U, L) exactly when the window would accept it: no sample
// above the upper guide's height and none below the lower guide's (a sample level with a guide is
// inside). So a frame whose highest sample lies at height h and whose lowest at height l is
// accepted for every U up to the largest value whose guide lies at h or above, and every L from
// the smallest value whose guide lies at l or below (guideLimitsAt(), frameextremes.h): the
// teacher counts the frames by their limits (GuidePairCounts), so memory stays level however
// long the capture.

#include "display/frameprocessing.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/frameextremes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace lumatrax {

struct TeachRequest
{
    // Share of the frames the band must accept, in hundredths of a percent: 1..10000.
    int keepHundredths = 10000;
    int margin = 2; // slider steps added on each side of the narrowest band
};

struct TaughtGuides
{
    GuidePositions narrowest; // the narrowest band that keeps the share asked for
    GuidePositions guides;    // that band widened by the margin, held to 0..100
    qint64 frames = 0;        // frames taught from
    qint64 needed = 0;        // frames the narrowest band had to accept
    qint64 kept = 0;          // frames it accepts
};

class GuideTeacher
{
public:
    static constexpr int kPositions = GuidePairCounts::kPositions; // slider values 0..100

    GuideTeacher();

    // One frame's samples 0..199 (entry 200 is never judged).
    void add(const SampleArray& samples);
    // One frame by its highest and lowest sample heights, in twips (highest <= lowest).
    void addEnvelope(std::int16_t highest, std::int16_t lowest);

    [[nodiscard]] qint64 frames() const { return m_frames; }

    // The guides proposed; nothing when no frame was added.
    [[nodiscard]] std::optional<TaughtGuides> teach(const TeachRequest& request) const;

    // Frames a band (U, L), both 0..100, accepts.
    [[nodiscard]] qint64 accepted(GuidePositions guides) const;

    // Frames needed to keep `keepHundredths` of `frames`: the share rounded up to whole frames.
    [[nodiscard]] static qint64 framesNeeded(qint64 frames, int keepHundredths);

private:
    // The median over the frames of (highest + lowest), so twice the median middle height.
    [[nodiscard]] double medianMiddleTwice() const;
    // The frames' limits with their prefix sums brought up to every frame.
    [[nodiscard]] GuidePairCounts settled() const;

    // Every frame that some guides accept, by its limits.
    GuidePairCounts m_pairs;
    // m_middles[h + l]: frames whose highest and lowest heights add up to h + l.
    std::vector<qint64> m_middles;
    qint64 m_frames = 0;
};

// Teaches from every frame of the capture at `path`, found as the judge finds them.
struct TeachOutcome
{
    QString error; // the capture was refused or could not be read
    // The capture's warnings (JudgeOutcome's), and when its reads may have shifted the frames, a
    // last one that the band taught from them may be wrong: said before the result.
    QStringList warnings;
    ReadLengths reads; // of every read the program made: frames shifted by the read rule show here
    std::optional<TaughtGuides> taught; // nothing when the capture holds no frame
};

[[nodiscard]] TeachOutcome teachFromCapture(const QString& path, const TeachRequest& request);

} // namespace lumatrax
