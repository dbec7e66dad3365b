#include "tools/capture/captureframecounter.h"

#include <QFileInfo>

namespace lumatrax {

CaptureFrameCounter::CaptureFrameCounter(const QString& path) : m_path(path) {}

std::uint64_t CaptureFrameCounter::catchUp()
{
    if (m_refused)
        return m_count;
    if (!m_open) {
        // Only a regular file is read back: a named pipe would lose to this reader what its own
        // reader waits for.
        const QFileInfo file(m_path);
        m_unreadable = !file.isFile() || !file.isReadable();
        // An empty file is a capture whose header is not written yet.
        if (m_unreadable || file.size() == 0)
            return m_count;
        m_refused = m_frames.open(m_path).has_value();
        m_open = !m_refused;
    }
    while (m_frames.next())
        ++m_count;
    return m_count;
}

} // namespace lumatrax
