#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

namespace lumatrax {

class RepaintPace;

// A widget's share of a repaint pace (see repaintpace.h): the widget keeps its state exact on
// every change and asks its throttle for a repaint, which comes at the pace's next repaint, after
// the turn that asked has ended, together with the other widgets of the pace. A throttle given no
// pace keeps one of its own.
class RepaintThrottle : public QObject
{
    Q_OBJECT
public:
    // At each repaint the widget is updated whole, or `flush` is called to update what changed.
    explicit RepaintThrottle(QWidget* widget, std::function<void()> flush = {});
    ~RepaintThrottle() override;

    // The pace to keep from now on; a repaint asked for and not yet done moves to it. The pace
    // may go before the throttle does.
    void setPace(RepaintPace* pace);

    void request();

private:
    friend class RepaintPace;
    [[nodiscard]] RepaintPace* pace();
    void flush();

    QWidget* m_widget;
    std::function<void()> m_flush;
    QPointer<RepaintPace> m_pace;
    RepaintPace* m_ownPace = nullptr; // a child, made when a repaint is asked for with no pace
    bool m_waiting = false;
};

} // namespace lumatrax
