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

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QPixmap>
#include <QSlider>
#include <QTemporaryDir>

#include <cstdio>

using namespace lumatrax;

namespace {

// Waits, with the event loop running, until done() holds or the time is up.
template <typename Done> bool waitUntil(Done done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

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
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [DEVICE_PIXEL_RATIO]\n", argv[0]);
        return 2;
    }
    if (argc >= 3)
        qputenv("QT_SCALE_FACTOR", argv[2]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString output = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1]));

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
    waitUntil([] { return false; }, 100); // let the capped repaints run

    const QPixmap shot = frmMain.grab();
    if (!shot.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: %dx%d pixels at device pixel ratio %.1f\n", qPrintable(output),
                int(shot.width()), int(shot.height()), shot.devicePixelRatio());
    return 0;
}
