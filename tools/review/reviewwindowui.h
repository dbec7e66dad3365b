#pragma once

// The widgets and menus of lumatrax-review's window, built in their state as created. Every
// widget the tests look up carries its name as its Qt object name. The window's behaviour lives
// in ReviewWindow; this only builds.

#include "tools/capture/capturejudge.h"

class QAction;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;

namespace lumatrax {

class DriftStrip;
class FrameView;
class PictureView;

// Amber, as the rejects in the batch picture: what warns.
inline constexpr const char* kReviewAmber = "#ffa000";

struct ReviewWindowUi
{
    // The menus, each with its shortcut: every shortcut of the window is one of these.
    QAction* openCapture = nullptr;
    QAction* savePicture = nullptr;
    QAction* exportFrames = nullptr;
    QAction* quit = nullptr;
    QAction* copyResult = nullptr;
    QAction* nextReject = nullptr;
    QAction* previousReject = nullptr;
    QAction* nextFrame = nullptr;
    QAction* previousFrame = nullptr;
    QAction* teach = nullptr;

    QLabel* captureInfo = nullptr;
    QLabel* readWarning = nullptr; // amber, hidden until the reads may have shifted frames

    PictureView* picture = nullptr;
    QLabel* pictureNote = nullptr;
    FrameView* frameView = nullptr;
    QLabel* frameNote = nullptr;

    QSlider* high = nullptr; // "sliderPos", the upper guide
    QSlider* low = nullptr;  // "sliderOff", the lower guide
    QSpinBox* highValue = nullptr;
    QSpinBox* lowValue = nullptr;
    QLabel* guidesNote = nullptr; // the start-up guides are shown

    QLabel* driftNote = nullptr;
    DriftStrip* strip = nullptr;

    // The report form's boxes, under its own labels.
    QLineEdit* tested = nullptr;
    QLineEdit* accepted = nullptr;
    QLineEdit* upper = nullptr;
    QLineEdit* lower = nullptr;
    QLabel* breakdown = nullptr;

    QDoubleSpinBox* keep = nullptr;
    QSpinBox* margin = nullptr;
    QPushButton* teachButton = nullptr; // triggers `teach`, enabled with it
    QLabel* teachNote = nullptr;

    QProgressBar* progress = nullptr; // in the status bar, 0..kProgressSteps
    QPushButton* cancel = nullptr;

    static constexpr int kProgressSteps = 1000;

    void setupUi(QMainWindow* window, GuidePositions startUpGuides);
};

} // namespace lumatrax
