#include "tools/capture/drift.h"

#include "tools/capture/framecsv.h"

#include <algorithm>
#include <cmath>

namespace lumatrax {

namespace {

constexpr std::int64_t kSecondUs = 1'000'000;
constexpr double kHourUs = 3600.0 * 1e6;
constexpr int kMostBins = 100;

// Twips to slider steps on the designed screen.
double steps(int twips)
{
    return double(twips) * 100.0 / kScreenHeightTwips;
}

// The value at a 1-based rank of the frames counted in `bySample`, taken in the order of the
// samples given (first to last): the nearest-rank percentile.
template <typename Margin>
double atRank(const std::array<qint64, 256>& bySample, qint64 rank, int first, int last,
              Margin margin)
{
    const int step = first <= last ? 1 : -1;
    qint64 seen = 0;
    for (int s = first;; s += step) {
        seen += bySample[std::size_t(s + 128)];
        if (seen >= rank || s == last)
            return margin(s);
    }
}

// The largest and the smallest sample counted in `bySample` (which counts at least one).
int largestSample(const std::array<qint64, 256>& bySample)
{
    int s = 127;
    while (s > -128 && bySample[std::size_t(s + 128)] == 0)
        --s;
    return s;
}

int smallestSample(const std::array<qint64, 256>& bySample)
{
    int s = -128;
    while (s < 127 && bySample[std::size_t(s + 128)] == 0)
        ++s;
    return s;
}

// One decimal, never "-0.0".
QString oneDecimal(double value)
{
    const double rounded = std::round(value * 10.0) / 10.0;
    return QString::number(rounded == 0.0 ? 0.0 : rounded, 'f', 1);
}

GuideDrift trend(const std::vector<DriftBin>& bins, GuideSide side, int warnSteps)
{
    const auto k = std::size_t(side);
    GuideDrift drift;
    if (bins.empty())
        return drift;
    drift.firstMedian = bins.front().medianMargin[k];
    drift.lastMedian = bins.back().medianMargin[k];
    if (bins.size() > 1) {
        double meanX = 0.0, meanY = 0.0;
        for (const DriftBin& bin : bins) {
            meanX += double(bin.startUs + bin.endUs) / 2.0 / kHourUs;
            meanY += bin.medianMargin[k];
        }
        meanX /= double(bins.size());
        meanY /= double(bins.size());
        double sxy = 0.0, sxx = 0.0;
        for (const DriftBin& bin : bins) {
            const double dx = double(bin.startUs + bin.endUs) / 2.0 / kHourUs - meanX;
            sxy += dx * (bin.medianMargin[k] - meanY);
            sxx += dx * dx;
        }
        drift.stepsPerHour = sxy / sxx;
    }
    // The last run of near bins, found from the end.
    auto last = std::find_if(bins.rbegin(), bins.rend(),
                             [&](const DriftBin& b) { return b.near(side, warnSteps); });
    if (last == bins.rend())
        return drift;
    auto first = last;
    while (std::next(first) != bins.rend() && std::next(first)->near(side, warnSteps))
        ++first;
    drift.nearFromUs = first->startUs;
    drift.nearToUs = last->endUs;
    drift.warning = last == bins.rbegin();
    return drift;
}

} // namespace

std::int64_t driftBinUs(std::int64_t spanUs)
{
    return std::max(kSecondUs, (std::max<std::int64_t>(spanUs, 0) + kMostBins - 1) / kMostBins);
}

bool DriftBin::near(GuideSide side, int warnSteps) const
{
    const auto k = std::size_t(side);
    return nearMargin[k] < warnSteps && rejects[k] * 20 < frames;
}

DriftFold::DriftFold(std::int64_t firstUs, std::int64_t lastUs)
    : m_firstUs(firstUs), m_binUs(driftBinUs(lastUs - firstUs)),
      // At most 100 bins: the last frame, when it lies on the end of the last, counts in it.
      m_bins(std::size_t(std::max<std::int64_t>(1, (lastUs - firstUs + m_binUs - 1) / m_binUs)))
{}

void DriftFold::add(std::int64_t atUs, FrameExtremes extremes)
{
    const std::int64_t k =
        std::clamp<std::int64_t>((atUs - m_firstUs) / m_binUs, 0, qint64(m_bins.size()) - 1);
    Bin& bin = m_bins[std::size_t(k)];
    ++bin.frames;
    ++bin.highest[std::size_t(extremes.highest + 128)];
    ++bin.lowest[std::size_t(extremes.lowest + 128)];
}

DriftReport DriftFold::report(GuidePositions guides, int warnSteps) const
{
    DriftReport report;
    report.guides = guides;
    report.warnSteps = warnSteps;
    report.binUs = m_binUs;
    const int upperGuide = guideHeight(kScreenHeightTwips, guides.upper);
    const int lowerGuide = guideHeight(kScreenHeightTwips, guides.lower);
    // Upper margins grow with a highest sample's height, so as the sample falls; lower margins
    // grow as a lowest sample's height falls, so as the sample rises.
    const auto upperMargin = [&](int s) { return steps(screenHeightOf(s) - upperGuide); };
    const auto lowerMargin = [&](int s) { return steps(lowerGuide - screenHeightOf(s)); };
    for (std::size_t k = 0; k < m_bins.size(); ++k) {
        const Bin& bin = m_bins[k];
        if (bin.frames == 0)
            continue;
        DriftBin out;
        out.startUs = m_firstUs + std::int64_t(k) * m_binUs;
        out.endUs = out.startUs + m_binUs;
        out.frames = bin.frames;
        const qint64 nearRank = (5 * bin.frames + 99) / 100;
        const qint64 medianRank = (bin.frames + 1) / 2;
        out.nearMargin = {atRank(bin.highest, nearRank, 127, -128, upperMargin),
                          atRank(bin.lowest, nearRank, -128, 127, lowerMargin)};
        out.medianMargin = {atRank(bin.highest, medianRank, 127, -128, upperMargin),
                            atRank(bin.lowest, medianRank, -128, 127, lowerMargin)};
        for (int s = -128; s <= 127; ++s) {
            const std::size_t at = std::size_t(s + 128);
            if (screenHeightOf(s) < upperGuide)
                out.rejects[0] += bin.highest[at];
            if (screenHeightOf(s) > lowerGuide)
                out.rejects[1] += bin.lowest[at];
        }
        out.top = screenHeightOf(largestSample(bin.highest));
        out.bottom = screenHeightOf(smallestSample(bin.lowest));
        report.bins.push_back(out);
    }
    for (GuideSide side : {GuideSide::Upper, GuideSide::Lower})
        report.sides[std::size_t(side)] = trend(report.bins, side, warnSteps);
    return report;
}

QString captureClock(std::int64_t us)
{
    const std::int64_t seconds = std::max<std::int64_t>(us, 0) / kSecondUs;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString driftLine(const DriftReport& report, GuideSide side)
{
    const QString name =
        side == GuideSide::Upper ? QStringLiteral("upper") : QStringLiteral("lower");
    if (report.bins.empty())
        return QStringLiteral("drift %1: no frames").arg(name);
    const GuideDrift& d = report.sides[std::size_t(side)];
    QString line = QStringLiteral("drift %1: ").arg(name);
    if (d.stepsPerHour)
        line += QStringLiteral("margin %1 -> %2 steps (median of the first and last bin), %3 "
                               "steps/hour; ")
                    .arg(oneDecimal(d.firstMedian), oneDecimal(d.lastMedian),
                         oneDecimal(*d.stepsPerHour));
    else
        line += QStringLiteral("margin %1 steps (median of the only bin), no slope; ")
                    .arg(oneDecimal(d.firstMedian));
    const QString within = QStringLiteral("within %1 steps").arg(report.warnSteps);
    if (d.warning)
        return line + QStringLiteral("%1 since %2").arg(within, captureClock(*d.nearFromUs));
    if (d.nearFromUs)
        return line + QStringLiteral("%1 from %2 to %3, not at the end")
                          .arg(within, captureClock(*d.nearFromUs), captureClock(d.nearToUs));
    return line + QStringLiteral("never ") + within;
}

QByteArray driftCsv(const DriftReport& report)
{
    QByteArray out = "start_s,end_s,frames,upper_rejects,lower_rejects,upper_p5_steps,"
                     "upper_median_steps,lower_p5_steps,lower_median_steps\n";
    auto stepsText = [](double v) { return QByteArray::number(v, 'f', 2); };
    for (const DriftBin& bin : report.bins)
        out += secondsText(bin.startUs) + ',' + secondsText(bin.endUs) + ',' +
               QByteArray::number(bin.frames) + ',' + QByteArray::number(bin.rejects[0]) + ',' +
               QByteArray::number(bin.rejects[1]) + ',' + stepsText(bin.nearMargin[0]) + ',' +
               stepsText(bin.medianMargin[0]) + ',' + stepsText(bin.nearMargin[1]) + ',' +
               stepsText(bin.medianMargin[1]) + '\n';
    return out;
}

} // namespace lumatrax
