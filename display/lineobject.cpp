#include "display/lineobject.h"

#include <QPainter>

namespace lumatrax {

LineObject::LineObject(const QString& name, QColor colour, int widthPixels, QObject* parent)
    : QObject(parent), m_colour(colour), m_widthPixels(widthPixels)
{
    setObjectName(name);
}

void LineObject::setEnds(const LineEnds& ends)
{
    if (ends == m_ends)
        return;
    m_ends = ends;
    emit changed();
}

void LineObject::setY(float y1, float y2)
{
    setEnds({m_ends.x1, y1, m_ends.x2, y2});
}

void LineObject::paint(QPainter& painter) const
{
    constexpr qreal k = kTwipsPerPixel;
    QPen pen(m_colour, m_widthPixels);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(m_ends.x1 / k, m_ends.y1 / k), QPointF(m_ends.x2 / k, m_ends.y2 / k));
}

} // namespace lumatrax
