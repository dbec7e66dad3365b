#include "app/mainwindow.h"

#include "app/appicon.h"
#include "display/colours.h"
#include "display/geometry.h"
#include "display/lamp.h"
#include "display/lineobject.h"
#include "display/repaintpace.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/comname.h"
#include "link/configfile.h"
#include "link/instrumentlink.h"
#include "link/portdialog.h"
#include "report/reportform.h"
#include "windowkit/fixedwindow.h"

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
    : QWidget(parent, Qt::Window), m_link(new InstrumentLink(this)),
      m_repaintPace(new RepaintPace(this))
{
    makeFixedWindow(this, kClientWidthTwips, kClientHeightTwips);
    setWindowTitle(QStringLiteral("Lumatrax - Ver.1.1       ~ Vorn ~"));
    setWindowIcon(appIcon());
    m_ui.setupUi(this);
    m_ui.pic->setRepaintPace(m_repaintPace);
    for (Lamp* lamp : findChildren<Lamp*>())
        lamp->setRepaintPace(m_repaintPace);
    m_ui.pic->setScreen(&m_screen);

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
            return cmbHorizontal_Click();
        // Qt took typed text that names an entry as that entry; the instrument keeps the one
        // chosen last, so that is the one the list shows again.
        m_ui.cmbHorizontal->setCurrentIndex(m_timebaseChosen);
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
    connect(&m_link->cm(), &CommPort::comm, this, &MainWindow::cm_OnComm);
    connect(m_link, &InstrumentLink::stateChanged, this, &MainWindow::linkStateChanged);
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
    // The link starts down: nothing talks to the instrument until a connection attempt.

    // The timebase list; selecting the first entry sends nothing while the link is down.
    for (std::string_view entry : kTimebaseEntries)
        m_ui.cmbHorizontal->addItem(QString::fromUtf8(entry.data(), qsizetype(entry.size())));
    selectTimebase(0);

    // The screen's geometry from the display area's size: the segments' X
    // coordinates, which never change afterwards, and the grid, nine lines each way dividing the
    // screen into 10 x 10 squares.
    m_screen = ScopeScreen(m_ui.pic->widthTwips(), m_ui.pic->heightTwips());
    for (int i = 0; i < kGridLines; ++i) {
        m_ui.x_axis[i]->setEnds(m_screen.horizontalGridLine(i));
        m_ui.y_axis[i]->setEnds(m_screen.verticalGridLine(i));
    }

    // The trigger marker at its start height.
    const float markerY = triggerMarkerStartY(m_ui.pic->heightTwips(), m_ui.pic->topTwips());
    m_ui.Trigger->setY(markerY, markerY);

    // The default guides: the first drawing on the screen.
    cmdDef_Click();

    // Acquisition is considered stopped.
    m_isRunning = 0;

    // The start-up directory holds the configuration file (and COMn links) for the whole run.
    m_appDir = QDir::currentPath();

    // The port number; a missing or unusable file starts with port 1 and is left alone.
    m_portNumber = readPortNumber(configFilePath(m_appDir)).value_or(kDefaultPortNumber);

    // Open the port and greet the instrument; the status label names the port.
    m_link->setStartDirectory(m_appDir);
    m_link->connectTo(m_portNumber);
}

void MainWindow::linkStateChanged(LinkState state)
{
    if (state == LinkState::Lost) {
        // Nothing reaches the instrument any more: acquisition is stopped as far as the screen
        // can tell, and the instrument is told so once it answers again.
        m_isRunning = 0;
        m_ui.shpStatus->setColour(QColor::fromRgb(kRed));
        m_resendAfterAck = true;
    }
    // The link is down before the box shows, so a detection check running meanwhile does
    // nothing; the status label and the connection group follow once it is answered.
    if (state == LinkState::Failed || state == LinkState::Lost)
        m_messageBox(this, QStringLiteral("Communication Error!"), m_link->failure());
    showLinkState();
    if (state == LinkState::Acknowledged && m_resendAfterAck)
        resendSettings();
}

void MainWindow::showLinkState()
{
    const LinkState state = m_link->state();
    const bool answered = state == LinkState::Acknowledged;
    m_ui.Frame1->setEnabled(answered);
    m_ui.Frame2->setEnabled(answered);
    m_ui.Frame3->setVisible(m_link->offersRetry());
    if (!m_link->attempted())
        m_ui.lblMsg->setText(QStringLiteral("Searching ..."));
    else if (state == LinkState::Failed || state == LinkState::Lost || state == LinkState::Silent)
        m_ui.lblMsg->setText(comName(m_link->port()) + QStringLiteral(" ... Device not found!"));
    else
        m_ui.lblMsg->setText(comName(m_link->port()));
}

void MainWindow::resendSettings()
{
    m_resendAfterAck = false;
    m_link->send(command(Opcode::CMD_TIMEBASE, 0, 0, std::uint8_t(m_timebaseChosen)));
    m_link->send(command(Opcode::CMD_TRIG_EDGE, 0, 0, m_ui.optFalling->isChecked() ? 1 : 0));
    sendTriggerLevel();
    m_link->send(command(Opcode::CMD_RUN, 0, 0, 0));
}

void MainWindow::cmdRetry_Click()
{
    m_link->retry(m_portNumber, m_timebaseChosen);
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
    const int index = m_ui.cmbHorizontal->currentIndex();
    if (index < 0 || index >= int(kTimebaseEntries.size()))
        return;
    m_timebaseChosen = index;
    // Sent as soon as the port is open, whether or not the instrument has answered.
    if (m_link->linkDown())
        return;
    m_link->send(command(Opcode::CMD_TIMEBASE, 0, 0, std::uint8_t(index)));
}

void MainWindow::optRising_Click()
{
    m_link->send(command(Opcode::CMD_TRIG_EDGE, 0, 0, 0));
}

void MainWindow::optFalling_Click()
{
    m_link->send(command(Opcode::CMD_TRIG_EDGE, 0, 0, 1));
}

void MainWindow::SliderTriggerLevel_Change()
{
    // The slider reports only real changes, so dragging its thumb sends one command per step.
    sendTriggerLevel();
    const int v = m_ui.SliderTriggerLevel->value();
    const float y = triggerMarkerY(m_ui.pic->heightTwips(), m_ui.pic->topTwips(), v);
    m_ui.Trigger->setY(y, y);
}

void MainWindow::sendTriggerLevel()
{
    const std::optional<TrigLevelBytes> level = trigLevelBytes(m_ui.SliderTriggerLevel->value());
    if (!level)
        return; // only outside the slider's range of 0..50
    m_link->send(command(Opcode::CMD_TRIG_LEVEL, 0, level->high, level->low));
}

void MainWindow::cmdZero_Click()
{
    // The slider's own change handling sends and moves the marker, if the value changes at all.
    m_ui.SliderTriggerLevel->setValue(kTriggerLevelZero);
}

void MainWindow::cmdRun_Click()
{
    // The lamp shows the new state before the command goes out.
    if (!m_isRunning) {
        m_isRunning = -1;
        m_ui.shpStatus->setColour(QColor::fromRgb(kGreen));
        m_link->send(command(Opcode::CMD_RUN, 0, 0, 1));
    } else {
        m_isRunning = 0;
        m_ui.shpStatus->setColour(QColor::fromRgb(kRed));
        m_link->send(command(Opcode::CMD_RUN, 0, 0, 0));
    }
}

void MainWindow::tmrScan_Timer()
{
    // The frame handler counts frames and turns the lamp green; the first tick that finds none
    // since the previous tick turns it black, one to two intervals after the last frame.
    if (m_frameSeen == 0)
        m_ui.shpTr->setColour(QColor::fromRgb(kBlack));
    m_frameSeen = 0;
}

void MainWindow::sliderPos_Change()
{
    m_screen.setUpperGuide(m_ui.sliderPos->value());
    m_ui.pic->screenChanged();
}

void MainWindow::sliderOff_Change()
{
    m_screen.setLowerGuide(m_ui.sliderOff->value());
    m_ui.pic->screenChanged();
}

void MainWindow::cmdDef_Click()
{
    m_ui.sliderPos->setValue(50);
    m_ui.sliderOff->setValue(50);
    m_screen.setDefaultGuides();
    m_ui.pic->screenChanged();
}

void MainWindow::cm_OnComm()
{
    const CommPort& cm = m_link->cm();
    if (cm.commEvent() != CommPort::comEvReceive)
        return;
    // Every read since the last event, oldest first, each judged on its own; the lamps end on
    // the last frame's verdict and the screen shows its trace.
    for (const QByteArray& read : cm.reads()) {
        // A read shorter than a frame changes nothing: trace, verdict and lamps stay.
        if (!decodeFrame(read, m_decoded))
            continue;
        const Verdict verdict = m_screen.showFrame(m_decoded);
        m_ui.shpHigher->setColour(QColor::fromRgb(verdict.rejected() ? kRed : kBlack));
        m_ui.shpMiddle->setColour(QColor::fromRgb(verdict.rejected() ? kBlack : kGreen));
        // The activity timer clears the count every second; it still must not wrap if it
        // stalls.
        if (m_frameSeen < std::numeric_limits<std::int16_t>::max())
            ++m_frameSeen;
        m_ui.shpTr->setColour(QColor::fromRgb(kGreen));
        emit frameJudged(read, verdict);
    }
    // The screen and the lamps repaint together once this turn has ended.
    m_ui.pic->screenChanged();
}

void MainWindow::Report_Click()
{
    // Modal: the report form runs its own event loop, so timers and serial events go on.
    ReportForm::openModal(this);
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
    m_link->stopOnClose();
    event->accept();
}

} // namespace lumatrax
