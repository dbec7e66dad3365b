#pragma once

// Writes a capture file as the line runs. The file is created new: an existing file of that name
// is never overwritten. A character device or a named pipe given as the file is written as it
// stands (common/outputfile.h); a symbolic link leads to the file made.
//
// Records are appended by one thread, the one that forwards the line, which must never wait: not
// for the disk, not for a lock, not for the allocator. It encodes each record into a buffer of its
// own and hands the buffer's contents over to the writer when the hand-over lock is free at that
// moment (try_lock); otherwise they wait for the next record or the next handOver(). A thread of
// the writer's own swaps the handed-over records out under that lock, writes them and makes them
// durable (fdatasync) every kFlushInterval, so a crash of the program or of the machine loses at
// most that much of the end of the capture, and the time of one fdatasync. The buffers keep their
// capacity and only trade places, so once the line has run a moment nothing is allocated or freed
// on either side, and neither thread frees memory that the other one allocated.
//
// When the file cannot be written (disk full, device gone) the writer cuts a file back to its last
// whole record, stops writing, and says why in errorString(); records appended after that are
// counted as lost. The line is none of its business: forwarding goes on.
//
// While it may still add records, the writer holds an advisory lock (flock, exclusive) on a
// capture that is a regular file, from before its header to close() or a failure; the system
// drops it when the process ends, a crash too. A reader that follows a capture as it grows asks
// isBeingWritten() whether more may come.

#include "common/outputfile.h"
#include "tools/capture/captureformat.h"

#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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

    // Appends a record stamped with `at` and hands it over as handOver() does, with the same
    // result; `bytes` may be of any length (longer runs become several records). One appending
    // thread at a time.
    bool append(CaptureDirection direction, Clock::time_point at, QByteArrayView bytes);
    // Hands over records still held by the appending thread, if the writer lets it at once. True
    // when some are still held; call again soon. Appending thread.
    bool handOver();

    // Writes what is left, makes it durable and closes the file. The first failure since
    // create(), if any. Appending thread, once it has stopped appending.
    std::optional<QString> close();

    // Removes the file; only for a capture given up before it began.
    void discard();

    // True once writing has failed; errorString() then says why. Any thread, never waits.
    [[nodiscard]] bool failed() const { return m_failed.load(std::memory_order_acquire); }
    [[nodiscard]] QString errorString() const;
    [[nodiscard]] QString path() const { return m_path; }

    // Whether a writer still holds the lock on the capture that `fd` reads: more records may
    // come. Never waits; false where the system keeps no such locks.
    [[nodiscard]] static bool isBeingWritten(int fd);

    // Records appended, bytes given each way (written or not), and bytes that could not be
    // written. Any thread.
    [[nodiscard]] std::uint64_t records() const { return m_records; }
    [[nodiscard]] std::uint64_t bytes(CaptureDirection direction) const
    {
        return direction == CaptureDirection::ToProgram ? m_bytesToProgram : m_bytesToInstrument;
    }
    [[nodiscard]] std::uint64_t bytesLost() const { return m_bytesLost; }

private:
    void writerLoop();
    bool writeOut(const char* data, std::size_t size);
    void fail(std::size_t lost);

    QString m_path;
    OutputFile m_file;
    Clock::time_point m_start;
    std::thread m_thread;

    // Appending thread only.
    std::vector<char> m_local;

    // Under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_closing = false;
    std::vector<char> m_pending;
    QString m_error;

    // Writing thread only (and create()): the records being written, and bytes of whole records
    // in the file.
    std::vector<char> m_chunk;
    qint64 m_written = 0;

    std::atomic<bool> m_failed{false};
    std::atomic<std::uint64_t> m_records{0};
    std::atomic<std::uint64_t> m_bytesToProgram{0};
    std::atomic<std::uint64_t> m_bytesToInstrument{0};
    std::atomic<std::uint64_t> m_bytesLost{0};
};

} // namespace lumatrax
