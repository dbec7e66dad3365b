#include "tools/line/commandassembler.h"

namespace lumatrax {

std::vector<Command> CommandAssembler::feed(QByteArrayView bytes)
{
    std::vector<Command> complete;
    complete.reserve(std::size_t((m_filled + bytes.size()) / 4));
    for (const char byte : bytes) {
        m_partial[std::size_t(m_filled++)] = std::uint8_t(byte);
        if (m_filled == int(m_partial.size())) {
            complete.push_back(m_partial);
            m_filled = 0;
        }
    }
    return complete;
}

} // namespace lumatrax
