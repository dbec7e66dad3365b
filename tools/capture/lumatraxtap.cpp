// lumatrax-tap: sits on the serial line between lumatrax and the instrument and records what
// crosses it in a capture file. See --help.

#include "tools/capture/captureframecounter.h"
#include "tools/capture/linetap.h"
#include "tools/line/toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

const char* const kAbout = R"(Capture of the serial line between lumatrax and its instrument.

Opens the instrument's serial device at 500000 bit/s 8N1, places a link named COMn in a
directory that leads to a pseudo-terminal, and passes every byte between the two unchanged, in
order and at once. Every byte is also written to the capture file with its direction and its time
in microseconds; the file is made durable every quarter second, so a crash or a power cut loses
at most the last second. Start lumatrax in that directory: with no Lumatrax.cfg there it uses
COM1, the default port; for another port, the directory needs a Lumatrax.cfg naming it. Ctrl-C
ends the capture and removes the link; so does the device going away, with a message and exit
status 1. While standard error is a terminal, one status line there shows the time running, the
bytes each way and the frames so far (as lumatrax reads them), refreshed once a second.

While it writes the capture, the tap holds an advisory lock (flock) on it: lumatrax-review
follows the capture as it grows and says "live" until the lock is gone.

Replay the capture with lumatrax-sim --replay FILE; judge it with lumatrax-judge FILE. The
capture format is described in /usr/share/doc/lumatrax/README.tools.md (tools/README.md in the
sources).)";

void say(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("lumatrax-tap: ") + line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void complain(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("lumatrax-tap: ") + line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

// "N frames", or why they are not counted.
QString framesSoFar(CaptureFrameCounter& frames)
{
    const std::uint64_t count = frames.catchUp();
    return frames.unreadable() ? QStringLiteral("frames not counted (the capture is no regular "
                                                "file)")
                               : QStringLiteral("%1 frames").arg(count);
}

// The status line on a terminal: refreshed once a second from the capture's counts and the
// frames found in the file written so far, on a thread of its own, so the forwarding never
// waits for it.
class StatusLine
{
public:
    StatusLine(const CaptureWriter& capture, CaptureFrameCounter& frames)
        : m_capture(capture), m_frames(frames), m_start(std::chrono::steady_clock::now())
    {
        m_thread = std::thread([this] { run(); });
    }
    ~StatusLine()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        do {
            const auto running = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - m_start);
            const long long s = running.count();
            std::fprintf(
                stderr,
                "\r%lld:%02lld:%02lld  %llu bytes from the instrument, %llu from the "
                "program, %s\033[K",
                s / 3600, s / 60 % 60, s % 60,
                static_cast<unsigned long long>(m_capture.bytes(CaptureDirection::ToProgram)),
                static_cast<unsigned long long>(m_capture.bytes(CaptureDirection::ToInstrument)),
                qPrintable(framesSoFar(m_frames)));
            std::fflush(stderr);
        } while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; }));
    }

    const CaptureWriter& m_capture;
    CaptureFrameCounter& m_frames;
    const std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

struct TapCommandLine
{
    TapOptions options;
    QString error;
    QString help;
};

TapCommandLine parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAbout));
    const StandardOptions standard;
    const QCommandLineOption& help = standard.help;
    const QCommandLineOption& version = standard.version;
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("The instrument's serial device, for example "
                                                   "/dev/ttyUSB0 or /dev/serial/by-id/..."),
                                    QStringLiteral("PATH"));
    const ComLinkOptions link;
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("The capture file to create; an existing file is "
                                                "never overwritten."),
                                 QStringLiteral("FILE"));
    parser.addOptions({help, version, device, link.directory, link.port, out});

    TapCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
    } else if (parser.isSet(help)) {
        result.help = parser.helpText();
    } else if (parser.isSet(version)) {
        result.help = StandardOptions::versionText("lumatrax-tap");
    } else if (!parser.positionalArguments().isEmpty()) {
        result.error =
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
    } else if (parser.value(device).isEmpty() || parser.value(out).isEmpty()) {
        result.error = QStringLiteral("--device and --out are both needed");
    } else {
        const std::optional<int> port = ComLinkOptions::portOf(parser.value(link.port));
        if (!port)
            result.error = QString::fromLatin1(ComLinkOptions::kPortError);
        result.options.port = port.value_or(0);
        result.options.device = parser.value(device);
        result.options.directory = parser.value(link.directory);
        result.options.output = parser.value(out);
    }
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // The signals that end the capture are read from a descriptor in the forwarding loop. They
    // are blocked before any thread starts, so every thread inherits the mask.
    const sigset_t endSignals = blockEndSignals();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumatrax-tap"));
    const TapCommandLine commandLine = parse(QCoreApplication::arguments());
    if (!commandLine.help.isEmpty()) {
        std::fputs(qPrintable(commandLine.help), stdout);
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        complain(commandLine.error);
        complain(QStringLiteral("see lumatrax-tap --help"));
        return 2;
    }
    const TapOptions& options = commandLine.options;

    const int stopFd = ::signalfd(-1, &endSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        complain(QStringLiteral("signalfd: ") + qt_error_string(errno));
        return 1;
    }
    LineTap tap;
    if (const auto problem = tap.start(options)) {
        complain(QStringLiteral("cannot start: ") + *problem);
        return 1;
    }
    const QString link = tap.linkPath();
    say(QStringLiteral("instrument on %1 at %2 bit/s 8N1; COM%3 is %4, linked as %5")
            .arg(options.device)
            .arg(500000)
            .arg(options.port)
            .arg(tap.programDevice(), link));
    say(QStringLiteral("capturing to %1; start lumatrax in %2 %3; Ctrl-C ends")
            .arg(options.output, QFileInfo(link).path(),
                 options.port == 1
                     ? QStringLiteral("(with no Lumatrax.cfg there it uses COM1)")
                     : QStringLiteral("with a Lumatrax.cfg naming port %1").arg(options.port)));

    CaptureFrameCounter frames(options.output);
    std::optional<StatusLine> status;
    if (::isatty(STDERR_FILENO))
        status.emplace(tap.capture(), frames);
    const LineTap::Outcome outcome = tap.run(stopFd, [&](const QString& failure) {
        complain(QStringLiteral("the capture cannot be written: %1; the line is still "
                                "forwarded, but nothing more is captured")
                     .arg(failure));
    });
    status.reset();
    const auto captureFailure = tap.finish();
    ::close(stopFd);

    const CaptureWriter& capture = tap.capture();
    switch (outcome.end) {
    case LineTap::End::Stopped:
        break;
    case LineTap::End::DeviceLost:
        complain(QStringLiteral("the instrument's device %1 went away (%2); the capture ends there")
                     .arg(options.device, outcome.reason));
        break;
    case LineTap::End::LineFailed:
        complain(QStringLiteral("the program's pseudo-terminal failed (%1); the capture ends "
                                "there")
                     .arg(outcome.reason));
        break;
    }
    if (captureFailure)
        complain(QStringLiteral("the capture is incomplete: %1; %2 bytes were not captured")
                     .arg(*captureFailure)
                     .arg(capture.bytesLost()));
    say(QStringLiteral("%1 bytes from the instrument and %2 from the program in %3 records, %4, "
                       "in %5; %6 removed")
            .arg(capture.bytes(CaptureDirection::ToProgram))
            .arg(capture.bytes(CaptureDirection::ToInstrument))
            .arg(capture.records())
            .arg(framesSoFar(frames), options.output, link));
    return outcome.end == LineTap::End::Stopped && !captureFailure ? 0 : 1;
}
