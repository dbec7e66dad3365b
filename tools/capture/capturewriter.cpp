#include "tools/capture/capturewriter.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

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
    m_fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        const int error = errno;
        return error == EEXIST
                   ? QStringLiteral("%1 exists already; a capture never overwrites a file: "
                                    "choose another name")
                         .arg(path)
                   : QStringLiteral("%1: %2").arg(path, qt_error_string(error));
    }
    m_start = Clock::now();
    const QByteArray head = encodeCaptureHeader(header);
    if (!writeOut(head.constData(), std::size_t(head.size())) || ::fdatasync(m_fd) != 0) {
        const QString reason = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
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
        int error = 0;
        if (!m_chunk.empty() && !writeOut(m_chunk.data(), m_chunk.size()))
            error = errno;
        else if (::fdatasync(m_fd) != 0)
            error = errno;
        const std::size_t lost = error != 0 ? m_chunk.size() : 0;
        m_chunk.clear();
        lock.lock();
        if (error != 0) {
            lock.unlock();
            fail(error, lost);
            return;
        }
        if (last)
            return;
    }
}

void CaptureWriter::fail(int error, std::size_t lost)
{
    // Back to the last whole record that made it; what follows is lost.
    [[maybe_unused]] const int cut = ::ftruncate(m_fd, m_written);
    std::lock_guard lock(m_mutex);
    m_error = QStringLiteral("%1: %2").arg(m_path, qt_error_string(error));
    m_bytesLost += lost + m_pending.size();
    m_pending.clear();
    m_failed.store(true, std::memory_order_release);
}

bool CaptureWriter::writeOut(const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += std::size_t(n);
    }
    m_written += qint64(done);
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
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && !failed()) {
            std::lock_guard lock(m_mutex);
            m_error = QStringLiteral("%1: %2").arg(m_path, qt_error_string(errno));
            m_failed = true;
        }
        m_fd = -1;
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
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

QString CaptureWriter::errorString() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

} // namespace lumatrax
