#include "tools/capture/capturewriter.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <sys/file.h>
#include <sys/stat.h>

namespace lumatrax {

namespace {

// Room for about a second of both directions at the line rate, so the buffers seldom grow.
constexpr std::size_t kInitialBuffer = 128 * 1024;

} // namespace

CaptureWriter::~CaptureWriter()
{
    close();
}

std::optional<QString> CaptureWriter::create(const QString& path, const CaptureHeader& header)
{
    m_path = path;
    if (const auto failure = m_file.open(path, OutputFile::Mode::CreateNew)) {
        return failure->error == EEXIST
                   ? QStringLiteral("%1 exists already; a capture never overwrites a file: "
                                    "choose another name")
                         .arg(path)
                   : QStringLiteral("%1: %2").arg(path, failure->reason);
    }
    // Locked before the header is written, so no reader finds the capture unlocked before its
    // writer is done. Only a reader's probe can hold it meanwhile, for a moment: waited out.
    if (struct stat status{}; ::fstat(m_file.descriptor(), &status) == 0 && S_ISREG(status.st_mode))
        while (::flock(m_file.descriptor(), LOCK_EX) != 0 && errno == EINTR) {
        }
    m_start = Clock::now();
    const QByteArray head = encodeCaptureHeader(header);
    if (!writeOut(head.constData(), std::size_t(head.size()))) {
        const QString reason = errorString();
        discard();
        return reason;
    }
    for (std::vector<char>* buffer : {&m_local, &m_pending, &m_chunk})
        buffer->reserve(kInitialBuffer);
    try {
        m_thread = std::thread(&CaptureWriter::writerLoop, this);
    } catch (const std::system_error& e) {
        discard();
        return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(e.what()));
    }
    return std::nullopt;
}

bool CaptureWriter::append(CaptureDirection direction, Clock::time_point at, QByteArrayView bytes)
{
    (direction == CaptureDirection::ToProgram ? m_bytesToProgram : m_bytesToInstrument) +=
        std::uint64_t(bytes.size());
    if (failed()) {
        m_bytesLost += std::uint64_t(bytes.size());
        return false;
    }
    const auto atUs = std::chrono::duration_cast<std::chrono::microseconds>(at - m_start).count();
    while (!bytes.isEmpty()) {
        const auto part = bytes.first(std::min<qsizetype>(bytes.size(), kCaptureMaxRecordBytes));
        const auto head = encodeRecordHead(direction, atUs, part.size());
        m_local.insert(m_local.end(), head.begin(), head.end());
        m_local.insert(m_local.end(), part.begin(), part.end());
        ++m_records;
        bytes = bytes.sliced(part.size());
    }
    return handOver();
}

bool CaptureWriter::handOver()
{
    if (m_local.empty())
        return false;
    std::unique_lock lock(m_mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return true;
    m_pending.insert(m_pending.end(), m_local.begin(), m_local.end());
    m_local.clear();
    return false;
}

void CaptureWriter::writerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, kFlushInterval, [this] { return m_closing; });
        const bool last = m_closing;
        m_chunk.swap(m_pending);
        lock.unlock();
        // The disk may take its time; the forwarding thread goes on appending meanwhile.
        const bool written = writeOut(m_chunk.data(), m_chunk.size());
        const std::size_t lost = written ? 0 : m_chunk.size();
        m_chunk.clear();
        lock.lock();
        if (!written) {
            lock.unlock();
            fail(lost);
            return;
        }
        if (last)
            return;
    }
}

void CaptureWriter::fail(std::size_t lost)
{
    // Back to the last whole record that made it; what follows is lost. No more records come.
    m_file.cutTo(m_written);
    ::flock(m_file.descriptor(), LOCK_UN);
    std::lock_guard lock(m_mutex);
    m_bytesLost += lost + m_pending.size();
    m_pending.clear();
    m_failed.store(true, std::memory_order_release);
}

// Writes whole records and makes them durable; a device or a pipe takes them as they come.
bool CaptureWriter::writeOut(const char* data, std::size_t size)
{
    auto failure = m_file.write(QByteArrayView(data, qsizetype(size)));
    if (!failure)
        failure = m_file.sync();
    if (failure) {
        std::lock_guard lock(m_mutex);
        m_error = QStringLiteral("%1: %2").arg(m_path, failure->reason);
        return false;
    }
    m_written = m_file.size();
    return true;
}

std::optional<QString> CaptureWriter::close()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            if (!failed())
                m_pending.insert(m_pending.end(), m_local.begin(), m_local.end());
            else
                m_bytesLost += m_local.size();
            m_local.clear();
            m_closing = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    if (m_file.isOpen()) {
        const auto failure = m_file.commit();
        if (failure && !failed()) {
            std::lock_guard lock(m_mutex);
            m_error = QStringLiteral("%1: %2").arg(m_path, failure->reason);
            m_failed = true;
        }
    }
    if (!failed())
        return std::nullopt;
    return errorString();
}

void CaptureWriter::discard()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
            m_pending.clear();
            m_local.clear();
        }
        m_wake.notify_all();
        m_thread.join();
    }
    m_file.cancel(); // a file made for the capture goes; a device or a pipe is only closed
}

bool CaptureWriter::isBeingWritten(int fd)
{
    // A shared lock is refused while the writer holds its exclusive one.
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

QString CaptureWriter::errorString() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

} // namespace lumatrax
