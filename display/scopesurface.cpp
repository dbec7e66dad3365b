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
    for (std::vector<DrawnLine>* lines :
         {&m_guides, &m_trace, &m_layerGuides, &m_rasterTrace, &m_toDraw})
        lines->reserve(1024);
    m_traceBoxes.reserve(256);
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
    m_taken = false;
    m_rasterStale = true;
    m_throttle->request();
}

void ScopeSurface::screenChanged()
{
    m_throttle->request();
}

void ScopeSurface::setRepaintPace(RepaintPace* pace)
{
    m_throttle->setPace(pace);
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

void ScopeSurface::takeScreen()
{
    // A repaint asks twice, once to know what to update and once to paint it.
    const std::uint64_t revision = m_screen ? m_screen->revision() : 0;
    if (m_taken && m_takenRevision == revision)
        return;
    m_taken = true;
    m_takenRevision = revision;
    if (m_screen) {
        m_screen->guideLines(m_guides);
        m_screen->traceLines(m_trace);
    } else {
        m_guides.clear();
        m_trace.clear();
    }
}

// The window pixels that differ between what the backing image shows and what it will show:
// where the trace lay and lies, or the whole screen when the guides moved.
QRect ScopeSurface::changedArea()
{
    if (m_rasterStale)
        return rect();
    if (!m_screen || m_screen->revision() == m_rasterizedRevision)
        return {};
    takeScreen();
    if (m_guides != m_layerGuides)
        return rect();
    const QRect lines = logicalBounds(m_rasterTrace) | logicalBounds(m_trace);
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

// Brings the backing images up to date; returns the window pixels it changed.
QRect ScopeSurface::updateRaster(qreal ratio)
{
    const QSize size = contentsRect().size() * ratio;
    if (m_raster.size() != size || m_raster.devicePixelRatio() != ratio)
        m_rasterStale = true;
    const bool stale = m_rasterStale;
    const QRect changed = changedArea();
    if (changed.isEmpty())
        return {};
    if (stale) {
        paintBackground(ratio);
        m_rasterStale = false;
        takeScreen();
    }
    if (stale || m_guides != m_layerGuides) {
        m_guidesLayer = m_background.copy();
        rasterizeLines(m_guidesLayer, m_guides);
        m_layerGuides = m_guides;
        m_raster = m_guidesLayer.copy();
        m_rasterTrace.clear();
    }
    // The guides layer comes back under the trace painted last time; then the new trace.
    eraseLines(m_raster, m_rasterTrace, m_guidesLayer);
    drawTrace();
    m_rasterTrace = m_trace;
    m_rasterizedRevision = m_screen ? m_screen->revision() : 0;
    return changed;
}

void ScopeSurface::drawTrace()
{
    // In the screen's drawing order trace segment i comes before guide segments i and after
    // guide segments i - 1. A trace segment can share pixels with the guide segments of its
    // own columns and of the neighbours whose end columns it touches; each guide segment that
    // may share a pixel with the trace drawn up to it is drawn again right after trace segment i.
    m_toDraw.clear();
    m_traceBoxes.clear();
    for (const DrawnLine& segment : m_trace)
        m_traceBoxes.push_back(logicalBounds(std::span(&segment, 1)));
    for (std::size_t i = 0; i < m_trace.size(); ++i) {
        m_toDraw.push_back(m_trace[i]);
        for (const DrawnLine& guide : {m_guides[2 * i], m_guides[2 * i + 1]}) {
            const QRect box = logicalBounds(std::span(&guide, 1));
            // Trace segments up to this one that reach the guide segment's first column.
            bool shared = false;
            for (std::size_t j = i + 1; j-- > 0 && m_traceBoxes[j].right() >= box.left();) {
                if (m_traceBoxes[j].intersects(box)) {
                    shared = true;
                    break;
                }
            }
            if (shared)
                m_toDraw.push_back(guide);
        }
    }
    rasterizeLines(m_raster, m_toDraw);
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
