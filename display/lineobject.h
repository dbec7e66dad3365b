#pragma once

#include "display/geometry.h"

#include <QColor>
#include <QObject>
#include <QRect>

#include <optional>

class QPainter;

namespace lumatrax {

// A straight line that lives on its container as an object of its own (a grid line, the trigger
// marker), not as part of a drawing: clearing a drawing never removes it. End points are in
// twips of the container, single precision; the width is in pixels.
class LineObject : public QObject
{
    Q_OBJECT
public:
    LineObject(const QString& name, QColor colour, int widthPixels, QObject* parent);

    [[nodiscard]] const LineEnds& ends() const { return m_ends; }
    void setEnds(const LineEnds& ends);
    void setY(float y1, float y2);

    [[nodiscard]] QColor colour() const { return m_colour; }
    [[nodiscard]] int widthPixels() const { return m_widthPixels; }

    // Paints the line with a painter whose coordinates are the container's pixels.
    void paint(QPainter& painter) const;

    // For a level or upright line, the device pixels it covers at the given device pixel ratio:
    // those whose centres lie within the band of the line's width (as an aliased flat-capped pen
    // covers them). Empty for a slanted line.
    [[nodiscard]] std::optional<QRect> devicePixels(qreal ratio) const;

signals:
    void changed();

private:
    LineEnds m_ends;
    QColor m_colour;
    int m_widthPixels;
};

} // namespace lumatrax
