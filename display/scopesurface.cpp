#include "display/scopesurface.h"

#include "display/lineobject.h"
#include "display/repaintthrottle.h"

#include <QPainter>

namespace lumatrax {

ScopeSurface::ScopeSurface(QWidget* parent) : QFrame(parent), m_throttle(new RepaintThrottle(this))
{
    setObjectName(QStringLiteral("pic"));
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    // A frame clears and draws 600 segments; keep room for a few frames' worth of guide redraws.
    m_drawing.reserve(1024);
}

float ScopeSurface::widthTwips() const
{
    return float(width() * kTwipsPerPixel);
}

float ScopeSurface::heightTwips() const
{
    return float(height() * kTwipsPerPixel);
}

float ScopeSurface::topTwips() const
{
    return float(y() * kTwipsPerPixel);
}

void ScopeSurface::clear()
{
    m_drawing.clear();
    m_throttle->request();
}

void ScopeSurface::drawLine(std::int16_t x1, std::int16_t y1, std::int16_t x2, std::int16_t y2,
                            QRgb colour)
{
    m_drawing.push_back({x1, y1, x2, y2, colour});
    m_throttle->request();
}

void ScopeSurface::addLineObject(LineObject* line)
{
    m_lineObjects.push_back(line);
    connect(line, &LineObject::changed, m_throttle, &RepaintThrottle::request);
    m_throttle->request();
}

void ScopeSurface::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect inner = contentsRect();
    painter.fillRect(inner, Qt::black);

    painter.save();
    painter.setClipRect(inner);
    painter.translate(inner.topLeft());
    constexpr qreal k = kTwipsPerPixel;
    QPen pen(QColor(Qt::black), 1.0);
    pen.setCapStyle(Qt::SquareCap);
    QRgb penColour = 0;
    bool penSet = false;
    for (const DrawnLine& line : m_drawing) {
        if (!penSet || line.colour != penColour) {
            penColour = line.colour;
            penSet = true;
            pen.setColor(QColor::fromRgb(penColour));
            painter.setPen(pen);
        }
        painter.drawLine(QLineF(line.x1 / k, line.y1 / k, line.x2 / k, line.y2 / k));
    }
    for (const LineObject* line : m_lineObjects)
        line->paint(painter);
    painter.restore();

    drawFrame(&painter);
}

} // namespace lumatrax
