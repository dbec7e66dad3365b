#include "tools/line/pseudoterminal.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace lumatrax {

namespace {

bool makeRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    // A pseudo-terminal runs at no speed at all; the setting is only what a program that asks
    // reads back.
    ::cfsetispeed(&settings, B500000);
    ::cfsetospeed(&settings, B500000);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool addFlags(int fd, int statusFlags)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | statusFlags) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::open()
{
    close();
    m_error.clear();
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_masterFd < 0)
        return fail("posix_openpt");
    if (!addFlags(m_masterFd, O_NONBLOCK))
        return fail("fcntl");
    if (::grantpt(m_masterFd) != 0)
        return fail("grantpt");
    if (::unlockpt(m_masterFd) != 0)
        return fail("unlockpt");
    char name[128] = {};
    if (::ptsname_r(m_masterFd, name, sizeof name) != 0)
        return fail("ptsname_r");
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slaveFd < 0)
        return fail("open");
    // The slave's settings rule the line discipline that every byte passes in either direction
    // (on Linux the master has no settings of its own that touch the data).
    if (!makeRaw(m_slaveFd))
        return fail("tcsetattr");
    m_devicePath = QString::fromLocal8Bit(name);
    return true;
}

void PseudoTerminal::close()
{
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    m_slaveFd = -1;
    m_masterFd = -1;
    m_devicePath.clear();
}

bool PseudoTerminal::fail(const char* operation)
{
    const int error = errno;
    close();
    m_error = QStringLiteral("%1: %2").arg(QString::fromLatin1(operation), qt_error_string(error));
    return false;
}

} // namespace lumatrax
