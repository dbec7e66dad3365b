#include "display/lineobject.h"

#include <QPainter>

#include <cmath>

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

namespace {

// Device pixels whose centres lie in [from, to): the pixels an aliased fill of that span covers.
std::pair<int, int> pixelSpan(double from, double to)
{
    const int first = int(std::ceil(from - 0.5));
    const int last = int(std::ceil(to - 0.5)); // one past
    return {first, std::max(first, last)};
}

} // namespace

std::optional<QRect> LineObject::devicePixels(qreal ratio) const
{
    const double k = ratio / kTwipsPerPixel;
    const double half = m_widthPixels * ratio / 2.0;
    if (m_ends.y1 == m_ends.y2) {
        const auto [x0, x1] =
            pixelSpan(std::min(m_ends.x1, m_ends.x2) * k, std::max(m_ends.x1, m_ends.x2) * k);
        const auto [y0, y1] = pixelSpan(m_ends.y1 * k - half, m_ends.y1 * k + half);
        return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
    }
    if (m_ends.x1 == m_ends.x2) {
        const auto [x0, x1] = pixelSpan(m_ends.x1 * k - half, m_ends.x1 * k + half);
        const auto [y0, y1] =
            pixelSpan(std::min(m_ends.y1, m_ends.y2) * k, std::max(m_ends.y1, m_ends.y2) * k);
        return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
    }
    return std::nullopt;
}

void LineObject::paint(QPainter& painter) const
{
    constexpr qreal k = kTwipsPerPixel;
    const QPointF from(m_ends.x1 / k, m_ends.y1 / k);
    const QPointF to(m_ends.x2 / k, m_ends.y2 / k);
    const qreal half = m_widthPixels / 2.0;
    // Grid lines and the marker are level or upright: a filled band of the line's width draws
    // the same pixels as a flat-capped pen, far faster on scaled screens.
    if (from.y() == to.y()) {
        painter.fillRect(QRectF(QPointF(std::min(from.x(), to.x()), from.y() - half),
                                QPointF(std::max(from.x(), to.x()), from.y() + half)),
                         m_colour);
    } else if (from.x() == to.x()) {
        painter.fillRect(QRectF(QPointF(from.x() - half, std::min(from.y(), to.y())),
                                QPointF(from.x() + half, std::max(from.y(), to.y()))),
                         m_colour);
    } else {
        QPen pen(m_colour, m_widthPixels);
        pen.setCapStyle(Qt::FlatCap);
        painter.setPen(pen);
        painter.drawLine(from, to);
    }
}

} // namespace lumatrax
