#include "tools/review/reviewwindowui.h"

#include "tools/review/driftstrip.h"
#include "tools/review/frameview.h"
#include "tools/review/pictureview.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QVBoxLayout>

namespace lumatrax {

namespace {

constexpr const char* kWarningStyle = "QLabel { background: black; color: #ffa000; padding: 4px; }";
constexpr const char* kDriftNoteStyle =
    "QLabel { background: black; color: #d0d0d0; padding: 4px; }";

QLabel* namedLabel(const char* name, const QString& text = {})
{
    auto* label = new QLabel(text);
    label->setObjectName(QLatin1String(name));
    return label;
}

// Vertical slider 0..100 with its minimum at the top, as the operator's guide sliders.
QSlider* guideSlider(const char* name, const QString& tip)
{
    auto* s = new QSlider(Qt::Vertical);
    s->setObjectName(QLatin1String(name));
    s->setRange(0, 100);
    s->setPageStep(10);
    s->setInvertedAppearance(true);
    s->setInvertedControls(true);
    s->setTickPosition(QSlider::TicksRight);
    s->setTickInterval(10);
    s->setMinimumHeight(200);
    s->setToolTip(tip);
    return s;
}

QSpinBox* guideValue(const char* name)
{
    auto* value = new QSpinBox;
    value->setObjectName(QLatin1String(name));
    value->setRange(0, 100);
    return value;
}

QLineEdit* countField(const char* name)
{
    auto* field = new QLineEdit;
    field->setObjectName(QLatin1String(name));
    field->setReadOnly(true);
    field->setMaximumWidth(150);
    return field;
}

QAction* menuAction(QMenu* menu, const QString& text, const QKeySequence& keys)
{
    QAction* action = menu->addAction(text);
    action->setShortcut(keys);
    return action;
}

} // namespace

void ReviewWindowUi::setupUi(QMainWindow* window, GuidePositions startUpGuides)
{
    window->setObjectName(QStringLiteral("reviewWindow"));
    window->setWindowTitle(QStringLiteral("Lumatrax Review"));
    window->setAcceptDrops(true);

    QMenuBar* menus = window->menuBar();
    QMenu* file = menus->addMenu(QStringLiteral("&File"));
    openCapture = menuAction(file, QStringLiteral("&Open Capture..."), QKeySequence::Open);
    savePicture = menuAction(file, QStringLiteral("&Save Picture..."), Qt::CTRL | Qt::Key_S);
    exportFrames =
        menuAction(file, QStringLiteral("&Export Frames as CSV..."), Qt::CTRL | Qt::Key_E);
    file->addSeparator();
    quit = menuAction(file, QStringLiteral("&Quit"), Qt::CTRL | Qt::Key_Q);
    QMenu* edit = menus->addMenu(QStringLiteral("&Edit"));
    copyResult =
        menuAction(edit, QStringLiteral("&Copy Sorting Result"), Qt::CTRL | Qt::SHIFT | Qt::Key_C);
    QMenu* go = menus->addMenu(QStringLiteral("&Go"));
    nextReject = menuAction(go, QStringLiteral("&Next Reject"), Qt::Key_N);
    previousReject = menuAction(go, QStringLiteral("&Previous Reject"), Qt::Key_P);
    nextFrame = menuAction(go, QStringLiteral("Next &Frame"), Qt::SHIFT | Qt::Key_N);
    previousFrame = menuAction(go, QStringLiteral("Previous F&rame"), Qt::SHIFT | Qt::Key_P);
    QMenu* guides = menus->addMenu(QStringLiteral("G&uides"));
    teach = menuAction(guides, QStringLiteral("&Teach from Selection"), Qt::CTRL | Qt::Key_T);

    readWarning = namedLabel("readWarning");
    readWarning->setStyleSheet(QLatin1String(kWarningStyle));
    readWarning->setWordWrap(true);
    readWarning->hide();
    captureInfo =
        namedLabel("captureInfo", QStringLiteral("Open a capture (File > Open, or drop it here)."));
    captureInfo->setWordWrap(true);
    captureInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);

    picture = new PictureView;
    pictureNote = namedLabel("pictureNote");
    pictureNote->setWordWrap(true);
    pictureNote->setMaximumWidth(picture->width());
    frameView = new FrameView;
    frameNote =
        namedLabel("frameNote", QStringLiteral("N and P step to the next and previous "
                                               "reject, Shift+N and Shift+P to any frame."));
    frameNote->setWordWrap(true);
    frameNote->setMaximumWidth(frameView->sizeHint().width());
    frameNote->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // The guides, as sliders and as numbers.
    auto* guideBox = new QGroupBox(QStringLiteral("Guide"));
    high = guideSlider("sliderPos", QStringLiteral("High: the upper guide, 0 at the top of the "
                                                   "screen (lumatrax-judge --guides U,L takes it "
                                                   "as U)"));
    low = guideSlider("sliderOff", QStringLiteral("Low: the lower guide, 0 at the top of the "
                                                  "screen (lumatrax-judge --guides U,L takes it "
                                                  "as L)"));
    highValue = guideValue("highValue");
    lowValue = guideValue("lowValue");
    guidesNote = namedLabel("guidesNote", QStringLiteral("%1,%2: the window's start-up guides "
                                                         "(none given or used for this capture "
                                                         "before).")
                                              .arg(startUpGuides.upper)
                                              .arg(startUpGuides.lower));
    guidesNote->setWordWrap(true);
    guidesNote->setMaximumWidth(160);
    auto* guideGrid = new QGridLayout(guideBox);
    guideGrid->addWidget(new QLabel(QStringLiteral("High")), 0, 0, Qt::AlignHCenter);
    guideGrid->addWidget(new QLabel(QStringLiteral("Low")), 0, 1, Qt::AlignHCenter);
    guideGrid->addWidget(high, 1, 0, Qt::AlignHCenter);
    guideGrid->addWidget(low, 1, 1, Qt::AlignHCenter);
    guideGrid->addWidget(highValue, 2, 0);
    guideGrid->addWidget(lowValue, 2, 1);
    guideGrid->addWidget(guidesNote, 3, 0, 1, 2);
    guideGrid->setRowStretch(4, 1);
    QObject::connect(highValue, &QSpinBox::valueChanged, high, &QSlider::setValue);
    QObject::connect(lowValue, &QSpinBox::valueChanged, low, &QSlider::setValue);

    driftNote = namedLabel("driftNote");
    driftNote->setStyleSheet(QLatin1String(kDriftNoteStyle));
    driftNote->setTextFormat(Qt::RichText);
    strip = new DriftStrip;

    // The report form's own labels, each count in a field of its own to copy into the form.
    auto* countBox = new QGroupBox(QStringLiteral("Sorting Result"));
    auto* countGrid = new QGridLayout(countBox);
    tested = countField("txtNumTested");
    accepted = countField("txtNumAccepted");
    upper = countField("txtNumUpper");
    lower = countField("txtNumLower");
    const std::pair<const char*, QLineEdit*> fields[] = {{"No. of Pcs. Tested", tested},
                                                         {"No. of Pcs. Accepted", accepted},
                                                         {"Upper Rejected:", upper},
                                                         {"Lower Rejected:", lower}};
    int column = 0;
    for (const auto& [caption, field] : fields) {
        auto* label = new QLabel(QString::fromLatin1(caption));
        label->setBuddy(field);
        countGrid->addWidget(label, 0, column, Qt::AlignHCenter);
        countGrid->addWidget(field, 1, column++);
    }
    breakdown = namedLabel("breakdown");
    breakdown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    countGrid->addWidget(breakdown, 2, 0, 1, column);

    // Teaching from a stretch of the strip, with the judge's defaults.
    auto* teachBox = new QGroupBox(QStringLiteral("Teach"));
    keep = new QDoubleSpinBox;
    keep->setObjectName(QStringLiteral("keep"));
    keep->setRange(0.01, 100.0);
    keep->setDecimals(2);
    keep->setValue(100.0);
    keep->setSuffix(QStringLiteral(" %"));
    keep->setToolTip(QStringLiteral("The share of the selected frames the taught band must "
                                    "accept, as lumatrax-judge --keep."));
    margin = new QSpinBox;
    margin->setObjectName(QStringLiteral("margin"));
    margin->setRange(0, 100);
    margin->setValue(2);
    margin->setToolTip(QStringLiteral("Slider steps added on each side of the narrowest band, "
                                      "as lumatrax-judge --margin."));
    teachButton = new QPushButton(QStringLiteral("Teach"));
    teachButton->setObjectName(QStringLiteral("teach"));
    QObject::connect(teachButton, &QPushButton::clicked, teach, &QAction::trigger);
    QObject::connect(teach, &QAction::enabledChanged, teachButton, &QPushButton::setEnabled);
    teachNote = namedLabel("teachNote");
    teachNote->setWordWrap(true);
    teachNote->setMinimumWidth(340);
    auto* teachGrid = new QGridLayout(teachBox);
    teachGrid->addWidget(new QLabel(QStringLiteral("Keep")), 0, 0);
    teachGrid->addWidget(keep, 0, 1);
    teachGrid->addWidget(new QLabel(QStringLiteral("Margin")), 0, 2);
    teachGrid->addWidget(margin, 0, 3);
    teachGrid->addWidget(teachButton, 0, 4);
    teachGrid->addWidget(teachNote, 1, 0, 1, 5);

    auto* pictureColumn = new QVBoxLayout;
    pictureColumn->addWidget(picture);
    pictureColumn->addWidget(pictureNote);
    auto* frameColumn = new QVBoxLayout;
    frameColumn->addWidget(frameView);
    frameColumn->addWidget(frameNote);
    auto* top = new QHBoxLayout;
    top->addLayout(pictureColumn);
    top->addLayout(frameColumn);
    top->addWidget(guideBox);
    top->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(countBox);
    bottom->addWidget(teachBox, 1);

    auto* central = new QWidget;
    auto* rows = new QVBoxLayout(central);
    rows->addWidget(captureInfo);
    rows->addWidget(readWarning);
    rows->addLayout(top);
    rows->addWidget(driftNote);
    rows->addWidget(strip);
    rows->addLayout(bottom);
    rows->addStretch(1);
    window->setCentralWidget(central);

    progress = new QProgressBar;
    progress->setObjectName(QStringLiteral("progress"));
    progress->setRange(0, kProgressSteps);
    progress->setMaximumWidth(320);
    progress->hide();
    cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->hide();
    window->statusBar()->addPermanentWidget(progress);
    window->statusBar()->addPermanentWidget(cancel);
}

} // namespace lumatrax
