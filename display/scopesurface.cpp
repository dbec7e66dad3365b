#include "display/scopesurface.h"

#include "display/lineobject.h"
#include "display/linerasterizer.h"
#include "display/repaintthrottle.h"
#include "display/scopescreen.h"

#include <QPaintEvent>
#include <QPainter>

#include <span>

namespace lumatrax {

ScopeSurface::ScopeSurface(QWidget* parent)
    : QWidget(parent), m_throttle(new RepaintThrottle(this, [this] { flushRepaint(); }))
{
    setObjectName(QStringLiteral("pic"));
    setContentsMargins(kBorder, kBorder, kBorder, kBorder);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    // A frame is 600 segments; leave room so painting never allocates.
    m_current.reserve(1024);
    m_rasterized.reserve(1024);
}

ScopeSurface::~ScopeSurface() = default;

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

void ScopeSurface::setScreen(const ScopeScreen* screen)
{
    m_screen = screen;
    m_rasterStale = true;
    m_throttle->request();
}

void ScopeSurface::screenChanged()
{
    m_throttle->request();
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
    m_throttle->request();
}

// The window pixels that differ between what the backing image shows and what it will show:
// where the lines that changed lie, before and after. From one frame to the next only the trace
// moves; the guides stay where they were and need no copying.
QRect ScopeSurface::changedArea()
{
    if (m_rasterStale)
        return rect();
    if (!m_screen || m_screen->revision() == m_rasterizedRevision)
        return {};
    m_screen->drawnLines(m_current);
    QRect lines;
    if (m_current.size() == m_rasterized.size()) {
        for (std::size_t i = 0; i < m_current.size(); ++i)
            if (!(m_current[i] == m_rasterized[i]))
                lines |= logicalBounds(std::span(&m_current[i], 1)) |
                         logicalBounds(std::span(&m_rasterized[i], 1));
    } else {
        lines = logicalBounds(m_rasterized) | logicalBounds(m_current);
    }
    return lines.translated(contentsRect().topLeft()) & contentsRect();
}

void ScopeSurface::flushRepaint()
{
    if (const QRect area = changedArea(); !area.isEmpty())
        update(area);
}

void ScopeSurface::paintBackground(qreal ratio)
{
    m_background = QImage(contentsRect().size() * ratio, QImage::Format_RGB32);
    m_background.setDevicePixelRatio(ratio);
    m_background.fill(Qt::black);
    const QRect bounds = m_background.rect();
    QPainter slanted;
    for (const LineObject* line : m_lineObjects) {
        if (const std::optional<QRect> band = line->devicePixels(ratio)) {
            const QRect r = band->intersected(bounds);
            const QRgb rgb = line->colour().rgb();
            for (int y = r.top(); y <= r.bottom(); ++y) {
                auto* row = reinterpret_cast<QRgb*>(m_background.scanLine(y));
                std::fill(row + r.left(), row + r.right() + 1, rgb);
            }
        } else {
            if (!slanted.isActive())
                slanted.begin(&m_background);
            line->paint(slanted);
        }
    }
}

// Brings the backing image up to date; returns the window pixels it changed.
QRect ScopeSurface::updateRaster(qreal ratio)
{
    const QSize size = contentsRect().size() * ratio;
    if (m_raster.size() != size || m_raster.devicePixelRatio() != ratio)
        m_rasterStale = true;
    const QRect changed = changedArea();
    if (changed.isEmpty())
        return {};
    if (m_rasterStale) {
        paintBackground(ratio);
        m_raster = m_background.copy();
        m_rasterized.clear();
        m_rasterStale = false;
        if (m_screen)
            m_screen->drawnLines(m_current);
        else
            m_current.clear();
    }
    // The lines painted last time give the background back, then the current ones are drawn.
    eraseLines(m_raster, m_rasterized, m_background);
    rasterizeLines(m_raster, m_current);
    m_rasterized.swap(m_current);
    m_rasterizedRevision = m_screen ? m_screen->revision() : 0;
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
