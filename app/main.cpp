#include "app/mainwindow.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumatrax"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QApplication::setStyle(QStringLiteral("Fusion"));

    lumatrax::MainWindow frmMain;
    frmMain.formLoad();
    if (const QScreen* screen = frmMain.screen()) {
        QRect placed = frmMain.frameGeometry();
        placed.moveCenter(screen->availableGeometry().center());
        frmMain.move(placed.topLeft());
    }
    frmMain.show();
    return app.exec();
}
