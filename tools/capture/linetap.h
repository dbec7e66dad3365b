#pragma once

// A tap on the serial line between the program and a real instrument. It opens the instrument's
// device at the line's settings (500000 bit/s, 8N1, no flow control), offers the program a
// pseudo-terminal behind a COMn link, and passes every byte from one to the other unchanged and
// in order, recording each read, with its direction and time, in a capture file (CaptureWriter).
//
// Forwarding runs on one thread that sleeps in poll() on both ends and writes what it read
// straight on, so a byte spends only the time of a read and a write in the tap; the disk is the
// capture writer's thread's business. When one end does not take bytes, they wait in a backlog
// of at most kMaxBacklog bytes, and then the tap stops reading the other end, as a line whose
// reader is late: nothing it has read and recorded is ever dropped.
//
// The pseudo-terminal stays up while the program closes and reopens its port (see
// PseudoTerminal), so one capture may hold several runs of the program.

#include "tools/capture/capturewriter.h"
#include "tools/line/comportlink.h"
#include "tools/line/pseudoterminal.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace lumatrax {

struct TapOptions
{
    QString device;                          // the instrument's serial device
    QString directory = QStringLiteral("."); // where the COMn link goes
    int port = 1;
    QString output; // the capture file, created new
};

class LineTap
{
public:
    static constexpr qsizetype kMaxBacklog = 64 * 1024;

    enum class End {
        Stopped,    // the stop descriptor became readable
        DeviceLost, // the instrument's device went away or failed
        LineFailed, // the pseudo-terminal failed
    };
    struct Outcome
    {
        End end = End::Stopped;
        QString reason; // the system's words for a loss
    };

    LineTap() = default;
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Opens the device, creates the capture file, opens the pseudo-terminal and places the link;
    // the reason when one of them cannot be done, with nothing left behind. A COMn entry already
    // in the directory is left alone and refused, unless it is a link to nothing (left by a run
    // that crashed).
    [[nodiscard]] std::optional<QString> start(const TapOptions& options);

    // Forwards until `stopFd` becomes readable or an end goes away. `notice` hears, once, that
    // the capture file has failed; forwarding goes on without it.
    Outcome run(int stopFd, const std::function<void(const QString&)>& notice);

    // Closes the line and removes the link, then writes the last records and closes the capture.
    // The capture's failure, if any.
    std::optional<QString> finish();

    [[nodiscard]] QString programDevice() const { return m_pty.devicePath(); }
    [[nodiscard]] QString linkPath() const { return m_link.path(); }
    [[nodiscard]] const CaptureWriter& capture() const { return m_capture; }

private:
    std::optional<QString> openDevice(const QString& path);
    void closeDevice();
    // Makes the program's side hand over what the master was given at once (see
    // VirtualInstrument).
    void deliverNow() const;

    int m_deviceFd = -1;
    PseudoTerminal m_pty;
    ComPortLink m_link;
    CaptureWriter m_capture;
    QByteArray m_toProgram;    // read from the device, not yet taken by the pseudo-terminal
    QByteArray m_toInstrument; // read from the pseudo-terminal, not yet taken by the device
};

} // namespace lumatrax
