#pragma once

// Helpers for tests that start the main window. Each test starts the program in a start-up
// directory of its own, with its own Lumatrax.cfg and COMn entries, so no test reads a developer's
// configuration or opens a real serial port, and each gets its own pseudo-terminal (Qt Serial
// Port's lock files are named after the device, machine-wide). Message boxes are recorded
// instead of shown, so no test waits on one.

#include "app/mainwindow.h"
#include "link/configfile.h"
#include "tools/virtualinstrument.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSlider>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>

#include <memory>

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

// A main window, not yet started, in a start-up directory whose Lumatrax.cfg names `port`.
// With an instrument, COMn leads to it; without one, COMn names a missing device.
struct Rig
{
    StartDirectory dir;
    VirtualInstrument instrument;
    MessageLog messages;
    std::unique_ptr<MainWindow> window;

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
    }
    ~Rig() { window.reset(); }
};

} // namespace lumatrax::test
