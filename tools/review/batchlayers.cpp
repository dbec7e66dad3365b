#include "tools/review/batchlayers.h"

#include "display/colours.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/captureframes.h"

#include <algorithm>
#include <chrono>

#include <sys/resource.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// Both guides at 100 lie at the screen's height, on the first row of the caption band.
constexpr GuidePositions kNoGuides{100, 100};
// How often the every-trace layer is shown while it grows, and how many frames the thread draws
// between looks at the clock and at requests.
constexpr auto kPublishInterval = std::chrono::milliseconds(250);
constexpr int kFramesBetweenLooks = 256;

QImage screenOf(const QImage& picture)
{
    return picture.copy(0, 0, BatchPlot::screenWidth(), BatchPlot::screenHeight());
}

// Guides as BatchPlot draws them: kScale rows from the guide's row down, the lower over the upper.
void paintGuides(QImage& screen, GuidePositions guides)
{
    for (const auto& [v, colour] :
         {std::pair{guides.upper, kUpperGuideColour}, std::pair{guides.lower, kLowerGuideColour}}) {
        const int first = BatchPlot::guideRow(v);
        for (int row = std::max(0, first);
             row < std::min(screen.height(), first + BatchPlot::kScale); ++row) {
            auto* line = reinterpret_cast<QRgb*>(screen.scanLine(row));
            std::fill(line, line + screen.width(), QRgb(colour));
        }
    }
}

} // namespace

BatchLayers::BatchLayers(const QString& path, const FrameIndex& index)
    : m_path(path), m_index(index), m_background(screenOf(BatchPlot(kNoGuides).image({}, {}))),
      m_traceThread([this](const std::stop_token& stop) { drawTraces(stop); }),
      m_publishThread([this](const std::stop_token& stop) { drawRejectsAndPublish(stop); })
{
    Q_ASSERT(BatchPlot::guideRow(kNoGuides.upper) >= BatchPlot::screenHeight());
}

BatchLayers::~BatchLayers()
{
    m_traceThread.request_stop();
    m_publishThread.request_stop(); // wakes it where it waits
}

void BatchLayers::drawRejects(GuidePositions guides)
{
    {
        const std::lock_guard lock(m_mutex);
        m_request = guides;
    }
    m_wake.notify_all();
}

BatchPicture BatchLayers::picture() const
{
    const std::lock_guard lock(m_mutex);
    return m_published;
}

void BatchLayers::drawTraces(const std::stop_token& stop)
{
    // Nice 10: where the processor is short, the counts and the window come first. A thread may
    // always lower its own priority; where it cannot, it draws at the normal one.
    (void)::setpriority(PRIO_PROCESS, ::gettid(), 10);
    using Clock = std::chrono::steady_clock;
    CaptureFrames frames;
    BatchPlot every(kNoGuides);
    qint64 drawn = 0;
    bool complete = frames.open(m_path).has_value(); // a file gone meanwhile: nothing to draw
    auto due = Clock::now() + kPublishInterval;
    while (!stop.stop_requested()) {
        for (int n = 0; n < kFramesBetweenLooks && !complete; ++n) {
            if (const CaptureFrame* frame = frames.next()) {
                every.add(frame->samples, Verdict{});
                ++drawn;
            } else {
                complete = true;
            }
        }
        if (complete || Clock::now() >= due) {
            QImage layer = screenOf(every.image({}, {}));
            {
                const std::lock_guard lock(m_traceMutex);
                std::swap(m_traceLayer, layer); // the one replaced goes after the lock
                m_tracesDrawn = drawn;
                m_tracesComplete = complete;
                ++m_traceRevision;
            }
            due = Clock::now() + kPublishInterval;
        }
        if (complete)
            return;
    }
}

void BatchLayers::drawRejectsAndPublish(const std::stop_token& stop)
{
    QImage everyTrace = m_background;
    QImage rejects = m_background;
    BatchPicture shown;
    std::uint64_t traceRevision = 0;
    for (;;) {
        std::optional<GuidePositions> request;
        {
            // While the every-trace layer grows, look for it at its own pace.
            std::unique_lock lock(m_mutex);
            auto asked = [this] { return m_request.has_value(); };
            if (shown.tracesComplete)
                m_wake.wait(lock, stop, asked);
            else
                m_wake.wait_for(lock, stop, kPublishInterval, asked);
            if (stop.stop_requested())
                return;
            request = std::exchange(m_request, std::nullopt);
        }
        bool changed = false;
        if (request) {
            qint64 drawn = 0;
            qint64 rejected = 0;
            if (auto layer = rejectLayer(*request, stop, drawn, rejected)) {
                rejects = std::move(*layer);
                shown.rejectGuides = *request;
                shown.rejectsDrawn = drawn;
                shown.rejected = rejected;
                changed = true;
            }
        }
        {
            const std::lock_guard lock(m_traceMutex);
            if (m_traceRevision != traceRevision) {
                traceRevision = m_traceRevision;
                everyTrace = m_traceLayer;
                shown.tracesDrawn = m_tracesDrawn;
                shown.tracesComplete = m_tracesComplete;
                changed = true;
            }
        }
        if (changed)
            publish(everyTrace, rejects, shown);
    }
}

std::optional<QImage> BatchLayers::rejectLayer(GuidePositions guides, const std::stop_token& stop,
                                               qint64& drawn, qint64& rejected)
{
    const qint64 frames = m_index.size();
    rejected = 0;
    for (qint64 i = 0; i < frames; ++i)
        rejected += verdictAt(m_index[i].extremes, guides).rejected() ? 1 : 0;
    const qint64 wanted = std::min(rejected, kMostRejects);
    auto askedAgain = [this, &stop] {
        const std::lock_guard lock(m_mutex);
        return stop.stop_requested() || m_request.has_value();
    };

    FrameFetcher fetcher;
    const bool readable = fetcher.open(m_path);
    BatchPlot layer(kNoGuides);
    qint64 rank = 0; // among the rejected frames
    drawn = 0;
    for (qint64 i = 0; i < frames && drawn < wanted && readable; ++i) {
        if (!verdictAt(m_index[i].extremes, guides).rejected())
            continue;
        // Evenly: the rejected frames of ranks floor(k * rejected / wanted), k = 0, 1, ...
        if (rank++ != drawn * rejected / wanted)
            continue;
        if (const auto samples = fetcher.fetch(m_index[i].offset))
            layer.add(*samples, Verdict{true, false});
        if (++drawn % kFramesBetweenLooks == 0 && askedAgain())
            return std::nullopt;
    }
    return screenOf(layer.image({}, {}));
}

void BatchLayers::publish(const QImage& everyTrace, const QImage& rejects, BatchPicture shown)
{
    shown.screen = everyTrace.copy();
    const qsizetype pixels = qsizetype(shown.screen.width()) * shown.screen.height();
    auto* out = reinterpret_cast<QRgb*>(shown.screen.bits());
    const auto* layer = reinterpret_cast<const QRgb*>(rejects.constBits());
    const auto* background = reinterpret_cast<const QRgb*>(m_background.constBits());
    for (qsizetype at = 0; at < pixels; ++at)
        if (layer[at] != background[at])
            out[at] = layer[at]; // a reject passed here
    if (shown.rejectGuides)
        paintGuides(shown.screen, *shown.rejectGuides);
    {
        const std::lock_guard lock(m_mutex);
        std::swap(m_published, shown); // the one replaced goes after the lock
        ++m_revision;
    }
}

QImage BatchLayers::withCaption(const QImage& screen, GuidePositions guides,
                                const QString& captureName, const JudgeSummary& summary)
{
    QImage picture = BatchPlot(guides).image(captureName, summary);
    for (int row = 0; row < std::min(screen.height(), picture.height()); ++row)
        std::copy_n(reinterpret_cast<const QRgb*>(screen.constScanLine(row)),
                    std::min(screen.width(), picture.width()),
                    reinterpret_cast<QRgb*>(picture.scanLine(row)));
    return picture;
}

} // namespace lumatrax
