#include "display/repaintthrottle.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace lumatrax {

namespace {

// A turn of work that comes a little early still repaints, so turns of half the interval
// repaint every other time and the fallback timer never has to.
constexpr std::chrono::milliseconds kTickTolerance{4};
// The fallback comes a little after the interval, so a turn due at the same moment gets there
// first.
constexpr std::chrono::milliseconds kFallbackDelay = RepaintThrottle::kInterval + kTickTolerance;

} // namespace

// The shared pace: the throttles waiting, when the last repaint was, the fallback timer. Lives as
// long as the application.
class RepaintThrottle::Pace : public QObject
{
public:
    explicit Pace(QObject* parent) : QObject(parent)
    {
        m_fallback.setSingleShot(true);
        connect(&m_fallback, &QTimer::timeout, this, &Pace::flushAll);
    }

    void add(RepaintThrottle* throttle)
    {
        m_waiting.push_back(throttle);
        if (!m_sinceFlush.isValid() || sinceFlush() >= kInterval)
            flushAll();
        else if (!m_fallback.isActive())
            m_fallback.start(kFallbackDelay - sinceFlush());
    }

    void remove(RepaintThrottle* throttle)
    {
        m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), throttle),
                        m_waiting.end());
    }

    void tick()
    {
        if (!m_waiting.empty() && m_sinceFlush.isValid() &&
            sinceFlush() >= kInterval - kTickTolerance)
            flushAll();
    }

private:
    [[nodiscard]] std::chrono::milliseconds sinceFlush() const
    {
        return std::chrono::milliseconds(m_sinceFlush.elapsed());
    }

    void flushAll()
    {
        m_sinceFlush.start();
        m_fallback.stop();
        std::vector<RepaintThrottle*> waiting;
        waiting.swap(m_waiting);
        for (RepaintThrottle* throttle : waiting)
            throttle->flush();
    }

    std::vector<RepaintThrottle*> m_waiting;
    QElapsedTimer m_sinceFlush;
    QTimer m_fallback;
};

RepaintThrottle::Pace& RepaintThrottle::pace()
{
    static QPointer<Pace> shared;
    if (!shared)
        shared = new Pace(QCoreApplication::instance());
    return *shared;
}

RepaintThrottle::RepaintThrottle(QWidget* widget, std::function<void()> flush)
    : QObject(widget), m_widget(widget), m_flush(std::move(flush))
{
}

RepaintThrottle::~RepaintThrottle()
{
    if (m_waiting)
        pace().remove(this);
}

void RepaintThrottle::request()
{
    if (m_waiting)
        return;
    m_waiting = true;
    pace().add(this);
}

void RepaintThrottle::tick()
{
    pace().tick();
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
