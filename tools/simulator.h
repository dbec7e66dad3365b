#pragma once

// The simulated instrument: the virtual instrument on its pseudo-terminal, answering the
// greeting and streaming between CMD_RUN 1 and CMD_RUN 0, with frames made by the piece model
// from the settings that the program has sent. Used by lumatrax-sim and, in-process, by
// benchmarks.
//
// The settings and the piece counter belong to the virtual instrument's I/O thread: commands
// are taken in there, in the order they arrive, before the next frame is made. Pieces are
// numbered from 0 for the life of the simulator and carry on across RUN and STOP, as on a line
// that keeps moving.

#include "tools/acquisitionsettings.h"
#include "tools/piecemodel.h"
#include "tools/simoptions.h"
#include "tools/virtualinstrument.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace lumatrax {

class Simulator
{
public:
    // Receives each command in words ("RUN 1"), on the I/O thread.
    using CommandLog = std::function<void(const QString& words)>;

    explicit Simulator(const SimOptions& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Set before start().
    void setCommandLog(CommandLog log) { m_log = std::move(log); }

    // Opens the line and places the COMn link; false, with errorString() set, on failure.
    bool start();
    // Closes the line and removes the link.
    void stop();

    [[nodiscard]] QString errorString() const { return m_instrument.errorString(); }
    [[nodiscard]] VirtualInstrument& instrument() { return m_instrument; }
    [[nodiscard]] const PieceModel& model() const { return m_model; }

    // The next piece's frame at the current settings; what the instrument streams. I/O thread.
    [[nodiscard]] VirtualInstrument::Frame nextFrame();

private:
    void onCommand(const Command& command);

    SimOptions m_options;
    PieceModel m_model;
    VirtualInstrument m_instrument;
    CommandLog m_log;
    // I/O thread only.
    AcquisitionSettings m_settings;
    std::uint64_t m_nextPiece = 0;
};

} // namespace lumatrax
