#include "display/scopedrawing.h"

#include "display/colours.h"
#include "display/scopesurface.h"

namespace lumatrax {

void redrawGuides(ScopeSurface& surface, const SegmentArray& upper, const SegmentArray& lower)
{
    surface.clear();
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        surface.drawSegment(upper[i], kUpperGuideColour);
        surface.drawSegment(lower[i], kLowerGuideColour);
    }
}

void drawFrame(ScopeSurface& surface, const SegmentArray& trace, const SegmentArray& upper,
               const SegmentArray& lower)
{
    surface.clear();
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        surface.drawSegment(trace[i], kTraceColour);
        surface.drawSegment(upper[i], kUpperGuideColour);
        surface.drawSegment(lower[i], kLowerGuideColour);
    }
}

} // namespace lumatrax
