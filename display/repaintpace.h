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
// The widgets waiting are repainted together, at most once per kInterval, so their repaints cost
// one flush. After a quiet spell a request is repainted at once. While work keeps coming, tick(),
// called at the end of each turn of work, repaints on a wake-up the thread has anyway; a fallback
// timer repaints what is left when the turns stop.
class RepaintPace : public QObject
{
public:
    // About thirty repaints a second: every other picture of a 60 Hz screen.
    static constexpr std::chrono::milliseconds kInterval{32};
    // A turn a little early still repaints, so turns of half the interval repaint every other one.
    static constexpr std::chrono::milliseconds kTickTolerance{4};
    // After the interval, so that a turn due at the same moment repaints first.
    static constexpr std::chrono::milliseconds kFallbackDelay = kInterval + kTickTolerance;

    // When a request is repainted, given the time since the last repaint (none: never): at once
    // (zero), or when the fallback timer runs out (its delay).
    [[nodiscard]] static constexpr std::chrono::milliseconds
    requestDelay(std::optional<std::chrono::milliseconds> sinceRepaint)
    {
        if (!sinceRepaint || *sinceRepaint >= kInterval)
            return std::chrono::milliseconds{0};
        return kFallbackDelay - *sinceRepaint;
    }
    // Whether a turn ending this long after the last repaint repaints what waits.
    [[nodiscard]] static constexpr bool tickRepaints(std::chrono::milliseconds sinceRepaint)
    {
        return sinceRepaint >= kInterval - kTickTolerance;
    }

    explicit RepaintPace(QObject* parent = nullptr);
    ~RepaintPace() override;

    // Repaints the widgets waiting, if the last repaint was about an interval ago.
    void tick();

protected:
    // The time on a steady clock (any origin); a test may give a clock of its own.
    [[nodiscard]] virtual std::chrono::milliseconds now() const;

private:
    friend class RepaintThrottle;
    void add(RepaintThrottle* throttle);
    void remove(RepaintThrottle* throttle);
    void repaintAll();
    [[nodiscard]] std::optional<std::chrono::milliseconds> sinceRepaint() const;

    std::vector<RepaintThrottle*> m_waiting;
    std::optional<std::chrono::milliseconds> m_lastRepaint;
    QTimer m_fallback;
};

} // namespace lumatrax
