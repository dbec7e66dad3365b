#pragma once

// Judges the frames of a capture as the main window judges them on the line: the reads that
// ProgramModel finds, each decoded, mapped to screen heights and compared with the guides by the
// program's own functions, on the scope screen's designed size.

#include "display/frameprocessing.h"
#include "display/geometry.h"
#include "tools/capture/capturereader.h"
#include "tools/capture/programmodel.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace lumatrax {

// The scope screen as the main window lays it out, in twips.
inline constexpr double kScreenWidthTwips = 7215.0;
inline constexpr double kScreenHeightTwips = 4815.0;

// The "High" and "Low" guide sliders: 0..100, 0 at the top of the screen.
struct GuidePositions
{
    int upper = 50;
    int lower = 50;
};

// "UPPER,LOWER", two whole numbers 0..100, as the tools take guides on their command lines and
// keep them; nothing for any other text.
[[nodiscard]] std::optional<GuidePositions> guidePositionsFrom(const QString& text);

class FrameJudge
{
public:
    explicit FrameJudge(GuidePositions guides);

    // The verdict on one read; nothing for a read shorter than a frame, which changes nothing.
    [[nodiscard]] std::optional<Verdict> judgeRead(QByteArrayView read);
    // The samples of the last frame judged: byte - 128, entry 200 always 0.
    [[nodiscard]] const SampleArray& samples() const { return m_samples; }

private:
    SampleHeights m_heights{kScreenHeightTwips};
    SampleArray m_samples{};
    SegmentArray m_trace{};
    SegmentArray m_upper{};
    SegmentArray m_lower{};
};

// Counts of verdicts. The three kinds of reject do not overlap: "above" went above the upper
// guide only, "below" below the lower guide only, "both" both.
struct JudgeSummary
{
    qint64 frames = 0;
    qint64 accepted = 0;
    qint64 rejectedAbove = 0;
    qint64 rejectedBelow = 0;
    qint64 rejectedBoth = 0;

    void add(const Verdict& verdict);
    [[nodiscard]] qint64 rejected() const { return rejectedAbove + rejectedBelow + rejectedBoth; }
    // Rejected frames over all frames, 0..1; 0 when there are none.
    [[nodiscard]] double rejectShare() const;

    friend bool operator==(const JudgeSummary&, const JudgeSummary&) = default;
};

// The lengths of the program's reads on a line. With whole bursts of 210 bytes and a pause after
// each, every read is one burst: 210 bytes, all alike. A read longer than that, or reads of
// differing lengths, mean that reads took the head of the next burst (an adapter that hands the
// stream over in packets across burst boundaries, bursts too close together), which shifts every
// later frame, or that the instrument's bursts are longer than 210 bytes.
class ReadLengths
{
public:
    void add(qsizetype length);

    [[nodiscard]] qint64 reads() const;
    [[nodiscard]] qsizetype shortest() const;
    [[nodiscard]] qsizetype longest() const;
    // The most common length; the shortest of those equally common. 0 without reads.
    [[nodiscard]] qsizetype mostCommon() const;
    // Reads whose length is not the most common.
    [[nodiscard]] qint64 differing() const;
    // Reads longer than FRAME_RX_THRESHOLD, and the number (from 1) of the first of them; 0
    // when there is none.
    [[nodiscard]] qint64 longer() const;
    [[nodiscard]] qint64 firstLonger() const { return m_firstLonger; }
    // Whether these reads draw the warning that frames may be shifted.
    [[nodiscard]] bool drawWarning() const;

    friend bool operator==(const ReadLengths&, const ReadLengths&) = default;

private:
    std::map<qsizetype, qint64> m_counts;
    qint64 m_reads = 0;
    qint64 m_firstLonger = 0;
};

// The read lengths in words, one line: "all 210 bytes", or "210 to 248 bytes, 40 of 52 of them 248
// bytes".
[[nodiscard]] QString describeReadLengths(const ReadLengths& lengths);
// The warning the reads draw, as a sentence, or nothing: "2439 of 2439 reads were longer than
// 210 bytes (most often 248): every frame after the first may be shifted".
[[nodiscard]] std::optional<QString> readLengthWarning(const ReadLengths& lengths);

struct JudgedFrame
{
    std::int64_t atUs = 0; // when the read that made it ended, since the capture began
    Verdict verdict;
    const SampleArray& samples;
    std::int64_t startedAtUs = 0; // the capture's wall-clock start, µs since 1970-01-01 UTC
};

struct JudgeOutcome
{
    QString error; // the file was refused or could not be read; nothing else is set
    // What the capture draws, one sentence each, printed as "warning: <sentence>": the reader's
    // (damage skipped, an end inside a record, a read error), then the read-length warning.
    QStringList warnings;
    std::vector<CaptureReader::Skip> skipped; // damaged stretches passed over
    CaptureHeader header;                     // when the capture began, and on which device
    int greetings = 0;
    int acknowledged = 0;
    JudgeSummary summary;
    ReadLengths reads; // of every read the program made
};

// Goes through the capture at `path`, handing every frame to `onFrame` (when set) in order.
[[nodiscard]] JudgeOutcome
judgeCapture(const QString& path, GuidePositions guides,
             const std::function<void(const JudgedFrame&)>& onFrame = {});

} // namespace lumatrax
