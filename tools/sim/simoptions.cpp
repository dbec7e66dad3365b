#include "tools/sim/simoptions.h"

#include "tools/line/toolsupport.h"
#include "tools/line/virtualinstrument.h"

#include <QCommandLineParser>

#include <cmath>

namespace lumatrax {

namespace {

const char* const kAbout = R"(Virtual Lumatrax instrument on a pseudo-terminal.

Opens a pseudo-terminal, places a link named COMn to it in a directory and behaves as the
instrument does at 500000 bit/s: it answers SYNC_FRAME then CMD_HELLO with the acknowledgement
172, streams sample frames (200 samples in a 210-byte burst) only between CMD_RUN 1 and CMD_RUN 0,
and takes the timebase, trigger edge and trigger level it is sent into account. Every frame is
one piece of a sorting line: a ringing whose amplitude and offset vary from piece to piece, most
of them inside the guides given, some above or below, with a little noise. With --replay it plays
a line captured by lumatrax-tap instead; the capture format is described in
/usr/share/doc/lumatrax/README.tools.md (tools/README.md in the sources).

Start lumatrax in the same directory: with no Lumatrax.cfg there it uses COM1, the default port;
for another port, the directory needs a Lumatrax.cfg naming it (see --write-config). Ctrl-C ends
the simulator and removes its link. An entry COMn that is there already is never replaced: the
simulator does not start (unless it is a link to a pseudo-terminal that has gone, left by a
simulator that was killed).)";

SimCommandLine error(const QString& text)
{
    SimCommandLine result;
    result.outcome = SimCommandLine::Outcome::Error;
    result.text = text;
    return result;
}

std::optional<double> toNumber(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional(value) : std::nullopt;
}

std::optional<int> toInt(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// --packet and --latency into `o`; the reason when they do not fit.
std::optional<QString> parseLine(const QString& packet, const QString& latency, bool latencySet,
                                 SimOptions& o)
{
    const std::optional<int> size = toInt(packet);
    if (!size || (*size != 0 && (*size < VirtualInstrument::kMinPacketSize ||
                                 *size > VirtualInstrument::kMaxPacketSize)))
        return QStringLiteral("--packet must be 0 or a number of bytes from %1 to %2")
            .arg(VirtualInstrument::kMinPacketSize)
            .arg(VirtualInstrument::kMaxPacketSize);
    const std::optional<int> hold = toInt(latency);
    if (!hold || *hold < 0 || *hold > 255)
        return QStringLiteral("--latency must be a whole number of milliseconds from 0 to 255");
    if (latencySet && *size == 0)
        return QStringLiteral("--latency goes with --packet");
    o.packetSize = *size;
    o.latency = std::chrono::milliseconds(*hold);
    return std::nullopt;
}

} // namespace

std::chrono::microseconds SimOptions::frameInterval() const
{
    if (framesPerSecond <= 0.0)
        return std::chrono::microseconds::zero();
    return std::chrono::microseconds(std::llround(1e6 / framesPerSecond));
}

SimCommandLine parseSimCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAbout));
    const StandardOptions standard;
    const QCommandLineOption& help = standard.help;
    const QCommandLineOption& version = standard.version;
    const ComLinkOptions link;
    const QCommandLineOption seed(
        QStringLiteral("seed"),
        QStringLiteral("Seed of the pieces (0..2^64-1): the same seed and the same commands give "
                       "the same frames. Default: 1."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption share(
        QStringLiteral("reject-share"),
        QStringLiteral("Share of pieces outside the guides, 0..1; half go above the High guide, "
                       "half below the Low guide. Default: 0.1."),
        QStringLiteral("F"), QStringLiteral("0.1"));
    const QCommandLineOption guides(
        QStringLiteral("guides"),
        QStringLiteral("Positions of the High and Low guide sliders (percent of the screen from "
                       "the top, 5..95, at least 20 apart) that good pieces fit. Default: 25,75."),
        QStringLiteral("HIGH,LOW"), QStringLiteral("25,75"));
    const QCommandLineOption noise(
        QStringLiteral("noise"),
        QStringLiteral("Largest noise excursion in sample counts, 0..20. Default: 2."),
        QStringLiteral("COUNTS"), QStringLiteral("2"));
    const QCommandLineOption rate(
        QStringLiteral("rate"),
        QStringLiteral("Frames per second while running. 0 sends them back to back at the line "
                       "rate: one 210-byte burst every 4.2 ms, about 238 a second; a higher rate "
                       "is held to the line rate. Default: 0."),
        QStringLiteral("FPS"), QStringLiteral("0"));
    const QCommandLineOption writeConfig(
        QStringLiteral("write-config"),
        QStringLiteral("Also write Lumatrax.cfg naming the port in DIR, replacing any there."));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Print every command received, in words: "
                                                    "\"RUN 1\", \"TIMEBASE 8 (20ms)\", "
                                                    "\"TRIGGER LEVEL 500\", "
                                                    "\"TRIGGER EDGE falling\"."));
    const QCommandLineOption replay(
        QStringLiteral("replay"),
        QStringLiteral("Play the instrument's side of a capture made by lumatrax-tap instead of "
                       "making pieces: answer the greeting as the captured instrument did and, "
                       "between RUN 1 and RUN 0, send the bytes it sent to the program, with "
                       "their captured spacing. RUN 0 pauses, RUN 1 goes on."),
        QStringLiteral("FILE"));
    const QCommandLineOption speed(
        QStringLiteral("speed"),
        QStringLiteral("With --replay: how many times faster than captured, or max for back to "
                       "back at the line rate. Default: 1."),
        QStringLiteral("F|max"), QStringLiteral("1"));
    const QCommandLineOption loop(QStringLiteral("loop"),
                                  QStringLiteral("With --replay: start again from the beginning "
                                                 "at the end of the capture."));
    const QCommandLineOption packet(
        QStringLiteral("packet"),
        QStringLiteral("Hand the bytes to the pseudo-terminal as a USB serial adapter does: in "
                       "packets of at most N bytes (8..4096; 62 for common adapters, 8 to 16 for "
                       "an on-board UART's FIFO), each once its last byte has crossed the line "
                       "at 50000 bytes a second. Bursts sent back to back run on in one stream "
                       "whose packets do not respect where a burst ends. 0 hands every burst "
                       "over whole. Default: 0."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption latency(
        QStringLiteral("latency"),
        QStringLiteral("With --packet: hold a packet that is not full until the stream has "
                       "paused this long, as an adapter's latency timer does (0..255 ms; 1 to 16 "
                       "for common adapters). 0 hands it over as soon as no byte follows within "
                       "a byte time. Default: 0."),
        QStringLiteral("MS"), QStringLiteral("0"));
    parser.addOptions({help, version, link.directory, link.port, seed, share, guides, noise, rate,
                       writeConfig, verbose, replay, speed, loop, packet, latency});

    if (!parser.parse(arguments))
        return error(parser.errorText());
    if (parser.isSet(help)) {
        SimCommandLine result;
        result.outcome = SimCommandLine::Outcome::Help;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        SimCommandLine result;
        result.outcome = SimCommandLine::Outcome::Help;
        result.text = StandardOptions::versionText("lumatrax-sim");
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return error(
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    SimOptions o;
    if (parser.isSet(replay)) {
        for (const QCommandLineOption* piecesOnly : {&seed, &share, &guides, &noise, &rate})
            if (parser.isSet(*piecesOnly))
                return error(QStringLiteral("--%1 makes pieces, and --replay plays a capture: "
                                            "give one of them")
                                 .arg(piecesOnly->names().constLast()));
        o.replayFile = parser.value(replay);
        o.replayLoop = parser.isSet(loop);
        const QString pace = parser.value(speed);
        const std::optional<double> factor = pace == u"max" ? std::optional(0.0) : toNumber(pace);
        if (!factor || (*factor <= 0.0 && pace != u"max"))
            return error(QStringLiteral("--speed must be a number above 0, or max"));
        o.replaySpeed = *factor;
    } else if (parser.isSet(speed) || parser.isSet(loop)) {
        return error(QStringLiteral("--speed and --loop go with --replay"));
    }
    if (const auto problem =
            parseLine(parser.value(packet), parser.value(latency), parser.isSet(latency), o))
        return error(*problem);
    o.directory = parser.value(link.directory);
    o.writeConfig = parser.isSet(writeConfig);
    o.verbose = parser.isSet(verbose);

    const std::optional<int> portNumber = ComLinkOptions::portOf(parser.value(link.port));
    if (!portNumber)
        return error(QString::fromLatin1(ComLinkOptions::kPortError));
    o.port = *portNumber;

    bool seedOk = false;
    o.pieces.seed = parser.value(seed).toULongLong(&seedOk);
    if (!seedOk)
        return error(QStringLiteral("--seed must be a whole number from 0 to 2^64-1"));

    const std::optional<double> shareValue = toNumber(parser.value(share));
    if (!shareValue)
        return error(QStringLiteral("--reject-share must be a number from 0 to 1"));
    o.pieces.rejectShare = *shareValue;

    const QStringList guidePair = parser.value(guides).split(QLatin1Char(','));
    const std::optional<int> high = guidePair.size() == 2 ? toInt(guidePair[0]) : std::nullopt;
    const std::optional<int> low = guidePair.size() == 2 ? toInt(guidePair[1]) : std::nullopt;
    if (!high || !low)
        return error(QStringLiteral("--guides must be two whole numbers: HIGH,LOW"));
    o.pieces.guideHigh = *high;
    o.pieces.guideLow = *low;

    const std::optional<double> noiseValue = toNumber(parser.value(noise));
    if (!noiseValue)
        return error(QStringLiteral("--noise must be a number from 0 to 20"));
    o.pieces.noise = *noiseValue;

    if (const auto problem = o.pieces.problem())
        return error(*problem);

    const std::optional<double> rateValue = toNumber(parser.value(rate));
    if (!rateValue || *rateValue < 0.0)
        return error(QStringLiteral("--rate must be a number of frames per second, 0 or more"));
    o.framesPerSecond = *rateValue;

    SimCommandLine result;
    result.options = o;
    return result;
}

} // namespace lumatrax
