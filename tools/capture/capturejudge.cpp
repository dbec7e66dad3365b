#include "tools/capture/capturejudge.h"

#include "link/protocol.h"
#include "tools/capture/capturereader.h"

#include <algorithm>

namespace lumatrax {

std::optional<GuidePositions> guidePositionsFrom(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    bool upperOk = false;
    bool lowerOk = false;
    const GuidePositions guides{parts[0].trimmed().toInt(&upperOk),
                                parts[1].trimmed().toInt(&lowerOk)};
    if (!upperOk || !lowerOk || guides.upper < 0 || guides.upper > 100 || guides.lower < 0 ||
        guides.lower > 100)
        return std::nullopt;
    return guides;
}

FrameJudge::FrameJudge(GuidePositions guides)
{
    for (SegmentArray* segments : {&m_trace, &m_upper, &m_lower})
        layoutSegmentX(*segments, kScreenWidthTwips);
    setHorizontal(m_upper, guideHeight(kScreenHeightTwips, guides.upper));
    setHorizontal(m_lower, guideHeight(kScreenHeightTwips, guides.lower));
}

std::optional<Verdict> FrameJudge::judgeRead(QByteArrayView read)
{
    if (!decodeFrame(read, m_samples))
        return std::nullopt;
    mapTrace(m_trace, m_samples, m_heights);
    return judge(m_trace, m_upper, m_lower);
}

void JudgeSummary::add(const Verdict& verdict)
{
    ++frames;
    if (verdict.aboveUpper && verdict.belowLower)
        ++rejectedBoth;
    else if (verdict.aboveUpper)
        ++rejectedAbove;
    else if (verdict.belowLower)
        ++rejectedBelow;
    else
        ++accepted;
}

double JudgeSummary::rejectShare() const
{
    return frames == 0 ? 0.0 : double(rejected()) / double(frames);
}

void ReadLengths::add(qsizetype length)
{
    ++m_counts[length];
    ++m_reads;
    if (length > FRAME_RX_THRESHOLD && m_firstLonger == 0)
        m_firstLonger = m_reads;
}

qint64 ReadLengths::reads() const
{
    return m_reads;
}

qint64 ReadLengths::longer() const
{
    qint64 total = 0;
    for (auto at = m_counts.upper_bound(FRAME_RX_THRESHOLD); at != m_counts.end(); ++at)
        total += at->second;
    return total;
}

qsizetype ReadLengths::shortest() const
{
    return m_counts.empty() ? 0 : m_counts.begin()->first;
}

qsizetype ReadLengths::longest() const
{
    return m_counts.empty() ? 0 : m_counts.rbegin()->first;
}

qsizetype ReadLengths::mostCommon() const
{
    const auto most =
        std::max_element(m_counts.begin(), m_counts.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return most == m_counts.end() ? 0 : most->first;
}

qint64 ReadLengths::differing() const
{
    const auto most = m_counts.find(mostCommon());
    return reads() - (most == m_counts.end() ? 0 : most->second);
}

bool ReadLengths::drawWarning() const
{
    return longest() > FRAME_RX_THRESHOLD || m_counts.size() > 1;
}

QString describeReadLengths(const ReadLengths& lengths)
{
    if (lengths.reads() == 0)
        return QStringLiteral("none");
    if (lengths.shortest() == lengths.longest())
        return QStringLiteral("all %1 bytes").arg(lengths.shortest());
    return QStringLiteral("%1 to %2 bytes, %3 of %4 of them %5 bytes")
        .arg(lengths.shortest())
        .arg(lengths.longest())
        .arg(lengths.reads() - lengths.differing())
        .arg(lengths.reads())
        .arg(lengths.mostCommon());
}

std::optional<QString> readLengthWarning(const ReadLengths& lengths)
{
    if (!lengths.drawWarning())
        return std::nullopt;
    // A read that took the head of the next burst shifts every frame after it.
    const QString after = lengths.firstLonger() <= 1
                              ? QStringLiteral("the first")
                              : QStringLiteral("read %1").arg(lengths.firstLonger());
    return QStringLiteral("%1 of %2 %3 longer than %4 bytes (most often %5): every frame after "
                          "%6 may be shifted")
        .arg(lengths.longer())
        .arg(lengths.reads())
        .arg(lengths.longer() == 1 ? QStringLiteral("reads was") : QStringLiteral("reads were"))
        .arg(FRAME_RX_THRESHOLD)
        .arg(lengths.mostCommon())
        .arg(after);
}

JudgeOutcome judgeCapture(const QString& path, GuidePositions guides,
                          const std::function<void(const JudgedFrame&)>& onFrame)
{
    JudgeOutcome outcome;
    CaptureReader reader;
    if (const auto refused = reader.open(path)) {
        outcome.error = *refused;
        return outcome;
    }
    ProgramModel model;
    FrameJudge judge(guides);
    while (const auto record = reader.next()) {
        const ProgramModel::Step step = model.feed(*record, reader.followsDamage());
        if (!step.read)
            continue;
        outcome.reads.add(step.read->bytes.size());
        const auto verdict = judge.judgeRead(step.read->bytes);
        if (!verdict)
            continue;
        outcome.summary.add(*verdict);
        if (onFrame)
            onFrame(JudgedFrame{step.read->atUs, *verdict, judge.samples(),
                                reader.header().startedAtUs});
    }
    [[maybe_unused]] const auto lastCheck = model.finish();
    outcome.warnings = reader.warnings();
    if (const auto shifted = readLengthWarning(outcome.reads))
        outcome.warnings << *shifted;
    outcome.skipped = reader.skips();
    outcome.header = reader.header();
    outcome.greetings = model.greetings();
    outcome.acknowledged = model.acknowledged();
    return outcome;
}

} // namespace lumatrax
