#pragma once

#include "display/drawnline.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <vector>

namespace lumatrax {

class LineObject;
class RepaintPace;
class RepaintThrottle;
class ScopeScreen;

// The scope screen's widget: a black drawing area inside a sunken two-pixel border, showing a
// ScopeScreen. It paints in layers: black, the line objects placed on it (the grid), then the
// screen's drawing (trace and guides, in their drawing order). Its drawing coordinates are twips
// measured from the top-left corner of its inner area.
//
// The screen may change for every frame (up to 238 a second); the widget paints it at most at
// its repaint pace's rate, into backing images at the screen's device pixel ratio: the background
// (black and grid), the guides layer over it, and the picture. From one frame to the next only
// the trace moves: a paint puts the guides layer back under the trace painted last time and
// draws the new one, so its cost follows the trace's pixels, and only the area the trace
// crossed, before and after, is copied to the window.
class ScopeSurface : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kBorder = 2; // pixels of the sunken border on each side

    explicit ScopeSurface(QWidget* parent);
    ~ScopeSurface() override;

    // Outer size and top edge in the parent's twips, as the geometry is computed from them.
    [[nodiscard]] float widthTwips() const;
    [[nodiscard]] float heightTwips() const;
    [[nodiscard]] float topTwips() const;

    // What the surface shows; it must outlive the surface, or be replaced first.
    void setScreen(const ScopeScreen* screen);
    // The screen's drawing changed: the surface repaints at its own pace.
    void screenChanged();

    // The pace the surface repaints at, shared with the other widgets of its window; a surface
    // given none keeps one of its own.
    void setRepaintPace(RepaintPace* pace);

    // Places a line object on the surface, beneath the drawing; the surface repaints when it
    // moves.
    void addLineObject(LineObject* line);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void lineObjectMoved();
    void flushRepaint();
    [[nodiscard]] QRect changedArea();
    QRect updateRaster(qreal ratio);
    void paintBackground(qreal ratio);
    void paintBorder(QPainter& painter) const;
    // The screen's guides and trace as they stand, into m_guides and m_trace.
    void takeScreen();
    // The trace over the guides layer, with every guide segment that comes after a trace segment
    // in the drawing order and may share pixels with it drawn again, so that the picture is the
    // screen's drawing exactly.
    void drawTrace();

    const ScopeScreen* m_screen = nullptr;
    std::uint64_t m_rasterizedRevision = 0;
    bool m_taken = false; // m_guides and m_trace hold the screen at m_takenRevision
    std::uint64_t m_takenRevision = 0;
    // The screen's lines as they stand: the guides (upper and lower, segment by segment) and
    // the trace, each empty when not drawn.
    std::vector<DrawnLine> m_guides;
    std::vector<DrawnLine> m_trace;
    // What the backing images show.
    std::vector<DrawnLine> m_layerGuides;
    std::vector<DrawnLine> m_rasterTrace;
    std::vector<DrawnLine> m_toDraw;
    std::vector<QRect> m_traceBoxes; // the logical pixels each trace segment may light
    QImage m_background;  // black and the line objects (the grid)
    QImage m_guidesLayer; // the background with the guides over it
    QImage m_raster;      // the guides layer with the trace over it
    bool m_rasterStale = true; // size, ratio or line objects changed: rebuild whole
    std::vector<LineObject*> m_lineObjects;
    RepaintThrottle* m_throttle;
};

} // namespace lumatrax
