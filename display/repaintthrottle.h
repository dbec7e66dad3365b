#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class QWidget;

namespace lumatrax {

// Caps how often a widget is repainted. State changes may arrive hundreds of times a second
// (a frame every 4.2 ms at the full line rate) while a screen shows at most about 60 pictures a
// second, and every QWidget::update() ends in a flush to the screen. The widget keeps its state
// exact on every change and asks the throttle for a repaint; the throttle calls update() at most
// once per interval, and always once after the last request.
class RepaintThrottle : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultInterval{33};

    // At each flush the widget is updated whole, or `flush` is called to update what changed.
    explicit RepaintThrottle(QWidget* widget, std::function<void()> flush = {},
                             std::chrono::milliseconds interval = kDefaultInterval);

    void request();

private:
    void flush();

    QWidget* m_widget;
    std::function<void()> m_flush;
    std::chrono::milliseconds m_interval;
    QTimer m_timer;
    QElapsedTimer m_sinceLastUpdate;
};

} // namespace lumatrax
