#include "tools/simulator.h"

namespace lumatrax {

Simulator::Simulator(const SimOptions& options) : m_options(options), m_model(options.pieces)
{
    m_instrument.setAckBehaviour(VirtualInstrument::AckBehaviour::immediate());
    m_instrument.setStreamOnRun(true);
    m_instrument.setFrameInterval(options.frameInterval());
    m_instrument.setFrameSource([this](std::uint64_t) { return nextFrame(); });
    m_instrument.setCommandObserver([this](const Command& c) { onCommand(c); });
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start()
{
    if (!m_instrument.open())
        return false;
    if (m_instrument.placeLink(m_options.directory, m_options.port))
        return true;
    m_instrument.close();
    return false;
}

void Simulator::stop()
{
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
}

} // namespace lumatrax
