// lumatrax-judge: judges every frame of a capture as lumatrax would have, for guide positions
// of one's choice. See --help.

#include "common/outputfile.h"
#include "tools/capture/capturejudge.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <optional>

using namespace lumatrax;

namespace {

const char* const kAbout = R"(Judges a line captured by lumatrax-tap as lumatrax judges it.

Finds the frames that lumatrax read on the captured line (every read of 200 bytes or more once
the instrument has acknowledged; see tools/README.md) and judges each against the guides given as
the window's High and Low sliders would set them, with the window's own functions on its scope
screen of 7215 x 4815 twips: ACCEPT when every sample lies between the guides, REJECT otherwise.
Prints a summary: frames, accepted, rejected above the upper guide only, below the lower guide
only, both, and the share rejected; then the program's reads and their lengths, with a warning
when a read is longer than 210 bytes or reads differ in length: a read that took the head of the
next burst shifts every later frame.)";

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
    QString error;
    QString help;
};

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
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
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
    parser.addOptions({help, guides, frames, csv});

    JudgeCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.help = parser.helpText();
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
    return result;
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

// How long the program's reads were, and the warning when they say frames may be shifted.
void reportReadLengths(const ReadLengths& lengths)
{
    if (const auto warning = readLengthWarning(lengths))
        complain(QStringLiteral("warning: ") + *warning);
    std::printf("reads           %lld\n", static_cast<long long>(lengths.reads()));
    std::printf("read lengths    %s\n", qPrintable(describeReadLengths(lengths)));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumatrax-judge"));
    const JudgeCommandLine commandLine = parse(QCoreApplication::arguments());
    if (!commandLine.help.isEmpty()) {
        std::fputs(qPrintable(commandLine.help), stdout);
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        complain(commandLine.error);
        complain(QStringLiteral("see lumatrax-judge --help"));
        return 2;
    }

    // The table replaces OUT at the end; never the capture itself.
    if (!commandLine.csv.isEmpty() && QFileInfo(commandLine.csv).exists() &&
        QFileInfo(commandLine.csv).canonicalFilePath() ==
            QFileInfo(commandLine.file).canonicalFilePath()) {
        complain(QStringLiteral("--csv %1 would replace the capture itself").arg(commandLine.csv));
        return 2;
    }
    // A file is written beside its name and put in place whole at the end, so a failed run never
    // leaves a half-written table over an earlier one; a device or a pipe is written as it stands.
    OutputFile csv;
    if (!commandLine.csv.isEmpty()) {
        auto failure = csv.open(commandLine.csv, OutputFile::Mode::Replace);
        if (!failure)
            failure = csv.write(csvHeader());
        if (!failure)
            failure = csv.flush(); // a device or a pipe that takes nothing is told of at once
        if (failure) {
            complain(QStringLiteral("%1: %2").arg(commandLine.csv, failure->reason));
            return 1;
        }
    }
    if (commandLine.frames)
        std::fputs("time_s verdict above_upper below_lower\n", stdout);

    const JudgeOutcome outcome =
        judgeCapture(commandLine.file, commandLine.guides, [&](const JudgedFrame& frame) {
            if (commandLine.frames)
                std::printf("%s %s %d %d\n", seconds(frame.atUs).constData(),
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
        });
    if (!outcome.error.isEmpty()) {
        csv.cancel();
        complain(outcome.error);
        return 1;
    }
    if (!outcome.warning.isEmpty())
        complain(QStringLiteral("warning: ") + outcome.warning);
    if (outcome.acknowledged == 0)
        complain(QStringLiteral("warning: the instrument never acknowledged the program in this "
                                "capture (%1 greetings): it holds no frames")
                     .arg(outcome.greetings));

    const JudgeSummary& s = outcome.summary;
    std::printf("guides          %d,%d\n", commandLine.guides.upper, commandLine.guides.lower);
    std::printf("frames          %lld\n", static_cast<long long>(s.frames));
    std::printf("accepted        %lld\n", static_cast<long long>(s.accepted));
    std::printf("rejected above  %lld\n", static_cast<long long>(s.rejectedAbove));
    std::printf("rejected below  %lld\n", static_cast<long long>(s.rejectedBelow));
    std::printf("rejected both   %lld\n", static_cast<long long>(s.rejectedBoth));
    std::printf("reject share    %.2f %%\n", 100.0 * s.rejectShare());
    reportReadLengths(outcome.reads);
    std::fflush(stdout);

    if (const auto failure = csv.isOpen() ? csv.commit() : std::nullopt) {
        complain(QStringLiteral("%1: %2").arg(commandLine.csv, failure->reason));
        return 1;
    }
    return 0;
}
