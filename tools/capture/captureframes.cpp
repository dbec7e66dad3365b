#include "tools/capture/captureframes.h"

#include "link/protocol.h"
#include "tools/capture/capturewriter.h"

#include <QtEndian>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumatrax {

std::optional<QString> CaptureFrames::open(const QString& path)
{
    m_model.reset();
    m_reads = {};
    m_offset = 0;
    m_fileSize = 0;
    m_readStart.reset();
    m_greetings = 0;
    m_writing = false;
    m_lockProbe.close();
    // A regular file only: its frames are read again by their place, and by more than one
    // reader. Looked at without waiting, should it be a named pipe that no one writes.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QStringLiteral("%1 is not a regular file: the frames of a capture are read again "
                              "by their place in its file (copy the capture to a file first)")
            .arg(path);
    }
    (void)m_lockProbe.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    // Read through that descriptor: the name might lead elsewhere by now.
    if (auto refused = m_reader.open(path, fd)) {
        m_lockProbe.close();
        return refused;
    }
    m_fileSize = m_lockProbe.size();
    return std::nullopt;
}

bool CaptureFrames::isBeingWritten()
{
    m_writing = m_lockProbe.isOpen() && CaptureWriter::isBeingWritten(m_lockProbe.handle());
    if (m_lockProbe.isOpen())
        m_fileSize = std::max<std::int64_t>(m_fileSize, m_lockProbe.size());
    return m_writing;
}

void CaptureFrames::finish()
{
    (void)m_model.finish();
}

QStringList CaptureFrames::warnings() const
{
    QStringList said = m_reader.warnings();
    if (m_writing && m_reader.endsInsideRecord() && !said.isEmpty())
        said.removeLast(); // the reader says a cut last
    return said;
}

const CaptureFrame* CaptureFrames::next()
{
    while (const auto record = m_reader.next()) {
        m_offset = m_reader.lastRecordEnd();
        const std::int64_t at = m_offset - kCaptureRecordHeadLength - record->bytes.size();
        if (m_reader.followsDamage())
            m_readStart.reset(); // no read joins bytes from both sides of damage
        const ProgramModel::Step step = m_model.feed(*record, m_reader.followsDamage());
        if (m_model.greetings() != m_greetings) {
            m_greetings = m_model.greetings(); // the program emptied its receive buffer
            m_readStart.reset();
        }
        if (step.toReceiver && !m_readStart)
            m_readStart = at;
        if (!step.read)
            continue;
        m_reads.add(step.read->bytes.size());
        const std::int64_t start = m_readStart.value_or(at);
        m_readStart.reset();
        if (!decodeFrame(step.read->bytes, m_frame.samples))
            continue;
        m_frame.offset = start;
        m_frame.atUs = step.read->atUs;
        return &m_frame;
    }
    return nullptr;
}

bool FrameFetcher::open(const QString& path)
{
    m_file.close();
    m_file.setFileName(path);
    // A frame is a few hundred bytes anywhere in the file: no read-ahead to throw away.
    return m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

std::optional<SampleArray> FrameFetcher::fetch(std::int64_t offset)
{
    QByteArray bytes;
    std::int64_t at = offset;
    while (bytes.size() < SAMPLES_PER_FRAME) {
        if (!m_file.seek(at))
            return std::nullopt;
        const QByteArray head = m_file.read(kCaptureRecordHeadLength);
        if (head.size() < kCaptureRecordHeadLength)
            return std::nullopt;
        const auto direction = CaptureDirection(head[0]);
        const qint64 length = qFromLittleEndian<std::uint16_t>(head.constData() + 1);
        if (direction == CaptureDirection::ToProgram) {
            const qint64 wanted = std::min<qint64>(length, SAMPLES_PER_FRAME - bytes.size());
            const QByteArray part = m_file.read(wanted);
            if (part.size() < wanted)
                return std::nullopt;
            bytes += part;
        } else if (direction != CaptureDirection::ToInstrument) {
            return std::nullopt;
        }
        at += kCaptureRecordHeadLength + length;
    }
    SampleArray samples{};
    if (!decodeFrame(bytes, samples))
        return std::nullopt;
    return samples;
}

} // namespace lumatrax
