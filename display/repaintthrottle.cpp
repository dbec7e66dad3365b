#include "display/repaintthrottle.h"

#include "display/repaintpace.h"

#include <QWidget>

namespace lumatrax {

RepaintThrottle::RepaintThrottle(QWidget* widget, std::function<void()> flush)
    : QObject(widget), m_widget(widget), m_flush(std::move(flush))
{}

RepaintThrottle::~RepaintThrottle()
{
    if (m_waiting && m_pace)
        m_pace->remove(this);
}

void RepaintThrottle::setPace(RepaintPace* pace)
{
    if (pace == m_pace)
        return;
    const bool waiting = m_waiting;
    if (m_waiting && m_pace)
        m_pace->remove(this);
    m_waiting = false;
    m_pace = pace;
    if (m_ownPace && m_ownPace != pace) {
        delete m_ownPace;
        m_ownPace = nullptr;
    }
    if (waiting)
        request();
}

RepaintPace* RepaintThrottle::pace()
{
    if (!m_pace) {
        m_ownPace = new RepaintPace(this);
        m_pace = m_ownPace;
    }
    return m_pace;
}

void RepaintThrottle::request()
{
    pace()->request(this);
}

void RepaintThrottle::flush()
{
    m_waiting = false;
    if (m_flush)
        m_flush();
    else
        m_widget->update();
}

} // namespace lumatrax
