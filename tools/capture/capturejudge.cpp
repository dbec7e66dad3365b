#include "tools/capture/capturejudge.h"

#include "link/protocol.h"
#include "tools/capture/capturereader.h"

namespace lumatrax {

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
        const ProgramModel::Step step = model.feed(*record);
        if (!step.read)
            continue;
        const auto verdict = judge.judgeRead(step.read->bytes);
        if (!verdict)
            continue;
        outcome.summary.add(*verdict);
        if (onFrame)
            onFrame(JudgedFrame{step.read->atUs, *verdict, judge.samples()});
    }
    [[maybe_unused]] const auto lastCheck = model.finish();
    outcome.warning = reader.warning();
    outcome.greetings = model.greetings();
    outcome.acknowledged = model.acknowledged();
    return outcome;
}

} // namespace lumatrax
