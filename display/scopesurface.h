#pragma once

#include "display/drawnline.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <vector>

namespace lumatrax {

class LineObject;
class RepaintThrottle;
class ScopeScreen;

// The scope screen's widget: a black drawing area inside a sunken two-pixel border, showing a
// ScopeScreen. It paints in layers: black, the line objects placed on it (the grid), then the
// screen's drawing (trace and guides, in their drawing order). Its drawing coordinates are twips
// measured from the top-left corner of its inner area.
//
// The screen may change for every frame (up to 238 a second); the widget paints it at most at
// the throttle's rate. It keeps the picture in a backing image at the screen's device pixel
// ratio, together with the black-and-grid background: a paint puts the background back under
// the lines painted last time and draws the current ones, so its cost follows the number of lit
// pixels, and only the area that changed is copied to the window.
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

    const ScopeScreen* m_screen = nullptr;
    std::uint64_t m_rasterizedRevision = 0;
    std::vector<DrawnLine> m_current;    // the screen's lines as they stand
    std::vector<DrawnLine> m_rasterized; // the lines the backing image shows
    QImage m_background;                 // black and the line objects
    QImage m_raster;                     // the background with the lines over it
    bool m_rasterStale = true;           // size, ratio or line objects changed: rebuild whole
    std::vector<LineObject*> m_lineObjects;
    RepaintThrottle* m_throttle;
};

} // namespace lumatrax
