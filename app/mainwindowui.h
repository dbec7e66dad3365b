#pragma once

#include <array>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class QWidget;

namespace lumatrax {

class Lamp;
class LineObject;
class ScopeSurface;

// The widgets of the main window, built at their fixed places (twips, 15 to a pixel) and in
// their state as created. Every widget carries its name as its Qt object name. The window's
// behaviour lives in MainWindow; this only builds.
struct MainWindowUi
{
    QPushButton* cmdClose = nullptr;
    QPushButton* Report = nullptr;

    QGroupBox* Frame6 = nullptr; // "Status"
    QLabel* Label7 = nullptr;
    Lamp* shpMiddle = nullptr; // ACCEPT
    QLabel* Label5 = nullptr;
    Lamp* shpHigher = nullptr; // REJECT

    QGroupBox* Frame5 = nullptr; // "Guide"
    QPushButton* cmdDef = nullptr;
    QSlider* sliderOff = nullptr; // lower guide
    QSlider* sliderPos = nullptr; // upper guide
    QLabel* Label4 = nullptr;
    QLabel* Label3 = nullptr;

    QGroupBox* Frame4 = nullptr; // "Horizontal"
    QComboBox* cmbHorizontal = nullptr;
    QLabel* Label2 = nullptr;

    QGroupBox* Frame3 = nullptr; // connection group, hidden until opening the port fails
    QPushButton* cmdPort = nullptr;
    QPushButton* cmdRetry = nullptr;

    QGroupBox* Frame2 = nullptr; // run group
    QPushButton* cmdRun = nullptr;
    QLabel* lblMsg = nullptr;
    Lamp* shpStatus = nullptr;

    QGroupBox* Frame1 = nullptr; // "Trigger"
    QPushButton* cmdZero = nullptr;
    QRadioButton* optFalling = nullptr;
    QRadioButton* optRising = nullptr;
    QSlider* SliderTriggerLevel = nullptr;
    Lamp* shpTr = nullptr;
    QLabel* Label1 = nullptr;

    QTimer* tmrScan = nullptr;

    ScopeSurface* pic = nullptr;
    std::array<LineObject*, 9> y_axis{};
    std::array<LineObject*, 9> x_axis{};

    LineObject* Trigger = nullptr; // trigger-level marker, on the window itself

    void setupUi(QWidget* frmMain);
};

} // namespace lumatrax
