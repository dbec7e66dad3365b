#include "tools/line/toolsupport.h"

#include <cerrno>

#include <pthread.h>
#include <unistd.h>

namespace lumatrax {

qsizetype writeSome(int fd, QByteArrayView bytes)
{
    for (;;) {
        const ssize_t written = ::write(fd, bytes.data(), std::size_t(bytes.size()));
        if (written >= 0)
            return qsizetype(written);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

sigset_t blockEndSignals()
{
    sigset_t endSignals;
    sigemptyset(&endSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&endSignals, s);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return endSignals;
}

StandardOptions::StandardOptions()
    : help({QStringLiteral("h"), QStringLiteral("help")},
           QStringLiteral("Show this help and exit.")),
      version(QStringLiteral("version"),
              QStringLiteral("Show the program's name and version and exit."))
{}

QString StandardOptions::versionText(const char* program)
{
    return QStringLiteral("%1 %2\n").arg(QLatin1String(program), QStringLiteral(LUMATRAX_VERSION));
}

ComLinkOptions::ComLinkOptions()
    : directory({QStringLiteral("d"), QStringLiteral("dir")},
                QStringLiteral("Directory for the COMn link: the start-up directory of lumatrax. "
                               "Default: the current directory."),
                QStringLiteral("DIR"), QStringLiteral(".")),
      port({QStringLiteral("p"), QStringLiteral("port")},
           QStringLiteral("COM port number 1..255; the link is named COM<N>. Default: 1."),
           QStringLiteral("N"), QStringLiteral("1"))
{}

std::optional<int> ComLinkOptions::portOf(const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < 1 || number > 255)
        return std::nullopt;
    return number;
}

} // namespace lumatrax
