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

void RepaintPace::request(RepaintThrottle* throttle)
{
    if (!throttle->m_waiting) {
        throttle->m_waiting = true;
        m_waiting.push_back(throttle);
    }
    if (m_turnEndPosted)
        return;
    std::optional<std::chrono::milliseconds> since;
    if (m_lastRepaint)
        since = now() - *m_lastRepaint;
    if (const std::chrono::milliseconds delay = requestDelay(since);
        delay > std::chrono::milliseconds{0}) {
        if (!m_fallback.isActive())
            m_fallback.start(delay);
        return;
    }
    // A posted call runs once the handler that is running has returned: the turn's end.
    m_turnEndPosted = true;
    QMetaObject::invokeMethod(this, &RepaintPace::turnEnded, Qt::QueuedConnection);
}

void RepaintPace::remove(RepaintThrottle* throttle)
{
    m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), throttle), m_waiting.end());
}

void RepaintPace::turnEnded()
{
    m_turnEndPosted = false;
    if (!m_waiting.empty()) // the fallback timer may have come first
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
