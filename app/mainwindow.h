#pragma once

// The main window frmMain: its widgets, its run-time state and its event handlers. Only app/
// wires the other folders together: the link to the instrument (link/), the scope screen and
// its widgets (display/) and the report form (report/).
//
// Everything it holds is private. What it shows is what an operator sees (widgets by their
// object names, the lamps' colours, the screen's pixels), what it sends is what the instrument
// receives, and every frame it judges is told by frameJudged().

#include "app/mainwindowui.h"
#include "display/frameprocessing.h"
#include "display/scopescreen.h"
#include "link/protocol.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>

namespace lumatrax {

class InstrumentLink;
class RepaintPace;
enum class LinkState;

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    // The start-up sequence; runs once, before the window is first shown.
    void formLoad();

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

signals:
    // A read of 200 bytes or more has been judged as one frame and the lamps show its verdict.
    // Told for every frame, in the order the reads arrived, with the whole read.
    void frameJudged(const QByteArray& read, lumatrax::Verdict verdict);

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
    void cm_OnComm();
    void cmdRetry_Click();
    void cmdPort_Click();
    void Report_Click();

    void linkStateChanged(LinkState state);
    // Sets the trigger and run groups, the connection group and the status label from the
    // link's state: the one place that does.
    void showLinkState();
    // After the instrument answers again following a lost link, it is told what the controls
    // show, and stopped, so the screen and the instrument agree.
    void resendSettings();
    void sendTriggerLevel();
    // The program's own choice of a timebase entry: handled as a selection from the list.
    void selectTimebase(int index);

    MainWindowUi m_ui;
    InstrumentLink* m_link;
    // The screen and the lamps repaint at this one pace, together in one flush, each time after
    // the turn that set them has ended.
    RepaintPace* m_repaintPace;
    ScopeScreen m_screen;

    // Run-time state; flags are 16-bit and hold true as -1, false as 0.
    std::int16_t m_isRunning = 0;
    std::int16_t m_frameSeen = 0; // frames since the activity lamp's last tick
    SampleArray m_decoded{};      // a read's samples on their way to the screen
    bool m_resendAfterAck = false;

    std::int16_t m_portNumber = 0;
    QString m_appDir;
    MessageBox m_messageBox;
    PortChooser m_portChooser;
    // True from a commit of the timebase combo's typed text (Enter, or the field losing the
    // focus) until the next other input to the combo or its list. Qt answers such a commit by
    // selecting the entry the text names and reporting it as activated; that is not a choice.
    bool m_timebaseTextCommit = false;
    // The timebase entry chosen last from the list (start-up chooses the first).
    int m_timebaseChosen = 0;
};

} // namespace lumatrax
