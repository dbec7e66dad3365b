#pragma once

// Readings of this process's own resources, for tests that drive it hard or long and check that
// it neither grows nor spins: resident memory and heap in use, open file descriptors, CPU time.
// Bounds on them are generous; they catch a leak or a busy loop, not a slow machine.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define LUMATRAX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMATRAX_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef LUMATRAX_ADDRESS_SANITIZER
// From the sanitizer's allocator (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace lumatrax::test {

// Under AddressSanitizer freed memory waits in a quarantine of up to 256 MB before it is reused,
// so the resident size says little there; the heap in use still does.
inline constexpr bool kAddressSanitizer =
#ifdef LUMATRAX_ADDRESS_SANITIZER
    true;
#else
    false;
#endif

// VmRSS of /proc/self/status, in KiB; -1 when it cannot be read.
[[nodiscard]] inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Bytes allocated on the heap and not yet freed.
[[nodiscard]] inline qint64 heapInUse()
{
#ifdef LUMATRAX_ADDRESS_SANITIZER
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

// Entries of /proc/self/fd, less the one that listing it opens.
[[nodiscard]] inline int openDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) - 1;
}

// User and system time of every thread of the process.
[[nodiscard]] inline std::chrono::microseconds cpuTime()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

// Lets the event loop run for a measuring window, handling whatever arrives, and returns the
// CPU time the process used meanwhile. An idle program uses almost none of it.
[[nodiscard]] inline std::chrono::microseconds cpuTimeOver(std::chrono::milliseconds window)
{
    const auto before = cpuTime();
    QEventLoop loop;
    QTimer::singleShot(window, &loop, &QEventLoop::quit);
    loop.exec();
    return cpuTime() - before;
}

// Waits for a condition on this thread without running its event loop, so whatever the program's
// threads post to this one waits meanwhile; false when the time runs out first.
template <typename Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    const QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The serial port's reading thread ("lumatrax-port") as the system counts it: the bytes it has
// read so far. Its record is opened once, when the probe is made, so it can still be read while
// the process may open no file.
class PortThreadProbe
{
public:
    PortThreadProbe()
    {
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "lumatrax-port") {
                const QByteArray io =
                    QFile::encodeName(tasks.filePath(task + QStringLiteral("/io")));
                m_fd = ::open(io.constData(), O_RDONLY | O_CLOEXEC);
                return;
            }
        }
    }
    ~PortThreadProbe()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PortThreadProbe(const PortThreadProbe&) = delete;
    PortThreadProbe& operator=(const PortThreadProbe&) = delete;

    // Bytes read from the system by the thread; -1 when there was no such thread or it has ended.
    [[nodiscard]] qint64 bytesRead() const
    {
        char text[512];
        const ssize_t n = m_fd < 0 ? -1 : ::pread(m_fd, text, sizeof text - 1, 0);
        if (n <= 0)
            return -1;
        for (const QByteArray& line : QByteArray(text, n).split('\n'))
            if (line.startsWith("rchar:"))
                return line.mid(6).trimmed().toLongLong();
        return -1;
    }
    [[nodiscard]] bool ended() const { return bytesRead() < 0; }

private:
    int m_fd = -1;
};

// Threads of this process that carry `name` (as the system shows it, at most 15 characters).
[[nodiscard]] inline int threadsNamed(const QByteArray& name)
{
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            ++count;
    }
    return count;
}

} // namespace lumatrax::test
