#pragma once

// Captures of a simulated batch made straight into a file, without a line: the greeting, the
// acknowledgement, RUN 1 and then one 210-byte burst per piece of the simulator's piece model,
// 4.2 ms apart unless asked otherwise, as lumatrax-tap records the simulator at the full line
// rate. For the tests and for trying the judge and the review window on a large capture.

#include "link/protocol.h"
#include "tools/capture/captureformat.h"
#include "tools/sim/piecemodel.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cmath>

namespace lumatrax::test {

inline void appendRunStart(QByteArray& file)
{
    appendCaptureRecord(file, CaptureDirection::ToInstrument, 10,
                        toBytes(SYNC_FRAME) + toBytes(CMD_HELLO));
    appendCaptureRecord(file, CaptureDirection::ToProgram, 20, QByteArray(1, char(DEVICE_ACK)));
    appendCaptureRecord(file, CaptureDirection::ToInstrument, 30,
                        toBytes(command(Opcode::CMD_RUN, 0, 0, 1)));
}

// A frame whose samples run between two bytes: the first sample at `top`, the second at
// `bottom`, the rest at the byte between.
inline QByteArray spanning(int top, int bottom)
{
    QByteArray samples(SAMPLES_PER_FRAME, char((top + bottom) / 2));
    samples[0] = char(top);
    samples[1] = char(bottom);
    return samples;
}

// A capture of a greeted, acknowledged and running program with these frames, the first 5 ms
// after the start, then `spacingUs` apart.
inline QByteArray captureOf(const QList<QByteArray>& frames, std::int64_t spacingUs = 5'000,
                            const CaptureHeader& header = {})
{
    QByteArray file = encodeCaptureHeader(header);
    appendRunStart(file);
    std::int64_t at = 5'000;
    for (const QByteArray& samples : frames) {
        appendCaptureRecord(file, CaptureDirection::ToProgram, at,
                            samples + QByteArray(10, char(128)));
        at += spacingUs;
    }
    return file;
}

struct BatchOptions
{
    std::uint64_t seed = 1;
    double rejectShare = 0.1;
    std::int64_t spacingUs = 4'200; // from one piece to the next
    // Counts added to every sample of the last piece, growing evenly from none at the first: a
    // batch that creeps up.
    double creep = 0.0;
    CaptureHeader header; // when and on which device
};

// Writes the capture of `frames` pieces, made for the guides 25,75, to `out` a few thousand
// pieces at a time, so a capture of a whole shift takes little memory to make.
inline bool writeSimulatedBatch(QIODevice& out, qint64 frames, const BatchOptions& batch)
{
    PieceModelOptions options;
    options.seed = batch.seed;
    options.rejectShare = batch.rejectShare;
    const PieceModel model(options);
    const AcquisitionSettings settings;
    QByteArray chunk = encodeCaptureHeader(batch.header);
    appendRunStart(chunk);
    QByteArray burst(FRAME_RX_THRESHOLD, char(128));
    for (qint64 n = 0; n < frames; ++n) {
        const PieceModel::Frame samples = model.frame(std::uint64_t(n), settings);
        const double creep = frames > 1 ? batch.creep * double(n) / double(frames - 1) : 0.0;
        for (std::size_t k = 0; k < samples.size(); ++k)
            burst[qsizetype(k)] = char(std::clamp(std::lround(samples[k] + creep), 0L, 255L));
        appendCaptureRecord(chunk, CaptureDirection::ToProgram, 5'000 + n * batch.spacingUs, burst);
        if (chunk.size() >= 1 << 20 || n + 1 == frames) {
            if (out.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return frames > 0 || out.write(chunk) == chunk.size();
}

// The whole file of `frames` pieces of `seed`, made for the guides 25,75.
inline QByteArray simulatedBatch(qint64 frames, std::uint64_t seed, double rejectShare)
{
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    BatchOptions batch;
    batch.seed = seed;
    batch.rejectShare = rejectShare;
    writeSimulatedBatch(buffer, frames, batch);
    return file;
}

} // namespace lumatrax::test
