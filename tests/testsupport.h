#pragma once

// The one fixture of the tests that start the main window. Each test starts the program in a
// start-up directory of its own, with its own Lumatrax.cfg and COMn entries, so no test reads a
// developer's configuration or opens a real serial port, and each gets its own pseudo-terminal
// (Qt Serial Port's lock files are named after the device, machine-wide). Message boxes are
// recorded instead of shown, so no test waits on one.
//
// Tests observe the program as an operator and the instrument do: widgets by their object names,
// lamp colours, the screen's pixels, the bytes the instrument receives, files; and every judged
// frame through the window's frameJudged(), checked against a verdict worked out here from the
// bytes and the guide sliders alone.

#include "app/mainwindow.h"
#include "display/lamp.h"
#include "link/configfile.h"
#include "link/protocol.h"
#include "tools/line/virtualinstrument.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QSlider>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>
#include <vector>

namespace lumatrax::test {

// Where a part of a slider (its groove, its thumb) lies, from the style option QSlider builds for
// itself (its initStyleOption() is protected, and the slider is no subclass that could reach it).
inline QRect sliderPart(QSlider* slider, QStyle::SubControl part)
{
    QStyleOptionSlider opt;
    opt.initFrom(slider);
    opt.subControls = QStyle::SC_None;
    opt.activeSubControls = QStyle::SC_None;
    opt.orientation = slider->orientation();
    if (slider->orientation() == Qt::Horizontal)
        opt.state |= QStyle::State_Horizontal;
    opt.minimum = slider->minimum();
    opt.maximum = slider->maximum();
    opt.tickPosition = slider->tickPosition();
    opt.tickInterval = slider->tickInterval();
    opt.upsideDown = slider->orientation() == Qt::Horizontal
                         ? slider->invertedAppearance() != (opt.direction == Qt::RightToLeft)
                         : !slider->invertedAppearance();
    opt.direction = Qt::LeftToRight; // the slider's own option ignores right-to-left
    opt.sliderPosition = slider->sliderPosition();
    opt.sliderValue = slider->value();
    opt.singleStep = slider->singleStep();
    opt.pageStep = slider->pageStep();
    return slider->style()->subControlRect(QStyle::CC_Slider, &opt, part, slider);
}

class StartDirectory
{
public:
    StartDirectory() { QDir::setCurrent(m_dir.path()); }
    // Leaves for the directory the test program started in, and only when this directory is
    // still the current one: when a test replaces one start directory with another, the new one
    // stays current (a start-up that followed would otherwise find no COMn entries and fall back
    // to the machine's own serial ports).
    ~StartDirectory()
    {
        if (QDir::currentPath() == QFileInfo(m_dir.path()).canonicalFilePath())
            QDir::setCurrent(home());
    }
    StartDirectory(const StartDirectory&) = delete;
    StartDirectory& operator=(const StartDirectory&) = delete;

    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString configPath() const { return configFilePath(m_dir.path()); }

    void writeConfig(const QByteArray& content) const
    {
        QFile file(configPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }

    [[nodiscard]] QByteArray readConfig() const
    {
        QFile file(configPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // COMn names a device that does not exist: opening the port fails.
    void placeMissingPort(int port) const
    {
        QFile::link(QStringLiteral("/nonexistent/lumatrax-test-device"),
                    QDir(path()).filePath(QStringLiteral("COM%1").arg(port)));
    }

private:
    static const QString& home()
    {
        static const QString directory = QDir::currentPath();
        return directory;
    }

    const QString m_home = home(); // captured before the first start directory becomes current
    QTemporaryDir m_dir;
};

struct MessageLog
{
    QStringList titles;
    QStringList texts;

    [[nodiscard]] MainWindow::MessageBox recorder()
    {
        return [this](QWidget*, const QString& title, const QString& text) {
            titles << title;
            texts << text;
        };
    }
};

// Colours of the lamps.
inline const QColor kLampGreen(0, 255, 0);
inline const QColor kLampRed(255, 0, 0);
inline const QColor kLampBlack(0, 0, 0);
inline const QColor kLampGrey(128, 128, 128);

// Whether a frame is rejected, worked out from its bytes and the guide sliders alone: a sample's
// screen height, round((255 - b) x H / 256), and a guide's, round(H x v / 100), both rounded half
// to even for the 4815-twip screen; a sample above the upper guide or below the lower one rejects.
struct ExpectedVerdict
{
    bool aboveUpper = false;
    bool belowLower = false;
};
[[nodiscard]] inline ExpectedVerdict expectedVerdict(QByteArrayView frame, int upperSlider,
                                                     int lowerSlider)
{
    constexpr double kHeight = 4815;
    const double upper = std::nearbyint(kHeight * upperSlider / 100);
    const double lower = std::nearbyint(kHeight * lowerSlider / 100);
    ExpectedVerdict v;
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const double y = std::nearbyint((255.0 - std::uint8_t(frame[k])) * kHeight / 256);
        v.aboveUpper |= y < upper;
        v.belowLower |= y > lower;
    }
    return v;
}

// The main window, not yet started, in a start-up directory whose Lumatrax.cfg names `port`.
// With an instrument, COMn leads to it; without one, COMn names a missing device.
struct Rig
{
    StartDirectory dir;
    VirtualInstrument instrument;
    MessageLog messages;
    std::unique_ptr<MainWindow> window;

    // Every frame the window judged, with what the lamps showed right after it.
    struct Judged
    {
        QByteArray read;
        Verdict verdict;
        QColor accept;
        QColor reject;
    };
    std::vector<Judged> judged;
    // The first frame whose verdict or lamps differ from what its bytes and the guide sliders
    // say; empty while there is none.
    QString firstMismatch;

    explicit Rig(int port, bool withInstrument = true,
                 VirtualInstrument::AckBehaviour ack = VirtualInstrument::AckBehaviour::immediate())
    {
        dir.writeConfig(QByteArray::number(port) + "\r\n");
        if (withInstrument) {
            instrument.setAckBehaviour(ack);
            instrument.open();
            instrument.placeLink(dir.path(), port);
        } else {
            dir.placeMissingPort(port);
        }
        window = std::make_unique<MainWindow>();
        window->setMessageBox(messages.recorder());
        QObject::connect(window.get(), &MainWindow::frameJudged, window.get(),
                         [this](const QByteArray& read, Verdict verdict) { check(read, verdict); });
    }
    ~Rig() { window.reset(); }

    // Before start(): the instrument's bytes reach the program in packets of at most
    // `packetSize` bytes, as a USB adapter hands them over (VirtualInstrument::setPackets()).
    [[nodiscard]] bool usePackets(int packetSize, std::chrono::microseconds latency = {})
    {
        instrument.setPackets(packetSize, latency);
        return instrument.replug();
    }

    template <typename T = QWidget> [[nodiscard]] T* widget(const char* name) const
    {
        T* found = window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("the main window has no %s", name);
        return found;
    }
    [[nodiscard]] QColor lamp(const char* name) const { return widget<Lamp>(name)->colour(); }
    [[nodiscard]] QString status() const { return widget<QLabel>("lblMsg")->text(); }
    // Retry and Port offered.
    [[nodiscard]] bool retryOffered() const { return widget("Frame3")->isVisible(); }
    // The trigger and run groups usable.
    [[nodiscard]] bool controlsEnabled() const
    {
        return widget("Frame1")->isEnabled() && widget("Frame2")->isEnabled();
    }
    [[nodiscard]] QTimer* detectionTimer() const { return widget<QTimer>("tmrFirst"); }

    // Starts the program as it starts, and shows the window (hidden widgets are not visible to
    // isVisible(), so the window is shown).
    void start()
    {
        window->formLoad();
        window->show();
    }
    // Starts and waits for the instrument to be detected.
    [[nodiscard]] bool startDetected(int timeoutMs = 5000)
    {
        start();
        return QTest::qWaitFor([this] { return controlsEnabled(); }, timeoutMs);
    }
    void setGuides(int upper, int lower)
    {
        widget<QSlider>("sliderPos")->setValue(upper);
        widget<QSlider>("sliderOff")->setValue(lower);
    }
    // The bytes of every read judged so far.
    [[nodiscard]] qsizetype bytesJudged() const
    {
        qsizetype bytes = 0;
        for (const Judged& j : judged)
            bytes += j.read.size();
        return bytes;
    }
    // Sends bytes as one burst and waits until `frames` more frames have been judged.
    [[nodiscard]] bool sendAndJudge(const QByteArray& burst, std::size_t frames = 1,
                                    int timeoutMs = 5000)
    {
        const std::size_t want = judged.size() + frames;
        return instrument.sendRaw(burst) &&
               QTest::qWaitFor([&] { return judged.size() >= want; }, timeoutMs);
    }

private:
    void check(const QByteArray& read, Verdict verdict)
    {
        const int upper = widget<QSlider>("sliderPos")->value();
        const int lower = widget<QSlider>("sliderOff")->value();
        const ExpectedVerdict want = expectedVerdict(read, upper, lower);
        judged.push_back({read, verdict, lamp("shpMiddle"), lamp("shpHigher")});
        const bool rejected = want.aboveUpper || want.belowLower;
        const bool right = read.size() >= SAMPLES_PER_FRAME &&
                           verdict.aboveUpper == want.aboveUpper &&
                           verdict.belowLower == want.belowLower &&
                           judged.back().accept == (rejected ? kLampBlack : kLampGreen) &&
                           judged.back().reject == (rejected ? kLampRed : kLampBlack);
        if (!right && firstMismatch.isEmpty())
            firstMismatch = QStringLiteral("frame %1, a read of %2 bytes: ACCEPT %3, REJECT %4")
                                .arg(judged.size())
                                .arg(read.size())
                                .arg(judged.back().accept.name(), judged.back().reject.name());
    }
};

// The reads the window judged, in a form that holds however the machine's load spaced them:
// every read holds at least FRAME_RX_THRESHOLD bytes, and the reads joined are exactly `sent`,
// so each byte was judged once, in order. (Each verdict against its read's first 200 bytes is
// Rig::firstMismatch.) Empty when so; else what differs.
[[nodiscard]] inline QString readsJoinedDiffer(const std::vector<Rig::Judged>& judged,
                                               const QByteArray& sent)
{
    QByteArray joined;
    joined.reserve(sent.size());
    for (std::size_t i = 0; i < judged.size(); ++i) {
        if (judged[i].read.size() < FRAME_RX_THRESHOLD)
            return QStringLiteral("read %1 holds only %2 bytes").arg(i).arg(judged[i].read.size());
        joined += judged[i].read;
    }
    if (joined == sent)
        return {};
    qsizetype at = 0;
    while (at < joined.size() && at < sent.size() && joined[at] == sent[at])
        ++at;
    return QStringLiteral("%1 reads joined hold %2 bytes; %3 were sent; they differ from byte %4")
        .arg(judged.size())
        .arg(joined.size())
        .arg(sent.size())
        .arg(at);
}

// The burst the virtual instrument sends for a frame, with its default padding.
[[nodiscard]] inline QByteArray frameBurst(const VirtualInstrument::Frame& frame)
{
    QByteArray burst(FRAME_RX_THRESHOLD, char(SAMPLE_OFFSET));
    std::copy(frame.begin(), frame.end(), burst.begin());
    return burst;
}

} // namespace lumatrax::test
