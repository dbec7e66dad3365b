#pragma once

// Counts the frames of a capture while it is being written: follows the file as it grows and
// finds its frames as the judge does (CaptureFrames), so the count is the frames the program
// reads, not the tap's own reads, which on an adapter are packets. It reads the file, not the
// line: the tap's forwarding never waits for it. A capture written to a device or a named pipe
// is not read back, and its frames are not counted.

#include "tools/capture/captureframes.h"

#include <QString>

#include <cstdint>

namespace lumatrax {

class CaptureFrameCounter
{
public:
    explicit CaptureFrameCounter(const QString& path);

    // Takes in every whole record written since the last call; returns the frames so far.
    std::uint64_t catchUp();

    [[nodiscard]] std::uint64_t frames() const { return m_count; }
    // True when the capture is no regular file (a device, a named pipe) or cannot be read: its
    // frames cannot be counted.
    [[nodiscard]] bool unreadable() const { return m_unreadable; }

private:
    QString m_path;
    CaptureFrames m_frames;
    bool m_open = false;
    bool m_refused = false; // not a capture: nothing in it is counted
    bool m_unreadable = false;
    std::uint64_t m_count = 0;
};

} // namespace lumatrax
