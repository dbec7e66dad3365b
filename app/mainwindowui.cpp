#include "app/mainwindowui.h"

#include "display/colours.h"
#include "display/geometry.h"
#include "display/lamp.h"
#include "display/lineobject.h"
#include "display/scopesurface.h"
#include "windowkit/twipslayout.h"
#include "windowkit/windowstyle.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>

namespace lumatrax {

namespace {

constexpr const char* kWindowStyle = "QLabel#Label3, QLabel#Label4 { font-weight: bold; }";

QPushButton* button(QWidget* parent, const char* name, const char* caption, int left, int top,
                    int width, int height)
{
    auto* b = new QPushButton(QString::fromUtf8(caption), parent);
    b->setAutoDefault(false); // the window has no default button: Enter means nothing here
    return place(b, name, left, top, width, height);
}

QLabel* label(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
              int height)
{
    return place(new QLabel(QString::fromUtf8(caption), parent), name, left, top, width, height);
}

QGroupBox* group(QWidget* parent, const char* name, const char* caption, int left, int top,
                 int width, int height)
{
    auto* g = new QGroupBox(QString::fromUtf8(caption), parent);
    g->setAutoFillBackground(true); // a group covers what lies beneath it (Frame3 over Frame2)
    return place(g, name, left, top, width, height);
}

// Vertical slider with its minimum at the top. Qt puts a vertical slider's minimum at the
// bottom, so appearance and keys are both inverted (Up moves the thumb up, toward the minimum).
QSlider* slider(QWidget* parent, const char* name, int left, int top, int width, int height,
                int maximum, int value, int largeStep)
{
    auto* s = new QSlider(Qt::Vertical, parent);
    s->setRange(0, maximum);
    s->setValue(value);
    s->setPageStep(largeStep);
    s->setSingleStep(1);
    s->setInvertedAppearance(true);
    s->setInvertedControls(true);
    s->setTickPosition(QSlider::TicksRight);
    s->setTickInterval(largeStep);
    return place(s, name, left, top, width, height);
}

Lamp* lamp(QWidget* parent, const char* name, Lamp::Shape shape, QRgb colour, int left, int top,
           int width, int height)
{
    return place(new Lamp(QLatin1String(name), shape, QColor::fromRgb(colour), parent), name, left,
                 top, width, height);
}

QTimer* timer(QWidget* parent, const char* name)
{
    auto* t = new QTimer(parent);
    t->setObjectName(QLatin1String(name));
    t->setInterval(1000);
    t->start();
    return t;
}

} // namespace

void MainWindowUi::setupUi(QWidget* frmMain)
{
    frmMain->setObjectName(QStringLiteral("frmMain"));
    frmMain->setStyleSheet(QLatin1String(kDialogFontStyle) + QLatin1String(kGroupBoxStyle) +
                           QLatin1String(kWindowStyle));

    // Created in the order of the layout table; the stacking (earlier lies above later) is
    // fixed at the end.
    cmdClose = button(frmMain, "cmdClose", "Close", 8760, 6000, 975, 375);
    Report = button(frmMain, "Report", "Report", 6000, 6000, 975, 375);

    Frame6 = group(frmMain, "Frame6", "Status", 240, 5880, 5655, 615);
    Label7 = label(Frame6, "Label7", "ACCEPT", 3360, 240, 735, 255);
    shpMiddle = lamp(Frame6, "shpMiddle", Lamp::Shape::RoundedSquare, kBlack, 2880, 240, 375, 255);
    Label5 = label(Frame6, "Label5", "REJECT", 1440, 240, 615, 255);
    shpHigher = lamp(Frame6, "shpHigher", Lamp::Shape::RoundedSquare, kBlack, 960, 240, 375, 255);

    Frame5 = group(frmMain, "Frame5", "Guide", 7680, 4080, 2175, 1815);
    cmdDef = button(Frame5, "cmdDef", "Def", 120, 1320, 495, 255);
    sliderOff = slider(Frame5, "sliderOff", 1440, 120, 615, 1575, 100, 50, 10);
    sliderPos = slider(Frame5, "sliderPos", 600, 120, 435, 1575, 100, 50, 10);
    Label4 = label(Frame5, "Label4", "Low", 1080, 360, 375, 255);
    Label3 = label(Frame5, "Label3", "High", 120, 360, 495, 255);

    Frame4 = group(frmMain, "Frame4", "Horizontal", 7680, 3360, 2175, 735);
    cmbHorizontal = place(new QComboBox(Frame4), "cmbHorizontal", 120, 240, 1095, 315);
    cmbHorizontal->setEditable(true);
    cmbHorizontal->setInsertPolicy(QComboBox::NoInsert);
    Label2 = label(Frame4, "Label2", "SEC/DIV", 1320, 240, 735, 255);

    Frame3 = group(frmMain, "Frame3", "", 5880, 5040, 1575, 855);
    cmdPort = button(Frame3, "cmdPort", "Port", 840, 240, 615, 255);
    cmdRetry = button(Frame3, "cmdRetry", "Retry", 120, 240, 615, 255);
    Frame3->hide();

    Frame2 = group(frmMain, "Frame2", "", 240, 5040, 7215, 855);
    cmdRun = button(Frame2, "cmdRun", "RUN/STOP", 240, 240, 1335, 375);
    lblMsg = label(Frame2, "lblMsg", "Searching ...", 3120, 360, 3375, 255);
    // The program's only status text sits in the run group, which stays disabled until the
    // instrument answers: it keeps the normal text colour all the same.
    QPalette status = lblMsg->palette();
    status.setColor(QPalette::Disabled, QPalette::WindowText,
                    status.color(QPalette::Active, QPalette::WindowText));
    lblMsg->setPalette(status);
    shpStatus = lamp(Frame2, "shpStatus", Lamp::Shape::RoundedRectangle, kRed, 1800, 360, 855, 135);
    Frame2->setEnabled(false);

    Frame1 = group(frmMain, "Frame1", "Trigger", 7680, 240, 2175, 3135);
    cmdZero = button(Frame1, "cmdZero", "Zero", 1080, 1440, 735, 255);
    optFalling = place(new QRadioButton(QStringLiteral("Falling"), Frame1), "optFalling", 1080, 840,
                       855, 255);
    optRising =
        place(new QRadioButton(QStringLiteral("Rising"), Frame1), "optRising", 1080, 480, 855, 255);
    optRising->setChecked(true);
    SliderTriggerLevel = slider(Frame1, "SliderTriggerLevel", 480, 360, 375, 2295, 50, 25, 5);
    shpTr = lamp(Frame1, "shpTr", Lamp::Shape::RoundedSquare, kGrey, 1680, 2760, 255, 255);
    Label1 = label(Frame1, "Label1", "Trigger Level", 240, 2760, 1095, 255);
    Frame1->setEnabled(false);

    tmrScan = timer(frmMain, "tmrScan");

    pic = place(new ScopeSurface(frmMain), "pic", 240, 240, 7215, 4815);
    // Grid lines: y_axis vertical, x_axis horizontal; index 4 of each is a 2-pixel centre line.
    // Start-up places them; until then they lie at the origin.
    for (int i = 0; i < kGridLines; ++i) {
        const int width = i == 4 ? 2 : 1;
        y_axis[i] =
            new LineObject(QStringLiteral("y_axis"), QColor::fromRgb(kGridColour), width, pic);
        y_axis[i]->setProperty("index", i);
        pic->addLineObject(y_axis[i]);
    }
    for (int i = 0; i < kGridLines; ++i) {
        const int width = i == 4 ? 2 : 1;
        x_axis[i] =
            new LineObject(QStringLiteral("x_axis"), QColor::fromRgb(kGridColour), width, pic);
        x_axis[i]->setProperty("index", i);
        pic->addLineObject(x_axis[i]);
    }

    Trigger = new LineObject(QStringLiteral("Trigger"), QColor::fromRgb(kTriggerMarkerColour), 3,
                             frmMain);
    Trigger->setEnds({7440.0f, 2040.0f, 7560.0f, 2040.0f});

    // Stacking: a widget listed earlier lies above a later sibling where the two overlap.
    // Lowering each in table order leaves the first on top.
    for (QWidget* w : std::initializer_list<QWidget*>{cmdClose, Report, Frame6, Frame5, Frame4,
                                                      Frame3, Frame2, Frame1, pic})
        w->lower();
    for (QWidget* w : std::initializer_list<QWidget*>{Label7, shpMiddle, Label5, shpHigher})
        w->lower();
    for (QWidget* w : std::initializer_list<QWidget*>{cmdDef, sliderOff, sliderPos, Label4, Label3})
        w->lower();
    for (QWidget* w : std::initializer_list<QWidget*>{cmdPort, cmdRetry})
        w->lower();
    for (QWidget* w : std::initializer_list<QWidget*>{cmdRun, lblMsg, shpStatus})
        w->lower();
    for (QWidget* w : std::initializer_list<QWidget*>{cmdZero, optFalling, optRising,
                                                      SliderTriggerLevel, shpTr, Label1})
        w->lower();

    // Keyboard focus order; disabled and hidden widgets are skipped.
    const std::initializer_list<QWidget*> focusOrder = {
        pic,     SliderTriggerLevel, optRising, optFalling, cmdRun, cmdZero, cmdRetry,
        cmdPort, cmbHorizontal,      sliderPos, sliderOff,  cmdDef, Report,  cmdClose};
    QWidget* previous = nullptr;
    for (QWidget* w : focusOrder) {
        if (w->focusPolicy() == Qt::NoFocus)
            w->setFocusPolicy(Qt::StrongFocus);
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }

    // What each control does. The guide sliders' tips show the value they stand at, the number
    // that lumatrax-judge --guides takes for that guide.
    cmdClose->setToolTip(QStringLiteral("Stop the instrument and close Lumatrax"));
    Report->setToolTip(QStringLiteral("Open the test report form: type the sorting job's "
                                      "particulars and counts and save them as a report file"));
    cmdDef->setToolTip(QStringLiteral("Put both guides to the middle: High and Low to 50"));
    auto guideTip = [](QSlider* slider, const char* text) {
        const auto show = [slider, text](int value) {
            slider->setToolTip(QString::fromUtf8(text).arg(value));
        };
        show(slider->value());
        QObject::connect(slider, &QSlider::valueChanged, slider, show);
    };
    guideTip(sliderPos, "High: the upper guide (red), 0 at the top of the screen, 100 at the "
                        "bottom; now %1");
    guideTip(sliderOff, "Low: the lower guide (blue), 0 at the top of the screen, 100 at the "
                        "bottom; now %1");
    cmbHorizontal->setToolTip(QStringLiteral("Time per grid division (SEC/DIV), sent to the "
                                             "instrument"));
    cmdPort->setToolTip(QStringLiteral("Choose the COM port the instrument is on; it is kept in "
                                       "Lumatrax.cfg"));
    cmdRetry->setToolTip(QStringLiteral("Open the port and greet the instrument again"));
    cmdRun->setToolTip(QStringLiteral("Start or stop the instrument's acquisition"));
    cmdZero->setToolTip(QStringLiteral("Put the trigger level to the middle"));
    optRising->setToolTip(QStringLiteral("Trigger on a rising edge of the signal"));
    optFalling->setToolTip(QStringLiteral("Trigger on a falling edge of the signal"));
    SliderTriggerLevel->setToolTip(QStringLiteral("Trigger level, sent to the instrument: the "
                                                  "marker beside the screen shows its height"));
}

} // namespace lumatrax
