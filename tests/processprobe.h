#pragma once

// Readings of this process's own resources, for tests that drive it hard or long and check that
// it neither grows nor spins: resident memory and heap in use, open file descriptors, CPU time.
// Bounds on them are generous; they catch a leak or a busy loop, not a slow machine.

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <cstddef>

#include <malloc.h>
#include <sys/resource.h>

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
