#pragma once

#include "link/commport.h"
#include "link/protocol.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>

class QTimer;

namespace lumatrax {

// The states of the connection to the instrument.
enum class LinkState {
    Starting,     // no attempt has got past its greeting yet: the program's start, or an attempt
                  // under way
    Greeted,      // port open, SYNC_FRAME and CMD_HELLO written, the detection check pending
    Acknowledged, // the check found the lone acknowledgement: frames are received
    Silent,       // the check found anything else; the port stays open and Retry is offered
    Failed,       // opening the port or writing the greeting failed
    Lost,         // the device went away while the port was open
};

// The link to the instrument, in one place: the serial port component `cm`, the connection
// sequence (open, SYNC_FRAME, one read emptying the receive buffer, CMD_HELLO), the one-shot
// detection check `tmrFirst`, the frame threshold, and the state these lead to. Every change of
// the state is told by stateChanged(); the window sets its widgets from state(), port() and
// offersRetry().
//
// The detection timer runs from the link's creation with an interval of kDetectionDelay (one
// second, linktiming.h), so at start-up the check comes about a second after the program started;
// an attempt that follows a failure, a loss or silence starts a new wait once it has greeted the
// instrument.
class InstrumentLink : public QObject
{
    Q_OBJECT
public:
    explicit InstrumentLink(QObject* parent = nullptr);

    [[nodiscard]] LinkState state() const { return m_state; }
    // True while no port is believed open: before the first attempt, after a failed one and
    // after a loss. The timebase list sends nothing then.
    [[nodiscard]] bool linkDown() const;
    // True from a failed attempt, a loss or a silent check until an attempt gets past its
    // greeting: the window offers Retry and Port meanwhile.
    [[nodiscard]] bool offersRetry() const { return m_offersRetry; }
    // Whether an attempt has been made, and the COM port number of the last one.
    [[nodiscard]] bool attempted() const { return m_attempted; }
    [[nodiscard]] std::int16_t port() const { return m_port; }
    // What went wrong last, naming the port, the device and the system's reason.
    [[nodiscard]] const QString& failure() const { return m_failure; }

    // The directory whose COMn entries name devices (the start-up directory).
    void setStartDirectory(const QString& directory);

    // The connection sequence: opens COM `port` and greets the instrument; ends Greeted, or
    // Failed with failure() saying why. A port left open by an earlier attempt is closed first.
    void connectTo(std::int16_t port);

    // The operator's Retry on COM `port`. An instrument that stayed silent is told to stop first,
    // as closing the program would tell it (one still streaming from an earlier run answers no
    // greeting); what it still sends is read and dropped until the line has been quiet for a
    // frame's time at `timebase` (the entry last chosen, CMD_TIMEBASE's parameter) and a margin,
    // at most a second (linktiming.h), and the connection sequence then runs as after a failure.
    // The state is Starting meanwhile.
    void retry(std::int16_t port, int timebase);

    // Writes a command; a device that fails on it is reported as a loss.
    void send(const Command& command);

    // Closing the program: the stop command when the link is up, whether or not the instrument
    // ever answered, then the port closes.
    void stopOnClose();

    [[nodiscard]] CommPort& cm() { return *m_cm; }

signals:
    void stateChanged(lumatrax::LinkState state);

private:
    void tmrFirst_Timer();
    void tmrQuiet_Timer();
    void fail(const QString& description);
    void cm_LinkLost(const QString& description);
    void setState(LinkState state);

    CommPort* m_cm;
    QTimer* m_tmrFirst;
    // From the stop of a Retry after silence to its connection sequence: reads the line until
    // it has been quiet long enough.
    QTimer* m_tmrQuiet;
    std::int16_t m_retryPort = 0;
    std::chrono::microseconds m_retryFrameTime{0};
    std::chrono::steady_clock::time_point m_stoppedAt;
    std::chrono::steady_clock::time_point m_lastHeard;
    LinkState m_state = LinkState::Starting;
    bool m_offersRetry = false;
    bool m_attempted = false;
    std::int16_t m_port = 0;
    QString m_failure;
};

} // namespace lumatrax
