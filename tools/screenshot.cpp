// Renders the main window offscreen, as it stands after start-up, and writes it as a PNG, so the
// window can be looked at without a display.
//
//   lumatrax-screenshot OUTPUT.png [DEVICE_PIXEL_RATIO]

#include "app/mainwindow.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>

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
    QApplication::setStyle(QStringLiteral("Fusion"));

    lumatrax::MainWindow frmMain;
    frmMain.formLoad();
    frmMain.show();
    QApplication::processEvents();

    const QPixmap shot = frmMain.grab();
    if (!shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %dx%d pixels at device pixel ratio %.1f\n", argv[1], int(shot.width()),
                int(shot.height()), shot.devicePixelRatio());
    return 0;
}
