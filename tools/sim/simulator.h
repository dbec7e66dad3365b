#pragma once

// The simulated instrument: the virtual instrument on its pseudo-terminal, answering the
// greeting and streaming between CMD_RUN 1 and CMD_RUN 0, with frames made by the piece model
// from the settings that the program has sent, or, given a capture to replay, playing the
// captured instrument's part instead (CaptureReplay). Used by lumatrax-sim and, in-process, by
// benchmarks.
//
// The settings and the piece counter belong to the virtual instrument's I/O thread: commands
// are taken in there, in the order they arrive, before the next frame is made. Pieces are
// numbered from 0 for the life of the simulator and carry on across RUN and STOP, as on a line
// that keeps moving.

#include "tools/sim/acquisitionsettings.h"
#include "tools/sim/capturereplay.h"
#include "tools/sim/piecemodel.h"
#include "tools/capture/replayscript.h"
#include "tools/sim/simoptions.h"
#include "tools/line/virtualinstrument.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

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
    // Receives what the replay has to say ("the whole capture has been played"), on its thread.
    void setNotice(CommandLog notice) { m_notice = std::move(notice); }

    // Opens the capture to replay, if any, then the line, and places the COMn link; false, with
    // errorString() set, on failure.
    bool start();
    // Closes the line and removes the link.
    void stop();

    [[nodiscard]] QString errorString() const
    {
        return m_error.isEmpty() ? m_instrument.errorString() : m_error;
    }
    // The capture being replayed, once started with one; else null.
    [[nodiscard]] const ReplayScript* replayScript() const
    {
        return m_replay ? &m_script : nullptr;
    }
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
    CommandLog m_notice;
    QString m_error;
    ReplayScript m_script;
    std::unique_ptr<CaptureReplay> m_replay;
    // I/O thread only.
    AcquisitionSettings m_settings;
    std::uint64_t m_nextPiece = 0;
};

} // namespace lumatrax
