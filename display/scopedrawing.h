#pragma once

#include "display/geometry.h"

namespace lumatrax {

class ScopeSurface;

// Clears the screen and draws both guides, segment by segment: upper in red, then lower in blue.
// The trace is not redrawn; it disappears until the next frame.
void redrawGuides(ScopeSurface& surface, const SegmentArray& upper, const SegmentArray& lower);

} // namespace lumatrax
