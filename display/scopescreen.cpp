#include "display/scopescreen.h"

#include "display/colours.h"

#include <algorithm>

namespace lumatrax {

ScopeScreen::ScopeScreen(double width, double height)
    : m_width(width), m_height(height), m_sampleHeights(height)
{
    layoutSegmentX(m_trace, width);
    layoutSegmentX(m_upper, width);
    layoutSegmentX(m_lower, width);
}

LineEnds ScopeScreen::horizontalGridLine(int i) const
{
    return lumatrax::horizontalGridLine(i, float(m_width), float(m_height));
}

LineEnds ScopeScreen::verticalGridLine(int i) const
{
    return lumatrax::verticalGridLine(i, float(m_width), float(m_height));
}

void ScopeScreen::setUpperGuide(int sliderValue)
{
    setHorizontal(m_upper, guideHeight(m_height, sliderValue));
    guidesRedrawn();
}

void ScopeScreen::setLowerGuide(int sliderValue)
{
    setHorizontal(m_lower, guideHeight(m_height, sliderValue));
    guidesRedrawn();
}

void ScopeScreen::setDefaultGuides()
{
    const std::int16_t middle = roundHalfEven(m_height / 2.0);
    setHorizontal(m_upper, middle);
    setHorizontal(m_lower, middle);
    guidesRedrawn();
}

void ScopeScreen::guidesRedrawn()
{
    m_drawing = Drawing::Guides;
    ++m_revision;
}

Verdict ScopeScreen::showFrame(const SampleArray& samples)
{
    std::copy_n(samples.begin(), kSegmentsDrawn, m_samples.begin());
    mapTrace(m_trace, m_samples, m_sampleHeights);
    m_drawing = Drawing::Frame;
    ++m_revision;
    return judge(m_trace, m_upper, m_lower);
}

namespace {

DrawnLine lineOf(const TraceSegment& s, std::uint32_t colour)
{
    return DrawnLine{s.X1, s.Y1, s.X2, s.Y2, colour};
}

} // namespace

void ScopeScreen::drawnLines(std::vector<DrawnLine>& lines) const
{
    lines.clear();
    for (int i = 0; i < kSegmentsDrawn && m_drawing != Drawing::Nothing; ++i) {
        if (m_drawing == Drawing::Frame)
            lines.push_back(lineOf(m_trace[i], kTraceColour));
        lines.push_back(lineOf(m_upper[i], kUpperGuideColour));
        lines.push_back(lineOf(m_lower[i], kLowerGuideColour));
    }
}

void ScopeScreen::guideLines(std::vector<DrawnLine>& lines) const
{
    lines.clear();
    for (int i = 0; i < kSegmentsDrawn && m_drawing != Drawing::Nothing; ++i) {
        lines.push_back(lineOf(m_upper[i], kUpperGuideColour));
        lines.push_back(lineOf(m_lower[i], kLowerGuideColour));
    }
}

void ScopeScreen::traceLines(std::vector<DrawnLine>& lines) const
{
    lines.clear();
    for (int i = 0; i < kSegmentsDrawn && m_drawing == Drawing::Frame; ++i)
        lines.push_back(lineOf(m_trace[i], kTraceColour));
}

} // namespace lumatrax
