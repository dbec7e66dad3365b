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
#include "tools/review/pictureview.h"
#include "tools/review/reviewtext.h"

#include <QAction>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>

#include <chrono>
#include <cmath>

namespace lumatrax {

namespace {

// While its threads work the window takes what they published about thirty times a second, the
// screen's pace; it never wakes for a frame. Following a capture the tap writes, it looks as
// often as the reading thread does.
constexpr auto kPulseInterval = std::chrono::milliseconds(33);
constexpr auto kFollowPulseInterval = CaptureFrames::kFollowInterval;
constexpr GuidePositions kStartUpGuides{50, 50};

// The guides last used for a capture, by its canonical path, in the user's settings.
QString memoryKey(const QString& capture)
{
    const QByteArray path = QFileInfo(capture).canonicalFilePath().toUtf8();
    return QStringLiteral("guides/") +
           QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex());
}

std::optional<GuidePositions> recalledGuides(const QSettings& settings, const QString& capture)
{
    return guidePositionsFrom(settings.value(memoryKey(capture)).toString());
}

} // namespace

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
    qint64 current = -1;   // the frame shown
    bool seenLive = false; // the tap was writing it while it was open
    std::optional<std::pair<std::int64_t, std::int64_t>> selection;
    std::unique_ptr<CaptureLoader> loader;
    std::unique_ptr<BatchLayers> layers;
    std::unique_ptr<FramesExport> exporting;
    QString exportingTo;
};

ReviewWindow::ReviewWindow(QSettings* settings, QWidget* parent)
    : QMainWindow(parent), m_settings(settings), m_pulse(new QTimer(this))
{
    m_messageBox = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox::warning(parent, title, text);
    };
    m_ui.setupUi(this, kStartUpGuides);
    m_pulse->setInterval(kPulseInterval);
    connect(m_pulse, &QTimer::timeout, this, &ReviewWindow::pulse);

    connect(m_ui.openCapture, &QAction::triggered, this, &ReviewWindow::chooseCapture);
    connect(m_ui.savePicture, &QAction::triggered, this, &ReviewWindow::savePicture);
    connect(m_ui.exportFrames, &QAction::triggered, this, &ReviewWindow::exportFrames);
    connect(m_ui.quit, &QAction::triggered, this, &QWidget::close);
    connect(m_ui.copyResult, &QAction::triggered, this, &ReviewWindow::copySortingResult);
    connect(m_ui.nextReject, &QAction::triggered, this, [this] { step(1, true); });
    connect(m_ui.previousReject, &QAction::triggered, this, [this] { step(-1, true); });
    connect(m_ui.nextFrame, &QAction::triggered, this, [this] { step(1, false); });
    connect(m_ui.previousFrame, &QAction::triggered, this, [this] { step(-1, false); });
    connect(m_ui.teach, &QAction::triggered, this, &ReviewWindow::teach);
    connect(m_ui.high, &QSlider::valueChanged, this, &ReviewWindow::guidesMoved);
    connect(m_ui.low, &QSlider::valueChanged, this, &ReviewWindow::guidesMoved);
    connect(m_ui.strip, &DriftStrip::binClicked, this, &ReviewWindow::showBin);
    connect(m_ui.strip, &DriftStrip::stretchSelected, this, &ReviewWindow::selectStretch);
    connect(m_ui.cancel, &QPushButton::clicked, this, &ReviewWindow::cancelWork);

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
    showTitle();

    // The start-up guides are no choice: they are not remembered for the capture.
    const std::optional<GuidePositions> chosen =
        guides ? guides : recalledGuides(*m_settings, path);
    m_startUpGuides = !chosen;
    m_opening = true;
    setGuides(chosen.value_or(kStartUpGuides));
    m_opening = false;
    m_ui.picture->setImage({});
    m_ui.pictureNote->clear();
    m_ui.teachNote->setText(QStringLiteral("Drag across the strip over good pieces, then Teach."));
    m_ui.frameNote->setText(
        QStringLiteral("N and P step to the next and previous reject, Shift+N and "
                       "Shift+P to any frame; or click a bin of the strip."));
    m_ui.strip->clearSelection();
    m_ui.strip->setCurrent(std::nullopt);
    m_ui.strip->setFocus();
    showCaptureInfo();
    m_ui.progress->setValue(0);
    m_ui.progress->setFormat(QStringLiteral("reading %p%"));
    m_ui.progress->show();
    m_ui.cancel->show();
    m_pulse->start();
}

void ReviewWindow::closeCapture()
{
    m_session.reset(); // its threads stop and are waited for
    m_pulse->stop();
    m_pulse->setInterval(kPulseInterval);
    m_ui.progress->hide();
    m_ui.cancel->hide();
}

void ReviewWindow::cancelWork()
{
    if (!m_session)
        return;
    if (m_session->exporting) {
        m_session->exporting.reset(); // an earlier file stays as it was
        statusBar()->showMessage(
            QStringLiteral("Export of %1 cancelled: nothing written.").arg(m_session->exportingTo));
        m_ui.progress->hide();
        m_ui.cancel->hide();
        return;
    }
    const QString name = QFileInfo(m_session->path).fileName();
    closeCapture();
    showTitle();
    m_ui.captureInfo->setText(QStringLiteral("Opening %1 cancelled.").arg(name));
    m_ui.readWarning->hide();
    m_ui.picture->setImage({});
    m_ui.pictureNote->clear();
    m_ui.frameView->showGuides(m_guides);
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
    m_ui.high->setValue(guides.upper);
    m_ui.low->setValue(guides.lower);
    m_settingGuides = false;
    guidesMoved();
}

void ReviewWindow::guidesMoved()
{
    if (m_settingGuides)
        return;
    m_guides = {m_ui.high->value(), m_ui.low->value()};
    {
        const QSignalBlocker blockHigh(m_ui.highValue);
        const QSignalBlocker blockLow(m_ui.lowValue);
        m_ui.highValue->setValue(m_guides.upper);
        m_ui.lowValue->setValue(m_guides.lower);
    }
    if (!m_opening)
        m_startUpGuides = false;
    m_ui.guidesNote->setVisible(m_session && m_startUpGuides);
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
            m_ui.frameView->showGuides(m_guides);
        m_pulse->start();
    } else {
        m_ui.frameView->showGuides(m_guides);
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

bool ReviewWindow::isFollowing() const
{
    return m_session && m_session->progress.following;
}

bool ReviewWindow::isPictureComplete() const
{
    if (!m_session)
        return false;
    const BatchPicture& p = m_session->picture;
    const bool atGuides = p.rejectGuides && p.rejectGuides->upper == m_guides.upper &&
                          p.rejectGuides->lower == m_guides.lower;
    // A capture still written: every trace so far, the rejects as they join the layer.
    if (isFollowing())
        return atGuides && p.tracesDrawn == counts().frames;
    // The reject layer at the guides shown, over every frame indexed.
    return p.tracesComplete && atGuides && p.rejected == counts().rejected();
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
        const qint64 before = s.progress.counts.frames();
        s.progress = s.loader->progress();
        s.seenLive = s.seenLive || s.progress.live;
        showCounts();
        showDrift();
        showCaptureInfo();
        showTitle();
        if (s.progress.following && s.progress.counts.frames() != before)
            s.layers->addNewRejects();
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
        m_ui.progress->setValue(int(s.exporting->share() * ReviewWindowUi::kProgressSteps));
        if (s.exporting->finished()) {
            const auto failure = s.exporting->failure();
            s.exporting.reset();
            m_ui.cancel->hide();
            if (failure)
                tell(QStringLiteral("Export Frames"),
                     QStringLiteral("The frames could not be written to %1:\n%2")
                         .arg(failure->fileName, failure->reason));
            else
                statusBar()->showMessage(
                    QStringLiteral("Frames written to %1.").arg(s.exportingTo));
        }
    } else if (s.progress.following) {
        m_ui.cancel->hide(); // caught up: the rest comes as the tap writes it
    } else if (!s.progress.finished) {
        const double share = s.progress.fileSize > 0
                                 ? double(s.progress.position) / double(s.progress.fileSize)
                                 : 0.0;
        m_ui.progress->setValue(int(share * ReviewWindowUi::kProgressSteps));
    } else {
        m_ui.cancel->hide();
        const qint64 frames = s.progress.counts.frames();
        m_ui.progress->setFormat(QStringLiteral("drawing every trace %p%"));
        m_ui.progress->setValue(
            frames > 0 ? int(s.picture.tracesDrawn * ReviewWindowUi::kProgressSteps / frames)
                       : ReviewWindowUi::kProgressSteps);
    }
    const bool busy = s.exporting || !s.progress.finished || !isPictureComplete();
    m_ui.progress->setVisible(s.exporting || (busy && !s.progress.following));
    const auto interval =
        s.progress.following && !s.exporting ? kFollowPulseInterval : kPulseInterval;
    if (m_pulse->intervalAsDuration() != interval)
        m_pulse->setInterval(interval);
    if (!busy)
        m_pulse->stop();
    updateActions();
}

void ReviewWindow::showCounts()
{
    const JudgeSummary s = counts();
    m_ui.tested->setText(QString::number(s.frames));
    m_ui.accepted->setText(QString::number(s.accepted));
    m_ui.upper->setText(QString::number(s.rejectedAbove + s.rejectedBoth));
    m_ui.lower->setText(QString::number(s.rejectedBelow + s.rejectedBoth));
    m_ui.breakdown->setText(countsText(s, m_session && !isLoaded()));
}

void ReviewWindow::showDrift()
{
    if (!m_session || m_session->progress.counts.settledFrames() == 0) {
        m_ui.strip->setReport({});
        m_ui.driftNote->setText(QStringLiteral("drift: no frames"));
        return;
    }
    const DriftReport report = m_session->progress.drift.report(m_guides);
    m_ui.strip->setReport(report);
    QStringList lines;
    for (GuideSide side : {GuideSide::Upper, GuideSide::Lower}) {
        const QString line = driftLine(report, side).toHtmlEscaped();
        lines << (report.sides[std::size_t(side)].warning
                      ? QStringLiteral("<span style=\"color:%1\">%2</span>").arg(kReviewAmber, line)
                      : line);
    }
    m_ui.driftNote->setText(lines.join(QStringLiteral("<br>")));
}

void ReviewWindow::showPicture()
{
    const BatchPicture& p = m_session->picture;
    m_ui.picture->setImage(p.screen);
    m_ui.pictureNote->setText(pictureText(p));
}

void ReviewWindow::showCaptureInfo()
{
    if (!m_session)
        return;
    const Session& s = *m_session;
    m_ui.captureInfo->setText(captureInfoText(s.header, s.progress));
    const auto warning = readLengthWarning(s.progress.reads);
    m_ui.readWarning->setVisible(warning.has_value());
    if (warning)
        m_ui.readWarning->setText(readShiftText(*warning));
}

void ReviewWindow::showTitle()
{
    QString name = QStringLiteral("Lumatrax Review");
    if (m_session) {
        const Session& s = *m_session;
        name.prepend(QFileInfo(s.path).fileName() +
                     (s.progress.live ? QStringLiteral(" (live)")
                      : s.seenLive    ? QStringLiteral(" (ended)")
                                      : QString()) +
                     QStringLiteral(" - "));
    }
    setWindowTitle(name);
}

void ReviewWindow::selectStretch(std::int64_t startUs, std::int64_t endUs)
{
    if (m_session)
        m_session->selection = std::pair{startUs, endUs};
    m_ui.teachNote->setText(
        QStringLiteral("Selected %1 to %2: Teach sets the guides from the frames there.")
            .arg(captureClock(startUs), captureClock(endUs)));
    updateActions();
}

void ReviewWindow::updateActions()
{
    const bool loaded = isLoaded();
    // A capture followed has its counts so far: the running tally.
    const bool counted = loaded || isFollowing();
    const bool exporting = m_session && m_session->exporting;
    m_ui.savePicture->setEnabled(isPictureComplete());
    m_ui.exportFrames->setEnabled(loaded && !exporting);
    m_ui.copyResult->setEnabled(counted);
    m_ui.teach->setEnabled(counted && m_session->selection.has_value());
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
    const Verdict verdict = m_ui.frameView->showFrame(*samples, m_guides);
    m_ui.frameNote->setText(QStringLiteral("Frame %1 of %2, %3 (%4 into the capture): %5")
                                .arg(frame + 1)
                                .arg(s.index.size())
                                .arg(wallClockUtc(s.header.startedAtUs, indexed.atUs),
                                     captureClock(indexed.atUs), verdictText(verdict)));
    m_ui.strip->setCurrent(indexed.atUs);
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
    const TeachRequest request{int(std::lround(m_ui.keep->value() * 100.0)), m_ui.margin->value()};
    const auto taught = teacher.teach(request);
    const QString stretch =
        QStringLiteral("%1 to %2").arg(captureClock(startUs), captureClock(endUs));
    if (!taught) {
        m_ui.teachNote->setText(QStringLiteral("No frames from %1: nothing taught.").arg(stretch));
        return;
    }
    setGuides(taught->guides);
    m_ui.teachNote->setText(
        taughtText(*taught, stretch, request.margin, m_session->progress.reads.drawWarning()));
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
    const QString out = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save Picture"), QString(),
        QStringLiteral("Pictures (*.png *.jpg *.jpeg *.bmp);;All files (*)"));
    if (out.isEmpty())
        return;
    // In the format its name asks for, as the judge's --plot.
    const char* format = pictureFormatOf(out);
    const QByteArray bytes =
        encodedPicture(BatchLayers::withCaption(m_session->picture.screen, m_guides,
                                                QFileInfo(m_session->path).fileName(), counts()),
                       format);
    // An output by the rule of every output, never over the capture itself.
    OutputFile file;
    std::optional<SaveFailure> failure = file.open(out, OutputFile::Mode::Replace);
    if (!failure && !m_session->captureKey.isEmpty() && file.key() == m_session->captureKey)
        failure = SaveFailure{out, QStringLiteral("it is the capture itself")};
    if (!failure && bytes.isEmpty())
        failure =
            SaveFailure{out, QStringLiteral("cannot make a %1 picture").arg(QLatin1String(format))};
    if (!failure)
        failure = file.write(bytes);
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
    m_ui.progress->setFormat(QStringLiteral("writing %p%"));
    m_ui.progress->setValue(0);
    m_ui.progress->show();
    m_ui.cancel->show();
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
