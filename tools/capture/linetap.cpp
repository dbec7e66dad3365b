#include "tools/capture/linetap.h"

#include "link/protocol.h"
#include "tools/capture/captureformat.h"
#include "tools/line/toolsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// Each read of the line is one record of the capture, so no more than a record holds.
constexpr std::size_t kReadChunk = kCaptureMaxRecordBytes;

// Writes what it can of `bytes` behind whatever already waits; the rest joins the backlog.
bool forward(int fd, QByteArray& backlog, QByteArrayView bytes)
{
    if (backlog.isEmpty()) {
        const qsizetype written = writeSome(fd, bytes);
        if (written < 0)
            return false;
        bytes = bytes.sliced(written);
    }
    backlog.append(bytes.data(), bytes.size());
    return true;
}

bool drain(int fd, QByteArray& backlog)
{
    const qsizetype written = writeSome(fd, backlog);
    if (written > 0)
        backlog.remove(0, written);
    return written >= 0;
}

} // namespace

LineTap::~LineTap()
{
    finish();
}

std::optional<QString> LineTap::openDevice(const QString& path)
{
    m_deviceFd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_deviceFd < 0)
        return QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
    auto fail = [&](const QString& why) {
        closeDevice();
        return std::optional(QStringLiteral("%1: %2").arg(path, why));
    };
    if (!::isatty(m_deviceFd))
        return fail(QStringLiteral("not a serial device"));
    // No other program may open the device while the tap has it: it would take bytes meant for
    // the program.
    if (::ioctl(m_deviceFd, TIOCEXCL) != 0)
        return fail(qt_error_string(errno));

    termios settings{};
    if (::tcgetattr(m_deviceFd, &settings) != 0)
        return fail(qt_error_string(errno));
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B500000);
    ::cfsetospeed(&settings, B500000);
    if (::tcsetattr(m_deviceFd, TCSANOW, &settings) != 0)
        return fail(qt_error_string(errno));
    // tcsetattr() succeeds when any one setting was taken; read back what the device holds.
    termios taken{};
    if (::tcgetattr(m_deviceFd, &taken) != 0 || ::cfgetospeed(&taken) != B500000 ||
        (taken.c_cflag & CSIZE) != CS8 || (taken.c_cflag & (PARENB | CSTOPB)) != 0)
        return fail(QStringLiteral("the device does not take %1 bit/s 8N1").arg(kBaudRate));
    return std::nullopt;
}

void LineTap::closeDevice()
{
    if (m_deviceFd >= 0)
        ::close(m_deviceFd);
    m_deviceFd = -1;
}

std::optional<QString> LineTap::start(const TapOptions& options)
{
    const QFileInfo directory(options.directory);
    if (!directory.isDir())
        return QStringLiteral("%1 is not a directory").arg(options.directory);
    const QString linkPath =
        QDir(directory.absoluteFilePath()).absoluteFilePath(ComPortLink::fileName(options.port));
    if (const auto taken = ComPortLink::entryInTheWay(linkPath))
        return taken;
    if (const auto problem = openDevice(options.device))
        return problem;

    CaptureHeader header;
    header.startedAtUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    header.device = options.device;
    if (const auto problem = m_capture.create(options.output, header)) {
        closeDevice();
        return problem;
    }
    auto fail = [&](const QString& why) {
        m_link.remove();
        m_pty.close();
        closeDevice();
        m_capture.discard();
        return std::optional(why);
    };
    if (!m_pty.open())
        return fail(QStringLiteral("no pseudo-terminal for the program: ") + m_pty.errorString());
    if (!m_link.place(directory.absoluteFilePath(), options.port, m_pty.devicePath()))
        return fail(m_link.errorString());
    return std::nullopt;
}

void LineTap::deliverNow() const
{
    pollfd slave{m_pty.heldSlaveFd(), POLLIN, 0};
    ::poll(&slave, 1, 0);
}

LineTap::Outcome LineTap::run(int stopFd, const std::function<void(const QString&)>& notice)
{
    // Where the system allows it, the forwarding thread takes the lowest real-time priority, so
    // a busy desktop does not hold a byte up; it only ever sleeps in poll(). Elsewhere it runs
    // at normal priority. The capture writer's thread, started before, keeps its own.
    sched_param lowest{};
    lowest.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    [[maybe_unused]] const int realTime =
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &lowest);

    const int masterFd = m_pty.masterFd();
    bool captureFailureSaid = false;
    bool recordsHeld = false;
    std::array<char, kReadChunk> buffer;
    auto systemReason = [] { return qt_error_string(errno); };

    for (;;) {
        const short deviceEvents = short((m_toProgram.size() < kMaxBacklog ? POLLIN : 0) |
                                         (m_toInstrument.isEmpty() ? 0 : POLLOUT));
        const short masterEvents = short((m_toInstrument.size() < kMaxBacklog ? POLLIN : 0) |
                                         (m_toProgram.isEmpty() ? 0 : POLLOUT));
        pollfd fds[3] = {
            {m_deviceFd, deviceEvents, 0}, {masterFd, masterEvents, 0}, {stopFd, POLLIN, 0}};
        // Soon again while records wait to be handed to the capture writer; else once a second
        // while the line is quiet, to tell of a failed capture file.
        const int timeout = recordsHeld ? 10 : captureFailureSaid ? -1 : 1000;
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0 && errno != EINTR)
            return {End::LineFailed, systemReason()};
        recordsHeld = m_capture.handOver();
        if (!captureFailureSaid && m_capture.failed()) {
            captureFailureSaid = true;
            if (notice)
                notice(m_capture.errorString());
        }
        if (ready <= 0)
            continue;
        if (fds[2].revents != 0)
            return {End::Stopped, {}};

        // The instrument's side. A hang-up comes with the last bytes still readable: read them
        // first; the read that finds the device gone ends the capture.
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(m_deviceFd, buffer.data(), buffer.size());
            if (n > 0) {
                // Passed on first, recorded after, stamped with the moment of the read.
                const auto at = CaptureWriter::Clock::now();
                const QByteArrayView bytes(buffer.data(), qsizetype(n));
                if (!forward(masterFd, m_toProgram, bytes))
                    return {End::LineFailed, systemReason()};
                deliverNow();
                recordsHeld = m_capture.append(CaptureDirection::ToProgram, at, bytes);
            } else if (n == 0 || (errno == EAGAIN && (fds[0].revents & (POLLHUP | POLLERR)))) {
                return {End::DeviceLost, QStringLiteral("the line was hung up")};
            } else if (errno != EAGAIN && errno != EINTR) {
                return {End::DeviceLost, systemReason()};
            }
        }
        if (fds[0].revents & POLLNVAL)
            return {End::DeviceLost, QStringLiteral("the device was closed")};
        if ((fds[0].revents & POLLOUT) && !drain(m_deviceFd, m_toInstrument))
            return {End::DeviceLost, systemReason()};

        // The program's side.
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(masterFd, buffer.data(), buffer.size());
            if (n > 0) {
                const auto at = CaptureWriter::Clock::now();
                const QByteArrayView bytes(buffer.data(), qsizetype(n));
                if (!forward(m_deviceFd, m_toInstrument, bytes))
                    return {End::DeviceLost, systemReason()};
                recordsHeld = m_capture.append(CaptureDirection::ToInstrument, at, bytes);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return {End::LineFailed, systemReason()};
            }
        }
        if ((fds[1].revents & POLLOUT) && !m_toProgram.isEmpty()) {
            if (!drain(masterFd, m_toProgram))
                return {End::LineFailed, systemReason()};
            deliverNow();
        }
        // The slave descriptor held open keeps the master from hanging up; this is a failure.
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[1].revents & POLLIN))
            return {End::LineFailed, QStringLiteral("the pseudo-terminal hung up")};
    }
}

std::optional<QString> LineTap::finish()
{
    m_link.remove();
    m_pty.close();
    closeDevice();
    m_toProgram.clear();
    m_toInstrument.clear();
    return m_capture.close();
}

} // namespace lumatrax
