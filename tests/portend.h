#pragma once

// For tests that play the program's part on a serial line: a device opened by path, as the
// program opens its port, with plain POSIX calls and every wait bounded.

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace lumatrax::test {

// The program's end of the line: the device opened by path as a serial port, in raw mode.
class PortEnd
{
public:
    explicit PortEnd(const QString& path,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
        : m_timeout(timeout), m_fd(::open(QFile::encodeName(path).constData(),
                                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios settings{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~PortEnd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PortEnd(const PortEnd&) = delete;
    PortEnd& operator=(const PortEnd&) = delete;

    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    [[nodiscard]] int fd() const { return m_fd; }

    bool write(QByteArrayView bytes)
    {
        const QDeadlineTimer deadline(m_timeout);
        while (!bytes.isEmpty()) {
            const ssize_t n = ::write(m_fd, bytes.data(), std::size_t(bytes.size()));
            if (n > 0)
                bytes = bytes.sliced(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            else if (!waitFor(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Exactly `count` bytes, or fewer when the time runs out first. Each call waits at most the
    // timeout given at construction.
    QByteArray read(qsizetype count)
    {
        const QDeadlineTimer deadline(m_timeout);
        QByteArray bytes;
        while (bytes.size() < count && waitFor(POLLIN, deadline)) {
            char buffer[4096];
            const auto wanted = std::min<qsizetype>(count - bytes.size(), sizeof buffer);
            const ssize_t n = ::read(m_fd, buffer, std::size_t(wanted));
            if (n > 0)
                bytes.append(buffer, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return bytes;
    }

private:
    bool waitFor(short events, const QDeadlineTimer& deadline)
    {
        pollfd p{m_fd, events, 0};
        return ::poll(&p, 1, int(deadline.remainingTime())) == 1 && (p.revents & events);
    }

    std::chrono::milliseconds m_timeout;
    int m_fd;
};

} // namespace lumatrax::test
