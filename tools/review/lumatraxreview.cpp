// lumatrax-review: a capture of the line in a window, with its counts at guides one moves. See
// --help.

#include "tools/line/toolsupport.h"
#include "tools/review/reviewwindow.h"
#include "windowkit/desktopsession.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSettings>

#include <cstdio>
#include <optional>

using namespace lumatrax;

namespace {

const char* const kAbout = R"(The batch of a line captured by lumatrax-tap, in a window.

Reads the capture once, finds the frames that lumatrax read on the line as lumatrax-judge finds
them, and shows their counts at the guides on the High and Low sliders (0..100, 0 at the top of
the screen): frames, accepted, rejected above, below and both, and the four counts of the report
form in fields of their own. The counts follow the sliders as they move; they are always the
judge's counts at those guides.

The window shows the whole batch as lumatrax-judge --plot draws it (every trace, the rejects at
the guides in amber over it), a strip of the batch over time (per time bin the band of the
frames' highest and lowest samples, the guides, rejects marked) with a warning when the batch
runs close to a guide without rejecting there yet, and single frames as lumatrax draws them:
N and P step to the next and previous rejected frame, Shift+N and Shift+P to any frame, a click
on the strip to the first reject there. Drag across good pieces on the strip and Teach
sets the guides from them, as lumatrax-judge --teach does.

A capture that lumatrax-tap is still writing is followed as it grows: new frames are counted
and drawn within a second, and the title says "live" until the tap ends, then "ended". Beside
lumatrax at the line, that is the running tally of the batch.

Ctrl+Shift+C copies the report form's Sorting Result lines exactly as lumatrax-judge --report
prints them; Ctrl+S saves the picture (JPEG, BMP or PNG by the name's ending, as --plot) and
Ctrl+E the table of every frame, each written whole or not at all. The capture is only read. The guides last used for a capture are kept in the
user's settings, never in the capture. Without a desktop session to show the window in, it
says so in one line and exits with status 1. The capture format is described in
/usr/share/doc/lumatrax/README.tools.md (tools/README.md in the sources).)";

void complain(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("lumatrax-review: ") + line + QLatin1Char('\n')), stderr);
}

struct ReviewCommandLine
{
    QString capture;
    std::optional<GuidePositions> guides;
    QString error;
    QString help; // printed instead of starting
};

ReviewCommandLine parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAbout));
    parser.addPositionalArgument(QStringLiteral("CAPTURE"),
                                 QStringLiteral("The capture to open (optional)."),
                                 QStringLiteral("[CAPTURE]"));
    const StandardOptions standard;
    const QCommandLineOption guides(
        QStringLiteral("guides"),
        QStringLiteral("Start at these positions of the High (upper) and Low (lower) guide "
                       "sliders, 0..100 with 0 at the top of the screen, as lumatrax-judge "
                       "takes them. Default: the guides last used for the capture, else 50,50."),
        QStringLiteral("UPPER,LOWER"));
    parser.addOptions({standard.help, standard.version, guides});

    ReviewCommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(standard.help)) {
        result.help = parser.helpText();
        return result;
    }
    if (parser.isSet(standard.version)) {
        result.help = StandardOptions::versionText("lumatrax-review");
        return result;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        result.error = QStringLiteral("give at most one capture");
        return result;
    }
    result.capture = positional.value(0);
    if (parser.isSet(guides)) {
        result.guides = guidePositionsFrom(parser.value(guides));
        if (!result.guides)
            result.error = QStringLiteral("--guides must be two whole numbers from 0 to 100: "
                                          "UPPER,LOWER");
    }
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // Help, version and bad options need no display: they are read before a window could be.
    ReviewCommandLine commandLine;
    {
        const QCoreApplication options(argc, argv);
        commandLine = parse(QCoreApplication::arguments());
    }
    if (!commandLine.help.isEmpty()) {
        std::fputs(qPrintable(commandLine.help), stdout);
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        complain(commandLine.error);
        complain(QStringLiteral("see lumatrax-review --help"));
        return 2;
    }
    const auto app = startWindowApplication("lumatrax-review", argc, argv);
    if (!app)
        return 1;
    QApplication::setOrganizationName(QStringLiteral("Vorn"));
    QApplication::setApplicationName(QStringLiteral("lumatrax-review"));
    QApplication::setApplicationVersion(QStringLiteral(LUMATRAX_VERSION));
    QApplication::setStyle(QStringLiteral("Fusion"));

    QSettings settings;
    ReviewWindow window(&settings);
    window.show();
    if (!commandLine.capture.isEmpty())
        window.openCapture(commandLine.capture, commandLine.guides);
    return QApplication::exec();
}
