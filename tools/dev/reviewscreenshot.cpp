// Renders lumatrax-review offscreen and writes it as a PNG, so the window can be looked at
// without a display. The window opens a simulated batch of its own making: 36000 pieces, one
// every 100 ms (an hour of a line), 4 % outside the guides 25,75, creeping up by 12 counts over
// the hour, so the drift strip warns at the upper guide. It shows the batch at 25,75, a stretch
// of it selected, and the first rejected frame.
//
//   lumatrax-review-screenshot OUTPUT.png [DEVICE_PIXEL_RATIO]

#include "tests/tools/batchcapture.h"
#include "tools/review/driftstrip.h"
#include "tools/review/reviewwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

using namespace lumatrax;

namespace {

// Waits, with the event loop running, until done() holds or the time is up.
template <typename Done> bool waitUntil(Done done, int milliseconds)
{
    // The event loop sleeps between events; a short timer wakes it to look again.
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
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
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QString output = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1]));

    QTemporaryDir directory;
    const QString capture = directory.filePath(QStringLiteral("line.lmxcap"));
    test::BatchOptions batch{7, 0.04, 100'000, 12.0, {}};
    batch.header.startedAtUs = 1'796'623'200'000'000; // 2026-12-07 06:00 UTC
    batch.header.device =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    QFile file(capture);
    if (!directory.isValid() || !file.open(QIODevice::WriteOnly) ||
        !test::writeSimulatedBatch(file, 36'000, batch) || !file.flush()) {
        std::fprintf(stderr, "cannot write the capture %s\n", qPrintable(capture));
        return 1;
    }
    file.close();

    QSettings settings(directory.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ReviewWindow window(&settings);
    window.setMessageBox([](QWidget*, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });
    window.resize(window.sizeHint());
    window.show();
    window.openCapture(capture, GuidePositions{25, 75});
    if (!waitUntil([&] { return window.isLoaded() && window.isPictureComplete(); }, 60'000))
        std::fprintf(stderr, "the capture was not drawn in time\n");

    // A stretch of the first quarter hour selected, as for teaching, and the first reject shown.
    auto* strip = window.findChild<DriftStrip*>();
    const int y = strip->height() / 2;
    QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(strip->width() / 20, y));
    QTest::mouseMove(strip, QPoint(strip->width() / 4, y));
    QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(strip->width() / 4, y));
    QTest::keyClick(&window, Qt::Key_N);
    waitUntil([] { return false; }, 100); // let the repaints run

    const QPixmap shot = window.grab();
    if (!shot.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: %dx%d pixels at device pixel ratio %.1f\n", qPrintable(output),
                int(shot.width()), int(shot.height()), shot.devicePixelRatio());
    return 0;
}
