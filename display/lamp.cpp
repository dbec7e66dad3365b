#include "display/lamp.h"

#include "display/repaintthrottle.h"

#include <QPainter>

namespace lumatrax {

Lamp::Lamp(const QString& name, Shape shape, QColor colour, QWidget* parent)
    : QWidget(parent), m_shape(shape), m_colour(colour), m_throttle(new RepaintThrottle(this))
{
    setObjectName(name);
    // The lamp paints its whole box, corners included, so a colour change repaints only the
    // lamp and not the group box behind it (its frame and caption cost far more than the lamp).
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Lamp::setColour(QColor colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    m_throttle->request();
}

void Lamp::setRepaintPace(RepaintPace* pace)
{
    m_throttle->setPace(pace);
}

QRect Lamp::shapeRect() const
{
    if (m_shape == Shape::RoundedRectangle)
        return rect();
    const int side = std::min(width(), height());
    return QRect((width() - side) / 2, (height() - side) / 2, side, side);
}

void Lamp::paintEvent(QPaintEvent*)
{
    // A lamp of the verdict flips between two colours up to thirty times a second: each colour
    // is drawn once, antialiased, and then copied.
    const qreal ratio = devicePixelRatioF();
    if (m_pictureSize != size() || m_pictureRatio != ratio ||
        m_pictureBackground != palette().window().color()) {
        m_pictures.clear();
        m_pictureSize = size();
        m_pictureRatio = ratio;
        m_pictureBackground = palette().window().color();
    }
    QPixmap& picture = m_pictures[m_colour.rgba()];
    if (picture.isNull()) {
        picture = QPixmap(size() * ratio);
        picture.setDevicePixelRatio(ratio);
        QPainter painter(&picture);
        painter.fillRect(rect(), m_pictureBackground);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(shapeRect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const qreal radius = std::min(box.width(), box.height()) / 4.0;
        painter.setPen(QPen(Qt::black, 1.0));
        painter.setBrush(m_colour);
        painter.drawRoundedRect(box, radius, radius);
    }
    QPainter(this).drawPixmap(0, 0, picture);
}

} // namespace lumatrax
