// lumatrax-sim: the instrument simulated on a pseudo-terminal, for running lumatrax without
// hardware. See --help.

#include "link/configfile.h"
#include "tools/line/toolsupport.h"
#include "tools/sim/simoptions.h"
#include "tools/sim/simulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <vector>

#include <pthread.h>

using namespace lumatrax;

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// The commands in words, from the I/O thread. A program can greet the instrument as soon as its
// link exists, before the lines that say where it is are out; its commands wait for them.
class CommandLog
{
public:
    void add(const QString& words)
    {
        std::lock_guard lock(m_mutex);
        if (m_open)
            say(words);
        else
            m_held.push_back(words);
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        for (const QString& words : m_held)
            say(words);
        m_held.clear();
    }

private:
    std::mutex m_mutex;
    bool m_open = false;
    std::vector<QString> m_held;
};

void complain(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("lumatrax-sim: ") + line + QLatin1Char('\n')), stderr);
}

QString rateInWords(const SimOptions& o)
{
    if (o.framesPerSecond <= 0.0)
        return QStringLiteral("back to back at the line rate (one 210-byte burst per 4.2 ms)");
    return QStringLiteral("%1 per second").arg(o.framesPerSecond);
}

// What a replay plays, and a warning on stderr when the capture is damaged, cut short or holds
// nothing to play.
QString replayInWords(const SimOptions& o, const ReplayScript& script)
{
    for (const QString& warning : script.warnings())
        complain(QStringLiteral("warning: ") + warning);
    if (script.answer().isEmpty())
        complain(QStringLiteral("warning: the captured instrument never answered a greeting; "
                                "neither will this one"));
    if (script.burstCount() == 0)
        complain(QStringLiteral("warning: %1 holds nothing that the instrument sent to an "
                                "acknowledged program; RUN 1 will send nothing")
                     .arg(o.replayFile));
    const QString pace = o.replaySpeed <= 0.0
                             ? QStringLiteral("back to back at the line rate")
                             : QStringLiteral("at %1 times the captured pace").arg(o.replaySpeed);
    return QStringLiteral("lumatrax-sim: replaying %1: %2 bytes in %3 records over %4 s, %5%6, "
                          "after RUN 1")
        .arg(o.replayFile)
        .arg(script.byteCount())
        .arg(script.burstCount())
        .arg(std::chrono::duration<double>(script.duration()).count(), 0, 'f', 1)
        .arg(pace, o.replayLoop ? QStringLiteral(", looped") : QString());
}

} // namespace

int main(int argc, char* argv[])
{
    // The signals that end the simulator are taken by sigwait() below. They are blocked before
    // any thread starts, so every thread inherits the mask and none of them is interrupted.
    const sigset_t endSignals = blockEndSignals();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumatrax-sim"));
    const SimCommandLine commandLine = parseSimCommandLine(QCoreApplication::arguments());
    switch (commandLine.outcome) {
    case SimCommandLine::Outcome::Help:
        std::fputs(qPrintable(commandLine.text), stdout);
        return 0;
    case SimCommandLine::Outcome::Error:
        complain(commandLine.text);
        complain(QStringLiteral("see lumatrax-sim --help"));
        return 2;
    case SimCommandLine::Outcome::Run:
        break;
    }

    SimOptions options = commandLine.options;
    const QFileInfo directory(options.directory);
    if (!directory.isDir()) {
        complain(QStringLiteral("%1 is not a directory").arg(options.directory));
        return 1;
    }
    options.directory = directory.absoluteFilePath();

    if (options.writeConfig) {
        const QString config = configFilePath(options.directory);
        if (const auto problem = writePortNumber(config, std::int16_t(options.port))) {
            complain(*problem);
            return 1;
        }
    }

    CommandLog commandLog;
    Simulator simulator(options);
    if (options.verbose)
        simulator.setCommandLog([&commandLog](const QString& words) { commandLog.add(words); });
    simulator.setNotice([&commandLog](const QString& words) {
        commandLog.add(QStringLiteral("lumatrax-sim: ") + words);
    });
    if (!simulator.start()) {
        complain(QStringLiteral("cannot start: %1").arg(simulator.errorString()));
        return 1;
    }

    const QString link = simulator.instrument().linkPath();
    say(QStringLiteral("lumatrax-sim: COM%1 is %2, linked as %3")
            .arg(options.port)
            .arg(simulator.instrument().devicePath(), link));
    if (const ReplayScript* script = simulator.replayScript())
        say(replayInWords(options, *script));
    else
        say(QStringLiteral("lumatrax-sim: seed %1, reject share %2, guides %3,%4; frames %5 "
                           "while running")
                .arg(options.pieces.seed)
                .arg(options.pieces.rejectShare)
                .arg(options.pieces.guideHigh)
                .arg(options.pieces.guideLow)
                .arg(rateInWords(options)));
    if (options.packetSize > 0)
        say(QStringLiteral("lumatrax-sim: bytes reach the program in packets of at most %1, a "
                           "packet that is not full %2")
                .arg(options.packetSize)
                .arg(options.latency.count() == 0
                         ? QStringLiteral("as soon as the stream pauses")
                         : QStringLiteral("once the stream has paused %1 ms")
                               .arg(options.latency.count())));
    say(QStringLiteral("lumatrax-sim: start lumatrax in %1 with a Lumatrax.cfg naming port %2; "
                       "Ctrl-C ends")
            .arg(options.directory)
            .arg(options.port));
    commandLog.open();

    int received = 0;
    sigwait(&endSignals, &received);

    simulator.stop();
    if (simulator.replayScript())
        say(QStringLiteral("lumatrax-sim: %1 bytes sent; %2 removed")
                .arg(simulator.instrument().bytesSent())
                .arg(link));
    else
        say(QStringLiteral("lumatrax-sim: %1 frames sent; %2 removed")
                .arg(simulator.instrument().framesSent())
                .arg(link));
    return 0;
}
