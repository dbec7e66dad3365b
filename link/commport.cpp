#include "link/commport.h"

#include "link/comname.h"
#include "link/linktiming.h"
#include "link/protocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#ifndef Q_OS_UNIX
#error "The port's reading thread waits on its file descriptor; this platform needs its own."
#endif

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// How much one read takes from the system at most: many receive buffers' worth, so a flooding
// device cannot keep the reading thread (or input()) reading for ever.
constexpr qsizetype kMaxRead = 64 * 1024;

// Bytes of reads handed over and not yet delivered: about a second of the line. The user-interface
// thread takes them at every turn; should it stall that long, the reading thread stops reading
// and the bytes wait in the system, as they would behind a full receive buffer. A lamp lit a
// second late already misleads; many seconds of backlog would only mislead longer.
constexpr qsizetype kMaxQueuedBytes = 64 * 1024;

// A byte's time on the line: ten bits (8N1) at the link's speed.
constexpr std::chrono::microseconds kByteTime{10'000'000 / kBaudRate};

// The most a read of a terminal returns at once on Linux while VMIN is larger (its reads go
// through a buffer of this size, and each piece falls short of VMIN).
constexpr ssize_t kTerminalPiece = 64;

// The largest VMIN a terminal takes (its c_cc entries are bytes).
constexpr int kMaxMinimum = 255;

using linktiming::kBackPressurePoll;
using linktiming::kCloseFlush;
using linktiming::kHoldLimit;
using linktiming::kTurnInterval;

} // namespace

// What the reading thread and the callers share, for one opening of the port.
class CommPort::Line
{
public:
    // The wake-up pipe is made here; pipeError tells when it could not be.
    Line()
    {
        // Close-on-exec, so no program started meanwhile holds the thread's pipe.
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            wakeRead = fds[0];
            wakeWrite = fds[1];
        } else {
            pipeError = errno;
        }
    }
    ~Line()
    {
        for (int fd : {wakeRead, wakeWrite})
            if (fd >= 0)
                ::close(fd);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Makes the reading thread look at the shared state again.
    void wake() const
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
    }

    // Everything the system holds, appended to `to` up to kMaxRead bytes in all. False when
    // the device failed; errno then tells why. Under `io`.
    bool drainInto(QByteArray& to) const
    {
        char chunk[4096];
        while (to.size() < kMaxRead) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                to.append(chunk, n);
                // A read that did not fill the chunk took what waited; asking again would
                // only cost a call that finds nothing. But while VMIN exceeds it, Linux hands a
                // terminal's bytes out kTerminalPiece at a time, so a read of just that many
                // may have left more.
                if (n < qsizetype(sizeof chunk) && n != kTerminalPiece)
                    return true;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n == 0 || errno == EAGAIN) {
                // A raw terminal answers 0 when nothing waits; a hang-up shows in poll().
                return true;
            } else {
                return false;
            }
        }
        return true;
    }

    // Lets the system hold the reading thread until a read can complete: with VTIME 0, poll()
    // reports the port readable only once VMIN bytes wait, so VMIN follows the bytes the
    // threshold still needs beyond those already taken (up to 255; a larger remainder is read in
    // parts). Exact either way: a read is handed over only once the threshold is reached. False
    // when the system refuses the setting; errno then tells why. Under `io`.
    bool holdUntilReadable()
    {
        const int wanted = std::clamp<qsizetype>(threshold - pending.size(), 1, kMaxMinimum);
        if (wanted == minimum)
            return true;
        termios settings{};
        if (::tcgetattr(fd, &settings) != 0)
            return false;
        settings.c_cc[VMIN] = cc_t(wanted);
        settings.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &settings) != 0)
            return false;
        minimum = wanted;
        return true;
    }

    // Hands as much of `tx` to the system as it takes now. False when the device failed. Under
    // `io`.
    bool writePending()
    {
        while (!tx.isEmpty()) {
            const ssize_t n = ::write(fd, tx.constData(), std::size_t(tx.size()));
            if (n > 0)
                tx.remove(0, n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return n < 0 && errno == EAGAIN;
        }
        return true;
    }

    // Marks the line lost with the system's reason; the reading thread closes the port. Under
    // `io`.
    void fail(int error)
    {
        if (!lost) {
            lost = true;
            lossReason = qt_error_string(error);
        }
        wake();
    }

    std::uint64_t opening = 0; // which opening of the port this is
    int pipeError = 0;         // why the wake-up pipe could not be made; 0 when it was

    std::mutex io; // the descriptor and everything below, up to `reads`
    int fd = -1;   // the open port's descriptor; -1 before opening and after closing
    int threshold = 0;
    int minimum = -1;   // the port's VMIN as last set here; -1 before
    QByteArray pending; // read, waiting for the threshold
    QByteArray tx;      // accepted for sending, not yet taken by the system
    bool stop = false;
    bool lost = false;
    QString lossReason;
    int wakeRead = -1;
    int wakeWrite = -1;

    std::mutex readsMutex;
    std::vector<QByteArray> reads;        // handed over, not yet delivered
    qsizetype queuedBytes = 0;            // the bytes of `reads`
    std::atomic<bool> wakePending{false}; // a delivery is coming: no need to post another
};

// The thread that opens the port, reads it and closes it again, for one opening.
class CommPort::Reader : public QThread
{
public:
    Reader(CommPort* owner, std::shared_ptr<Line> line, QString device)
        : m_owner(owner), m_line(std::move(line)), m_device(std::move(device))
    {
        setObjectName(QStringLiteral("lumatrax-port")); // the thread's name in the system
    }

    // Starts the thread through `start` and waits until the port is open, or has failed to open.
    std::optional<QString> openPort(const ThreadStart& start)
    {
        if (const int error = start(*this))
            return CommPort::tr("The port's reading thread could not be started (%1)")
                .arg(qt_error_string(error));
        std::unique_lock lock(m_openMutex);
        m_opened.wait(lock, [this] { return m_openDone; });
        return m_openError;
    }

protected:
    void run() override
    {
        // The port belongs to this thread, which runs no event loop: Qt's notifiers for it
        // never fire, and every byte is read below.
        QSerialPort port;
        port.setPortName(m_device);
        port.setBaudRate(kBaudRate);
        port.setDataBits(QSerialPort::Data8);
        if (!port.open(QIODevice::ReadWrite)) {
            openDone(openFailure(port.errorString()));
            return;
        }
        {
            std::lock_guard lock(m_line->io);
            m_line->fd = int(port.handle());
        }
        openDone(std::nullopt);

        serve();

        // Every way out of serve() comes here with the port still open, so what is queued leaves
        // before the earlier settings are restored.
        QString lossReason;
        {
            std::lock_guard lock(m_line->io);
            letOutputLeave(*m_line);
            m_line->fd = -1;
            if (m_line->lost)
                lossReason = m_line->lossReason;
        }
        port.close();
        if (!lossReason.isNull())
            m_owner->postLoss(m_line->opening, lossReason);
    }

private:
    void openDone(std::optional<QString> error)
    {
        std::lock_guard lock(m_openMutex);
        m_openError = std::move(error);
        m_openDone = true;
        m_opened.notify_all();
    }

    // A device that is no terminal at all (a regular file, a directory, /dev/zero) says so, and
    // so does a port that another program holds (by its lock file, or exclusively).
    [[nodiscard]] QString openFailure(const QString& reason) const
    {
        struct stat info = {};
        const bool exists = ::stat(QFile::encodeName(m_device).constData(), &info) == 0;
        if ((exists && !S_ISCHR(info.st_mode)) || reason == qt_error_string(ENOTTY))
            return QStringLiteral("not a serial port (%1)").arg(reason);
        if (reason == QCoreApplication::translate("QSerialPort",
                                                  "Permission error while locking the device") ||
            reason == qt_error_string(EBUSY)) {
            if (const std::optional<qint64> holder = portLockHolder(m_device))
                return CommPort::tr("in use by another program (process %1)").arg(*holder);
            return CommPort::tr("in use by another program");
        }
        return reason;
    }

    // Waits on the port and the wake-up pipe, writes what is queued, reads once the threshold's
    // worth waits and hands reads over, until a close or a loss. Those two are looked at in one
    // place only, at the top of a pass, so however a close meets the thread (waiting, reading,
    // handing over) it leaves by the same way.
    void serve()
    {
        Line& line = *m_line;
        for (;;) {
            short events = 0;
            bool backPressure = false;
            bool due = false; // a threshold lowered to what was taken already: the read is complete
            {
                std::lock_guard lock(line.io);
                if (line.stop || line.lost)
                    return;
                {
                    std::lock_guard readsLock(line.readsMutex);
                    backPressure = line.queuedBytes >= kMaxQueuedBytes;
                }
                if (line.threshold > 0 && !backPressure) {
                    if (!line.holdUntilReadable()) {
                        line.fail(errno);
                        continue;
                    }
                    events |= POLLIN;
                    due = line.pending.size() >= line.threshold;
                }
                if (!line.tx.isEmpty())
                    events |= POLLOUT;
            }
            pollfd fds[2] = {{line.fd, events, 0}, {line.wakeRead, POLLIN, 0}};
            const int timeout = due            ? 0
                                : backPressure ? int(kBackPressurePoll.count())
                                               : heldTimeout();
            const int polled = ::poll(fds, 2, timeout);
            const int pollError = errno;
            if (fds[1].revents & POLLIN) {
                char drained[64];
                while (::read(line.wakeRead, drained, sizeof drained) > 0) {
                }
            }

            // Reads completed in this pass; a loss in the same pass (or one that a write of the
            // user-interface thread met meanwhile) ends the thread at the top of the next, once
            // they are handed over.
            std::vector<QByteArray> completed;
            bool ended = false;
            {
                std::lock_guard lock(line.io);
                // Bytes are taken only when the system reports a read's worth: a wake-up for
                // writing or for the threshold leaves fewer where they are.
                const bool reading = line.threshold > 0 && !backPressure;
                if (polled < 0 && pollError != EINTR) {
                    // The thread can no longer wait on the port: a link that silently took
                    // commands and read nothing would be worse than a lost one.
                    line.fail(pollError);
                } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    line.fail(EBADF);
                } else if (!line.writePending()) {
                    line.fail(errno);
                } else if (reading && ((fds[0].revents & POLLIN) || due) &&
                           !takeRead(line, completed)) {
                    line.fail(errno);
                } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    // Whatever the system still gives is read as usual, and its failure says why.
                    QByteArray rest;
                    const bool drained = reading ? takeRead(line, completed) : line.drainInto(rest);
                    line.fail(drained ? EIO : errno);
                }
                ended = line.lost;
            }
            for (QByteArray& read : completed)
                handOver(std::move(read), !ended);
            if (!ended && completed.empty() && m_holding && Clock::now() >= m_lastPost + kHoldLimit)
                post(); // the stream paused with reads held back: they go now
        }
    }

    // Reads what the system holds; once the threshold is reached, every byte read so far is one
    // read. False when the device failed (errno tells why); a read completed before that still
    // counts. Under `io`.
    static bool takeRead(Line& line, std::vector<QByteArray>& completed)
    {
        const bool ok = line.drainInto(line.pending);
        const int error = errno;
        if (line.pending.size() >= line.threshold) {
            completed.push_back(std::move(line.pending));
            line.pending = QByteArray();
        }
        errno = error;
        return ok;
    }

    // Sends what is still queued and waits until the system's own output queue is empty too,
    // for at most kCloseFlush in all: closing restores the port's earlier settings (its earlier
    // speed, say), and bytes still leaving would go out garbled at that speed. On a device that
    // is gone both fail at once. Under `io`.
    static void letOutputLeave(Line& line)
    {
        const QDeadlineTimer deadline(kCloseFlush);
        while (!line.tx.isEmpty() && line.writePending() && !deadline.hasExpired()) {
            pollfd out{line.fd, POLLOUT, 0};
            if (::poll(&out, 1, int(deadline.remainingTime())) <= 0)
                break;
        }
        // No event tells when the output queue runs empty: it is looked at again after about
        // the time its bytes take on the line.
        int queued = 0;
        while (::ioctl(line.fd, TIOCOUTQ, &queued) == 0 && queued > 0 && !deadline.hasExpired()) {
            const auto onTheLine = kByteTime * queued;
            std::this_thread::sleep_for(std::clamp<std::chrono::microseconds>(
                onTheLine, std::chrono::milliseconds(1),
                std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime()))));
        }
    }

    // Reads reach the user-interface thread in turns: a read is delivered at once when the last
    // delivery was a turn interval ago or more, else it waits for the first read after that
    // interval (at the line's full rate one comes every 4.2 ms), or, should the stream pause, for
    // the hold limit. So the window is woken by this thread's write, never by a timer of its
    // own, and at most about sixty times a second.
    // A read handed over when the thread ends (`mayPost` false) goes with the loss.
    void handOver(QByteArray read, bool mayPost)
    {
        {
            std::lock_guard lock(m_line->readsMutex);
            m_line->queuedBytes += read.size();
            m_line->reads.push_back(std::move(read));
        }
        if (!mayPost)
            return;
        if (Clock::now() >= m_lastPost + kTurnInterval)
            post();
        else
            m_holding = true;
    }

    void post()
    {
        m_holding = false;
        m_lastPost = Clock::now();
        if (!m_line->wakePending.exchange(true))
            QMetaObject::invokeMethod(m_owner, &CommPort::turn, Qt::QueuedConnection);
    }

    // How long poll() may wait: for ever, unless reads are held back.
    [[nodiscard]] int heldTimeout() const
    {
        if (!m_holding)
            return -1;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(m_lastPost + kHoldLimit - Clock::now());
        return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }

    using Clock = std::chrono::steady_clock;
    Clock::time_point m_lastPost;
    bool m_holding = false;
    CommPort* m_owner;
    std::shared_ptr<Line> m_line;
    QString m_device;
    std::mutex m_openMutex;
    std::condition_variable m_opened;
    bool m_openDone = false;
    std::optional<QString> m_openError;
};

int CommPort::startThread(QThread& thread)
{
    thread.start();
    // QThread keeps the system's error to itself (it only logs it): a thread is refused for want
    // of memory or under the limit of threads, both EAGAIN.
    return thread.isRunning() || thread.isFinished() ? 0 : EAGAIN;
}

CommPort::CommPort(QObject* parent) : QObject(parent)
{
    setObjectName(QStringLiteral("cm"));
}

CommPort::~CommPort()
{
    close();
}

QString CommPort::describe(const QString& reason) const
{
    return QStringLiteral("%1 (%2): %3").arg(comName(m_number), m_devicePath, reason);
}

std::optional<QString> CommPort::open()
{
    const QString entry = comDevicePath(m_number, m_startDirectory);
    // A COMn link is opened through the device it names, so the port's lock follows the device.
    const QString target = QFileInfo(entry).canonicalFilePath();
    if (portOpen())
        return describe(tr("The port is already open"));
    close(); // what is left of an opening whose device was lost
    m_devicePath = target.isEmpty() ? entry : target;

    auto line = std::make_shared<Line>();
    if (line->pipeError != 0) // without it the reading thread could never be told to stop
        return describe(qt_error_string(line->pipeError));
    line->opening = ++m_openings;
    auto reader = std::make_unique<Reader>(this, line, m_devicePath);
    if (const std::optional<QString> error = reader->openPort(m_threadStart)) {
        reader->wait();
        return describe(*error);
    }
    m_line = std::move(line);
    m_reader = std::move(reader);
    return std::nullopt;
}

void CommPort::close()
{
    // A loss met during a handler's nested event loop belongs to this opening: told to the next,
    // it would take down a healthy line.
    m_lossMissed.reset();
    if (!m_reader)
        return;
    {
        std::lock_guard lock(m_line->io);
        m_line->stop = true;
        m_line->wake();
    }
    m_reader->wait();
    m_reader.reset();
    m_line.reset();
}

bool CommPort::portOpen() const
{
    if (!m_line)
        return false;
    std::lock_guard lock(m_line->io);
    return m_line->fd >= 0 && !m_line->lost;
}

std::optional<QString> CommPort::output(const QByteArray& bytes)
{
    if (!m_line)
        return describe(tr("The port is not open"));
    std::lock_guard lock(m_line->io);
    if (m_line->lost)
        return describe(tr("The connection to the device was lost (%1)").arg(m_line->lossReason));
    if (m_line->fd < 0)
        return describe(tr("The port is not open"));
    const bool waiting = !m_line->tx.isEmpty();
    m_line->tx.append(bytes);
    if (waiting)
        return std::nullopt; // behind bytes the reading thread sends
    if (!m_line->writePending()) {
        const int error = errno;
        m_line->fail(error);
        return describe(tr("The connection to the device was lost (%1)").arg(m_line->lossReason));
    }
    if (!m_line->tx.isEmpty())
        m_line->wake(); // the system is full for now: the reading thread sends the rest
    return std::nullopt;
}

QByteArray CommPort::input()
{
    if (!m_line)
        return {};
    std::lock_guard lock(m_line->io);
    if (m_line->fd < 0 || m_line->lost)
        return {};
    QByteArray data = std::move(m_line->pending);
    m_line->pending = QByteArray();
    if (!m_line->drainInto(data))
        m_line->fail(errno);
    return data;
}

void CommPort::setRThreshold(int threshold)
{
    if (!m_line)
        return;
    std::lock_guard lock(m_line->io);
    m_line->threshold = threshold;
    m_line->wake(); // bytes already waiting may reach the new threshold
}

void CommPort::turn()
{
    if (!m_line)
        return;
    if (m_inTurn) {
        // A handler running a nested event loop: the reads wait for the turn right after it.
        m_turnMissed = true;
        return;
    }
    Line& line = *m_line;
    // Cleared before the reads are taken: a read handed over after this posts a turn of its own.
    line.wakePending.store(false);
    std::vector<QByteArray> batch;
    bool wasFull = false;
    {
        std::lock_guard lock(line.readsMutex);
        batch.swap(line.reads);
        wasFull = line.queuedBytes >= kMaxQueuedBytes;
        line.queuedBytes = 0;
    }
    if (batch.empty())
        return;
    m_delivering = std::move(batch);
    m_inTurn = true;
    emit comm();
    m_inTurn = false;
    m_delivering.clear();
    if (std::exchange(m_turnMissed, false))
        QMetaObject::invokeMethod(this, &CommPort::turn, Qt::QueuedConnection);
    if (wasFull && m_line)
        m_line->wake(); // the reading thread reads again
    if (m_lossMissed && m_line)
        postLoss(m_line->opening, *std::exchange(m_lossMissed, std::nullopt));
}

void CommPort::postLoss(std::uint64_t opening, const QString& reason)
{
    QMetaObject::invokeMethod(
        this, [this, opening, reason] { readerLost(opening, reason); }, Qt::QueuedConnection);
}

void CommPort::readerLost(std::uint64_t opening, const QString& reason)
{
    if (!m_line || m_line->opening != opening)
        return; // closed or opened again meanwhile: that loss no longer matters
    if (m_inTurn) {
        // A handler running a nested event loop: its turn's reads, and those after, come first.
        m_lossMissed = reason;
        return;
    }
    turn(); // every read handed over before the loss
    if (!m_line || m_line->opening != opening || m_lossMissed)
        return;
    bool readsLeft = false; // met by a handler's nested event loop, delivered by a turn posted
    {
        std::lock_guard lock(m_line->readsMutex);
        readsLeft = !m_line->reads.empty();
    }
    if (readsLeft)
        return postLoss(opening, reason);
    emit linkLost(describe(tr("The connection to the device was lost (%1)").arg(reason)));
}

} // namespace lumatrax
