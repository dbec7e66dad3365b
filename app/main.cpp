#include "app/mainwindow.h"
#include "windowkit/fixedwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// On X11 and Wayland systems a window needs a desktop session; without one Qt would abort with
// a long message. A platform the user chose (QT_QPA_PLATFORM, -platform) is left to Qt.
bool desktopSessionMissing(int argc, char* argv[])
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"))
        return false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0 ||
            std::strncmp(argv[i], "--platform=", 11) == 0)
            return false;
    return true;
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return false;
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    if (desktopSessionMissing(argc, argv)) {
        std::fputs("lumatrax: needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set): start it from the desktop\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumatrax"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QApplication::setStyle(QStringLiteral("Fusion"));

    lumatrax::MainWindow frmMain;
    // Placed before the load step, so that a "Communication Error!" box raised during start-up
    // opens centred over the window's place, not in a corner of the screen.
    lumatrax::centreWindow(&frmMain, lumatrax::Centring::OnScreen);
    frmMain.formLoad();
    frmMain.show();
    return app.exec();
}
