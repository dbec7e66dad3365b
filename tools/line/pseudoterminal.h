#pragma once

// A Linux pseudo-terminal pair in raw mode: the instrument's end (the master) and the device
// that the program opens as its serial port (the slave, /dev/pts/N).
//
// Raw mode (cfmakeraw) switches off echo, line editing, signal characters, XON/XOFF and every
// CR/LF translation, so each byte 0..255 passes unchanged both ways, as on a real serial line.
//
// The pair keeps a slave descriptor of its own open for as long as it is open. Without it the
// master reads EIO and polls as hung up whenever no program has the device open (before the
// program opens its port, and again after it closes it), which would end or spin the
// instrument's I/O loop. With it the line stays up across any number of opens and closes by the
// program. The slave descriptor is never read, so it takes no bytes meant for the program; bytes
// that the instrument writes while the program has the device closed wait in the line's buffer
// until it opens it again.
//
// Closing the master removes /dev/pts/N and hangs the line up for every program that still has
// it open: its reads end and its writes fail with EIO.

#include <QString>

namespace lumatrax {

class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens a fresh pair; the master is non-blocking. False, with errorString() set, on failure.
    bool open();
    // Closes the master and the slave descriptor held: the program sees a hang-up.
    void close();

    [[nodiscard]] bool isOpen() const { return m_masterFd >= 0; }
    [[nodiscard]] int masterFd() const { return m_masterFd; }
    // The slave descriptor the pair holds; never read, so it takes no bytes from the program.
    [[nodiscard]] int heldSlaveFd() const { return m_slaveFd; }
    // The slave device, for example /dev/pts/7; empty when closed.
    [[nodiscard]] QString devicePath() const { return m_devicePath; }
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    bool fail(const char* operation);

    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_devicePath;
    QString m_error;
};

} // namespace lumatrax
