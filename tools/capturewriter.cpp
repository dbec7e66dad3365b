#include "tools/capturewriter.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace lumatrax {

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
    if (!writeOut(encodeCaptureHeader(header)) || ::fdatasync(m_fd) != 0) {
        const QString reason = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        discard();
        return reason;
    }
    try {
        m_thread = std::thread(&CaptureWriter::writerLoop, this);
    } catch (const std::system_error& e) {
        discard();
        return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(e.what()));
    }
    return std::nullopt;
}

void CaptureWriter::append(CaptureDirection direction, QByteArrayView bytes)
{
    append(direction, Clock::now(), bytes);
}

void CaptureWriter::append(CaptureDirection direction, Clock::time_point at, QByteArrayView bytes)
{
    const auto atUs = std::chrono::duration_cast<std::chrono::microseconds>(at - m_start).count();
    std::lock_guard lock(m_mutex);
    (direction == CaptureDirection::ToProgram ? m_bytesToProgram : m_bytesToInstrument) +=
        std::uint64_t(bytes.size());
    if (!m_error.isEmpty()) {
        m_bytesLost += std::uint64_t(bytes.size());
        return;
    }
    while (!bytes.isEmpty()) {
        const auto part = bytes.first(std::min<qsizetype>(bytes.size(), kCaptureMaxRecordBytes));
        appendCaptureRecord(m_pending, direction, atUs, part);
        ++m_records;
        bytes = bytes.sliced(part.size());
    }
}

void CaptureWriter::writerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, kFlushInterval, [this] { return m_closing; });
        const bool last = m_closing;
        QByteArray chunk;
        chunk.swap(m_pending);
        if (!m_error.isEmpty())
            return;
        lock.unlock();
        // The disk may take its time; the forwarding thread goes on appending meanwhile.
        const bool written = chunk.isEmpty() || writeOut(chunk);
        const int error = errno;
        const bool durable = written && ::fdatasync(m_fd) == 0;
        const int syncError = errno;
        lock.lock();
        if (!written || !durable) {
            // Back to the last whole record that made it; what follows is lost.
            [[maybe_unused]] const int cut = ::ftruncate(m_fd, m_written);
            m_error =
                QStringLiteral("%1: %2").arg(m_path, qt_error_string(written ? syncError : error));
            m_bytesLost += std::uint64_t(chunk.size()) + std::uint64_t(m_pending.size());
            m_pending.clear();
            return;
        }
        if (last)
            return;
    }
}

bool CaptureWriter::writeOut(const QByteArray& chunk)
{
    qsizetype done = 0;
    while (done < chunk.size()) {
        const ssize_t n = ::write(m_fd, chunk.constData() + done, std::size_t(chunk.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    m_written += done;
    return true;
}

std::optional<QString> CaptureWriter::close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && errorString().isEmpty()) {
            std::lock_guard lock(m_mutex);
            m_error = QStringLiteral("%1: %2").arg(m_path, qt_error_string(errno));
        }
        m_fd = -1;
    }
    const QString error = errorString();
    return error.isEmpty() ? std::nullopt : std::optional(error);
}

void CaptureWriter::discard()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
            m_pending.clear();
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

std::uint64_t CaptureWriter::records() const
{
    std::lock_guard lock(m_mutex);
    return m_records;
}

std::uint64_t CaptureWriter::bytes(CaptureDirection direction) const
{
    std::lock_guard lock(m_mutex);
    return direction == CaptureDirection::ToProgram ? m_bytesToProgram : m_bytesToInstrument;
}

std::uint64_t CaptureWriter::bytesLost() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesLost;
}

} // namespace lumatrax
