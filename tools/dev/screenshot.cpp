// Renders the main window offscreen and writes it as a PNG, so the window can be looked at
// without a display. The window runs against the virtual instrument in a start-up directory of
// its own: it connects, the guides are set to 25 and 75, and one piece from the simulated
// instrument's model is judged.
//
//   lumatrax-screenshot OUTPUT.png [DEVICE_PIXEL_RATIO]

#include "app/mainwindow.h"
#include "link/configfile.h"
#include "tools/sim/piecemodel.h"
#include "tools/line/virtualinstrument.h"

#include "tools/dev/screenshotkit.h"

#include <QFile>
#include <QGroupBox>
#include <QSlider>
#include <QTemporaryDir>

#include <cstdio>

using namespace lumatrax;
using screenshot::waitUntil;

namespace {

// A piece as the simulated instrument makes it, at its start-up settings: the first good one of
// the default seed, so the window shows ACCEPT.
VirtualInstrument::Frame piece()
{
    const PieceModel model{PieceModelOptions{}};
    std::uint64_t n = 0;
    while (model.piece(n).kind != PieceClass::Good)
        ++n;
    return model.frame(n, AcquisitionSettings{});
}

} // namespace

int main(int argc, char* argv[])
{
    if (!screenshot::prepare(argc, argv))
        return 2;
    QApplication app(argc, argv);
    const QString output = screenshot::outputPath(argv);

    QTemporaryDir startDirectory;
    VirtualInstrument instrument;
    if (!startDirectory.isValid() || !instrument.open() ||
        !instrument.placeLink(startDirectory.path(), 1)) {
        std::fprintf(stderr, "cannot start the virtual instrument: %s\n",
                     qPrintable(instrument.errorString()));
        return 1;
    }
    QFile config(configFilePath(startDirectory.path()));
    if (!config.open(QIODevice::WriteOnly) || config.write(formatPortNumber(1)) < 0)
        return 1;
    config.close();
    QDir::setCurrent(startDirectory.path());

    MainWindow frmMain;
    frmMain.setMessageBox([](QWidget*, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });
    frmMain.formLoad();
    frmMain.show();
    if (!waitUntil([&] { return frmMain.findChild<QGroupBox*>("Frame1")->isEnabled(); }, 5000))
        std::fprintf(stderr, "the virtual instrument was not detected\n");
    // Guides at whole tens of percent lie under grid lines; these two lie between them.
    frmMain.findChild<QSlider*>("sliderPos")->setValue(25);
    frmMain.findChild<QSlider*>("sliderOff")->setValue(75);
    bool judged = false;
    QObject::connect(&frmMain, &lumatrax::MainWindow::frameJudged, [&judged] { judged = true; });
    instrument.sendFrame(piece());
    waitUntil([&] { return judged; }, 5000);
    return screenshot::save(frmMain, output);
}
