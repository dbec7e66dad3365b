#pragma once

// One frame drawn as the operator's window draws it: the scope's own screen model and drawing
// surface at the designed size, its grid, the trace in cyan and the guides red and blue.

#include "display/scopescreen.h"
#include "tools/capture/capturejudge.h"

#include <QWidget>

namespace lumatrax {

class ScopeSurface;

class FrameView : public QWidget
{
    Q_OBJECT
public:
    explicit FrameView(QWidget* parent = nullptr);

    // The frame's trace with both guides; its verdict, as the window judges it.
    Verdict showFrame(const SampleArray& samples, GuidePositions guides);
    // The guides alone, as after a guide moved with no frame to draw.
    void showGuides(GuidePositions guides);

private:
    void setGuides(GuidePositions guides);

    ScopeScreen m_screen;
    ScopeSurface* m_surface;
};

} // namespace lumatrax
