#pragma once

// Writes a capture file as the line runs. Records are appended to memory by the thread that
// forwards the line, which never waits for the disk; a thread of the writer's own moves them to
// the file and makes them durable (fdatasync) at least every kFlushInterval, so a crash of the
// program or of the machine loses at most that much of the end of the capture. The file is
// created new: an existing file of that name is never overwritten.
//
// When the file cannot be written (disk full, device gone) the writer cuts it back to its last
// whole record, stops writing, and says why in errorString(); records appended after that are
// counted as lost. The line is none of its business: forwarding goes on.

#include "tools/captureformat.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace lumatrax {

class CaptureWriter
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFlushInterval{250};

    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates the file with its header, made durable at once, and starts the writing thread.
    // Record times count from this moment. The reason, naming the file, when it cannot.
    [[nodiscard]] std::optional<QString> create(const QString& path, const CaptureHeader& header);

    // Appends a record stamped with the time since create(); `bytes` may be of any length
    // (longer runs become several records). Any thread.
    void append(CaptureDirection direction, QByteArrayView bytes);
    void append(CaptureDirection direction, Clock::time_point at, QByteArrayView bytes);

    // Writes what is left, makes it durable and closes the file. The first failure since
    // create(), if any.
    std::optional<QString> close();

    // Removes the file; only for a capture given up before it began.
    void discard();

    // The first failure to write, empty while there is none. Any thread.
    [[nodiscard]] QString errorString() const;
    [[nodiscard]] QString path() const { return m_path; }

    // Counts, any thread: records accepted, bytes given each way (written or not), and bytes
    // that could not be written.
    [[nodiscard]] std::uint64_t records() const;
    [[nodiscard]] std::uint64_t bytes(CaptureDirection direction) const;
    [[nodiscard]] std::uint64_t bytesLost() const;

private:
    void writerLoop();
    bool writeOut(const QByteArray& chunk);

    QString m_path;
    int m_fd = -1;
    Clock::time_point m_start;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_closing = false;
    QByteArray m_pending;
    QString m_error;
    std::uint64_t m_records = 0;
    std::uint64_t m_bytesToProgram = 0;
    std::uint64_t m_bytesToInstrument = 0;
    std::uint64_t m_bytesLost = 0;
    // Writing thread only: bytes of whole records in the file.
    qint64 m_written = 0;
};

} // namespace lumatrax
