// lumatrax-judge: judges every frame of a capture as lumatrax would have, for guide positions
// of one's choice. See --help.

#include "common/outputfile.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/drift.h"
#include "tools/capture/framecsv.h"
#include "tools/capture/frameextremes.h"
#include "tools/capture/guideteacher.h"
#include "tools/capture/reportcounts.h"
#include "tools/line/toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

const char* const kAbout = R"(Judges a line captured by lumatrax-tap as lumatrax judges it.

Finds the frames that lumatrax read on the captured line (every read of 200 bytes or more once
the instrument has acknowledged, as the read model described below finds them) and judges each
against the guides given as the window's High and Low sliders would set them, with the window's
own functions on its scope screen of 7215 x 4815 twips: ACCEPT when every sample lies between
the guides, REJECT otherwise. Prints a summary: frames, accepted, rejected above the upper
guide only, below the lower guide only, both, and the share rejected; then the program's reads
and their lengths, with a warning when a read is longer than 210 bytes or reads differ in
length: a read that took the head of the next burst shifts every later frame; then when the
capture started (UTC) and the instrument's device it was made on.

--teach proposes the guides instead, from a capture of pieces known to be good: the narrowest
band that accepts --keep percent of its frames, widened by --margin steps on each side, printed
as "taught guides U,L"; the capture is then judged at those guides. It reads the capture twice,
so it refuses one that can be read only once (a pipe, /dev/stdin). --bad judges a capture of
bad pieces at the same guides and prints how many it catches: "bad caught K of M".

--drift says, after the summary, how close the batch ran to each guide over time, in slider
steps: a warning before it starts to reject. A frame's margin to the upper guide is its highest
sample's height less the guide's, to the lower guide the guide's height less its lowest
sample's, in steps of 48.15 twips: positive inside, 0 (level with the guide) inside, negative
outside. The frames fall into at most 100 time bins of max(1 s, span / 100), with the 5th
percentile and the median of each margin per bin. One line per guide, such as "drift upper:
margin 11.8 -> 4.2 steps (median of the first and last bin), -6.1 steps/hour; within 3 steps
since 01:23:45", gives the median margins of the first and the last bin, the least-squares
trend of the bins' medians, and since when (from the capture's start) the last bins' 5th
percentile margin has been below --warn steps while they rejected under 5 % of their frames
there; else "never within N steps". The drift forecasts and is no fault: it leaves the exit
status as it is. With --teach it is that of the capture at the taught guides; --bad has none.

An OUT of - (or /dev/stdout, /dev/fd/1, /proc/self/fd/1) is standard output, and the summary
then goes to standard error; only one output can go there. /dev/stderr, /dev/fd/N and
/proc/self/fd/N are written through that open descriptor. A file
is replaced only once it is complete, with its mode, owner and group; one the user may not
write, or that cannot be replaced so, is refused before a byte is written. A device or a named
pipe is written as it stands. No output may be a capture, another output or the summary's
standard output: names that are one file (a hard link too, not two character devices such as
/dev/null) are refused in one line. Every input and output is opened and compared before a
byte is read or written, and the summary is printed once every output is in place. The capture format and the read model are described in
/usr/share/doc/lumatrax/README.tools.md (tools/README.md in the sources).)";

const char* const kExitAndExamples = R"(
Exit status:
  0  Judged cleanly.
  1  A capture or an output could not be read or written, or a capture holds no frames.
  2  Bad options (an empty name; --teach on a capture that can be read only once), or two
     names that are one file.
  3  Judged, with a warning: reads that may have shifted the frames, or a damaged or cut
     capture. A drift within --warn steps is no such warning.

Examples:
  lumatrax-judge line.lmxcap --guides 25,75 --report
      What those guides would have done, with the report's Sorting Result lines.
  lumatrax-judge good.lmxcap --teach --bad bad.lmxcap
      Guides taught from good pieces, and how many known bad ones they catch.
  lumatrax-judge line.lmxcap --guides 25,75 --plot batch.png --csv frames.csv
      The whole batch as one picture, and every frame's samples as a table.
  lumatrax-judge line.lmxcap --csv - | head -3
      The table on standard output, the summary on standard error.
  lumatrax-judge line.lmxcap --guides 25,75 --drift --drift-csv bins.csv
      How close the batch ran to each guide, and its time bins as a table.
)";

constexpr int kExitFailed = 1;
constexpr int kExitBadOptions = 2;
constexpr int kExitWarned = 3;

void complain(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("lumatrax-judge: ") + line + QLatin1Char('\n')), stderr);
}

struct JudgeCommandLine
{
    QString file;
    GuidePositions guides;
    bool frames = false;
    QString csv;
    bool teach = false;
    TeachRequest teaching;
    QString bad;
    QString plot;
    bool report = false;
    bool drift = false;
    int warnSteps = kDefaultDriftWarnSteps;
    QString driftCsv;
    QString error;
    QString help;
};

// PERCENT in hundredths: a number above 0 and at most 100, to two decimals.
std::optional<int> parseKeep(const QString& text)
{
    bool ok = false;
    const double percent = text.toDouble(&ok);
    const long hundredths = ok && std::isfinite(percent) ? std::lround(percent * 100.0) : -1;
    if (hundredths < 1 || hundredths > 10000)
        return std::nullopt;
    return int(hundredths);
}

// An output whose name is standard output ("-", /dev/stdout, /dev/fd/1): the summary then goes to
// standard error. /dev/stderr and any other descriptor are written as they stand.
bool toStandardOutput(const QString& name)
{
    return standardStreamOf(name) == STDOUT_FILENO;
}

JudgeCommandLine parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAbout));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The capture to judge."));
    const StandardOptions standard;
    const QCommandLineOption& help = standard.help;
    const QCommandLineOption& version = standard.version;
    const QCommandLineOption guides(
        QStringLiteral("guides"),
        QStringLiteral("Positions of the High (upper) and Low (lower) guide sliders, 0..100 with "
                       "0 at the top of the screen, as the window's sliders. Default: 50,50."),
        QStringLiteral("UPPER,LOWER"), QStringLiteral("50,50"));
    const QCommandLineOption frames(
        QStringLiteral("frames"),
        QStringLiteral("Also print one line per frame: its time in seconds since the capture "
                       "began, its verdict, whether it went above the upper guide and below the "
                       "lower guide (1 or 0), and its wall-clock time in UTC (the capture's start "
                       "plus its time, ISO 8601 with milliseconds)."));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("Write each frame's time, verdict, the two flags, "
                                                "its 200 samples (byte - 128) and its wall-clock "
                                                "time in UTC to OUT as CSV."),
                                 QStringLiteral("OUT"));
    const QCommandLineOption teach(
        QStringLiteral("teach"),
        QStringLiteral("Take the capture's frames as good pieces and propose the guides: among "
                       "all pairs of High and Low values that accept at least --keep percent of "
                       "the frames, the narrowest band (ties: the one whose middle lies nearest "
                       "the median middle of the frames, then the higher), widened by --margin "
                       "on each side, held to 0..100. Prints \"taught guides U,L\" and judges "
                       "the capture at those guides. Not with --guides."));
    const QCommandLineOption keep(QStringLiteral("keep"),
                                  QStringLiteral("With --teach: the share of the frames the band "
                                                 "must accept, above 0 and up to 100. Default: "
                                                 "100."),
                                  QStringLiteral("PERCENT"), QStringLiteral("100"));
    const QCommandLineOption margin(QStringLiteral("margin"),
                                    QStringLiteral("With --teach: slider steps added on each side "
                                                   "of the narrowest band, 0..100. Default: 2."),
                                    QStringLiteral("N"), QStringLiteral("2"));
    const QCommandLineOption bad(QStringLiteral("bad"),
                                 QStringLiteral("Also judge this capture of bad pieces at the "
                                                "guides (taught or given) and print how many of "
                                                "its frames are rejected: \"bad caught K of M\"."),
                                 QStringLiteral("FILE2"));
    const QCommandLineOption plot(
        QStringLiteral("plot"),
        QStringLiteral("Write a picture of the whole capture as the window would show it, "
                       "at twice its size: every accepted trace in cyan, brighter where many "
                       "pass, every rejected trace over them in amber, the guides, and a caption "
                       "with the counts. JPEG for a name ending in .jpg or .jpeg, BMP for .bmp, "
                       "PNG for any other. Needs no display."),
        QStringLiteral("OUT"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Also print the test report's Sorting Result lines with the counts filled "
                       "in: Tested (frames), Accepted, Upper Reject (frames above the upper "
                       "guide), Lower Reject (below the lower guide); a frame that went both ways "
                       "counts in both, and a line after them says how many did."));
    const QCommandLineOption drift(
        QStringLiteral("drift"),
        QStringLiteral("Also print, after the summary, how close the batch ran to each guide "
                       "over time (see above)."));
    const QCommandLineOption warn(QStringLiteral("warn"),
                                  QStringLiteral("With --drift: the margin, in slider steps, below "
                                                 "which the batch is said to run close to a guide, "
                                                 "0..100. Default: 3."),
                                  QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption driftCsv(
        QStringLiteral("drift-csv"),
        QStringLiteral("With --drift: write the time bins to OUT as CSV: start and end in "
                       "seconds since the capture began, frames, rejects at each guide, and the "
                       "5th percentile and median margin to each guide."),
        QStringLiteral("OUT"));
    parser.addOptions({help, version, guides, frames, csv, teach, keep, margin, bad, plot, report,
                       drift, warn, driftCsv});

    JudgeCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.help = parser.helpText() + QString::fromUtf8(kExitAndExamples);
        return result;
    }
    if (parser.isSet(version)) {
        result.help = StandardOptions::versionText("lumatrax-judge");
        return result;
    }
    if (parser.positionalArguments().size() != 1 ||
        parser.positionalArguments().first().isEmpty()) {
        result.error = QStringLiteral("give one capture file");
        return result;
    }
    result.file = parser.positionalArguments().first();
    const auto positions = guidePositionsFrom(parser.value(guides));
    if (!positions)
        result.error = QStringLiteral("--guides must be two whole numbers from 0 to 100: "
                                      "UPPER,LOWER");
    else
        result.guides = *positions;
    result.frames = parser.isSet(frames);
    result.csv = parser.value(csv);
    result.teach = parser.isSet(teach);
    result.bad = parser.value(bad);
    result.plot = parser.value(plot);
    result.report = parser.isSet(report);
    result.drift = parser.isSet(drift);
    result.driftCsv = parser.value(driftCsv);
    const auto keepShare = parseKeep(parser.value(keep));
    bool marginOk = false;
    result.teaching.margin = parser.value(margin).toInt(&marginOk);
    bool warnOk = false;
    result.warnSteps = parser.value(warn).toInt(&warnOk);
    const int onStandardOutput = int(toStandardOutput(result.csv)) +
                                 int(toStandardOutput(result.plot)) +
                                 int(toStandardOutput(result.driftCsv));
    if (result.teach && parser.isSet(guides))
        result.error = QStringLiteral("--teach proposes the guides: give --teach or --guides, not "
                                      "both");
    else if (!result.teach && (parser.isSet(keep) || parser.isSet(margin)))
        result.error = QStringLiteral("--keep and --margin go with --teach");
    else if (!keepShare)
        result.error = QStringLiteral("--keep must be a percentage above 0 and up to 100");
    else if (!marginOk || result.teaching.margin < 0 || result.teaching.margin > 100)
        result.error = QStringLiteral("--margin must be a whole number from 0 to 100");
    else if (!result.drift && (parser.isSet(warn) || parser.isSet(driftCsv)))
        result.error = QStringLiteral("--warn and --drift-csv go with --drift");
    else if (!warnOk || result.warnSteps < 0 || result.warnSteps > 100)
        result.error = QStringLiteral("--warn must be a whole number from 0 to 100");
    else if (onStandardOutput > 1)
        result.error = QStringLiteral("only one output can go to standard output (-)");
    for (const QCommandLineOption* named : {&csv, &bad, &plot, &driftCsv}) {
        if (parser.isSet(*named) && parser.value(*named).isEmpty())
            result.error = QStringLiteral("--%1 needs a file name").arg(named->names().first());
    }
    result.teaching.keepHundredths = keepShare.value_or(10000);
    return result;
}

// The judge renders offscreen, so it needs no display for --plot; it only asks for a platform
// then, before the options are parsed.
bool plotAsked(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--plot") == 0 || std::strncmp(argv[i], "--plot=", 7) == 0)
            return true;
    return false;
}

struct Input
{
    QByteArray key;          // as fileKey()
    bool readsTwice = false; // a file, which opened again reads from its start; not a pipe
};

// Opens an input to see that it can be read, not waiting on a named pipe: what it is, or
// nothing once it has said why it cannot.
std::optional<Input> openInput(const QString& name)
{
    const int fd =
        ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        complain(QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    const Input input{fileKey(fd), S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)};
    ::close(fd);
    return input;
}

// What the judge prints on its summary's stream, held until every output is in place, so a run
// that fails leaves no summary behind.
class HeldText
{
public:
    HeldText() : m_file(::open_memstream(&m_data, &m_size)) {}
    ~HeldText()
    {
        if (m_file)
            std::fclose(m_file);
        std::free(m_data);
    }
    HeldText(const HeldText&) = delete;
    HeldText& operator=(const HeldText&) = delete;

    [[nodiscard]] FILE* file() const { return m_file; }
    // False, errno set, when `out` does not take it all.
    [[nodiscard]] bool releaseTo(FILE* out)
    {
        std::fflush(m_file);
        return std::fwrite(m_data, 1, m_size, out) == m_size && std::fflush(out) == 0;
    }

private:
    char* m_data = nullptr;
    std::size_t m_size = 0;
    FILE* m_file;
};

// How long the program's reads were.
void reportReadLengths(FILE* text, const ReadLengths& lengths)
{
    std::fprintf(text, "reads           %lld\n", static_cast<long long>(lengths.reads()));
    std::fprintf(text, "read lengths    %s\n", qPrintable(describeReadLengths(lengths)));
}

} // namespace

int main(int argc, char* argv[])
{
    std::unique_ptr<QCoreApplication> app;
    if (plotAsked(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The platform's notes about a desktop session it does not use are no news here.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type != QtWarningMsg || !text.startsWith(QLatin1String("QStandardPaths:")))
                std::fprintf(stderr, "%s\n", qPrintable(text));
        });
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("lumatrax-judge"));
    JudgeCommandLine commandLine = parse(QCoreApplication::arguments());
    if (!commandLine.help.isEmpty()) {
        std::fputs(qPrintable(commandLine.help), stdout);
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        complain(commandLine.error);
        complain(QStringLiteral("see lumatrax-judge --help"));
        return kExitBadOptions;
    }

    // What the judge says goes to standard error while an output takes standard output.
    const bool outputOnStdout = toStandardOutput(commandLine.csv) ||
                                toStandardOutput(commandLine.plot) ||
                                toStandardOutput(commandLine.driftCsv);
    FILE* const shown = outputOnStdout ? stderr : stdout;
    HeldText held;
    FILE* const text = held.file();
    if (!text) {
        complain(QString::fromLocal8Bit(std::strerror(errno)));
        return kExitFailed;
    }
    auto print = [text](const QByteArray& line) { std::fputs(line.constData(), text); };

    // Every input opened and every output in hand before a byte is read or written; no two of
    // them, nor the summary's standard output, may be one file.
    std::vector<std::pair<QString, QByteArray>> named; // and what each leads to
    for (const QString* input : {&commandLine.file, &commandLine.bad}) {
        if (input->isEmpty())
            continue;
        const auto opened = openInput(*input);
        if (!opened)
            return kExitFailed;
        // Teaching goes through the capture once to teach and once more to judge at the
        // guides taught; a second pass over a pipe would find it drained.
        if (commandLine.teach && input == &commandLine.file && !opened->readsTwice) {
            complain(QStringLiteral("--teach reads the capture twice, and %1 can be read only "
                                    "once (a pipe or a device): save it to a file first")
                         .arg(*input));
            return kExitBadOptions;
        }
        named.emplace_back(input == &commandLine.bad ? QStringLiteral("--bad ") + *input
                                                     : QStringLiteral("the capture ") + *input,
                           opened->key);
    }
    OutputFile csv;
    OutputFile picture;
    OutputFile bins;
    for (auto [file, name, option] : {std::tuple{&csv, &commandLine.csv, "--csv "},
                                      std::tuple{&picture, &commandLine.plot, "--plot "},
                                      std::tuple{&bins, &commandLine.driftCsv, "--drift-csv "}}) {
        if (name->isEmpty())
            continue;
        if (const auto failure = file->open(*name, OutputFile::Mode::Replace)) {
            complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
            return kExitFailed;
        }
        named.emplace_back(QLatin1String(option) + *name, file->key());
    }
    if (!outputOnStdout)
        named.emplace_back(QStringLiteral("standard output"), fileKey(STDOUT_FILENO));
    for (std::size_t i = 0; i < named.size(); ++i) {
        for (std::size_t j = i + 1; j < named.size(); ++j) {
            if (!named[i].second.isEmpty() && named[i].second == named[j].second) {
                complain(QStringLiteral("%1 and %2 are the same file: give each a name of its own")
                             .arg(named[i].first, named[j].first));
                return kExitBadOptions;
            }
        }
    }

    // A device or a pipe that takes nothing is told of at once.
    if (const auto failure = csv.isOpen() ? csv.write(frameCsvHeader()) : std::nullopt) {
        complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
        return kExitFailed;
    }

    bool warned = false;
    if (commandLine.teach) {
        const TeachOutcome teaching = teachFromCapture(commandLine.file, commandLine.teaching);
        if (!teaching.error.isEmpty()) {
            complain(teaching.error);
            return kExitFailed;
        }
        // Said before the result: frames shifted by the read rule teach the wrong band.
        for (const QString& warning : teaching.warnings)
            complain(QStringLiteral("warning: ") + warning);
        if (!teaching.taught) {
            complain(QStringLiteral("%1 holds no frames to teach from (no frames were read once "
                                    "the instrument had acknowledged the program)")
                         .arg(commandLine.file));
            return kExitFailed;
        }
        warned = !teaching.warnings.isEmpty();
        const TaughtGuides& t = *teaching.taught;
        print(QStringLiteral("taught from %1 frames: the narrowest band that accepts at least %2 "
                             "of them (%3 %) is %4,%5 and accepts %6; widened by %7 on each side\n")
                  .arg(t.frames)
                  .arg(t.needed)
                  .arg(commandLine.teaching.keepHundredths / 100.0)
                  .arg(t.narrowest.upper)
                  .arg(t.narrowest.lower)
                  .arg(t.kept)
                  .arg(commandLine.teaching.margin)
                  .toUtf8());
        print(QStringLiteral("taught guides %1,%2\n")
                  .arg(t.guides.upper)
                  .arg(t.guides.lower)
                  .toUtf8());
        commandLine.guides = t.guides;
    }

    // The lines of --frames go out as the frames are judged, as a table on standard output does:
    // only the summary waits for the outputs.
    if (commandLine.frames)
        std::fputs("time_s verdict above_upper below_lower utc\n", shown);
    // For the drift: of each frame only its time and its extremes, 10 bytes.
    std::vector<std::int64_t> frameTimes;
    std::vector<FrameExtremes> frameExtremes;

    std::optional<BatchPlot> plot;
    if (picture.isOpen())
        plot.emplace(commandLine.guides);
    QByteArray rows; // the table's rows, handed to the writer in blocks
    constexpr qsizetype kRowBlock = 64 * 1024;

    const JudgeOutcome outcome =
        judgeCapture(commandLine.file, commandLine.guides, [&](const JudgedFrame& frame) {
            if (commandLine.frames)
                std::fprintf(shown, "%s %s %d %d %s\n", secondsText(frame.atUs).constData(),
                             verdictWord(frame.verdict).constData(), int(frame.verdict.aboveUpper),
                             int(frame.verdict.belowLower),
                             qPrintable(wallClockUtc(frame.startedAtUs, frame.atUs)));
            if (commandLine.drift) {
                frameTimes.push_back(frame.atUs);
                frameExtremes.push_back(extremesOf(frame.samples));
            }
            if (csv.isOpen()) {
                rows += frameCsvLine(frame.startedAtUs, frame.atUs, frame.verdict, frame.samples);
                if (rows.size() >= kRowBlock)
                    (void)csv.write(std::exchange(rows, {})); // a failure sticks, told at commit
            }
            if (plot)
                plot->add(frame.samples, frame.verdict);
        });
    if (!outcome.error.isEmpty()) {
        complain(outcome.error);
        return kExitFailed;
    }
    for (const QString& warning : commandLine.teach ? QStringList() : outcome.warnings)
        complain(QStringLiteral("warning: ") + warning);
    if (outcome.acknowledged == 0)
        complain(QStringLiteral("warning: the instrument never acknowledged the program in this "
                                "capture (%1 greetings): it holds no frames")
                     .arg(outcome.greetings));
    warned = warned || !outcome.warnings.isEmpty();
    if (outcome.summary.frames == 0) {
        if (outcome.acknowledged != 0)
            complain(QStringLiteral("%1 holds no frames").arg(commandLine.file));
        return kExitFailed;
    }

    const JudgeSummary& s = outcome.summary;
    std::fprintf(text, "guides          %d,%d\n", commandLine.guides.upper,
                 commandLine.guides.lower);
    std::fprintf(text, "frames          %lld\n", static_cast<long long>(s.frames));
    std::fprintf(text, "accepted        %lld\n", static_cast<long long>(s.accepted));
    std::fprintf(text, "rejected above  %lld\n", static_cast<long long>(s.rejectedAbove));
    std::fprintf(text, "rejected below  %lld\n", static_cast<long long>(s.rejectedBelow));
    std::fprintf(text, "rejected both   %lld\n", static_cast<long long>(s.rejectedBoth));
    std::fprintf(text, "reject share    %.2f %%\n", 100.0 * s.rejectShare());
    reportReadLengths(text, outcome.reads);
    std::fprintf(text, "started         %s\n",
                 qPrintable(wallClockUtc(outcome.header.startedAtUs, 0)));
    std::fprintf(text, "device          %s\n",
                 outcome.header.device.isEmpty() ? "(not named)"
                                                 : qPrintable(outcome.header.device));
    std::optional<DriftReport> drift;
    if (commandLine.drift) {
        // Record times never go back, so the first frame is the earliest and the last the latest.
        DriftFold fold(frameTimes.front(), frameTimes.back());
        for (std::size_t i = 0; i < frameTimes.size(); ++i)
            fold.add(frameTimes[i], frameExtremes[i]);
        drift = fold.report(commandLine.guides, commandLine.warnSteps);
        for (GuideSide side : {GuideSide::Upper, GuideSide::Lower})
            print(driftLine(*drift, side).toUtf8() + '\n');
    }

    if (!commandLine.bad.isEmpty()) {
        const JudgeOutcome bad = judgeCapture(commandLine.bad, commandLine.guides);
        if (!bad.error.isEmpty()) {
            complain(bad.error);
            return kExitFailed;
        }
        for (const QString& warning : bad.warnings)
            complain(QStringLiteral("warning: %1: %2").arg(commandLine.bad, warning));
        if (bad.summary.frames == 0) {
            complain(QStringLiteral("%1 holds no frames").arg(commandLine.bad));
            return kExitFailed;
        }
        warned = warned || !bad.warnings.isEmpty();
        std::fprintf(text, "bad caught %lld of %lld\n",
                     static_cast<long long>(bad.summary.rejected()),
                     static_cast<long long>(bad.summary.frames));
    }
    if (commandLine.report)
        print(sortingResultLines(s) + countedTwiceLine(s));

    // Every output written and in place before the summary is shown.
    std::optional<SaveFailure> failure;
    if (plot) {
        const char* format = pictureFormatOf(commandLine.plot);
        const QByteArray bytes =
            encodedPicture(plot->image(QFileInfo(commandLine.file).fileName(), s), format);
        failure =
            bytes.isEmpty()
                ? SaveFailure{commandLine.plot,
                              QStringLiteral("cannot make a %1 picture").arg(QLatin1String(format))}
                : picture.write(bytes);
    }
    if (!failure && csv.isOpen())
        failure = csv.write(rows);
    if (!failure && csv.isOpen())
        failure = csv.commit();
    if (!failure && picture.isOpen())
        failure = picture.commit();
    if (!failure && bins.isOpen())
        failure = bins.write(driftCsv(*drift));
    if (!failure && bins.isOpen())
        failure = bins.commit();
    if (failure) {
        complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
        return kExitFailed;
    }
    if (!held.releaseTo(shown)) {
        complain(
            QStringLiteral("%1: %2").arg(shown == stdout ? "standard output" : "standard error",
                                         QString::fromLocal8Bit(std::strerror(errno))));
        return kExitFailed;
    }
    return warned ? kExitWarned : 0;
}
