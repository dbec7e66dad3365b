#pragma once

// A stand-in for the instrument on a Linux pseudo-terminal, so that the program's own serial
// stack can be driven end to end: the program opens the device path (or a COMn link to it) as
// its serial port, writes its four-byte commands and reads the acknowledgement and the sample
// frames, just as over a USB serial adapter.
//
// What it does on the line:
// - reassembles the program's byte stream into four-byte commands and records each one;
// - answers SYNC_FRAME followed by CMD_HELLO with DEVICE_ACK (configurable: at once, after a
//   delay, never, or with further bytes after it); CMD_HELLO after anything else goes
//   unanswered;
// - sends sample frames given to it, or made by a frame source while streaming, each as one
//   burst of 200 samples padded to the burst length (210 bytes unless set otherwise), and raw
//   bytes of any length for streams that are not frames;
// - keeps every burst to the pace of a 500000 bit/s 8N1 line (20 µs a byte): a 210-byte burst
//   occupies the line for 4.2 ms and the next one starts no earlier (see LinePacer);
// - hands each burst to the program whole, in one write, or, given a packet size, as a USB
//   adapter does: the stream in packets of at most that many bytes, each written when its last
//   byte has arrived, a packet that is not full only once the stream has paused for the
//   adapter's latency (see PacketLine);
// - optionally starts streaming on CMD_RUN with r = 1 and stops on r = 0, as the instrument does.
//
// Its I/O runs on a thread of its own that sleeps in ppoll() on the master, a wake-up eventfd
// and the next burst's (or packet's) deadline, so a busy thread elsewhere in the process neither
// slows it nor is slowed by it. Every public function may be called from any thread, except that
// open(), close(), placeLink(), linkPath(), pullPlug(), replug() and the destructor belong to the
// thread that owns the object. The frame source and the command observer run on the I/O thread and
// may call only the output functions and the records; so may the frame observer. Settings and
// records outlive a reconnect; the output queue, a command begun and the streaming state do not.

#include "link/protocol.h"
#include "tools/line/commandassembler.h"
#include "tools/line/comportlink.h"
#include "tools/line/linepacer.h"
#include "tools/line/pseudoterminal.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumatrax {

class VirtualInstrument
{
public:
    using Clock = std::chrono::steady_clock;
    using Frame = std::array<std::uint8_t, SAMPLES_PER_FRAME>;
    // Makes frame number `index` (0, 1, 2, ... since streaming started) on the I/O thread.
    using FrameSource = std::function<Frame(std::uint64_t index)>;
    // Sees every command as it arrives, on the I/O thread, after it has been recorded.
    using CommandObserver = std::function<void(const Command&)>;
    // Sees every frame burst once its last byte is on the line, on the I/O thread: the number
    // of frames sent whole so far, this one included, and when its write returned.
    using FrameObserver = std::function<void(std::uint64_t framesSent, Clock::time_point at)>;

    // How the greeting SYNC_FRAME, CMD_HELLO is answered.
    struct AckBehaviour
    {
        bool answer = true;                 // false: the greeting is recorded, never answered
        std::chrono::microseconds delay{0}; // from the arrival of CMD_HELLO
        QByteArray trailer;                 // bytes sent right after DEVICE_ACK, same burst

        [[nodiscard]] static AckBehaviour immediate() { return {}; }
        [[nodiscard]] static AckBehaviour after(std::chrono::microseconds d)
        {
            return {true, d, {}};
        }
        [[nodiscard]] static AckBehaviour never() { return {false, {}, {}}; }
        [[nodiscard]] static AckBehaviour followedBy(QByteArray bytes)
        {
            return {true, {}, std::move(bytes)};
        }
    };

    static constexpr std::chrono::nanoseconds kByteTime = LinePacer::byteTime(kBaudRate);
    static constexpr int kMaxBurstLength = 1024;
    static constexpr int kMinPacketSize = 8;
    static constexpr int kMaxPacketSize = 4096;

    VirtualInstrument();
    ~VirtualInstrument();
    VirtualInstrument(const VirtualInstrument&) = delete;
    VirtualInstrument& operator=(const VirtualInstrument&) = delete;

    // ---- The line
    // Opens a fresh pseudo-terminal and starts the I/O thread. False, with errorString() set,
    // when the system has no pseudo-terminal to give.
    bool open();
    // Stops the I/O thread, closes the line (the program sees a hang-up) and removes the link.
    void close();
    [[nodiscard]] bool isOpen() const;
    // The device the program opens, for example /dev/pts/7; empty while closed or unplugged.
    [[nodiscard]] QString devicePath() const;
    [[nodiscard]] QString errorString() const;

    // Places `directory`/COMn -> devicePath(), where no entry of that name stands but a link to
    // a pseudo-terminal that has gone (see comportlink.h). The link is removed by close() and
    // the destructor, and survives pullPlug().
    bool placeLink(const QString& directory, int portNumber);
    [[nodiscard]] QString linkPath() const;

    // ---- Device loss
    // The USB adapter is pulled: the line closes at once, without flushing what is queued, and
    // the device node goes away. The COMn link stays behind, dangling, as the program's
    // configuration would. Streaming stops and a command begun is forgotten.
    void pullPlug();
    // The adapter comes back: a fresh pseudo-terminal (usually with another device path), and
    // the COMn link, if one was placed, now points at it.
    bool replug();

    // ---- Behaviour (kept across reconnects)
    void setAckBehaviour(const AckBehaviour& behaviour);
    // Frames made while streaming; without a source, testPattern().
    void setFrameSource(FrameSource source);
    // Bytes per frame burst: the 200 samples and padding. Clamped to 210..1024; default 210.
    void setBurstLength(int bytes);
    void setPadByte(std::uint8_t byte);
    // Least time from the start of one streamed frame to the start of the next; zero (the
    // default) streams back to back at the line rate.
    void setFrameInterval(std::chrono::microseconds interval);
    // How the bytes reach the program: 0 (the default) writes every burst whole at once; a
    // packet size (clamped to 8..4096) hands the stream over in packets of at most that many
    // bytes, a packet that is not full once the stream has paused for `latency` (at least a
    // byte time). Takes effect when the line is next opened (open(), replug()).
    void setPackets(int packetSize, std::chrono::microseconds latency = {});
    // When true, CMD_RUN with r = 1 starts streaming and r = 0 stops it.
    void setStreamOnRun(bool on);
    void setCommandObserver(CommandObserver observer);
    void setFrameObserver(FrameObserver observer);

    // ---- Output, in order, after anything queued before. False when the line is not open.
    bool sendFrame(const Frame& samples);
    // One burst of any length, written as it is.
    bool sendRaw(const QByteArray& bytes);
    // Frames from the frame source, one after another at the frame interval or the line rate,
    // numbered from 0 at each start; they wait while anything else is queued.
    void startStreaming();
    void stopStreaming();
    [[nodiscard]] bool isStreaming() const;

    // ---- Records. A burst is counted just after its write returns, so the program may read
    // it a moment before the count shows it; bytes read after a later burst are counted.
    [[nodiscard]] std::vector<Command> commands() const;
    [[nodiscard]] int commandCount() const;
    // Every byte the program wrote, in order, also the bytes of a command not yet complete.
    [[nodiscard]] QByteArray received() const;
    [[nodiscard]] qsizetype receivedCount() const;
    // Frame bursts written to the line whole, given or streamed.
    [[nodiscard]] std::uint64_t framesSent() const;
    [[nodiscard]] int acksSent() const;
    [[nodiscard]] std::uint64_t bytesSent() const;
    // True after CMD_RUN with r = 1 until CMD_RUN with r = 0, whether or not it streams.
    [[nodiscard]] bool isRunning() const;
    // Empties the records and zeroes the counts.
    void clearRecords();

    // Block the calling thread until a count is reached; false on timeout.
    bool waitForCommands(int count, std::chrono::milliseconds timeout) const;
    bool waitForReceived(qsizetype bytes, std::chrono::milliseconds timeout) const;
    bool waitForFramesSent(std::uint64_t frames, std::chrono::milliseconds timeout) const;

    // A sine of four periods across the frame, amplitude 100 about the zero line (byte 128),
    // moving on by a fortieth of a period each frame.
    [[nodiscard]] static Frame testPattern(std::uint64_t index);

private:
    enum class BurstKind { Raw, Ack, Frame };
    struct Burst
    {
        QByteArray bytes;
        BurstKind kind = BurstKind::Raw;
        Clock::time_point readyAt;
    };
    struct Plan;

    struct FrameFormat
    {
        int burstLength = FRAME_RX_THRESHOLD;
        std::uint8_t padByte = SAMPLE_OFFSET;
    };

    bool startLine();
    void stopLine();
    void wake() const;
    void ioLoop();
    void burstLoop(int masterFd);
    void packetLoop(int masterFd, PacketLine line);
    void makeFrame(Plan& plan) const;
    Plan planNext(Clock::time_point now);
    void receiveFromLine();
    void deliverNow() const;
    void handleCommand(const Command& command, Clock::time_point now);
    void burstWritten(BurstKind kind, qsizetype bytes, bool whole);
    [[nodiscard]] static QByteArray frameBurst(const Frame& samples, FrameFormat format);
    template <typename Predicate>
    bool waitFor(std::chrono::milliseconds timeout, Predicate done) const;

    // Owned by the controlling thread; the I/O thread only uses the master descriptor and polls
    // the held slave descriptor, and only while it runs.
    PseudoTerminal m_pty;
    ComPortLink m_link;
    int m_wakeFd = -1;
    std::thread m_thread;

    // Owned by the I/O thread while it runs.
    CommandAssembler m_assembler;
    LinePacer m_pacer{kByteTime};
    Command m_previousCommand{};
    bool m_hasPreviousCommand = false;

    // Shared, under m_mutex.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopRequested = false;
    bool m_lineOpen = false;
    QString m_devicePath;
    QString m_error;
    AckBehaviour m_ack;
    FrameSource m_source;
    CommandObserver m_observer;
    FrameObserver m_frameObserver;
    FrameFormat m_format;
    std::chrono::microseconds m_frameInterval{0};
    int m_packetSize = 0;
    std::chrono::microseconds m_packetLatency{0};
    bool m_streamOnRun = false;
    std::deque<Burst> m_queue;
    std::vector<Burst> m_delayed; // acknowledgements waiting for their time
    bool m_streaming = false;
    Clock::time_point m_nextFrameAt;
    std::uint64_t m_frameIndex = 0;
    bool m_running = false;
    std::vector<Command> m_commands;
    QByteArray m_received;
    std::uint64_t m_framesSent = 0;
    std::uint64_t m_bytesSent = 0;
    int m_acksSent = 0;
};

} // namespace lumatrax
