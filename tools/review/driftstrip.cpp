#include "tools/review/driftstrip.h"

#include "display/colours.h"
#include "tools/capture/batchplot.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace lumatrax {

namespace {

constexpr int kMarkHeight = 5;          // pixels of a reject mark, above and below the plot
constexpr double kDragPixels = 3.0;     // a press that moves less than this is a click
constexpr double kGuideWidth = 2.0;     // pixels of a guide line
constexpr double kLeastOverreach = 2.0; // pixels of amber past a guide where a bin rejected there

QColor colour(std::uint32_t rgb)
{
    return QColor::fromRgb(rgb);
}

} // namespace

DriftStrip::DriftStrip(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("driftStrip"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    // It takes the focus, so N and P reach the window's shortcuts rather than a number field.
    setFocusPolicy(Qt::StrongFocus);
    setMinimumHeight(80);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip(QStringLiteral("Per time bin: the band of the frames' highest and lowest samples, "
                              "the guides, rejects marked in amber above and below. Click a bin "
                              "to show its first reject; drag across good pieces to teach from "
                              "them."));
}

QSize DriftStrip::sizeHint() const
{
    return {960, 130};
}

void DriftStrip::setReport(const DriftReport& report)
{
    m_report = report;
    if (m_selection && m_selection->second >= m_report.bins.size())
        m_selection.reset();
    update();
}

void DriftStrip::setCurrent(std::optional<std::int64_t> atUs)
{
    m_current = atUs;
    update();
}

void DriftStrip::clearSelection()
{
    m_selection.reset();
    update();
}

QRectF DriftStrip::plotArea() const
{
    return QRectF(rect()).adjusted(1, kMarkHeight + 1, -1, -kMarkHeight - 1);
}

double DriftStrip::xOf(std::int64_t us) const
{
    const QRectF area = plotArea();
    if (m_report.bins.empty())
        return area.left();
    const double first = double(m_report.bins.front().startUs);
    const double last = double(m_report.bins.back().endUs);
    return area.left() + (double(us) - first) / (last - first) * area.width();
}

double DriftStrip::yOf(double twips) const
{
    const QRectF area = plotArea();
    return area.top() + twips / kScreenHeightTwips * area.height();
}

std::optional<std::size_t> DriftStrip::binAt(double x) const
{
    for (std::size_t k = 0; k < m_report.bins.size(); ++k)
        if (x >= xOf(m_report.bins[k].startUs) && x < xOf(m_report.bins[k].endUs))
            return k;
    return std::nullopt;
}

void DriftStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QRectF area = plotArea();
    const double upperGuide = guideHeight(kScreenHeightTwips, m_report.guides.upper);
    const double lowerGuide = guideHeight(kScreenHeightTwips, m_report.guides.lower);
    const double twipsPerStep = kScreenHeightTwips / 100.0;
    for (const DriftBin& bin : m_report.bins) {
        const double left = xOf(bin.startUs);
        const double width = std::max(1.0, xOf(bin.endUs) - left);
        auto band = [&](double topTwips, double bottomTwips, const QColor& colour) {
            const double top = yOf(topTwips);
            painter.fillRect(QRectF(left, top, width, std::max(1.0, yOf(bottomTwips) - top)),
                             colour);
        };
        // Every frame's extent faint, and in amber where it went past a guide: the rejects;
        // brighter, how close the frames came to each guide: from the median of their highest
        // samples up to the 5 % nearest the upper guide, and from the median of their lowest
        // samples down to the 5 % nearest the lower guide.
        band(bin.top, bin.bottom, QColor(0, 70, 70));
        // Past a guide by a hair still shows beyond the guide's black edge.
        const double reach =
            (kGuideWidth + 1 + kLeastOverreach) * kScreenHeightTwips / area.height();
        if (bin.top < upperGuide)
            band(std::min<double>(bin.top, upperGuide - reach), upperGuide,
                 colour(kRejectedTraceColour));
        if (bin.bottom > lowerGuide)
            band(lowerGuide, std::max<double>(bin.bottom, lowerGuide + reach),
                 colour(kRejectedTraceColour));
        band(upperGuide + bin.nearMargin[0] * twipsPerStep,
             upperGuide + bin.medianMargin[0] * twipsPerStep, QColor(0, 190, 190));
        band(lowerGuide - bin.medianMargin[1] * twipsPerStep,
             lowerGuide - bin.nearMargin[1] * twipsPerStep, QColor(0, 190, 190));
        // Rejects: a mark above the bin for the upper guide, below it for the lower, taller
        // with the share rejected (full at a tenth).
        for (GuideSide side : {GuideSide::Upper, GuideSide::Lower}) {
            const qint64 rejects = bin.rejects[std::size_t(side)];
            if (rejects == 0)
                continue;
            const double mark =
                std::clamp(std::ceil(double(rejects) / double(bin.frames) * 10.0 * kMarkHeight),
                           1.0, double(kMarkHeight));
            const double top =
                side == GuideSide::Upper ? kMarkHeight - mark : height() - kMarkHeight;
            painter.fillRect(QRectF(left, top, width, mark), colour(kRejectedTraceColour));
        }
    }
    if (m_selection && !m_report.bins.empty()) {
        const double left = xOf(m_report.bins[m_selection->first].startUs);
        const double right = xOf(m_report.bins[m_selection->second].endUs);
        painter.fillRect(QRectF(left, 0, right - left, height()), QColor(255, 255, 255, 60));
    }
    // The guides over everything, each edged in black so it stands clear of the bands.
    for (const auto& [twips, rgb] :
         {std::pair{upperGuide, kUpperGuideColour}, std::pair{lowerGuide, kLowerGuideColour}}) {
        const double y = std::floor(yOf(twips));
        painter.fillRect(QRectF(area.left(), y - 1, area.width(), kGuideWidth + 2), Qt::black);
        painter.fillRect(QRectF(area.left(), y, area.width(), kGuideWidth), colour(rgb));
    }
    if (m_current && !m_report.bins.empty())
        painter.fillRect(QRectF(std::floor(xOf(*m_current)), 0, 1, height()), Qt::white);
}

void DriftStrip::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_pressedAt = event->position().x();
}

void DriftStrip::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressedAt || std::abs(event->position().x() - *m_pressedAt) < kDragPixels)
        return;
    // The bins the drag crosses, at either end held to the bins there are.
    const double a = std::min(*m_pressedAt, event->position().x());
    const double b = std::max(*m_pressedAt, event->position().x());
    std::optional<std::size_t> first, last;
    for (std::size_t k = 0; k < m_report.bins.size(); ++k) {
        if (xOf(m_report.bins[k].endUs) > a && xOf(m_report.bins[k].startUs) <= b) {
            first = first.value_or(k);
            last = k;
        }
    }
    if (first)
        m_selection = std::pair{*first, *last};
    update();
}

void DriftStrip::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressedAt || event->button() != Qt::LeftButton)
        return;
    const bool dragged = std::abs(event->position().x() - *m_pressedAt) >= kDragPixels;
    m_pressedAt.reset();
    if (dragged && m_selection) {
        emit stretchSelected(m_report.bins[m_selection->first].startUs,
                             m_report.bins[m_selection->second].endUs);
    } else if (!dragged) {
        if (const auto k = binAt(event->position().x()))
            emit binClicked(m_report.bins[*k].startUs, m_report.bins[*k].endUs);
    }
}

} // namespace lumatrax
