#include "tools/capture/captureframecounter.h"

#include "link/protocol.h"

#include <QFileInfo>
#include <QtEndian>

#include <limits>

namespace lumatrax {

CaptureFrameCounter::CaptureFrameCounter(const QString& path) : m_file(path) {}

std::uint64_t CaptureFrameCounter::catchUp()
{
    if (m_stopped)
        return m_frames;
    if (!m_file.isOpen()) {
        // Only a regular file is read back: a named pipe would lose to this reader what its own
        // reader waits for.
        if (!QFileInfo(m_file.fileName()).isFile() ||
            !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            m_unreadable = true;
            return m_frames;
        }
        m_unreadable = false;
    }
    m_pending += m_file.readAll();

    qsizetype at = 0;
    if (!m_pastHeader) {
        const qsizetype lengthAt = kCaptureMagic.size() + 2;
        if (m_pending.size() < lengthAt + 2)
            return m_frames;
        const int length = qFromLittleEndian<std::uint16_t>(m_pending.constData() + lengthAt);
        if (!m_pending.startsWith(kCaptureMagic) || length < kCaptureFixedHeaderLength) {
            m_stopped = true;
            return m_frames;
        }
        if (m_pending.size() < length)
            return m_frames;
        at = length;
        m_pastHeader = true;
    }
    while (m_pending.size() - at >= kCaptureRecordHeadLength) {
        const char* head = m_pending.constData() + at;
        const auto direction = CaptureDirection(std::uint8_t(head[0]));
        const int count = qFromLittleEndian<std::uint16_t>(head + 1);
        const auto atUs = qFromLittleEndian<std::uint64_t>(head + 3);
        // Damaged as the reader finds it (CaptureReader): nothing after it counts.
        if ((direction != CaptureDirection::ToProgram &&
             direction != CaptureDirection::ToInstrument) ||
            count == 0 || atUs > std::uint64_t(std::numeric_limits<std::int64_t>::max()) ||
            std::int64_t(atUs) < m_lastAtUs) {
            m_stopped = true;
            break;
        }
        if (m_pending.size() - at < kCaptureRecordHeadLength + count)
            break;
        const CaptureRecord record{direction, std::int64_t(atUs),
                                   m_pending.sliced(at + kCaptureRecordHeadLength, count)};
        m_lastAtUs = record.atUs;
        at += kCaptureRecordHeadLength + count;
        const ProgramModel::Step step = m_model.feed(record);
        if (step.read && step.read->bytes.size() >= SAMPLES_PER_FRAME)
            ++m_frames;
    }
    m_pending.remove(0, at);
    return m_frames;
}

} // namespace lumatrax
