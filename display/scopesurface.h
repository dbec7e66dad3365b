#pragma once

#include "display/geometry.h"
#include "display/linerasterizer.h"

#include <QImage>
#include <QRgb>
#include <QWidget>

#include <vector>

namespace lumatrax {

class LineObject;
class RepaintThrottle;

// The scope screen: a black drawing area inside a sunken two-pixel border, drawn on in twips
// measured from the top-left corner of its inner area.
//
// What is drawn stays until the next clear. Clearing and drawing happen for every frame (up to
// 238 a second) and only edit a list of the drawn segments, in drawing order. The list is
// rasterized into a backing image when the widget paints, at the screen's device pixel ratio,
// and repaints are capped by a RepaintThrottle. A paint erases the previously rasterized lines
// with the background, draws the current ones and then the line objects placed on the surface
// (the grid), which lie over the drawing and survive every clear. Its cost follows the number
// of lit pixels, and only the area that changed is copied to the window.
class ScopeSurface : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kBorder = 2; // pixels of the sunken border on each side

    explicit ScopeSurface(QWidget* parent);

    // Outer size and top edge in the parent's twips, as the geometry is computed from them.
    [[nodiscard]] float widthTwips() const;
    [[nodiscard]] float heightTwips() const;
    [[nodiscard]] float topTwips() const;

    // Erases the drawing; line objects stay.
    void clear()
    {
        m_drawing.clear();
        changed();
    }
    void drawLine(std::int16_t x1, std::int16_t y1, std::int16_t x2, std::int16_t y2, QRgb colour)
    {
        m_drawing.push_back({x1, y1, x2, y2, colour});
        changed();
    }
    void drawSegment(const TraceSegment& s, QRgb colour)
    {
        drawLine(s.X1, s.Y1, s.X2, s.Y2, colour);
    }

    [[nodiscard]] const std::vector<DrawnLine>& drawing() const { return m_drawing; }

    // Places a line object on the surface; the surface paints it and repaints when it moves.
    void addLineObject(LineObject* line);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void changed()
    {
        if (!m_changed) {
            m_changed = true;
            requestRepaint();
        }
    }
    void lineObjectMoved();
    void requestRepaint();
    void flushRepaint();
    [[nodiscard]] QRect changedArea() const;
    QRect updateRaster(qreal ratio);
    void paintBorder(QPainter& painter) const;

    std::vector<DrawnLine> m_drawing;
    std::vector<DrawnLine> m_rasterized; // the lines the backing image shows
    QImage m_raster;
    bool m_changed = false;
    bool m_rasterStale = true; // line objects moved: rebuild the image whole
    std::vector<LineObject*> m_lineObjects;
    RepaintThrottle* m_throttle;
};

} // namespace lumatrax
