#pragma once

// What the line tools share: the simulated instrument, lumatrax-sim, lumatrax-tap and
// lumatrax-judge. Plain
// POSIX and Qt Core.

#include <QByteArrayView>
#include <QCommandLineOption>
#include <QString>

#include <optional>

#include <csignal>

namespace lumatrax {

// Bytes taken by one write(); 0 when the far end's buffer is full, -1 when the line has failed.
[[nodiscard]] qsizetype writeSome(int fd, QByteArrayView bytes);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, so that every thread started after
// it inherits the mask and the program can wait for them itself (sigwait, signalfd); ignores
// SIGPIPE, so that output into a closed pipe loses the lines instead of ending the program
// without removing its link. Returns the blocked set.
[[nodiscard]] sigset_t blockEndSignals();

// The options every line tool takes: -h/--help and --version.
struct StandardOptions
{
    StandardOptions();
    QCommandLineOption help;
    QCommandLineOption version;

    // What --version prints: the program's name and version, and a line end.
    [[nodiscard]] static QString versionText(const char* program);
};

// The options that place a COMn link: --dir, the directory (default: the current one), and
// --port, the number 1..255 (default 1).
struct ComLinkOptions
{
    ComLinkOptions();
    QCommandLineOption directory;
    QCommandLineOption port;

    // The port given, or nothing when it is not a number from 1 to 255.
    [[nodiscard]] static std::optional<int> portOf(const QString& value);
    static constexpr const char* kPortError = "--port must be a number from 1 to 255";
};

} // namespace lumatrax
