#include "tools/review/reviewwindow.h"

#include "common/outputfile.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/captureframes.h"
#include "tools/capture/drift.h"
#include "tools/capture/framecsv.h"
#include "tools/capture/frameindex.h"
#include "tools/capture/guideteacher.h"
#include "tools/capture/reportcounts.h"
#include "tools/review/batchlayers.h"
#include "tools/review/captureloader.h"
#include "tools/review/driftstrip.h"
#include "tools/review/framesexport.h"
#include "tools/review/frameview.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>

namespace lumatrax {

namespace {

// While its threads work the window takes what they published about thirty times a second, the
// screen's pace; it never wakes for a frame.
constexpr auto kPulseInterval = std::chrono::milliseconds(33);
constexpr GuidePositions kStartUpGuides{50, 50};
constexpr int kProgressSteps = 1000;
constexpr const char* kAmber = "#ffa000";
constexpr const char* kWarningStyle = "QLabel { background: black; color: #ffa000; padding: 4px; }";

// The guides last used for a capture, by its canonical path, in the user's settings.
QString memoryKey(const QString& capture)
{
    const QByteArray path = QFileInfo(capture).canonicalFilePath().toUtf8();
    return QStringLiteral("guides/") +
           QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex());
}

std::optional<GuidePositions> recalledGuides(const QSettings& settings, const QString& capture)
{
    const QStringList parts = settings.value(memoryKey(capture)).toString().split(QLatin1Char(','));
    bool upperOk = false;
    bool lowerOk = false;
    const GuidePositions guides{parts.value(0).toInt(&upperOk), parts.value(1).toInt(&lowerOk)};
    if (parts.size() != 2 || !upperOk || !lowerOk || guides.upper < 0 || guides.upper > 100 ||
        guides.lower < 0 || guides.lower > 100)
        return std::nullopt;
    return guides;
}

QString verdictWords(const Verdict& v)
{
    if (v.aboveUpper && v.belowLower)
        return QStringLiteral("REJECT, above the upper guide and below the lower");
    if (v.aboveUpper)
        return QStringLiteral("REJECT, above the upper guide");
    if (v.belowLower)
        return QStringLiteral("REJECT, below the lower guide");
    return QStringLiteral("ACCEPT");
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

QLineEdit* countField(const char* name)
{
    auto* field = new QLineEdit;
    field->setObjectName(QLatin1String(name));
    field->setReadOnly(true);
    field->setMaximumWidth(150);
    return field;
}

} // namespace

// The batch picture at the window's size: BatchPlot's device pixels at its scale.
class PictureView : public QWidget
{
public:
    explicit PictureView(QWidget* parent = nullptr) : QWidget(parent)
    {
        setObjectName(QStringLiteral("batchPicture"));
        setFixedSize(BatchPlot::screenWidth() / BatchPlot::kScale,
                     BatchPlot::screenHeight() / BatchPlot::kScale);
    }
    void setImage(const QImage& image)
    {
        m_image = image;
        m_image.setDevicePixelRatio(BatchPlot::kScale);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (!m_image.isNull())
            painter.drawImage(QPoint(0, 0), m_image);
    }

private:
    QImage m_image;
};

// One open capture and the threads that read it. The threads stop before the index goes.
struct ReviewWindow::Session
{
    QString path;
    QByteArray captureKey; // fileKey() of the capture: no output goes over it
    CaptureHeader header;
    FrameIndex index;
    FrameFetcher fetcher;
    LoadProgress progress;
    std::uint64_t loadRevision = 0;
    bool announced = false; // captureLoaded() emitted
    BatchPicture picture;
    std::uint64_t pictureRevision = 0;
    qint64 current = -1; // the frame shown
    std::optional<std::pair<std::int64_t, std::int64_t>> selection;
    std::unique_ptr<CaptureLoader> loader;
    std::unique_ptr<BatchLayers> layers;
    std::unique_ptr<FramesExport> exporting;
    QString exportingTo;
};

ReviewWindow::ReviewWindow(QSettings* settings, QWidget* parent)
    : QMainWindow(parent), m_settings(settings), m_pulse(new QTimer(this))
{
    setObjectName(QStringLiteral("reviewWindow"));
    setWindowTitle(QStringLiteral("Lumatrax Review"));
    setAcceptDrops(true);
    m_messageBox = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox::warning(parent, title, text);
    };
    m_pulse->setInterval(kPulseInterval);
    connect(m_pulse, &QTimer::timeout, this, &ReviewWindow::pulse);

    buildMenus();
    m_readWarning = new QLabel;
    m_readWarning->setObjectName(QStringLiteral("readWarning"));
    m_readWarning->setStyleSheet(QLatin1String(kWarningStyle));
    m_readWarning->setWordWrap(true);
    m_readWarning->hide();
    m_captureInfo = new QLabel(QStringLiteral("Open a capture (File > Open, or drop it here)."));
    m_captureInfo->setObjectName(QStringLiteral("captureInfo"));
    m_captureInfo->setWordWrap(true);
    m_captureInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_picture = new PictureView;
    m_pictureNote = new QLabel;
    m_pictureNote->setObjectName(QStringLiteral("pictureNote"));
    m_pictureNote->setWordWrap(true);
    m_pictureNote->setMaximumWidth(m_picture->width());
    m_frameView = new FrameView;
    m_frameNote = new QLabel(QStringLiteral("N and P step to the next and previous reject, "
                                            "Shift+N and Shift+P to any frame."));
    m_frameNote->setObjectName(QStringLiteral("frameNote"));
    m_frameNote->setWordWrap(true);
    m_frameNote->setMaximumWidth(m_frameView->sizeHint().width());
    m_frameNote->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_driftNote = new QLabel;
    m_driftNote->setObjectName(QStringLiteral("driftNote"));
    m_driftNote->setStyleSheet(QStringLiteral("QLabel { background: black; color: #d0d0d0; "
                                              "padding: 4px; }"));
    m_driftNote->setTextFormat(Qt::RichText);
    m_strip = new DriftStrip;
    connect(m_strip, &DriftStrip::binClicked, this, &ReviewWindow::showBin);
    connect(m_strip, &DriftStrip::stretchSelected, this,
            [this](std::int64_t startUs, std::int64_t endUs) {
                if (m_session)
                    m_session->selection = std::pair{startUs, endUs};
                m_teachNote->setText(QStringLiteral("Selected %1 to %2: Teach sets the guides from "
                                                    "the frames there.")
                                         .arg(captureClock(startUs), captureClock(endUs)));
                updateActions();
            });

    auto* pictureColumn = new QVBoxLayout;
    pictureColumn->addWidget(m_picture);
    pictureColumn->addWidget(m_pictureNote);
    auto* frameColumn = new QVBoxLayout;
    frameColumn->addWidget(m_frameView);
    frameColumn->addWidget(m_frameNote);
    auto* top = new QHBoxLayout;
    top->addLayout(pictureColumn);
    top->addLayout(frameColumn);
    top->addWidget(buildGuides());
    top->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(buildCounts());
    bottom->addWidget(buildTeach(), 1);

    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    column->addWidget(m_captureInfo);
    column->addWidget(m_readWarning);
    column->addLayout(top);
    column->addWidget(m_driftNote);
    column->addWidget(m_strip);
    column->addLayout(bottom);
    column->addStretch(1);
    setCentralWidget(central);

    m_progress = new QProgressBar;
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, kProgressSteps);
    m_progress->setMaximumWidth(320);
    m_progress->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"));
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_cancel->hide();
    connect(m_cancel, &QPushButton::clicked, this, &ReviewWindow::cancelWork);
    statusBar()->addPermanentWidget(m_progress);
    statusBar()->addPermanentWidget(m_cancel);

    setGuides(kStartUpGuides);
    updateActions();
}

ReviewWindow::~ReviewWindow()
{
    closeCapture();
}

void ReviewWindow::setMessageBox(MessageBox box)
{
    m_messageBox = std::move(box);
}

void ReviewWindow::tell(const QString& title, const QString& text)
{
    m_messageBox(this, title, text);
}

void ReviewWindow::buildMenus()
{
    auto add = [this](QMenu* menu, const QString& text, const QKeySequence& keys, auto slot) {
        QAction* action = menu->addAction(text);
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("&Open Capture..."), QKeySequence::Open, &ReviewWindow::chooseCapture);
    m_savePicture = add(file, QStringLiteral("&Save Picture..."),
                        QKeySequence(Qt::CTRL | Qt::Key_S), &ReviewWindow::savePicture);
    m_exportFrames = add(file, QStringLiteral("&Export Frames as CSV..."),
                         QKeySequence(Qt::CTRL | Qt::Key_E), &ReviewWindow::exportFrames);
    file->addSeparator();
    add(file, QStringLiteral("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), &QWidget::close);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    m_copyResult =
        add(edit, QStringLiteral("&Copy Sorting Result"),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C), &ReviewWindow::copySortingResult);

    QMenu* go = menuBar()->addMenu(QStringLiteral("&Go"));
    add(go, QStringLiteral("&Next Reject"), QKeySequence(Qt::Key_N), [this] { step(1, true); });
    add(go, QStringLiteral("&Previous Reject"), QKeySequence(Qt::Key_P),
        [this] { step(-1, true); });
    add(go, QStringLiteral("Next &Frame"), QKeySequence(Qt::SHIFT | Qt::Key_N),
        [this] { step(1, false); });
    add(go, QStringLiteral("Previous F&rame"), QKeySequence(Qt::SHIFT | Qt::Key_P),
        [this] { step(-1, false); });

    QMenu* guides = menuBar()->addMenu(QStringLiteral("G&uides"));
    m_teach = add(guides, QStringLiteral("&Teach from Selection"),
                  QKeySequence(Qt::CTRL | Qt::Key_T), &ReviewWindow::teach);
}

QWidget* ReviewWindow::buildGuides()
{
    auto* box = new QGroupBox(QStringLiteral("Guide"));
    m_high = guideSlider("sliderPos", QStringLiteral("High: the upper guide, 0 at the top of the "
                                                     "screen (lumatrax-judge --guides U,L takes it "
                                                     "as U)"));
    m_low = guideSlider("sliderOff", QStringLiteral("Low: the lower guide, 0 at the top of the "
                                                    "screen (lumatrax-judge --guides U,L takes it "
                                                    "as L)"));
    m_highValue = new QSpinBox;
    m_highValue->setObjectName(QStringLiteral("highValue"));
    m_lowValue = new QSpinBox;
    m_lowValue->setObjectName(QStringLiteral("lowValue"));
    auto* grid = new QGridLayout(box);
    grid->addWidget(new QLabel(QStringLiteral("High")), 0, 0, Qt::AlignHCenter);
    grid->addWidget(new QLabel(QStringLiteral("Low")), 0, 1, Qt::AlignHCenter);
    grid->addWidget(m_high, 1, 0, Qt::AlignHCenter);
    grid->addWidget(m_low, 1, 1, Qt::AlignHCenter);
    grid->addWidget(m_highValue, 2, 0);
    grid->addWidget(m_lowValue, 2, 1);
    m_guidesNote = new QLabel(QStringLiteral("%1,%2: the window's start-up guides (none given "
                                             "or used for this capture before).")
                                  .arg(kStartUpGuides.upper)
                                  .arg(kStartUpGuides.lower));
    m_guidesNote->setObjectName(QStringLiteral("guidesNote"));
    m_guidesNote->setWordWrap(true);
    m_guidesNote->setMaximumWidth(160);
    grid->addWidget(m_guidesNote, 3, 0, 1, 2);
    grid->setRowStretch(4, 1);
    for (QSpinBox* value : {m_highValue, m_lowValue})
        value->setRange(0, 100);
    connect(m_high, &QSlider::valueChanged, this, &ReviewWindow::guidesMoved);
    connect(m_low, &QSlider::valueChanged, this, &ReviewWindow::guidesMoved);
    connect(m_highValue, &QSpinBox::valueChanged, m_high, &QSlider::setValue);
    connect(m_lowValue, &QSpinBox::valueChanged, m_low, &QSlider::setValue);
    return box;
}

QWidget* ReviewWindow::buildCounts()
{
    // The report form's own labels, each count in a field of its own to copy into the form.
    auto* box = new QGroupBox(QStringLiteral("Sorting Result"));
    auto* grid = new QGridLayout(box);
    m_tested = countField("txtNumTested");
    m_accepted = countField("txtNumAccepted");
    m_upper = countField("txtNumUpper");
    m_lower = countField("txtNumLower");
    const std::pair<const char*, QLineEdit*> fields[] = {{"No. of Pcs. Tested", m_tested},
                                                         {"No. of Pcs. Accepted", m_accepted},
                                                         {"Upper Rejected:", m_upper},
                                                         {"Lower Rejected:", m_lower}};
    int column = 0;
    for (const auto& [caption, field] : fields) {
        auto* label = new QLabel(QString::fromLatin1(caption));
        label->setBuddy(field);
        grid->addWidget(label, 0, column, Qt::AlignHCenter);
        grid->addWidget(field, 1, column++);
    }
    m_breakdown = new QLabel;
    m_breakdown->setObjectName(QStringLiteral("breakdown"));
    m_breakdown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(m_breakdown, 2, 0, 1, column);
    return box;
}

QWidget* ReviewWindow::buildTeach()
{
    auto* box = new QGroupBox(QStringLiteral("Teach"));
    m_keep = new QDoubleSpinBox;
    m_keep->setObjectName(QStringLiteral("keep"));
    m_keep->setRange(0.01, 100.0);
    m_keep->setDecimals(2);
    m_keep->setValue(100.0);
    m_keep->setSuffix(QStringLiteral(" %"));
    m_keep->setToolTip(QStringLiteral("The share of the selected frames the taught band must "
                                      "accept, as lumatrax-judge --keep."));
    m_margin = new QSpinBox;
    m_margin->setObjectName(QStringLiteral("margin"));
    m_margin->setRange(0, 100);
    m_margin->setValue(2);
    m_margin->setToolTip(QStringLiteral("Slider steps added on each side of the narrowest band, "
                                        "as lumatrax-judge --margin."));
    auto* teach = new QPushButton(QStringLiteral("Teach"));
    teach->setObjectName(QStringLiteral("teach"));
    connect(teach, &QPushButton::clicked, m_teach, &QAction::trigger);
    connect(m_teach, &QAction::enabledChanged, teach, &QPushButton::setEnabled);
    m_teachNote = new QLabel;
    m_teachNote->setObjectName(QStringLiteral("teachNote"));
    m_teachNote->setWordWrap(true);
    m_teachNote->setMinimumWidth(340);
    auto* grid = new QGridLayout(box);
    grid->addWidget(new QLabel(QStringLiteral("Keep")), 0, 0);
    grid->addWidget(m_keep, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Margin")), 0, 2);
    grid->addWidget(m_margin, 0, 3);
    grid->addWidget(teach, 0, 4);
    grid->addWidget(m_teachNote, 1, 0, 1, 5);
    return box;
}

void ReviewWindow::chooseCapture()
{
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Open Capture"), QString(),
                                     QStringLiteral("Lumatrax captures (*.lmxcap);;All files (*)"));
    if (!path.isEmpty())
        openCapture(path);
}

void ReviewWindow::openCapture(const QString& path, std::optional<GuidePositions> guides)
{
    auto frames = std::make_unique<CaptureFrames>();
    if (const auto refused = frames->open(path)) {
        tell(QStringLiteral("Open Capture"), *refused);
        return;
    }
    closeCapture();
    m_session = std::make_unique<Session>();
    Session& s = *m_session;
    s.path = path;
    if (QFile capture(path); capture.open(QIODevice::ReadOnly))
        s.captureKey = fileKey(capture.handle());
    s.header = frames->header();
    (void)s.fetcher.open(path); // a frame that cannot be read is said when it is asked for
    s.loader = std::make_unique<CaptureLoader>(std::move(frames), s.index);
    s.layers = std::make_unique<BatchLayers>(path, s.index);
    setWindowTitle(QStringLiteral("%1 - Lumatrax Review").arg(QFileInfo(path).fileName()));

    // The start-up guides are no choice: they are not remembered for the capture.
    const std::optional<GuidePositions> chosen =
        guides ? guides : recalledGuides(*m_settings, path);
    m_startUpGuides = !chosen;
    m_opening = true;
    setGuides(chosen.value_or(kStartUpGuides));
    m_opening = false;
    m_picture->setImage({});
    m_pictureNote->clear();
    m_teachNote->setText(QStringLiteral("Drag across the strip over good pieces, then Teach."));
    m_frameNote->setText(QStringLiteral("N and P step to the next and previous reject, Shift+N and "
                                        "Shift+P to any frame; or click a bin of the strip."));
    m_strip->clearSelection();
    m_strip->setCurrent(std::nullopt);
    m_strip->setFocus();
    showCaptureInfo();
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("reading %p%"));
    m_progress->show();
    m_cancel->show();
    m_pulse->start();
}

void ReviewWindow::closeCapture()
{
    m_session.reset(); // its threads stop and are waited for
    m_pulse->stop();
    m_progress->hide();
    m_cancel->hide();
}

void ReviewWindow::cancelWork()
{
    if (!m_session)
        return;
    if (m_session->exporting) {
        m_session->exporting.reset(); // an earlier file stays as it was
        statusBar()->showMessage(
            QStringLiteral("Export of %1 cancelled: nothing written.").arg(m_session->exportingTo));
        m_progress->hide();
        m_cancel->hide();
        return;
    }
    const QString name = QFileInfo(m_session->path).fileName();
    closeCapture();
    setWindowTitle(QStringLiteral("Lumatrax Review"));
    m_captureInfo->setText(QStringLiteral("Opening %1 cancelled.").arg(name));
    m_readWarning->hide();
    m_picture->setImage({});
    m_pictureNote->clear();
    m_frameView->showGuides(m_guides);
    showCounts();
    showDrift();
    updateActions();
}

GuidePositions ReviewWindow::guides() const
{
    return m_guides;
}

void ReviewWindow::setGuides(GuidePositions guides)
{
    m_settingGuides = true;
    m_high->setValue(guides.upper);
    m_low->setValue(guides.lower);
    m_settingGuides = false;
    guidesMoved();
}

void ReviewWindow::guidesMoved()
{
    if (m_settingGuides)
        return;
    m_guides = {m_high->value(), m_low->value()};
    {
        const QSignalBlocker blockHigh(m_highValue);
        const QSignalBlocker blockLow(m_lowValue);
        m_highValue->setValue(m_guides.upper);
        m_lowValue->setValue(m_guides.lower);
    }
    if (!m_opening)
        m_startUpGuides = false;
    m_guidesNote->setVisible(m_session && m_startUpGuides);
    showCounts();
    showDrift();
    if (m_session) {
        if (!m_startUpGuides)
            m_settings->setValue(memoryKey(m_session->path),
                                 QStringLiteral("%1,%2").arg(m_guides.upper).arg(m_guides.lower));
        m_session->layers->drawRejects(m_guides);
        if (m_session->current >= 0)
            showFrame(m_session->current);
        else
            m_frameView->showGuides(m_guides);
        m_pulse->start();
    } else {
        m_frameView->showGuides(m_guides);
    }
    updateActions();
}

JudgeSummary ReviewWindow::counts() const
{
    return m_session ? m_session->progress.counts.summary(m_guides) : JudgeSummary{};
}

bool ReviewWindow::isLoaded() const
{
    return m_session && m_session->progress.finished;
}

bool ReviewWindow::isPictureComplete() const
{
    if (!m_session)
        return false;
    const BatchPicture& p = m_session->picture;
    // The reject layer at the guides shown, over every frame indexed.
    return p.tracesComplete && p.rejectGuides && p.rejectGuides->upper == m_guides.upper &&
           p.rejectGuides->lower == m_guides.lower && p.rejected == counts().rejected();
}

QByteArray ReviewWindow::sortingResultText() const
{
    const JudgeSummary s = counts();
    return sortingResultLines(s) + countedTwiceLine(s);
}

void ReviewWindow::pulse()
{
    if (!m_session) {
        m_pulse->stop();
        return;
    }
    Session& s = *m_session;
    if (s.loader->revision() != s.loadRevision) {
        s.loadRevision = s.loader->revision();
        s.progress = s.loader->progress();
        showCounts();
        showDrift();
        showCaptureInfo();
        if (s.progress.finished && !s.announced) {
            s.announced = true;
            s.layers->drawRejects(m_guides); // now over every frame
            emit captureLoaded();
        }
    }
    if (s.layers->revision() != s.pictureRevision) {
        s.pictureRevision = s.layers->revision();
        s.picture = s.layers->picture();
        showPicture();
        emit pictureChanged();
    }

    if (s.exporting) {
        m_progress->setValue(int(s.exporting->share() * kProgressSteps));
        if (s.exporting->finished()) {
            const auto failure = s.exporting->failure();
            s.exporting.reset();
            m_cancel->hide();
            if (failure)
                tell(QStringLiteral("Export Frames"),
                     QStringLiteral("The frames could not be written to %1:\n%2")
                         .arg(failure->fileName, failure->reason));
            else
                statusBar()->showMessage(
                    QStringLiteral("Frames written to %1.").arg(s.exportingTo));
        }
    } else if (!s.progress.finished) {
        const double share = s.progress.fileSize > 0
                                 ? double(s.progress.position) / double(s.progress.fileSize)
                                 : 0.0;
        m_progress->setValue(int(share * kProgressSteps));
    } else {
        m_cancel->hide();
        const qint64 frames = s.progress.counts.frames();
        m_progress->setFormat(QStringLiteral("drawing every trace %p%"));
        m_progress->setValue(frames > 0 ? int(s.picture.tracesDrawn * kProgressSteps / frames)
                                        : kProgressSteps);
    }
    const bool busy = s.exporting || !s.progress.finished || !isPictureComplete();
    m_progress->setVisible(busy);
    if (!busy)
        m_pulse->stop();
    updateActions();
}

void ReviewWindow::showCounts()
{
    const JudgeSummary s = counts();
    m_tested->setText(QString::number(s.frames));
    m_accepted->setText(QString::number(s.accepted));
    m_upper->setText(QString::number(s.rejectedAbove + s.rejectedBoth));
    m_lower->setText(QString::number(s.rejectedBelow + s.rejectedBoth));
    m_breakdown->setText(QStringLiteral("%1 frames%2: %3 accepted, %4 rejected above only, %5 "
                                        "below only, %6 both; %7 % rejected")
                             .arg(s.frames)
                             .arg(m_session && !isLoaded() ? QStringLiteral(" so far") : QString())
                             .arg(s.accepted)
                             .arg(s.rejectedAbove)
                             .arg(s.rejectedBelow)
                             .arg(s.rejectedBoth)
                             .arg(100.0 * s.rejectShare(), 0, 'f', 2));
}

void ReviewWindow::showDrift()
{
    if (!m_session || m_session->progress.counts.settledFrames() == 0) {
        m_strip->setReport({});
        m_driftNote->setText(QStringLiteral("drift: no frames"));
        return;
    }
    const DriftReport report = m_session->progress.drift.report(m_guides);
    m_strip->setReport(report);
    QStringList lines;
    for (GuideSide side : {GuideSide::Upper, GuideSide::Lower}) {
        const QString line = driftLine(report, side).toHtmlEscaped();
        lines << (report.sides[std::size_t(side)].warning
                      ? QStringLiteral("<span style=\"color:%1\">%2</span>").arg(kAmber, line)
                      : line);
    }
    m_driftNote->setText(lines.join(QStringLiteral("<br>")));
}

void ReviewWindow::showPicture()
{
    const BatchPicture& p = m_session->picture;
    m_picture->setImage(p.screen);
    QString traces = p.tracesComplete ? QStringLiteral("every trace")
                                      : QStringLiteral("%1 traces so far").arg(p.tracesDrawn);
    QString rejects;
    if (p.rejectsDrawn < p.rejected)
        rejects = QStringLiteral("rejects in amber: %1 of %2, evenly sampled")
                      .arg(p.rejectsDrawn)
                      .arg(p.rejected);
    else
        rejects = QStringLiteral("rejects in amber: all %1").arg(p.rejected);
    m_pictureNote->setText(traces + QStringLiteral("; ") + rejects);
}

void ReviewWindow::showCaptureInfo()
{
    if (!m_session)
        return;
    const Session& s = *m_session;
    QString info =
        QStringLiteral("Captured from %1 on %2; %3 frames%4; the program's reads: %5.")
            .arg(wallClockUtc(s.header.startedAtUs, 0),
                 s.header.device.isEmpty() ? QStringLiteral("(no device named)") : s.header.device)
            .arg(s.progress.counts.frames())
            .arg(s.progress.finished ? QString() : QStringLiteral(" so far"))
            .arg(describeReadLengths(s.progress.reads));
    // What was skipped or cut, as the judge says it.
    for (const QString& warning : s.progress.warnings)
        info += QStringLiteral("\nWarning: ") + warning + QLatin1Char('.');
    if (s.progress.finished && s.progress.acknowledged == 0)
        info += QStringLiteral("\nThe instrument never acknowledged the program in this capture "
                               "(%1 greetings): it holds no frames.")
                    .arg(s.progress.greetings);
    m_captureInfo->setText(info);
    const auto warning = readLengthWarning(s.progress.reads);
    m_readWarning->setVisible(warning.has_value());
    if (warning)
        m_readWarning->setText(QStringLiteral("Warning: %1. A read that takes the head of the next "
                                              "burst shifts every later frame: check the adapter's "
                                              "latency timer and that the instrument pauses "
                                              "between pieces.")
                                   .arg(*warning));
}

void ReviewWindow::updateActions()
{
    const bool loaded = isLoaded();
    const bool exporting = m_session && m_session->exporting;
    m_savePicture->setEnabled(isPictureComplete());
    m_exportFrames->setEnabled(loaded && !exporting);
    m_copyResult->setEnabled(loaded);
    m_teach->setEnabled(loaded && m_session->selection.has_value());
}

void ReviewWindow::showFrame(qint64 frame)
{
    Session& s = *m_session;
    const IndexedFrame& indexed = s.index[frame];
    const auto samples = s.fetcher.fetch(indexed.offset);
    if (!samples) {
        statusBar()->showMessage(
            QStringLiteral("Frame %1 can no longer be read from %2.").arg(frame + 1).arg(s.path));
        return;
    }
    s.current = frame;
    const Verdict verdict = m_frameView->showFrame(*samples, m_guides);
    m_frameNote->setText(QStringLiteral("Frame %1 of %2, %3 (%4 into the capture): %5")
                             .arg(frame + 1)
                             .arg(s.index.size())
                             .arg(wallClockUtc(s.header.startedAtUs, indexed.atUs),
                                  captureClock(indexed.atUs), verdictWords(verdict)));
    m_strip->setCurrent(indexed.atUs);
}

void ReviewWindow::step(int direction, bool rejectsOnly)
{
    if (!m_session)
        return;
    const FrameIndex& index = m_session->index;
    const qint64 frames = index.size();
    qint64 i =
        m_session->current < 0 ? (direction > 0 ? 0 : frames - 1) : m_session->current + direction;
    for (; i >= 0 && i < frames; i += direction) {
        if (!rejectsOnly || verdictAt(index[i].extremes, m_guides).rejected()) {
            showFrame(i);
            return;
        }
    }
    statusBar()->showMessage(
        QStringLiteral("No %1 %2 this one.")
            .arg(rejectsOnly ? QStringLiteral("rejected frame") : QStringLiteral("frame"),
                 direction > 0 ? QStringLiteral("after") : QStringLiteral("before")),
        5000);
}

void ReviewWindow::showBin(std::int64_t startUs, std::int64_t endUs)
{
    if (!m_session)
        return;
    const FrameIndex& index = m_session->index;
    const qint64 frames = index.size();
    const qint64 first = index.firstAtOrAfter(startUs, frames);
    const qint64 end = index.firstAtOrAfter(endUs, frames);
    for (qint64 i = first; i < end; ++i) {
        if (verdictAt(index[i].extremes, m_guides).rejected()) {
            showFrame(i);
            return;
        }
    }
    if (first < end)
        showFrame(first);
}

void ReviewWindow::teach()
{
    if (!m_session || !m_session->selection)
        return;
    const auto [startUs, endUs] = *m_session->selection;
    const FrameIndex& index = m_session->index;
    const qint64 frames = index.size();
    const qint64 first = index.firstAtOrAfter(startUs, frames);
    const qint64 end = index.firstAtOrAfter(endUs, frames);
    GuideTeacher teacher;
    for (qint64 i = first; i < end; ++i)
        teacher.addEnvelope(screenHeightOf(index[i].extremes.highest),
                            screenHeightOf(index[i].extremes.lowest));
    const TeachRequest request{int(std::lround(m_keep->value() * 100.0)), m_margin->value()};
    const auto taught = teacher.teach(request);
    const QString stretch =
        QStringLiteral("%1 to %2").arg(captureClock(startUs), captureClock(endUs));
    if (!taught) {
        m_teachNote->setText(QStringLiteral("No frames from %1: nothing taught.").arg(stretch));
        return;
    }
    setGuides(taught->guides);
    QString note = QStringLiteral("Taught from %1 frames, %2: the narrowest band that accepts at "
                                  "least %3 of them is %4,%5 (it accepts %6); widened by %7: "
                                  "%8,%9.")
                       .arg(taught->frames)
                       .arg(stretch)
                       .arg(taught->needed)
                       .arg(taught->narrowest.upper)
                       .arg(taught->narrowest.lower)
                       .arg(taught->kept)
                       .arg(request.margin)
                       .arg(taught->guides.upper)
                       .arg(taught->guides.lower)
                       .toHtmlEscaped();
    // Said first: frames shifted by the read rule teach the wrong band.
    if (m_session->progress.reads.drawWarning())
        note = QStringLiteral("<span style=\"color:%1; background:black\">The program's reads may "
                              "have shifted these frames (see the warning above): the taught "
                              "guides may not fit the pieces.</span> ")
                   .arg(QLatin1String(kAmber)) +
               note;
    m_teachNote->setText(note);
}

void ReviewWindow::copySortingResult()
{
    QGuiApplication::clipboard()->setText(QString::fromLatin1(sortingResultText()));
    statusBar()->showMessage(QStringLiteral("The Sorting Result lines are on the clipboard."),
                             5000);
}

void ReviewWindow::savePicture()
{
    if (!isPictureComplete())
        return;
    const QString out = QFileDialog::getSaveFileName(this, QStringLiteral("Save Picture"),
                                                     QString(), QStringLiteral("PNG (*.png)"));
    if (out.isEmpty())
        return;
    const QImage picture = BatchLayers::withCaption(
        m_session->picture.screen, m_guides, QFileInfo(m_session->path).fileName(), counts());
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    // An output by the rule of every output, never over the capture itself.
    OutputFile file;
    std::optional<SaveFailure> failure = file.open(out, OutputFile::Mode::Replace);
    if (!failure && !m_session->captureKey.isEmpty() && file.key() == m_session->captureKey)
        failure = SaveFailure{out, QStringLiteral("it is the capture itself")};
    if (!failure)
        failure = file.write(png);
    if (!failure)
        failure = file.commit();
    if (failure)
        tell(QStringLiteral("Save Picture"),
             QStringLiteral("The picture could not be saved to %1:\n%2")
                 .arg(failure->fileName, failure->reason));
    else
        statusBar()->showMessage(QStringLiteral("Picture saved to %1.").arg(out), 5000);
}

void ReviewWindow::exportFrames()
{
    if (!isLoaded() || m_session->exporting)
        return;
    const QString out = QFileDialog::getSaveFileName(this, QStringLiteral("Export Frames"),
                                                     QString(), QStringLiteral("CSV (*.csv)"));
    if (out.isEmpty())
        return;
    m_session->exportingTo = out;
    m_session->exporting =
        std::make_unique<FramesExport>(m_session->path, m_session->captureKey, out, m_guides);
    m_progress->setFormat(QStringLiteral("writing %p%"));
    m_progress->setValue(0);
    m_progress->show();
    m_cancel->show();
    m_pulse->start();
    updateActions();
}

void ReviewWindow::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile())
        event->acceptProposedAction();
}

void ReviewWindow::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return;
    event->acceptProposedAction();
    const QString path = urls.first().toLocalFile();
    // Opened once the drop is over, so the source of the drag is not held up meanwhile.
    QTimer::singleShot(0, this, [this, path] { openCapture(path); });
}

} // namespace lumatrax
