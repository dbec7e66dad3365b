#include "display/scopesurface.h"

#include "display/lineobject.h"
#include "display/repaintthrottle.h"

#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace lumatrax {

ScopeSurface::ScopeSurface(QWidget* parent)
    : QWidget(parent), m_throttle(new RepaintThrottle(this, [this] { flushRepaint(); }))
{
    setObjectName(QStringLiteral("pic"));
    setContentsMargins(kBorder, kBorder, kBorder, kBorder);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    // A frame is 600 segments; leave room so the frame path never allocates.
    m_drawing.reserve(1024);
    m_rasterized.reserve(1024);
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

void ScopeSurface::addLineObject(LineObject* line)
{
    m_lineObjects.push_back(line);
    connect(line, &LineObject::changed, this, &ScopeSurface::lineObjectMoved);
    lineObjectMoved();
}

void ScopeSurface::lineObjectMoved()
{
    m_rasterStale = true;
    requestRepaint();
}

void ScopeSurface::requestRepaint()
{
    m_throttle->request();
}

// The window pixels that differ between what the backing image shows and what it will show.
QRect ScopeSurface::changedArea() const
{
    if (m_rasterStale)
        return rect();
    const QRect lines = logicalBounds(m_rasterized) | logicalBounds(m_drawing);
    return lines.translated(contentsRect().topLeft()) & contentsRect();
}

void ScopeSurface::flushRepaint()
{
    if (const QRect area = changedArea(); !area.isEmpty())
        update(area);
}

// Brings the backing image up to date; returns the window pixels it changed.
QRect ScopeSurface::updateRaster(qreal ratio)
{
    const QSize size = contentsRect().size() * ratio;
    if (m_raster.size() != size || m_raster.devicePixelRatio() != ratio)
        m_rasterStale = true;
    if (!m_rasterStale && !m_changed)
        return {};
    const QRect changed = changedArea();
    if (m_rasterStale) {
        m_raster = QImage(size, QImage::Format_RGB32);
        m_raster.setDevicePixelRatio(ratio);
        m_raster.fill(Qt::black);
        m_rasterized.clear();
        m_rasterStale = false;
    }
    // Erasing the old lines may also erase grid pixels; the grid is filled in again below.
    rasterizeLines(m_raster, m_rasterized, qRgb(0, 0, 0));
    rasterizeLines(m_raster, m_drawing);
    m_rasterized = m_drawing;
    m_changed = false;

    const QRect bounds = m_raster.rect();
    for (const LineObject* line : m_lineObjects) {
        const std::optional<QRect> band = line->devicePixels(ratio);
        if (!band)
            continue;
        const QRect r = band->intersected(bounds);
        const QRgb rgb = line->colour().rgb();
        for (int y = r.top(); y <= r.bottom(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(m_raster.scanLine(y));
            std::fill(row + r.left(), row + r.right() + 1, rgb);
        }
    }
    return changed;
}

void ScopeSurface::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRect inner = contentsRect();
    const QRect changed = updateRaster(painter.device()->devicePixelRatio());
    // Lines drawn after this repaint was requested may reach past the area being painted.
    if (!event->rect().contains(changed))
        update(changed);

    const QRect area = event->rect() & inner;
    const qreal ratio = m_raster.devicePixelRatio();
    const QRect source(QPointF((area.topLeft() - inner.topLeft()) * ratio).toPoint(),
                       area.size() * ratio);
    painter.drawImage(area.topLeft(), m_raster, source);

    // Slanted line objects, if any, are not in the image.
    painter.save();
    painter.setClipRect(area);
    painter.translate(inner.topLeft());
    for (const LineObject* line : m_lineObjects)
        if (!line->devicePixels(1.0))
            line->paint(painter);
    painter.restore();

    if (!inner.contains(event->rect()))
        paintBorder(painter);
}

void ScopeSurface::paintBorder(QPainter& painter) const
{
    // A sunken three-dimensional border: dark above and left, light below and right; the outer
    // ring is the lighter pair of shades, the inner ring the deeper pair.
    const QRect outer = rect();
    const QRect ring = outer.adjusted(1, 1, -1, -1);
    const QPalette& p = palette();
    auto frame = [&painter](const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
        painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), topLeft);
        painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), topLeft);
        painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
        painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
    };
    frame(outer, p.color(QPalette::Dark), p.color(QPalette::Light));
    frame(ring, p.color(QPalette::Shadow), p.color(QPalette::Midlight));
}

} // namespace lumatrax
