#pragma once

// Captures of a simulated batch made straight into a file, without a line: the greeting, the
// acknowledgement, RUN 1 and then one 210-byte burst per piece of the simulator's piece model,
// 4.2 ms apart, as lumatrax-tap records the simulator at the full line rate. For the tests and
// for trying the judge on a large capture.

#include "link/protocol.h"
#include "tools/capture/captureformat.h"
#include "tools/sim/piecemodel.h"

#include <QByteArray>

namespace lumatrax::test {

inline void appendRunStart(QByteArray& file)
{
    appendCaptureRecord(file, CaptureDirection::ToInstrument, 10,
                        toBytes(SYNC_FRAME) + toBytes(CMD_HELLO));
    appendCaptureRecord(file, CaptureDirection::ToProgram, 20, QByteArray(1, char(DEVICE_ACK)));
    appendCaptureRecord(file, CaptureDirection::ToInstrument, 30,
                        toBytes(command(Opcode::CMD_RUN, 0, 0, 1)));
}

// The whole file of `frames` pieces of `seed`, made for the guides 25,75.
inline QByteArray simulatedBatch(qint64 frames, std::uint64_t seed, double rejectShare)
{
    PieceModelOptions options;
    options.seed = seed;
    options.rejectShare = rejectShare;
    const PieceModel model(options);
    const AcquisitionSettings settings;
    QByteArray file = encodeCaptureHeader({});
    file.reserve(file.size() + frames * (kCaptureRecordHeadLength + FRAME_RX_THRESHOLD) + 64);
    appendRunStart(file);
    QByteArray burst(FRAME_RX_THRESHOLD, char(128));
    for (qint64 n = 0; n < frames; ++n) {
        const PieceModel::Frame samples = model.frame(std::uint64_t(n), settings);
        std::copy(samples.begin(), samples.end(), burst.begin());
        appendCaptureRecord(file, CaptureDirection::ToProgram, 5'000 + n * 4'200, burst);
    }
    return file;
}

} // namespace lumatrax::test
