#include "tools/sim/simulator.h"

namespace lumatrax {

Simulator::Simulator(const SimOptions& options) : m_options(options), m_model(options.pieces)
{
    // A replay answers the greeting and streams as the capture says, not as the model does.
    const bool replay = !options.replayFile.isEmpty();
    m_instrument.setAckBehaviour(replay ? VirtualInstrument::AckBehaviour::never()
                                        : VirtualInstrument::AckBehaviour::immediate());
    m_instrument.setStreamOnRun(!replay);
    m_instrument.setFrameInterval(options.frameInterval());
    m_instrument.setPackets(options.packetSize, options.latency);
    m_instrument.setFrameSource([this](std::uint64_t) { return nextFrame(); });
    m_instrument.setCommandObserver([this](const Command& c) { onCommand(c); });
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start()
{
    m_error.clear();
    if (!m_options.replayFile.isEmpty() && !m_replay) {
        if (const auto refused = m_script.open(m_options.replayFile)) {
            m_error = *refused;
            return false;
        }
        m_replay = std::make_unique<CaptureReplay>(m_script, m_instrument, m_options.replaySpeed,
                                                   m_options.replayLoop);
        m_replay->setNotice([this](const QString& words) {
            if (m_notice)
                m_notice(words);
        });
    }
    if (!m_instrument.open())
        return false;
    if (!m_instrument.placeLink(m_options.directory, m_options.port)) {
        m_instrument.close();
        return false;
    }
    if (m_replay)
        m_replay->start();
    return true;
}

void Simulator::stop()
{
    if (m_replay)
        m_replay->stop();
    m_instrument.close();
}

VirtualInstrument::Frame Simulator::nextFrame()
{
    return m_model.frame(m_nextPiece++, m_settings);
}

void Simulator::onCommand(const Command& command)
{
    m_settings.apply(command);
    if (m_log)
        m_log(describeCommand(command));
    if (m_replay)
        m_replay->onCommand(command);
}

} // namespace lumatrax
