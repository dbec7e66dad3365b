#pragma once

// Cuts the byte stream that the program writes into four-byte commands. The line carries no
// marker or length, so a command is simply the next four bytes: the first byte after the line
// opened starts the first command, and a command split over several reads is put back together.

#include "link/protocol.h"

#include <QByteArrayView>

#include <vector>

namespace lumatrax {

class CommandAssembler
{
public:
    // Appends bytes to the stream and returns every command that they complete, in order.
    [[nodiscard]] std::vector<Command> feed(QByteArrayView bytes);

    // Bytes of a command begun but not yet complete: 0..3.
    [[nodiscard]] int pendingBytes() const { return m_filled; }

    // Forgets a command begun; the next byte starts a new one.
    void reset() { m_filled = 0; }

private:
    Command m_partial{};
    int m_filled = 0;
};

} // namespace lumatrax
