#pragma once

// The two ways the screen is redrawn, always whole: clear, then every segment.

#include "display/geometry.h"

namespace lumatrax {

class ScopeSurface;

// Clears the screen and draws both guides, segment by segment: upper in red, then lower in blue.
// The trace is not redrawn; it disappears until the next frame.
void redrawGuides(ScopeSurface& surface, const SegmentArray& upper, const SegmentArray& lower);

// Clears the screen and draws a frame: for each segment i, the trace in cyan, the upper guide in
// red and the lower guide in blue, interleaved segment by segment.
void drawFrame(ScopeSurface& surface, const SegmentArray& trace, const SegmentArray& upper,
               const SegmentArray& lower);

} // namespace lumatrax
