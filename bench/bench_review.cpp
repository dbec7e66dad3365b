// lumatrax-review on a capture of a whole shift (not a test: it prints figures, it asserts
// nothing).
//
// Writes a capture of a simulated batch (one 210-byte burst per piece, 4.2 ms apart: 2,000,000
// pieces are 442 MB and 2 h 20 min of the line) and prints, with the processor time the process
// took beside each wall-clock time (on a busy machine the wall clock says more of the machine
// than of the program):
//   - the reading thread alone, from the start to the counts of the whole capture, and the
//     picture's thread alone on that index, to its first picture and to every trace drawn;
//   - open, in the review window, offscreen: from openCapture() to the first picture, to the
//     counts of the whole capture, and to the picture of every trace;
//   - recount: a guide pair set on the sliders until the counts stand in the fields (the
//     sliders' handler runs to its end), for random pairs: median and largest; and until the
//     picture's reject layer is redrawn at the new pair;
//   - peak memory: the process's peak resident set, less that of the window with no capture,
//     against 64 MB + 24 bytes a frame;
//   - follow: the capture opened again while locked as the tap locks it, then a frame's record
//     appended now and then: the time until the counts show it, median and largest; then
//     frames appended at the line rate for ten seconds, and the processor time that took;
//   - drift: one pass over the capture as the judge makes it, with the drift bins and report at
//     its end, as lumatrax-judge --drift will.
//
//   bench_review [FRAMES] [--keep FILE]   (default 2000000; --keep writes the capture to FILE
//                                          and leaves it, or reuses FILE when it is there)

#include "tests/tools/batchcapture.h"
#include "tools/capture/captureframes.h"
#include "tools/capture/drift.h"
#include "tools/review/batchlayers.h"
#include "tools/review/captureloader.h"
#include "tools/review/reviewwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/file.h>
#include <sys/resource.h>

using namespace lumatrax;

namespace {

// The peak resident set of this process so far, in kB (VmHWM).
long peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Starts the peak over from the resident set of now.
bool resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

template <typename Done> bool waitUntil(Done done, int milliseconds)
{
    // The event loop sleeps between events; a short timer wakes it to look again.
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// Processor time of the whole process so far, in seconds.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock and processor seconds since a start.
struct Stopwatch
{
    QElapsedTimer wall;
    double cpu = cpuSeconds();
    Stopwatch() { wall.start(); }
    [[nodiscard]] QString text() const
    {
        return QStringLiteral("%1 s (processor %2 s)")
            .arg(double(wall.elapsed()) / 1e3, 0, 'f', 2)
            .arg(cpuSeconds() - cpu, 0, 'f', 2);
    }
};

// Waits without an event loop, for the threads measured alone.
template <typename Done> void poll(Done done)
{
    while (!done())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    qint64 frames = 2'000'000;
    QString keep;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc)
            keep = QString::fromLocal8Bit(argv[++i]);
        else
            frames = std::atoll(argv[i]);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir directory;
    const QString capture =
        keep.isEmpty() ? directory.filePath(QStringLiteral("shift.lmxcap")) : keep;
    if (!QFileInfo::exists(capture)) {
        QFile file(capture);
        QElapsedTimer made;
        made.start();
        test::BatchOptions batch;
        if (!file.open(QIODevice::WriteOnly) || !test::writeSimulatedBatch(file, frames, batch) ||
            !file.flush()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(capture));
            return 1;
        }
        std::printf("capture: %lld frames, %.0f MB, written in %.1f s\n",
                    static_cast<long long>(frames), double(file.size()) / 1e6,
                    double(made.elapsed()) / 1e3);
    }
    // Read once, so the page cache is warm as for a file just captured.
    {
        QFile file(capture);
        if (file.open(QIODevice::ReadOnly))
            while (!file.read(1 << 20).isEmpty()) {
            }
    }

    {
        FrameIndex index;
        auto frames = std::make_unique<CaptureFrames>();
        if (frames->open(capture))
            return 1;
        const Stopwatch read;
        CaptureLoader loader(std::move(frames), index);
        poll([&] { return loader.progress().finished; });
        std::printf("reading thread alone: counts of %lld frames in %s\n",
                    static_cast<long long>(index.size()), qPrintable(read.text()));
        const Stopwatch drawing;
        BatchLayers layers(capture, index);
        layers.drawRejects({25, 75});
        poll([&] { return layers.revision() > 0; });
        const QString first = drawing.text();
        poll([&] { return layers.picture().tracesComplete; });
        std::printf("picture's thread alone: first picture in %s, every trace in %s\n",
                    qPrintable(first), qPrintable(drawing.text()));
    }

    QSettings settings(directory.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ReviewWindow window(&settings);
    window.setMessageBox([](QWidget*, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });
    window.show();
    waitUntil([] { return false; }, 200);
    const bool resettable = resetPeak();
    const long emptyKb = peakKb();

    bool pictured = false;
    QObject::connect(&window, &ReviewWindow::pictureChanged, [&pictured] { pictured = true; });
    const Stopwatch open;
    window.openCapture(capture, GuidePositions{25, 75});
    waitUntil([&] { return pictured; }, 600'000);
    const QString firstPicture = open.text();
    waitUntil([&] { return window.isLoaded(); }, 600'000);
    const QString counted = open.text();
    waitUntil([&] { return window.isPictureComplete(); }, 3'600'000);
    const qint64 read = window.counts().frames;
    std::printf("open: first picture %s, counts of all %lld frames %s, every trace drawn %s\n",
                qPrintable(firstPicture), static_cast<long long>(read), qPrintable(counted),
                qPrintable(open.text()));

    auto* high = window.findChild<QSlider*>("sliderPos");
    auto* low = window.findChild<QSlider*>("sliderOff");
    QRandomGenerator random(2026);
    std::vector<double> recounts, redraws;
    for (int n = 0; n < 200; ++n) {
        const int u = int(random.bounded(101));
        const int l = int(random.bounded(101));
        QElapsedTimer moved;
        moved.start();
        high->setValue(u);
        low->setValue(l);
        recounts.push_back(double(moved.nsecsElapsed()) / 1e6);
        if (n % 20 == 0) {
            waitUntil([&] { return window.isPictureComplete(); }, 60'000);
            redraws.push_back(double(moved.elapsed()));
        }
    }
    std::printf("recount: median %.3f ms, largest %.3f ms (200 random guide pairs); reject layer "
                "redrawn: median %.0f ms, largest %.0f ms (10 pairs)\n",
                median(recounts), *std::max_element(recounts.begin(), recounts.end()),
                median(redraws), *std::max_element(redraws.begin(), redraws.end()));

    const long peak = peakKb();
    std::printf("peak memory: %.1f MB above the empty window's (%s), allowed %.1f MB\n",
                double(peak - emptyKb) / 1024.0,
                resettable ? "peak reset with the window open" : "peak not resettable: total",
                64.0 + 24.0 * double(read) / (1024.0 * 1024.0));

    // The capture grows as the tap would write it: locked, a frame's record at a time, each at
    // the line's pace after the last. Cut back to its size at the end.
    {
        QFile tap(capture);
        const qint64 size = QFileInfo(capture).size();
        if (!tap.open(QIODevice::WriteOnly | QIODevice::Append) ||
            ::flock(tap.handle(), LOCK_EX) != 0) {
            std::fprintf(stderr, "cannot lock %s\n", qPrintable(capture));
            return 1;
        }
        window.openCapture(capture, GuidePositions{25, 75});
        waitUntil([&] { return window.isFollowing() && window.isPictureComplete(); }, 3'600'000);
        const QByteArray burst = test::spanning(150, 100) + QByteArray(10, char(128));
        std::int64_t atUs = 5'000 + (read - 1) * 4'200;
        auto append = [&](int records) {
            QByteArray bytes;
            for (int k = 0; k < records; ++k)
                appendCaptureRecord(bytes, CaptureDirection::ToProgram, atUs += 4'200, burst);
            return tap.write(bytes) == bytes.size() && tap.flush();
        };
        std::vector<double> follows;
        for (int n = 0; n < 20; ++n) {
            waitUntil([] { return false; }, 37 * n % 250); // at another moment of the looks
            const qint64 before = window.counts().frames;
            QElapsedTimer written;
            written.start();
            if (!append(1) || !waitUntil([&] { return window.counts().frames > before; }, 10'000))
                return 1;
            follows.push_back(double(written.nsecsElapsed()) / 1e6);
        }
        const Stopwatch lineRate;
        for (int n = 0; n < 200; ++n) {
            (void)append(12); // 240 frames a second, in writes 50 ms apart
            waitUntil([] { return false; }, 50);
        }
        std::printf("follow: a record written shows in the counts after median %.0f ms, largest "
                    "%.0f ms (20 records, %lld frames before them); ten seconds of frames at the "
                    "line rate took %s\n",
                    median(follows), *std::max_element(follows.begin(), follows.end()),
                    static_cast<long long>(read), qPrintable(lineRate.text()));
        tap.close(); // the tap lets go
        waitUntil([&] { return window.isLoaded(); }, 60'000);
        if (!QFile::resize(capture, size))
            std::fprintf(stderr, "cannot cut %s back to its size\n", qPrintable(capture));
    }

    const Stopwatch judged;
    CaptureFrames pass;
    std::vector<std::pair<std::int64_t, FrameExtremes>> extremes;
    if (!pass.open(capture)) {
        while (const CaptureFrame* frame = pass.next())
            extremes.emplace_back(frame->atUs, extremesOf(frame->samples));
    }
    DriftFold fold(extremes.empty() ? 0 : extremes.front().first,
                   extremes.empty() ? 0 : extremes.back().first);
    for (const auto& [atUs, e] : extremes)
        fold.add(atUs, e);
    const DriftReport report = fold.report({25, 75});
    std::printf("drift: the judge's pass and the drift report in %s\n  %s\n  %s\n",
                qPrintable(judged.text()), qPrintable(driftLine(report, GuideSide::Upper)),
                qPrintable(driftLine(report, GuideSide::Lower)));
    return 0;
}
