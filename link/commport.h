#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;

namespace lumatrax {

// The serial port component: one COM port at 500000 bit/s, 8 data bits, raw bytes both ways, a
// receive threshold and a communications event that hands reads to the user-interface thread.
//
// The port is read on a thread of its own. That thread opens the port with Qt Serial Port (which
// settles the device, its settings, its lock file and its errors) and runs no event loop, so Qt's
// own notifiers never fire: it waits on the port's descriptor and reads it directly. Writes and
// the reads of input() go straight to the descriptor from the calling thread, under the same
// lock as the reading thread's, so bytes keep their order both ways.
//
// Receiving: while the threshold is 0 nothing is read; bytes wait in the system, and input()
// takes them. With a threshold of N, a read is handed over once at least N bytes wait (bytes
// already waiting when the threshold is armed count), and it holds every byte waiting then.
// Reads reach the user-interface thread in order, whole, once each. The communications event
// comm() delivers every read handed over since the previous one in one go, about once per
// kTurnInterval at most (the link's intervals are in linktiming.h), so at the line's full rate
// the user-interface thread wakes at about the screen's rate, not once per frame; when reads are
// rare each one is delivered at once. The reading thread paces these turns itself, so the
// user-interface thread is woken by it and not by a timer (on virtual machines a timer's wake-up
// costs far more). The system holds the reading thread until a read's worth of bytes waits
// (VMIN), so bytes arriving in small pieces do not wake it for each piece.
//
// Operations that can fail return the error's description, naming the port, the device it
// resolved to and the system's reason ("COM9 (/dev/ttyS8): No such file or directory"); a port
// that another program holds says so, with that program's process when its lock file names it
// ("COM1 (/dev/ttyUSB0): in use by another program (process 4711)").
// Parity, stop bits and flow control stay at Qt's defaults (none, one, none); the modem lines
// (DTR, RTS) are never touched.
//
// When the device goes away while open (an adapter pulled, the far side of a pseudo-terminal
// closed), or a call of the reading thread's own fails, the reading thread closes the port and
// linkLost() is emitted once, after every read handed over before it has been delivered. Reads
// waiting for the user-interface thread are bounded to about a second of the line in bytes;
// beyond that the thread reads nothing more and bytes wait in the system, as behind a full
// receive buffer.
class CommPort : public QObject
{
    Q_OBJECT
public:
    // The kind of communications event: received data reached the threshold.
    static constexpr int comEvReceive = 2;
    // The receive buffer the component is designed with. Reads here take every byte waiting,
    // up to many of these, so a burst far larger is read whole, in a few reads.
    static constexpr qint64 kReceiveBufferSize = 1024;

    explicit CommPort(QObject* parent = nullptr);
    ~CommPort() override;

    // The directory whose COMn entries name devices (the program's start-up directory).
    void setStartDirectory(const QString& directory) { m_startDirectory = directory; }

    // Selects COM n for the next open.
    void setCommPort(std::int16_t number) { m_number = number; }

    // Starts the reading thread of an opening: 0, or the system's error number when no thread
    // can be made (opening then fails with it). QThread::start() unless a test puts another here.
    using ThreadStart = std::function<int(QThread& thread)>;
    void setThreadStart(ThreadStart start) { m_threadStart = std::move(start); }

    // Opens the selected port; fails when it does not exist, is not a serial port, cannot be
    // opened, is open already or its reading thread cannot be started.
    [[nodiscard]] std::optional<QString> open();
    // Sends what is still queued and waits until the system has sent it (for at most a fifth of
    // a second in all) before the port's earlier settings are restored and it closes, wherever
    // the close meets the reading thread. Reads not yet delivered are dropped, and so is a loss
    // not yet told.
    void close();
    [[nodiscard]] bool portOpen() const;

    // Hands the bytes to the system in one write and returns at once; what the system cannot
    // take yet is sent by the reading thread, in order.
    [[nodiscard]] std::optional<QString> output(const QByteArray& bytes);

    // Every byte waiting, in arrival order, up to a bound of many receive buffers' worth; empty
    // when nothing waits.
    [[nodiscard]] QByteArray input();

    // 0: no communications events; N > 0: reads of at least N bytes are handed over. Lowered to
    // what the reading thread has taken already, that read is handed over at once.
    void setRThreshold(int threshold);

    // Inside a comm() handler: the kind of event and the reads it delivers, oldest first.
    [[nodiscard]] int commEvent() const { return comEvReceive; }
    [[nodiscard]] const std::vector<QByteArray>& reads() const { return m_delivering; }

    [[nodiscard]] QString devicePath() const { return m_devicePath; }

signals:
    // The communications event; reads() holds what it delivers.
    void comm();
    // The device went away while the port was open; the port is closed already. The
    // description names the port and the device, says that the connection was lost and gives the
    // system's reason.
    void linkLost(const QString& description);

private:
    class Line;
    class Reader;

    static int startThread(QThread& thread);
    void turn();
    void readerLost(std::uint64_t opening, const QString& reason);
    void postLoss(std::uint64_t opening, const QString& reason);
    [[nodiscard]] QString describe(const QString& reason) const;

    QString m_startDirectory;
    QString m_devicePath;
    std::int16_t m_number = 0;
    ThreadStart m_threadStart = &CommPort::startThread;
    std::uint64_t m_openings = 0;
    std::shared_ptr<Line> m_line;
    std::unique_ptr<Reader> m_reader;
    std::vector<QByteArray> m_delivering;
    bool m_inTurn = false;
    // A turn met while a handler of the previous one ran a nested event loop: taken right after.
    bool m_turnMissed = false;
    // A loss met while a handler ran a nested event loop: told after that turn's reads.
    std::optional<QString> m_lossMissed;
};

} // namespace lumatrax
