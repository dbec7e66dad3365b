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

#include "tools/dev/screenshotkit.h"

#include <QFile>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace lumatrax;
using screenshot::waitUntil;

int main(int argc, char* argv[])
{
    if (!screenshot::prepare(argc, argv))
        return 2;
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QString output = screenshot::outputPath(argv);

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
    return screenshot::save(window, output);
}
