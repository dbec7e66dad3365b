#include "app/mainwindow.h"
#include "windowkit/desktopsession.h"
#include "windowkit/fixedwindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    const auto app = lumatrax::startWindowApplication("lumatrax", argc, argv);
    if (!app)
        return 1;
    QApplication::setApplicationName(QStringLiteral("Lumatrax"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QApplication::setStyle(QStringLiteral("Fusion"));

    lumatrax::MainWindow frmMain;
    // Placed before the load step, so that a "Communication Error!" box raised during start-up
    // opens centred over the window's place, not in a corner of the screen.
    lumatrax::centreWindow(&frmMain, lumatrax::Centring::OnScreen);
    frmMain.formLoad();
    frmMain.show();
    return QApplication::exec();
}
