#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>
#include <vector>

namespace lumatrax {

class RepaintThrottle;

// The pace of the repaints of the widgets that change with every frame (the screen, the lamps).
// State may change hundreds of times a second (a frame every 4.2 ms at the full line rate) while
// a screen shows at most about 60 pictures a second, and every repaint ends in a flush to the
// screen. Each widget keeps its state exact on every change and asks its throttle for a repaint;
// the throttles of one window share the window's pace.
//
// Nothing repaints in the middle of a turn of work (one event handler, which may set several
// widgets), so every widget a turn sets shows its new state in the same repaint, and the lamps of
// one verdict never show half of it. A request that comes about an interval or more after the
// last repaint has the widgets waiting repainted together, in one flush, once the turn has ended;
// one that comes sooner waits for a later turn that comes in time, or else for a fallback timer
// that runs out once the interval is over. So while work keeps coming, repaints ride on wake-ups
// the thread has anyway.
class RepaintPace : public QObject
{
public:
    // About thirty repaints a second: every other picture of a 60 Hz screen.
    static constexpr std::chrono::milliseconds kInterval{32};
    // A request a little early still repaints, so turns of half the interval repaint every other
    // one.
    static constexpr std::chrono::milliseconds kEarly{4};
    // After the interval, so that a turn due at the same moment repaints first.
    static constexpr std::chrono::milliseconds kFallbackDelay = kInterval + kEarly;

    // When a request is repainted, given the time since the last repaint (none: never): at once,
    // as soon as its turn has ended (zero), or when the fallback timer runs out (its delay),
    // unless a later request is due first.
    [[nodiscard]] static constexpr std::chrono::milliseconds
    requestDelay(std::optional<std::chrono::milliseconds> sinceRepaint)
    {
        if (!sinceRepaint || *sinceRepaint >= kInterval - kEarly)
            return std::chrono::milliseconds{0};
        return kFallbackDelay - *sinceRepaint;
    }

    explicit RepaintPace(QObject* parent = nullptr);
    ~RepaintPace() override;

protected:
    // The time on a steady clock (any origin); a test may give a clock of its own.
    [[nodiscard]] virtual std::chrono::milliseconds now() const;

private:
    friend class RepaintThrottle;
    void request(RepaintThrottle* throttle);
    void remove(RepaintThrottle* throttle);
    void turnEnded();
    void repaintAll();

    std::vector<RepaintThrottle*> m_waiting;
    std::optional<std::chrono::milliseconds> m_lastRepaint;
    bool m_turnEndPosted = false;
    QTimer m_fallback;
};

} // namespace lumatrax
