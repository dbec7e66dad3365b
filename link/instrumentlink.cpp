#include "link/instrumentlink.h"

#include "link/linktiming.h"

#include <QTimer>

namespace lumatrax {

InstrumentLink::InstrumentLink(QObject* parent)
    : QObject(parent), m_cm(new CommPort(this)), m_tmrFirst(new QTimer(this)),
      m_tmrQuiet(new QTimer(this))
{
    setObjectName(QStringLiteral("link"));
    m_tmrFirst->setObjectName(QStringLiteral("tmrFirst"));
    m_tmrFirst->setInterval(linktiming::kDetectionDelay);
    m_tmrFirst->start();
    connect(m_tmrFirst, &QTimer::timeout, this, &InstrumentLink::tmrFirst_Timer);
    m_tmrQuiet->setObjectName(QStringLiteral("tmrQuiet"));
    m_tmrQuiet->setInterval(linktiming::kQuietPoll);
    connect(m_tmrQuiet, &QTimer::timeout, this, &InstrumentLink::tmrQuiet_Timer);
    connect(m_cm, &CommPort::linkLost, this, &InstrumentLink::cm_LinkLost);
}

bool InstrumentLink::linkDown() const
{
    return m_state == LinkState::Starting || m_state == LinkState::Failed ||
           m_state == LinkState::Lost;
}

void InstrumentLink::setStartDirectory(const QString& directory)
{
    m_cm->setStartDirectory(directory);
}

void InstrumentLink::connectTo(std::int16_t port)
{
    m_tmrQuiet->stop();
    const bool afterFailure = m_attempted;
    m_attempted = true;
    m_port = port;
    setState(LinkState::Starting);

    // A failed attempt may have left the port open (its greeting failed); a new attempt starts
    // from a closed port, or it would fail on "already open" for ever.
    m_cm->close();
    m_cm->setCommPort(port);
    if (const auto error = m_cm->open())
        return fail(*error);
    if (const auto error = m_cm->output(toBytes(SYNC_FRAME)))
        return fail(*error);
    (void)m_cm->input(); // whatever waited before the greeting
    if (const auto error = m_cm->output(toBytes(CMD_HELLO)))
        return fail(*error);

    m_offersRetry = false;
    if (afterFailure)
        m_tmrFirst->start();
    setState(LinkState::Greeted);
}

void InstrumentLink::fail(const QString& description)
{
    m_failure = description;
    m_offersRetry = true;
    setState(LinkState::Failed);
}

void InstrumentLink::tmrFirst_Timer()
{
    m_tmrFirst->stop(); // one check per enabling
    if (m_state != LinkState::Greeted)
        return; // the link is down (or was lost while the check waited)
    if (!isDeviceAck(m_cm->input())) {
        m_offersRetry = true; // no message; the operator decides when to try again
        return setState(LinkState::Silent);
    }
    // What else waits is stale; frames are what arrives from now on.
    (void)m_cm->input();
    m_cm->setRThreshold(FRAME_RX_THRESHOLD);
    setState(LinkState::Acknowledged);
}

void InstrumentLink::cm_LinkLost(const QString& description)
{
    // A loss that a failed write of the connection sequence already reported changes nothing.
    if (linkDown())
        return;
    m_failure = description;
    m_offersRetry = true;
    setState(LinkState::Lost);
}

void InstrumentLink::retry(std::int16_t port, int timebase)
{
    if (m_state != LinkState::Silent)
        return connectTo(port);
    send(command(Opcode::CMD_RUN, 0, 0, 0));
    m_retryPort = port;
    m_retryFrameTime = frameTime(timebase);
    m_stoppedAt = m_lastHeard = std::chrono::steady_clock::now();
    m_offersRetry = false;
    setState(LinkState::Starting);
    m_tmrQuiet->start();
}

void InstrumentLink::tmrQuiet_Timer()
{
    // Whatever the instrument sent before it stopped (frames, or the end of one an adapter held
    // back) goes now, not into the answer to the greeting.
    const auto now = std::chrono::steady_clock::now();
    if (!m_cm->input().isEmpty())
        m_lastHeard = now;
    if (linktiming::quietLongEnough(m_stoppedAt, m_lastHeard, now, m_retryFrameTime))
        connectTo(m_retryPort);
}

void InstrumentLink::send(const Command& command)
{
    // A write that fails on an open port (the adapter pulled) closes the port and is reported
    // once as a loss; a write to a port already closed goes nowhere.
    (void)m_cm->output(toBytes(command));
}

void InstrumentLink::stopOnClose()
{
    m_tmrQuiet->stop(); // a Retry waiting after its stop is given up
    if (!linkDown())
        send(command(Opcode::CMD_RUN, 0, 0, 0));
    m_cm->close();
}

void InstrumentLink::setState(LinkState state)
{
    m_state = state;
    emit stateChanged(state);
}

} // namespace lumatrax
