#pragma once

// What the two screenshot programs share: the offscreen start, waiting with the event loop
// running, and the window written out as a PNG.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace lumatrax::screenshot {

// Before the application is made: the device pixel ratio from the command line, and the
// offscreen platform unless another is asked for. False, with the usage said, without an output.
inline bool prepare(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [DEVICE_PIXEL_RATIO]\n", argv[0]);
        return false;
    }
    if (argc >= 3)
        qputenv("QT_SCALE_FACTOR", argv[2]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return true;
}

// The output named on the command line, from the directory the program started in.
inline QString outputPath(char* argv[])
{
    return QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1]));
}

// Waits, with the event loop running, until done() holds or the time is up. The loop sleeps
// between events; a short timer wakes it to look again.
template <typename Done> bool waitUntil(Done done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// The window as it stands, written to `output`; the exit status.
inline int save(QWidget& window, const QString& output)
{
    waitUntil([] { return false; }, 100); // let the paced repaints run
    const QPixmap shot = window.grab();
    if (!shot.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: %dx%d pixels at device pixel ratio %.1f\n", qPrintable(output),
                int(shot.width()), int(shot.height()), shot.devicePixelRatio());
    return 0;
}

} // namespace lumatrax::screenshot
