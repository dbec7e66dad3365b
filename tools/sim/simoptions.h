#pragma once

// The command line of lumatrax-sim, parsed into plain values.

#include "tools/sim/piecemodel.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace lumatrax {

struct SimOptions
{
    QString directory = QStringLiteral("."); // where the COMn link goes
    int port = 1;
    PieceModelOptions pieces;
    double framesPerSecond = 0.0; // 0: back to back at the line rate
    bool writeConfig = false;     // also write Lumatrax.cfg naming the port in `directory`
    bool verbose = false;
    // When set, the instrument's side of this capture is played instead of pieces.
    QString replayFile;
    double replaySpeed = 1.0; // times the captured pace; 0: back to back at the line rate
    bool replayLoop = false;
    // The line as a USB adapter hands it over: packets of at most this many bytes (8..4096),
    // paced at the line rate, a packet that is not full once the stream has paused for
    // `latency`; 0 hands every burst over whole.
    int packetSize = 0;
    std::chrono::milliseconds latency{0};

    // Least time from the start of one frame to the start of the next; zero at the line rate.
    [[nodiscard]] std::chrono::microseconds frameInterval() const;
};

struct SimCommandLine
{
    enum class Outcome { Run, Help, Error };
    Outcome outcome = Outcome::Run;
    SimOptions options;
    QString text; // the help for Help, the reason for Error
};

// `arguments` starts with the program's name, as argv does.
[[nodiscard]] SimCommandLine parseSimCommandLine(const QStringList& arguments);

} // namespace lumatrax
