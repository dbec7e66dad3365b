#pragma once

// The main window frmMain: owns every widget and all run-time state, and handles their events.
// Only app/ wires the other folders together.

#include "app/mainwindowstate.h"
#include "app/mainwindowui.h"
#include "link/protocol.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

namespace lumatrax {

class CommPort;

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    // The start-up sequence; runs once, before the window is first shown.
    void formLoad();

    [[nodiscard]] const MainWindowUi& ui() const { return m_ui; }
    [[nodiscard]] const MainWindowState& state() const { return m_state; }
    [[nodiscard]] CommPort& cm() const { return *m_cm; }

    // The COM port number and the start-up directory: read and captured at start-up, kept for
    // the whole run (there is one main window per run).
    [[nodiscard]] std::int16_t portNumber() const { return m_portNumber; }
    [[nodiscard]] const QString& appDir() const { return m_appDir; }

    // Every message box of the main window goes through this one function: modal, with an
    // error icon and a single OK button. Tests replace it to see and answer the messages.
    using MessageBox =
        std::function<void(QWidget* owner, const QString& title, const QString& text)>;
    void setMessageBox(MessageBox messageBox) { m_messageBox = std::move(messageBox); }

    // The port dialog, likewise: shown modally, it returns the chosen port, or nothing when the
    // operator cancels.
    using PortChooser =
        std::function<std::optional<std::int16_t>(QWidget* owner, std::int16_t current)>;
    void setPortChooser(PortChooser chooser) { m_portChooser = std::move(chooser); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void cmbHorizontal_Click();
    void optRising_Click();
    void optFalling_Click();
    void SliderTriggerLevel_Change();
    void cmdZero_Click();
    void cmdRun_Click();
    void tmrScan_Timer();
    void sliderPos_Change();
    void sliderOff_Change();
    void cmdDef_Click();
    void tmrFirst_Timer();
    void cm_OnComm();
    void cm_LinkLost(const QString& description);
    void cmdRetry_Click();
    void cmdPort_Click();

    // Opens the port and greets the instrument; on Retry also hides the connection group and
    // rearms the detection check.
    enum class Attempt { StartUp, Retry };
    void connectInstrument(Attempt attempt);
    void failurePath(const QString& description);
    [[nodiscard]] std::optional<QString> sendCommand(const Command& command);
    void sendSetting(const Command& command);
    // The program's own choice of a timebase entry: handled as a selection from the list.
    void selectTimebase(int index);
    void Report_Click();

    void redrawGuides();

    MainWindowUi m_ui;
    MainWindowState m_state;
    CommPort* m_cm;
    SampleHeights m_sampleHeights{0.0};
    std::int16_t m_portNumber = 0;
    QString m_appDir;
    MessageBox m_messageBox;
    PortChooser m_portChooser;
    // True from a commit of the timebase combo's typed text (Enter, or the field losing the
    // focus) until the next other input to the combo or its list. Qt answers such a commit by
    // selecting the entry the text names and reporting it as activated; that is not a choice.
    bool m_timebaseTextCommit = false;
};

} // namespace lumatrax
