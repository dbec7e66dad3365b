#pragma once

// The main window frmMain: owns every widget and all run-time state, and handles their events.
// Only app/ wires the other folders together.

#include "app/mainwindowstate.h"
#include "app/mainwindowui.h"

#include <QWidget>

namespace lumatrax {

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    // The start-up sequence; runs once, before the window is first shown.
    void formLoad();

    [[nodiscard]] const MainWindowUi& ui() const { return m_ui; }
    [[nodiscard]] const MainWindowState& state() const { return m_state; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void cmbHorizontal_Click();
    void sliderPos_Change();
    void sliderOff_Change();
    void cmdDef_Click();
    void tmrFirst_Timer();
    void Report_Click();

    void redrawGuides();

    MainWindowUi m_ui;
    MainWindowState m_state;
};

} // namespace lumatrax
