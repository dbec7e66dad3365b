#include "app/mainwindow.h"

#include "app/appicon.h"
#include "display/colours.h"
#include "display/frameprocessing.h"
#include "display/geometry.h"
#include "display/lamp.h"
#include "display/lineobject.h"
#include "display/scopedrawing.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/comname.h"
#include "link/configfile.h"
#include "link/portdialog.h"
#include "link/protocol.h"
#include "report/reportform.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>

#include <limits>

namespace lumatrax {

// The client area: 9990 x 6540 twips.
inline constexpr int kClientWidthTwips = 9990;
inline constexpr int kClientHeightTwips = 6540;

// Where Zero puts the trigger-level slider: its centre, level code 500.
inline constexpr int kTriggerLevelZero = 25;

namespace {

// Events on which an editable combo takes its typed text as a choice: Enter, and the field
// losing the focus (also to the combo's own list). If the text names an entry, Qt selects that
// entry and reports it as activated, exactly as if it had been chosen from the list.
bool commitsTypedText(const QEvent& event)
{
    if (event.type() == QEvent::FocusOut)
        return true;
    if (event.type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent&>(event).key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

bool isOperatorInput(const QEvent& event)
{
    switch (event.type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
        return true;
    default:
        return false;
    }
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_cm(new CommPort(this))
{
    setWindowTitle(QStringLiteral("Lumatrax - Ver.1.1       ~ Vorn ~"));
    setWindowIcon(appIcon());
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    m_ui.setupUi(this);

    connect(m_ui.cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui.Report, &QPushButton::clicked, this, &MainWindow::Report_Click);
    // A timebase is chosen from the list (mouse, arrow keys, wheel), also when the entry chosen
    // is the current one. Typing sends nothing, not even when the typed text names an entry.
    for (QObject* part : {static_cast<QObject*>(m_ui.cmbHorizontal),
                          static_cast<QObject*>(m_ui.cmbHorizontal->lineEdit()),
                          static_cast<QObject*>(m_ui.cmbHorizontal->view()),
                          static_cast<QObject*>(m_ui.cmbHorizontal->view()->viewport())})
        part->installEventFilter(this);
    connect(m_ui.cmbHorizontal, &QComboBox::activated, this, [this] {
        if (!m_timebaseTextCommit)
            cmbHorizontal_Click();
    });
    connect(m_ui.optRising, &QRadioButton::clicked, this, &MainWindow::optRising_Click);
    connect(m_ui.optFalling, &QRadioButton::clicked, this, &MainWindow::optFalling_Click);
    connect(m_ui.SliderTriggerLevel, &QSlider::valueChanged, this,
            &MainWindow::SliderTriggerLevel_Change);
    connect(m_ui.cmdZero, &QPushButton::clicked, this, &MainWindow::cmdZero_Click);
    connect(m_ui.cmdRun, &QPushButton::clicked, this, &MainWindow::cmdRun_Click);
    connect(m_ui.tmrScan, &QTimer::timeout, this, &MainWindow::tmrScan_Timer);
    connect(m_ui.sliderPos, &QSlider::valueChanged, this, &MainWindow::sliderPos_Change);
    connect(m_ui.sliderOff, &QSlider::valueChanged, this, &MainWindow::sliderOff_Change);
    connect(m_ui.cmdDef, &QPushButton::clicked, this, &MainWindow::cmdDef_Click);
    connect(m_ui.tmrFirst, &QTimer::timeout, this, &MainWindow::tmrFirst_Timer);
    connect(m_cm, &CommPort::comm, this, &MainWindow::cm_OnComm);
    connect(m_cm, &CommPort::linkLost, this, &MainWindow::cm_LinkLost);
    connect(m_ui.cmdRetry, &QPushButton::clicked, this, &MainWindow::cmdRetry_Click);
    connect(m_ui.cmdPort, &QPushButton::clicked, this, &MainWindow::cmdPort_Click);
    connect(m_ui.Trigger, &LineObject::changed, this, qOverload<>(&QWidget::update));

    m_messageBox = [](QWidget* owner, const QString& title, const QString& text) {
        QMessageBox::critical(owner, title, text);
    };
    m_portChooser = [](QWidget* owner, std::int16_t current) {
        return PortDialog::choose(current, owner);
    };

    m_ui.pic->setFocus();
}

void MainWindow::formLoad()
{
    // 1. Until a connection attempt clears it, nothing talks to the instrument.
    m_state.linkDown = kTrue;

    // 2. Timebase list; selecting the first entry sends nothing while the link is down.
    for (std::string_view entry : kTimebaseEntries)
        m_ui.cmbHorizontal->addItem(QString::fromUtf8(entry.data(), qsizetype(entry.size())));
    selectTimebase(0);

    // 3. Grid: nine lines each way dividing the screen into 10 x 10 squares.
    const float w = m_ui.pic->widthTwips();
    const float h = m_ui.pic->heightTwips();
    for (int i = 0; i < kGridLines; ++i) {
        m_ui.x_axis[i]->setEnds(horizontalGridLine(i, w, h));
        m_ui.y_axis[i]->setEnds(verticalGridLine(i, w, h));
    }

    // 4. X coordinates of every segment; they never change afterwards.
    layoutSegmentX(m_state.liveTrace, m_ui.pic->widthTwips());
    layoutSegmentX(m_state.upperGuide, m_ui.pic->widthTwips());
    layoutSegmentX(m_state.lowerGuide, m_ui.pic->widthTwips());
    m_sampleHeights = SampleHeights(m_ui.pic->heightTwips());

    // 5. Trigger marker at its start height.
    const float markerY = triggerMarkerStartY(m_ui.pic->heightTwips(), m_ui.pic->topTwips());
    m_ui.Trigger->setY(markerY, markerY);

    // 6. Default guides: the first drawing on the screen.
    cmdDef_Click();

    // 7. Acquisition is considered stopped.
    m_state.isRunning = kFalse;

    // 8. The start-up directory holds the configuration file (and COMn links) for the whole run.
    m_appDir = QDir::currentPath();

    // 9. The port number; a missing or unusable file starts with port 1 and is left alone.
    m_portNumber = readPortNumber(configFilePath(m_appDir)).value_or(kDefaultPortNumber);

    // 10. and 11. Open the port and greet the instrument.
    m_ui.lblMsg->setText(comName(m_portNumber));
    connectInstrument(Attempt::StartUp);
}

void MainWindow::connectInstrument(Attempt attempt)
{
    if (attempt == Attempt::Retry)
        m_ui.lblMsg->setText(comName(m_portNumber)); // drops an earlier " ... Device not found!"

    // A failed attempt may have left the port open (its greeting failed); a new attempt starts
    // from a closed port, or it would fail on "already open" for ever.
    m_cm->close();
    m_cm->setRThreshold(0);

    m_state.linkDown = kFalse;
    m_cm->setStartDirectory(m_appDir);
    m_cm->setCommPort(m_portNumber);
    if (const auto error = m_cm->open())
        return failurePath(*error);
    if (const auto error = sendCommand(SYNC_FRAME))
        return failurePath(*error);
    m_state.rxBuffer = m_cm->input(); // whatever waited before the greeting
    if (const auto error = sendCommand(CMD_HELLO))
        return failurePath(*error);

    if (attempt == Attempt::Retry) {
        m_ui.Frame3->hide();
        m_ui.tmrFirst->start();
    }
}

void MainWindow::failurePath(const QString& description)
{
    // Down before the box shows, so a detection check running meanwhile does nothing.
    m_state.linkDown = kTrue;
    m_messageBox(this, QStringLiteral("Communication Error!"), description);
    m_ui.lblMsg->setText(m_ui.lblMsg->text() + QStringLiteral(" ... Device not found!"));
    m_ui.Frame3->show();
}

std::optional<QString> MainWindow::sendCommand(const Command& command)
{
    return m_cm->output(toBytes(command));
}

void MainWindow::sendSetting(const Command& command)
{
    // The operator's settings are not answered on failure. A write that fails on an open port
    // (the adapter pulled) makes the port close itself and report linkLost once, which takes the
    // failure path; a write to a port already closed goes nowhere.
    (void)sendCommand(command);
}

void MainWindow::cmdRetry_Click()
{
    connectInstrument(Attempt::Retry);
}

void MainWindow::cmdPort_Click()
{
    const std::optional<std::int16_t> chosen = m_portChooser(this, m_portNumber);
    if (!chosen)
        return;
    m_portNumber = *chosen;
    if (const auto error = writePortNumber(configFilePath(m_appDir), m_portNumber))
        m_messageBox(this, QStringLiteral("Select Port"),
                     QStringLiteral("The port could not be saved.\n\n%1").arg(*error));
}

void MainWindow::selectTimebase(int index)
{
    m_ui.cmbHorizontal->setCurrentIndex(index);
    cmbHorizontal_Click();
}

void MainWindow::cmbHorizontal_Click()
{
    // Sent as soon as the port is open, whether or not the instrument has answered.
    if (m_state.linkDown)
        return;
    const int index = m_ui.cmbHorizontal->currentIndex();
    if (index < 0 || index >= int(kTimebaseEntries.size()))
        return;
    sendSetting(command(Opcode::CMD_TIMEBASE, 0, 0, std::uint8_t(index)));
}

void MainWindow::optRising_Click()
{
    sendSetting(command(Opcode::CMD_TRIG_EDGE, 0, 0, 0));
}

void MainWindow::optFalling_Click()
{
    sendSetting(command(Opcode::CMD_TRIG_EDGE, 0, 0, 1));
}

void MainWindow::SliderTriggerLevel_Change()
{
    // The slider reports only real changes, so dragging its thumb sends one command per step.
    const int v = m_ui.SliderTriggerLevel->value();
    const std::optional<TrigLevelBytes> level = trigLevelBytes(v);
    if (!level)
        return; // only outside the slider's range of 0..50
    m_state.trigLevelHigh = level->high;
    m_state.trigLevelLow = level->low;
    sendSetting(command(Opcode::CMD_TRIG_LEVEL, 0, level->high, level->low));

    const float y = triggerMarkerY(m_ui.pic->heightTwips(), m_ui.pic->topTwips(), v);
    m_ui.Trigger->setY(y, y);
}

void MainWindow::cmdZero_Click()
{
    // The slider's own change handling sends and moves the marker, if the value changes at all.
    m_ui.SliderTriggerLevel->setValue(kTriggerLevelZero);
}

void MainWindow::cmdRun_Click()
{
    // The lamp shows the new state before the command goes out.
    if (!m_state.isRunning) {
        m_state.isRunning = kTrue;
        m_ui.shpStatus->setColour(QColor::fromRgb(kGreen));
        sendSetting(command(Opcode::CMD_RUN, 0, 0, 1));
    } else {
        m_state.isRunning = kFalse;
        m_ui.shpStatus->setColour(QColor::fromRgb(kRed));
        sendSetting(command(Opcode::CMD_RUN, 0, 0, 0));
    }
}

void MainWindow::tmrScan_Timer()
{
    // The frame handler counts frames and turns the lamp green; the first tick that finds none
    // since the previous tick turns it black, one to two intervals after the last frame.
    if (m_state.frameSeen == 0)
        m_ui.shpTr->setColour(QColor::fromRgb(kBlack));
    m_state.frameSeen = 0;
}

void MainWindow::sliderPos_Change()
{
    setHorizontal(m_state.upperGuide,
                  guideHeight(m_ui.pic->heightTwips(), m_ui.sliderPos->value()));
    redrawGuides();
}

void MainWindow::sliderOff_Change()
{
    setHorizontal(m_state.lowerGuide,
                  guideHeight(m_ui.pic->heightTwips(), m_ui.sliderOff->value()));
    redrawGuides();
}

void MainWindow::cmdDef_Click()
{
    m_ui.sliderPos->setValue(50);
    m_ui.sliderOff->setValue(50);
    const std::int16_t middle = roundHalfEven(m_ui.pic->heightTwips() / 2.0);
    setHorizontal(m_state.upperGuide, middle);
    setHorizontal(m_state.lowerGuide, middle);
    redrawGuides();
}

void MainWindow::tmrFirst_Timer()
{
    m_ui.tmrFirst->stop(); // one check per enabling
    if (m_state.linkDown)
        return;
    m_state.rxBuffer = m_cm->input();
    if (!isDeviceAck(m_state.rxBuffer))
        return; // silent: no message, no new attempt
    m_cm->setRThreshold(FRAME_RX_THRESHOLD);
    m_ui.Frame1->setEnabled(true);
    m_ui.Frame2->setEnabled(true);
    m_state.rxBuffer = m_cm->input();
}

void MainWindow::cm_OnComm()
{
    if (m_cm->commEvent() != CommPort::comEvReceive)
        return;
    m_state.rxBuffer = m_cm->input();
    // A read shorter than a frame changes nothing else: trace, verdict and lamps stay.
    if (!decodeFrame(m_state.rxBuffer, m_state.sampleValues))
        return;

    if (m_sampleHeights.displayHeight() != double(m_ui.pic->heightTwips()))
        m_sampleHeights = SampleHeights(m_ui.pic->heightTwips());
    mapTrace(m_state.liveTrace, m_state.sampleValues, m_sampleHeights);
    drawFrame(*m_ui.pic, m_state.liveTrace, m_state.upperGuide, m_state.lowerGuide);

    const Verdict verdict = judge(m_state.liveTrace, m_state.upperGuide, m_state.lowerGuide);
    m_state.aboveUpper = verdict.aboveUpper ? kTrue : kFalse;
    m_state.belowLower = verdict.belowLower ? kTrue : kFalse;
    m_ui.shpHigher->setColour(QColor::fromRgb(verdict.rejected() ? kRed : kBlack));
    m_ui.shpMiddle->setColour(QColor::fromRgb(verdict.rejected() ? kBlack : kGreen));

    // The activity timer clears the count every second; it still must not wrap if it stalls.
    if (m_state.frameSeen < std::numeric_limits<std::int16_t>::max())
        ++m_state.frameSeen;
    m_ui.shpTr->setColour(QColor::fromRgb(kGreen));
}

void MainWindow::cm_LinkLost(const QString& description)
{
    // A link lost while up fails like an attempt that could not open the port, once, so the
    // operator can plug the adapter back and press Retry. A loss that a failed write of the
    // connection sequence already reported changes nothing more.
    if (!m_state.linkDown)
        failurePath(description);
}

void MainWindow::Report_Click()
{
    // Modal: the report form runs its own event loop, so timers and serial events go on.
    ReportForm::openModal(this);
}

void MainWindow::redrawGuides()
{
    lumatrax::redrawGuides(*m_ui.pic, m_state.upperGuide, m_state.lowerGuide);
}

void MainWindow::paintEvent(QPaintEvent*)
{
    // The trigger marker lies on the window itself, beneath every child widget.
    QPainter painter(this);
    m_ui.Trigger->paint(painter);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Tells the timebase combo's own activations apart: one that follows a commit of typed text
    // is typing; one that follows any other input (a click in the list, an arrow key, the wheel)
    // is a choice. The filter on the list was installed after the popup's own, so it sees a
    // click or key in the list before the popup turns it into a selection.
    QComboBox* combo = m_ui.cmbHorizontal;
    if (watched == combo || watched == combo->lineEdit()) {
        if (commitsTypedText(*event))
            m_timebaseTextCommit = true;
        else if (isOperatorInput(*event))
            m_timebaseTextCommit = false;
    } else if (watched == combo->view() || watched == combo->view()->viewport()) {
        if (isOperatorInput(*event))
            m_timebaseTextCommit = false;
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Stop on close, whether or not acquisition runs or the instrument ever answered; a failing
    // write never keeps the window from closing.
    if (!m_state.linkDown)
        (void)sendCommand(command(Opcode::CMD_RUN, 0, 0, 0));
    event->accept();
}

} // namespace lumatrax
