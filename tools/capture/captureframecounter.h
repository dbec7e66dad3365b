#pragma once

// Counts the frames of a capture while it is being written: follows the file as it grows, takes
// each record once it is whole, and finds the frames as the read model does (ProgramModel), so
// the count is the frames the program reads, not the tap's own reads, which on an adapter are
// packets. It reads the file, not the line: the tap's forwarding never waits for it. A capture
// written to a device or a named pipe is not read back, and its frames are not counted.

#include "tools/capture/programmodel.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

namespace lumatrax {

class CaptureFrameCounter
{
public:
    explicit CaptureFrameCounter(const QString& path);

    // Takes in every whole record written since the last call; returns the frames so far.
    std::uint64_t catchUp();

    [[nodiscard]] std::uint64_t frames() const { return m_frames; }
    // True when the capture is no regular file (a device, a named pipe) or cannot be read: its
    // frames cannot be counted.
    [[nodiscard]] bool unreadable() const { return m_unreadable; }

private:
    QFile m_file;
    QByteArray m_pending; // bytes read, not yet a whole record
    bool m_pastHeader = false;
    bool m_stopped = false; // a damaged record: nothing after it is trusted
    std::int64_t m_lastAtUs = 0;
    bool m_unreadable = false;
    ProgramModel m_model;
    std::uint64_t m_frames = 0;
};

} // namespace lumatrax
