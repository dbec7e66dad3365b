#pragma once

#include "display/geometry.h"

#include <QFrame>
#include <QRgb>

#include <vector>

namespace lumatrax {

class LineObject;
class RepaintThrottle;

// The scope screen: a black drawing area with a sunken border, drawn on in twips measured from
// the top-left corner of its inner area.
//
// What is drawn stays until the next clear: the surface keeps the drawn segments, in drawing
// order, as a list and rasterizes the list only when the widget paints, so a covered and
// uncovered window shows the same picture at any device pixel ratio. Clearing and drawing happen
// for every frame (up to 238 a second); painting is capped by a RepaintThrottle. Line objects
// placed on the surface (the grid) are painted over the drawing and survive every clear.
class ScopeSurface : public QFrame
{
    Q_OBJECT
public:
    struct DrawnLine
    {
        std::int16_t x1, y1, x2, y2;
        QRgb colour;
    };

    explicit ScopeSurface(QWidget* parent);

    // Outer size and top edge in the parent's twips, as the geometry is computed from them.
    [[nodiscard]] float widthTwips() const;
    [[nodiscard]] float heightTwips() const;
    [[nodiscard]] float topTwips() const;

    // Erases the drawing; line objects stay.
    void clear();
    void drawLine(std::int16_t x1, std::int16_t y1, std::int16_t x2, std::int16_t y2, QRgb colour);
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
    std::vector<DrawnLine> m_drawing;
    std::vector<LineObject*> m_lineObjects;
    RepaintThrottle* m_throttle;
};

} // namespace lumatrax
