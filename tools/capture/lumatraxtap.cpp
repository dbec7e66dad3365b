// lumatrax-tap: sits on the serial line between lumatrax and the instrument and records what
// crosses it in a capture file. See --help.

#include "tools/capture/linetap.h"
#include "tools/line/toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

const char* const kAbout = R"(Capture of the serial line between lumatrax and its instrument.

Opens the instrument's serial device at 500000 bit/s 8N1, places a link named COMn in a
directory that leads to a pseudo-terminal, and passes every byte between the two unchanged, in
order and at once. Every byte is also written to the capture file with its direction and its time
in microseconds; the file is made durable at least every second, so a crash or a power cut loses
at most the last second. Start lumatrax in that directory with a Lumatrax.cfg naming the port
(without one it uses COM1). Ctrl-C ends the capture and removes the link; so does the device going
away, with a message and exit status 1.

Replay the capture with lumatrax-sim --replay FILE; judge it with lumatrax-judge FILE.)";

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
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("The instrument's serial device, for example "
                                                   "/dev/ttyUSB0 or /dev/serial/by-id/..."),
                                    QStringLiteral("PATH"));
    const ComLinkOptions link;
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("The capture file to create; an existing file is "
                                                "never overwritten."),
                                 QStringLiteral("FILE"));
    parser.addOptions({help, device, link.directory, link.port, out});

    TapCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
    } else if (parser.isSet(help)) {
        result.help = parser.helpText();
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
    say(QStringLiteral("capturing to %1; start lumatrax in %2 with a Lumatrax.cfg naming port %3; "
                       "Ctrl-C ends")
            .arg(options.output, QFileInfo(link).path())
            .arg(options.port));

    const LineTap::Outcome outcome = tap.run(stopFd, [&](const QString& failure) {
        complain(QStringLiteral("the capture cannot be written: %1; the line is still "
                                "forwarded, but nothing more is captured")
                     .arg(failure));
    });
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
    say(QStringLiteral("%1 bytes from the instrument and %2 from the program in %3 records in %4; "
                       "%5 removed")
            .arg(capture.bytes(CaptureDirection::ToProgram))
            .arg(capture.bytes(CaptureDirection::ToInstrument))
            .arg(capture.records())
            .arg(options.output, link));
    return outcome.end == LineTap::End::Stopped && !captureFailure ? 0 : 1;
}
