#pragma once

#include <QObject>

#include <chrono>
#include <functional>

class QWidget;

namespace lumatrax {

// Paces the repaints of the widgets that change with every frame (the screen, the lamps). State
// may change hundreds of times a second (a frame every 4.2 ms at the full line rate) while a
// screen shows at most about 60 pictures a second, and every repaint ends in a flush to the
// screen. The widget keeps its state exact on every change and asks its throttle for a repaint.
//
// All throttles of the program share one pace: the widgets waiting are repainted together, at
// most once per kInterval, so their repaints cost one flush. After a quiet spell a request is
// repainted at once. While work keeps coming, tick(), called at the end of each turn of work,
// repaints on a wake-up the thread has anyway; a fallback timer repaints what is left when the
// turns stop.
class RepaintThrottle : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kInterval{32};

    // At each flush the widget is updated whole, or `flush` is called to update what changed.
    explicit RepaintThrottle(QWidget* widget, std::function<void()> flush = {});
    ~RepaintThrottle() override;

    void request();

    // Repaints the widgets waiting, if the last repaint was about an interval ago.
    static void tick();

private:
    class Pace;
    static Pace& pace();
    void flush();

    QWidget* m_widget;
    std::function<void()> m_flush;
    bool m_waiting = false;
};

} // namespace lumatrax
