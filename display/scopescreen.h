#pragma once

// What the scope screen shows, with no widget: the trace and both guide lines as segment arrays,
// the samples of the last frame, the grid, and which of the two drawings is on the screen. The
// window's handlers change it (a guide moved, the default guides, a frame received) and the
// drawing surface paints it at the screen's rate; tests check drawing and judging on it alone.
//
// Coordinates are twips of the display area, origin at its top-left corner, Y down. Everything is
// computed once from the display area's size given at construction (7215 x 4815 as designed).

#include "display/drawnline.h"
#include "display/frameprocessing.h"
#include "display/geometry.h"

#include <cstdint>
#include <vector>

namespace lumatrax {

class ScopeScreen
{
public:
    static constexpr double kDesignedWidth = 7215.0;
    static constexpr double kDesignedHeight = 4815.0;

    // The two ways the screen is ever drawn, each after clearing it: the guides alone (start-up,
    // a guide moved, Def), or a frame's trace together with both guides.
    enum class Drawing { Nothing, Guides, Frame };

    // Lays out the segments' X coordinates and the sample heights for a display area of this
    // size; nothing is drawn yet and all Y values are 0.
    explicit ScopeScreen(double width = kDesignedWidth, double height = kDesignedHeight);

    [[nodiscard]] double width() const { return m_width; }
    [[nodiscard]] double height() const { return m_height; }
    // Line i (0..8) of the horizontal grid (x_axis) and of the vertical grid (y_axis).
    [[nodiscard]] LineEnds horizontalGridLine(int i) const;
    [[nodiscard]] LineEnds verticalGridLine(int i) const;

    // Moves one guide to the height of its slider's value (0..100, 0 at the top) and redraws
    // the guides: the trace disappears until the next frame.
    void setUpperGuide(int sliderValue);
    void setLowerGuide(int sliderValue);
    // Both guides to mid-height, round(H / 2), and the guides redrawn.
    void setDefaultGuides();

    // A frame's decoded samples (entries 0..199; entry 200 is ignored and stays 0): mapped to the
    // trace, drawn with both guides and judged against them.
    Verdict showFrame(const SampleArray& samples);

    [[nodiscard]] const SegmentArray& trace() const { return m_trace; }
    [[nodiscard]] const SegmentArray& upperGuide() const { return m_upper; }
    [[nodiscard]] const SegmentArray& lowerGuide() const { return m_lower; }
    [[nodiscard]] const SampleArray& samples() const { return m_samples; }
    [[nodiscard]] Drawing drawing() const { return m_drawing; }

    // The lines on the screen in drawing order (a later line covers an earlier one): for a frame,
    // segment by segment the trace in cyan, the upper guide in red and the lower guide in blue;
    // for the guides alone, upper then lower segment by segment. Replaces the content of `lines`.
    void drawnLines(std::vector<DrawnLine>& lines) const;
    // The same lines apart: the guides (upper, then lower, segment by segment; none while
    // nothing is drawn) and the trace (none unless a frame is drawn). Replace the content.
    void guideLines(std::vector<DrawnLine>& lines) const;
    void traceLines(std::vector<DrawnLine>& lines) const;

    // Counts every change of what is drawn, so a painter can tell whether it is up to date.
    [[nodiscard]] std::uint64_t revision() const { return m_revision; }

private:
    void guidesRedrawn();

    double m_width;
    double m_height;
    SampleHeights m_sampleHeights;
    SegmentArray m_trace{};
    SegmentArray m_upper{};
    SegmentArray m_lower{};
    SampleArray m_samples{};
    Drawing m_drawing = Drawing::Nothing;
    std::uint64_t m_revision = 0;
};

} // namespace lumatrax
