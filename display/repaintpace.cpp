#include "display/repaintpace.h"

#include "display/repaintthrottle.h"

#include <algorithm>

namespace lumatrax {

RepaintPace::RepaintPace(QObject* parent) : QObject(parent)
{
    m_fallback.setSingleShot(true);
    connect(&m_fallback, &QTimer::timeout, this, &RepaintPace::repaintAll);
}

RepaintPace::~RepaintPace()
{
    // Throttles outliving their pace ask again, on a pace of their own.
    for (RepaintThrottle* throttle : m_waiting)
        throttle->m_waiting = false;
}

std::chrono::milliseconds RepaintPace::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

std::optional<std::chrono::milliseconds> RepaintPace::sinceRepaint() const
{
    if (!m_lastRepaint)
        return std::nullopt;
    return now() - *m_lastRepaint;
}

void RepaintPace::add(RepaintThrottle* throttle)
{
    m_waiting.push_back(throttle);
    const std::chrono::milliseconds delay = requestDelay(sinceRepaint());
    if (delay <= std::chrono::milliseconds{0})
        repaintAll();
    else if (!m_fallback.isActive())
        m_fallback.start(delay);
}

void RepaintPace::remove(RepaintThrottle* throttle)
{
    m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), throttle), m_waiting.end());
}

void RepaintPace::tick()
{
    if (m_waiting.empty())
        return;
    if (const auto since = sinceRepaint(); since && tickRepaints(*since))
        repaintAll();
}

void RepaintPace::repaintAll()
{
    m_lastRepaint = now();
    m_fallback.stop();
    std::vector<RepaintThrottle*> waiting;
    waiting.swap(m_waiting);
    for (RepaintThrottle* throttle : waiting)
        throttle->flush();
}

} // namespace lumatrax
