// lumatrax-judge: judges every frame of a capture as lumatrax would have, for guide positions
// of one's choice. See --help.

#include "common/outputfile.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/guideteacher.h"
#include "tools/capture/reportcounts.h"
#include "tools/line/toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

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
length: a read that took the head of the next burst shifts every later frame.

--teach proposes the guides instead, from a capture of pieces known to be good: the narrowest
band that accepts --keep percent of its frames, widened by --margin steps on each side, printed
as "taught guides U,L"; the capture is then judged at those guides. --bad judges a capture of
bad pieces at the same guides and prints how many it catches: "bad caught K of M".

An OUT of - is standard output; the summary then goes to standard error. A file is replaced
only once it is complete; a device or a named pipe is written as it stands. The capture format
and the read model are described in /usr/share/doc/lumatrax/README.tools.md (tools/README.md in
the sources).)";

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
    QString error;
    QString help;
};

const QString kStandardOutput = QStringLiteral("-");

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

std::optional<GuidePositions> parseGuides(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    bool upperOk = false;
    bool lowerOk = false;
    const GuidePositions guides{parts[0].trimmed().toInt(&upperOk),
                                parts[1].trimmed().toInt(&lowerOk)};
    if (!upperOk || !lowerOk || guides.upper < 0 || guides.upper > 100 || guides.lower < 0 ||
        guides.lower > 100)
        return std::nullopt;
    return guides;
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
                       "began, its verdict, and whether it went above the upper guide and below "
                       "the lower guide (1 or 0)."));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("Write each frame's time, verdict and its 200 "
                                                "samples (byte - 128) to OUT as CSV."),
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
        QStringLiteral("Write a PNG picture of the whole capture as the window would show it, "
                       "at twice its size: every accepted trace in cyan, brighter where many "
                       "pass, every rejected trace over them in amber, the guides, and a caption "
                       "with the counts. Needs no display."),
        QStringLiteral("OUT"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Also print the test report's Sorting Result lines with the counts filled "
                       "in: Tested (frames), Accepted, Upper Reject (frames above the upper "
                       "guide), Lower Reject (below the lower guide); a frame that went both ways "
                       "counts in both, and a line after them says how many did."));
    parser.addOptions({help, version, guides, frames, csv, teach, keep, margin, bad, plot, report});

    JudgeCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.help = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.help = StandardOptions::versionText("lumatrax-judge");
        return result;
    }
    if (parser.positionalArguments().size() != 1) {
        result.error = QStringLiteral("give one capture file");
        return result;
    }
    result.file = parser.positionalArguments().first();
    const auto positions = parseGuides(parser.value(guides));
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
    const auto keepShare = parseKeep(parser.value(keep));
    bool marginOk = false;
    result.teaching.margin = parser.value(margin).toInt(&marginOk);
    if (result.teach && parser.isSet(guides))
        result.error = QStringLiteral("--teach proposes the guides: give --teach or --guides, not "
                                      "both");
    else if (!result.teach && (parser.isSet(keep) || parser.isSet(margin)))
        result.error = QStringLiteral("--keep and --margin go with --teach");
    else if (!keepShare)
        result.error = QStringLiteral("--keep must be a percentage above 0 and up to 100");
    else if (!marginOk || result.teaching.margin < 0 || result.teaching.margin > 100)
        result.error = QStringLiteral("--margin must be a whole number from 0 to 100");
    else if (result.csv == kStandardOutput && result.plot == kStandardOutput)
        result.error = QStringLiteral("only one output can go to standard output (-)");
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

// Would writing OUT replace the capture itself?
bool isCapture(const QString& out, const QString& capture)
{
    return out != kStandardOutput && QFileInfo(out).exists() &&
           QFileInfo(out).canonicalFilePath() == QFileInfo(capture).canonicalFilePath();
}

QByteArray csvHeader()
{
    QByteArray line = "time_s,verdict,above_upper,below_lower";
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        line += ",s" + QByteArray::number(k);
    return line + '\n';
}

QByteArray seconds(std::int64_t us)
{
    return QByteArray::number(double(us) / 1e6, 'f', 6);
}

QByteArray verdictWord(const Verdict& v)
{
    return v.rejected() ? "REJECT" : "ACCEPT";
}

// Opens an output: standard output for "-", else the file by the writer rule, replaced whole at
// commit().
std::optional<SaveFailure> openOutput(OutputFile& file, const QString& name)
{
    if (name == kStandardOutput) {
        file.adopt(STDOUT_FILENO, QStringLiteral("standard output"));
        return std::nullopt;
    }
    return file.open(name, OutputFile::Mode::Replace);
}

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
        return 2;
    }

    // What the judge says goes to standard error while an output takes standard output.
    FILE* const text =
        commandLine.csv == kStandardOutput || commandLine.plot == kStandardOutput ? stderr : stdout;
    auto print = [text](const QByteArray& line) { std::fputs(line.constData(), text); };

    // An output replaces OUT at the end; never the capture itself.
    for (const QString* out : {&commandLine.csv, &commandLine.plot}) {
        if (isCapture(*out, commandLine.file)) {
            complain(QStringLiteral("%1 would replace the capture itself").arg(*out));
            return 2;
        }
    }

    if (commandLine.teach) {
        const TeachOutcome teaching = teachFromCapture(commandLine.file, commandLine.teaching);
        if (!teaching.error.isEmpty()) {
            complain(teaching.error);
            return 1;
        }
        // Said before the result: frames shifted by the read rule teach the wrong band.
        for (const QString& warning : teaching.warnings)
            complain(QStringLiteral("warning: ") + warning);
        if (!teaching.taught) {
            complain(QStringLiteral("%1 holds no frames to teach from (no frames were read once "
                                    "the instrument had acknowledged the program)")
                         .arg(commandLine.file));
            return 1;
        }
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

    // A file is written beside its name and put in place whole at the end, so a failed run never
    // leaves a half-written table over an earlier one; a device, a pipe or standard output is
    // written as it stands.
    OutputFile csv;
    if (!commandLine.csv.isEmpty()) {
        std::optional<SaveFailure> failure = openOutput(csv, commandLine.csv);
        if (!failure)
            failure = csv.write(csvHeader());
        if (!failure)
            failure = csv.flush(); // a device or a pipe that takes nothing is told of at once
        if (failure) {
            complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
            return 1;
        }
    }
    if (commandLine.frames)
        print("time_s verdict above_upper below_lower\n");

    std::optional<BatchPlot> plot;
    if (!commandLine.plot.isEmpty())
        plot.emplace(commandLine.guides);

    const JudgeOutcome outcome =
        judgeCapture(commandLine.file, commandLine.guides, [&](const JudgedFrame& frame) {
            if (commandLine.frames)
                std::fprintf(text, "%s %s %d %d\n", seconds(frame.atUs).constData(),
                             verdictWord(frame.verdict).constData(), int(frame.verdict.aboveUpper),
                             int(frame.verdict.belowLower));
            if (csv.isOpen()) {
                QByteArray line = seconds(frame.atUs) + ',' + verdictWord(frame.verdict) + ',' +
                                  QByteArray::number(int(frame.verdict.aboveUpper)) + ',' +
                                  QByteArray::number(int(frame.verdict.belowLower));
                for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
                    line += ',' + QByteArray::number(frame.samples[std::size_t(k)]);
                (void)csv.write(line + '\n'); // a failure sticks and is told by commit()
            }
            if (plot)
                plot->add(frame.samples, frame.verdict);
        });
    if (!outcome.error.isEmpty()) {
        csv.cancel();
        complain(outcome.error);
        return 1;
    }
    for (const QString& warning : commandLine.teach ? QStringList() : outcome.warnings)
        complain(QStringLiteral("warning: ") + warning);
    if (outcome.acknowledged == 0)
        complain(QStringLiteral("warning: the instrument never acknowledged the program in this "
                                "capture (%1 greetings): it holds no frames")
                     .arg(outcome.greetings));

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

    int status = 0;
    if (!commandLine.bad.isEmpty()) {
        const JudgeOutcome bad = judgeCapture(commandLine.bad, commandLine.guides);
        if (!bad.error.isEmpty()) {
            complain(bad.error);
            status = 1;
        } else {
            for (const QString& warning : bad.warnings)
                complain(QStringLiteral("warning: %1: %2").arg(commandLine.bad, warning));
            std::fprintf(text, "bad caught %lld of %lld\n",
                         static_cast<long long>(bad.summary.rejected()),
                         static_cast<long long>(bad.summary.frames));
        }
    }
    if (commandLine.report)
        print(sortingResultLines(s) + countedTwiceLine(s));
    std::fflush(text);

    if (plot) {
        const QByteArray png = plot->png(QFileInfo(commandLine.file).fileName(), s);
        OutputFile picture;
        std::optional<SaveFailure> failure = openOutput(picture, commandLine.plot);
        if (!failure)
            failure = picture.write(png);
        if (!failure)
            failure = picture.commit();
        if (failure) {
            picture.cancel();
            complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
            status = 1;
        }
    }
    if (const auto failure = csv.isOpen() ? csv.commit() : std::nullopt) {
        complain(QStringLiteral("%1: %2").arg(failure->fileName, failure->reason));
        return 1;
    }
    return status;
}
