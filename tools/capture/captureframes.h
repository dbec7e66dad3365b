#pragma once

// The frames of a capture one at a time, found as the judge finds them (CaptureReader, the read
// model, a frame for every read of 200 bytes or more), each with the place in the file where its
// bytes begin, so that a frame can be read again on its own later (FrameFetcher).
//
// Every read of the model begins with the first byte of a record from the instrument: a read
// takes every byte waiting, so the bytes after it start afresh with the next record, and a
// greeting or damaged bytes passed over forget what waited. A frame is so found again by reading
// the instrument's records from that one on until its 200 bytes are together; the program's
// records between them carry none of its bytes, and no damage lies between them.
//
// A capture that lumatrax-tap is still writing is followed: next() gives nothing at the end of
// the bytes written so far and goes on with what came since when called again. Whether more may
// come is the writer's lock (isBeingWritten()); only once it is gone is the read model finished.

#include "display/frameprocessing.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/capturereader.h"
#include "tools/capture/programmodel.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

namespace lumatrax {

struct CaptureFrame
{
    std::int64_t offset =
        0;                 // of the record that holds the frame's first byte, from the file's start
    std::int64_t atUs = 0; // when the read that made it ended, since the capture began
    SampleArray samples{}; // its first 200 bytes - 128; entry 200 is 0
};

class CaptureFrames
{
public:
    // How often a reader looks again at a capture still being written: what the tap wrote
    // (durable every quarter second) is read within half a second of its reading it.
    static constexpr std::chrono::milliseconds kFollowInterval{200};

    // Opens the capture, a regular file; the reason, naming the file, when it is refused or
    // cannot be read.
    [[nodiscard]] std::optional<QString> open(const QString& path);

    // The next frame, or nothing at the end of the bytes written so far or where reading ends
    // (see warnings()). The frame lives until the next call.
    [[nodiscard]] const CaptureFrame* next();

    // Whether the capture's writer still holds it, so next() may give more later. Asked before
    // going through to the end: once it says no, the frames up to that end are every frame of
    // the capture. Brings fileSize() up to date.
    [[nodiscard]] bool isBeingWritten();
    // The end of a capture no longer written: the detection check of a session greeted too late
    // for it to have run counts (greetings(), acknowledged()).
    void finish();

    [[nodiscard]] const CaptureHeader& header() const { return m_reader.header(); }
    // What the reading so far has to say, as the judge says it (damaged bytes passed over, an
    // end inside a record, a read error), one sentence each. While the capture is being
    // written, a record cut at its growing end is none: the rest of it is on its way.
    [[nodiscard]] QStringList warnings() const;
    [[nodiscard]] const ReadLengths& reads() const { return m_reads; }
    [[nodiscard]] int greetings() const { return m_model.greetings(); }
    [[nodiscard]] int acknowledged() const { return m_model.acknowledged(); }
    // Bytes of the file gone through, and its size when opened or last asked whether it is
    // being written: how far reading has come.
    [[nodiscard]] std::int64_t position() const { return m_offset; }
    [[nodiscard]] std::int64_t fileSize() const { return m_fileSize; }

private:
    CaptureReader m_reader;
    ProgramModel m_model;
    ReadLengths m_reads;
    std::int64_t m_offset = 0; // of the next record
    std::int64_t m_fileSize = 0;
    std::optional<std::int64_t> m_readStart; // of the read the waiting bytes begin
    int m_greetings = 0;
    QFile m_lockProbe;      // the capture, read-only: read through, and asked for its writer's lock
    bool m_writing = false; // the writer held it when last asked
    CaptureFrame m_frame;
};

// Reads single frames of a capture again, by the offsets CaptureFrames gave.
class FrameFetcher
{
public:
    [[nodiscard]] bool open(const QString& path);
    // The samples of the frame whose first byte lies in the record at `offset`; nothing when the
    // file no longer holds them there.
    [[nodiscard]] std::optional<SampleArray> fetch(std::int64_t offset);

private:
    QFile m_file;
};

} // namespace lumatrax
