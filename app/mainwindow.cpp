#include "app/mainwindow.h"

#include "app/appicon.h"
#include "display/geometry.h"
#include "display/guides.h"
#include "display/lineobject.h"
#include "display/scopesurface.h"
#include "report/reportform.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

namespace lumatrax {

// The client area: 9990 x 6540 twips.
inline constexpr int kClientWidthTwips = 9990;
inline constexpr int kClientHeightTwips = 6540;

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(QStringLiteral("Lumatrax - Ver.1.1       ~ Vorn ~"));
    setWindowIcon(appIcon());
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    m_ui.setupUi(this);

    connect(m_ui.cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui.Report, &QPushButton::clicked, this, &MainWindow::Report_Click);
    connect(m_ui.cmbHorizontal, &QComboBox::currentIndexChanged, this,
            &MainWindow::cmbHorizontal_Click);
    connect(m_ui.sliderPos, &QSlider::valueChanged, this, &MainWindow::sliderPos_Change);
    connect(m_ui.sliderOff, &QSlider::valueChanged, this, &MainWindow::sliderOff_Change);
    connect(m_ui.cmdDef, &QPushButton::clicked, this, &MainWindow::cmdDef_Click);
    connect(m_ui.tmrFirst, &QTimer::timeout, this, &MainWindow::tmrFirst_Timer);
    connect(m_ui.Trigger, &LineObject::changed, this, qOverload<>(&QWidget::update));

    m_ui.pic->setFocus();
}

void MainWindow::formLoad()
{
    // 1. Until a connection attempt clears it, nothing talks to the instrument.
    m_state.linkDown = kTrue;

    // 2. Timebase list; selecting the first entry sends nothing while the link is down.
    for (std::string_view entry : kTimebaseEntries)
        m_ui.cmbHorizontal->addItem(QString::fromUtf8(entry.data(), qsizetype(entry.size())));
    m_ui.cmbHorizontal->setCurrentIndex(0);

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

    // 5. Trigger marker at its start height.
    const float markerY = triggerMarkerStartY(m_ui.pic->heightTwips(), m_ui.pic->topTwips());
    m_ui.Trigger->setY(markerY, markerY);

    // 6. Default guides: the first drawing on the screen.
    cmdDef_Click();

    // 7. Acquisition is considered stopped.
    m_state.isRunning = kFalse;
}

void MainWindow::cmbHorizontal_Click()
{
    if (m_state.linkDown)
        return;
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
    m_ui.tmrFirst->stop();
    if (m_state.linkDown)
        return;
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

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
}

} // namespace lumatrax
