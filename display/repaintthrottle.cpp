#include "display/repaintthrottle.h"

#include <QWidget>

namespace lumatrax {

RepaintThrottle::RepaintThrottle(QWidget* widget, std::function<void()> flush,
                                 std::chrono::milliseconds interval)
    : QObject(widget), m_widget(widget), m_flush(std::move(flush)), m_interval(interval)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RepaintThrottle::flush);
}

void RepaintThrottle::request()
{
    if (m_timer.isActive())
        return;
    const auto elapsed = std::chrono::milliseconds(
        m_sinceLastUpdate.isValid() ? m_sinceLastUpdate.elapsed() : m_interval.count());
    if (elapsed >= m_interval)
        flush();
    else
        m_timer.start(m_interval - elapsed);
}

void RepaintThrottle::flush()
{
    m_sinceLastUpdate.start();
    if (m_flush)
        m_flush();
    else
        m_widget->update();
}

} // namespace lumatrax
